// The plug-in loaded the way the host loads it, a sample file server, and
// the two browse roads driven end to end.
#pragma once

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NfsTestServer.h"
#include "common/BrowseResults.h"
#include "host/BrowseMessageFields.h"
#include "host/Lookups.h"
#include "host/Message.h"
#include "host/MessageBase.h"
#include "host_framework/ReplyReader.h"
#include "share_discovery/CNASShareBrowse.h"

namespace plugin_test {

typedef void (*NetworkEntry)(MessageInfo*, char*, unsigned long, int, COrvNetwork*);
typedef void (*XmlEntry)(App::MachineBrowseReq*, App::MachineBrowseResp*, App::GenericResp*);
typedef CNASShareBrowseInterface* (*Factory)();

// The plug-in, opened with dlopen from NSB_PLUGIN and looked up by name.
struct Plugin {
    Plugin() {
        const char* path = getenv("NSB_PLUGIN");
        if (path == nullptr) throw std::runtime_error("NSB_PLUGIN is not set");
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        network = reinterpret_cast<NetworkEntry>(dlsym(handle, "NASShareBrowse"));
        xml = reinterpret_cast<XmlEntry>(dlsym(handle, "NASShareXMLBrowse"));
        factory = reinterpret_cast<Factory>(dlsym(handle, "GetNASShareBrowseFN"));
        if (!network || !xml || !factory) throw std::runtime_error("an entry is missing");
    }
    ~Plugin() { dlclose(handle); }
    void* handle;
    NetworkEntry network;
    XmlEntry xml;
    Factory factory;
};

// What one browse answered.
struct Answer {
    std::vector<Result> results;
    std::vector<std::string> messages;  // the failure, worded for the requester
    bool ended = false;
};

// Browses `path` (as the GUI sends it) through the network entry, with the
// reply read back from the socket.
inline Answer BrowseNetwork(const Plugin& plugin, const std::string& server, const std::string& path,
                            unsigned long vessaCellId = 2) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    std::unique_ptr<MessageInfo> message(new MessageInfo());
    message->m_socket = CLumSocket(fds[0]);
    message->m_message.m_sequenceNumber = 1001;
    char* area = message->m_message.m_arguments;
    auto field = [&](uint32_t tag, const std::string& value) {
        uint32_t length = static_cast<uint32_t>(value.size());
        memcpy(area, &tag, 4);
        memcpy(area + 4, &length, 4);
        memcpy(area + 8, value.data(), value.size());
        area += 8 + value.size();
        ++message->m_message.m_argumentCount;
    };
    field(9816, server);
    std::string cell(8, '\0');
    uint32_t id = static_cast<uint32_t>(vessaCellId);
    memcpy(&cell[4], &id, 4);
    field(2320, cell);

    ReplyWire::Reply reply;
    std::string error;
    bool read = false;
    // The reply is read while the entry writes it: a long listing does not fit
    // in the socket buffer.
    std::thread reader([&] { read = ReplyWire::ReadReply(fds[1], 30000, reply, error); });
    std::vector<char> pathText(path.begin(), path.end());
    pathText.push_back('\0');
    plugin.network(message.get(), pathText.data(), 2, 0, nullptr);
    shutdown(fds[0], SHUT_WR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
    if (!read) throw std::runtime_error("reply: " + error);

    Answer answer;
    answer.results = Results(reply);
    answer.messages = reply.messages;
    answer.ended = reply.ended;
    return answer;
}

// Browses `path` through the XML entry.
inline Answer BrowseXml(const Plugin& plugin, const std::string& server, const std::string& path,
                        App::GenericResp* genericOut = nullptr) {
    App::MachineBrowseReq request;
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_REQ;
    request.setstring(App::REQ_PATH.field, App::REQ_PATH.secondIndex, path, cls, App::REQ_PATH.id);
    request.setstring(App::REQ_INTERFACE_NAME.field, App::REQ_INTERFACE_NAME.secondIndex, server, cls,
                      App::REQ_INTERFACE_NAME.id);
    request.setint64(App::REQ_CLIENT_ID.field, App::REQ_CLIENT_ID.secondIndex, 2, cls, App::REQ_CLIENT_ID.id);
    App::MachineBrowseResp response;
    App::GenericResp generic;
    plugin.xml(&request, &response, &generic);

    Answer answer;
    answer.results = Results(*response.getBrowseItems());
    if (generic.isSet(App::GENERIC_MESSAGE.field, App::CLASS_GENERIC_RESP, App::GENERIC_MESSAGE.id))
        answer.messages.push_back(generic.getstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex,
                                                    App::CLASS_GENERIC_RESP, App::GENERIC_MESSAGE.id));
    answer.ended = true;
    if (genericOut) *genericOut = generic;
    return answer;
}

}  // namespace plugin_test
