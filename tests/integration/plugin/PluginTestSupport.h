// The plug-in loaded the way the host loads it, a sample file server, and
// the two browse roads driven end to end.
#pragma once

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "NfsTestServer.h"
#include "common/BrowseResults.h"
#include "common/NetworkEntryCall.h"
#include "common/XmlEntryCall.h"
#include "host/BrowseMessageFields.h"
#include "host/Lookups.h"
#include "host/Message.h"
#include "host/MessageBase.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/MessageEncoder.h"
#include "share_discovery/CNASShareBrowse.h"

namespace plugin_test {

using nsbtest::NetworkEntry;
using nsbtest::XmlEntry;
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
// reply read back from the socket while the entry writes it (a long listing
// does not fit in the socket buffer).
inline Answer BrowseNetwork(const Plugin& plugin, const std::string& server,
                            const std::string& path, unsigned long vessaCellId = 2) {
    const GuiMessage message =
        MessageEncoder()
            .Field(TAG_NAS_INTERFACE, server)
            .Words(TAG_VESSACELL_INFO, {0, static_cast<uint32_t>(vessaCellId)})
            .Message(1001);
    const nsbtest::NetworkReply r =
        nsbtest::CallNetworkEntry(plugin.network, message, path.c_str());
    if (!r.wellFormed) throw std::runtime_error("reply: " + r.error);

    Answer answer;
    answer.results = Results(r.reply);
    answer.messages = r.reply.messages;
    answer.ended = r.reply.ended;
    return answer;
}

// Browses `path` through the XML entry.
inline Answer BrowseXml(const Plugin& plugin, const std::string& server, const std::string& path,
                        App::GenericResp* genericOut = nullptr) {
    App::MachineBrowseReq request = nsbtest::MakeXmlBrowseRequest(server, path);
    App::MachineBrowseResp response;
    App::GenericResp generic;
    plugin.xml(&request, &response, &generic);

    Answer answer;
    answer.results = Results(*response.getBrowseItems());
    std::string failure;
    if (nsbtest::FailureOf(generic, failure)) answer.messages.push_back(failure);
    answer.ended = true;
    if (genericOut) *genericOut = generic;
    return answer;
}

// `results` in name order.
inline std::vector<Result> Sorted(std::vector<Result> results) {
    std::sort(results.begin(), results.end(),
              [](const Result& a, const Result& b) { return a.name < b.name; });
    return results;
}

// A suite sharing the plug-in and one private NFS server among its tests:
// `Suite` fills the server in `static void Populate(nfstest::NfsTestServer&)`;
// it is started before the first test and stopped after the last.
template <typename Suite>
class PluginSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        plugin = new Plugin();
        server = new nfstest::NfsTestServer();
        Suite::Populate(*server);
        server->Start();
    }
    static void TearDownTestSuite() {
        delete server;
        delete plugin;
    }
    static inline Plugin* plugin = nullptr;
    static inline nfstest::NfsTestServer* server = nullptr;
};

}  // namespace plugin_test
