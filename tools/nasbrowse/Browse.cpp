#include "nasbrowse/Browse.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "host/BrowseMessageFields.h"         // App::ITEM_*, App::REQ_*, App::GENERIC_*
#include "host/LogWriter.h"                   // NSB_LOG
#include "host/LumError.h"                    // FXErrorUtil
#include "host_framework/MessageXml.h"        // MessageXml::Write*
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/HostSetup.h"              // ReplyIdleTimeoutMs
#include "share_discovery/CNASShareBrowse.h"  // CNASShareBrowseInterface (declaration only)

namespace nasbrowse {
namespace {

std::atomic<long long> g_sequence{1};

Item ItemFromMessage(const App::MachineBrowseItem& message) {
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
    Item item;
    item.folder = message.getint64(App::ITEM_FOLDER.secondIndex, cls, App::ITEM_FOLDER.id) != 0;
    item.mtime = static_cast<uint64_t>(
        message.getint64(App::ITEM_MODIFY_TIME.secondIndex, cls, App::ITEM_MODIFY_TIME.id));
    item.size = message.getint64(App::ITEM_SIZE.secondIndex, cls, App::ITEM_SIZE.id);
    item.name = message.getstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, cls,
                                  App::ITEM_NAME.id);
    return item;
}

}  // namespace

BrowseResult BrowseViaXml(const Plugin& plugin, const CommonOptions& options,
                          const std::string& server, const std::string& requestPath) {
    const unsigned long reqClass = App::CLASS_MACHINE_BROWSE_REQ;
    App::MachineBrowseReq request;
    request.setint64(App::REQ_CLIENT_ID.field, App::REQ_CLIENT_ID.secondIndex,
                     static_cast<long long>(options.clientId), reqClass, App::REQ_CLIENT_ID.id);
    request.setstring(App::REQ_PATH.field, App::REQ_PATH.secondIndex, requestPath, reqClass,
                      App::REQ_PATH.id);
    request.setstring(App::REQ_INTERFACE_NAME.field, App::REQ_INTERFACE_NAME.secondIndex, server,
                      reqClass, App::REQ_INTERFACE_NAME.id);
    CNMessageBase** info = request.getObjectAccessor(true, false, App::REQ_INFO.field,
                                                     App::REQ_INFO.secondIndex, reqClass,
                                                     App::REQ_INFO.id, App::REQ_INFO_KIND,
                                                     App::REQ_INFO_SCHEMA);
    if (info != nullptr && *info != nullptr)
        (*info)->setint64(App::REQ_INFO_VESSACELL_ID.field, App::REQ_INFO_VESSACELL_ID.secondIndex,
                          static_cast<long long>(options.vessaCellId),
                          App::CLASS_MACHINE_BROWSE_REQ_INFO, App::REQ_INFO_VESSACELL_ID.id);

    App::MachineBrowseResp response;
    App::GenericResp generic;
    plugin.xmlBrowse(&request, &response, &generic);

    BrowseResult result;
    void** list = response.getlistobject(App::RESP_ITEMS.field, App::RESP_ITEMS.secondIndex,
                                         App::CLASS_MACHINE_BROWSE_RESP, App::RESP_ITEMS.id, false);
    if (list != nullptr && *list != nullptr)
        for (const App::MachineBrowseItem& item :
             *static_cast<std::vector<App::MachineBrowseItem>*>(*list))
            result.items.push_back(ItemFromMessage(item));

    const unsigned long genClass = App::CLASS_GENERIC_RESP;
    const bool hasCode = generic.isSet(App::GENERIC_ERROR_CODE.field, genClass, App::GENERIC_ERROR_CODE.id);
    const bool hasMessage = generic.isSet(App::GENERIC_MESSAGE.field, genClass, App::GENERIC_MESSAGE.id);
    if (hasCode || hasMessage) {
        result.error.failed = true;
        result.error.hasCode = hasCode;
        result.error.code =
            generic.getint64(App::GENERIC_ERROR_CODE.secondIndex, genClass, App::GENERIC_ERROR_CODE.id);
        result.error.message = generic.getstring(App::GENERIC_MESSAGE.field,
                                                 App::GENERIC_MESSAGE.secondIndex, genClass,
                                                 App::GENERIC_MESSAGE.id);
        result.genericXml = MessageXml::WriteGenericResp(generic);
    }
    result.responseXml = MessageXml::WriteMachineBrowseResp(response);
    return result;
}

BrowseResult ResultFromReply(const ReplyWire::Reply& reply, bool readOk,
                             const std::string& readError) {
    BrowseResult result;
    for (const ReplyWire::ReplyItem& in : reply.items) {
        Item item;
        item.name = in.name;
        item.folder = in.isFolder;
        item.mtime = in.modifyTime;
        item.size = in.size;
        result.items.push_back(std::move(item));
    }
    if (!reply.messages.empty()) {
        result.error.failed = true;
        result.error.message = reply.messages.front();
        for (size_t i = 1; i < reply.messages.size(); ++i)
            result.error.message += "; " + reply.messages[i];
    } else if (!readOk) {
        result.error.failed = true;
        result.error.message = "the reply could not be read: " + readError;
    } else if (!reply.ended) {
        result.error.failed = true;
        result.error.message = "the reply ended without its end marker";
    }
    return result;
}

BrowseResult BrowseViaGui(const Plugin& plugin, const CommonOptions& options,
                          const std::string& server, const std::string& requestPath) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        BrowseResult result;
        result.error.failed = true;
        result.error.message = std::string("socketpair: ") + strerror(errno);
        return result;
    }
    const GuiMessage message = MakeGuiBrowseMessage(g_sequence++, server, options.vessaCellId);
    // The message is large (the whole argument area): keep it off the stack.
    auto info = std::make_unique<MessageInfo>();
    FillMessageInfo(message, pair[1], *info);
    std::vector<char> path(requestPath.begin(), requestPath.end());
    path.push_back('\0');

    // The entry writes on its thread while this one reads, so a reply larger
    // than the socket buffer never stalls.
    std::thread entry([&] {
        plugin.browse(info.get(), path.data(), options.clientId, 0, nullptr);
        shutdown(pair[1], SHUT_WR);
    });
    ReplyWire::Reply reply;
    std::string error;
    const bool ok = ReplyWire::ReadReply(pair[0], ReplyIdleTimeoutMs(plugin), reply, error);
    // Unblocks the entry should the reader have given up early.
    shutdown(pair[0], SHUT_RDWR);
    entry.join();
    close(pair[0]);
    close(pair[1]);
    return ResultFromReply(reply, ok, error);
}

ExportsResult ListExports(const Plugin& plugin, const CommonOptions& options,
                          const std::string& server) {
    ExportsResult result;
    std::unique_ptr<CNASShareBrowseInterface> discovery(plugin.discovery());
    if (!discovery) {
        result.error.failed = true;
        result.error.message = "the plug-in made no share discovery object";
        return result;
    }
    std::list<ShareInfo> shares;
    const CLumError error =
        discovery->GetNASShares(options.clientId, true, server, "", "", "", shares);
    for (const ShareInfo& share : shares) result.shares.push_back(share.m_shareName);
    if (error.IsError()) {
        result.error.failed = true;
        result.error.hasCode = true;
        result.error.code = FXErrorUtil::GetWin32(error);
        result.error.message = error.AsString(ERROR_OUTPUT_USER);
    }
    return result;
}

}  // namespace nasbrowse
