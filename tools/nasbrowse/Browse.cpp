#include "nasbrowse/Browse.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <thread>
#include <typeinfo>
#include <vector>

#include "host/BrowseMessageFields.h"  // App::ITEM_*, App::REQ_*, App::GENERIC_*
#include "host/LumError.h"             // FXErrorUtil
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/HostSetup.h"  // ReplyIdleTimeoutMs
#include "nasbrowse/Stream.h"
#include "share_discovery/CNASShareBrowse.h"  // CNASShareBrowseInterface (declaration only)

namespace nasbrowse {
namespace {

std::atomic<long long> g_sequence{1};

// The type name (as typeid gives it) of the discovery class this program
// was built against.
const char kDiscoveryTypeName[] = "15CNASShareBrowse";

void ItemFromMessage(const App::MachineBrowseItem& message, Item& item) {
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
    item.folder = message.getint64(App::ITEM_FOLDER.secondIndex, cls, App::ITEM_FOLDER.id) != 0;
    item.mtime = static_cast<uint64_t>(
        message.getint64(App::ITEM_MODIFY_TIME.secondIndex, cls, App::ITEM_MODIFY_TIME.id));
    item.size = message.getint64(App::ITEM_SIZE.secondIndex, cls, App::ITEM_SIZE.id);
    item.name =
        message.getstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, cls, App::ITEM_NAME.id);
}

// The plug-in's own clone marking: a virtual member of its discovery class,
// called through the object's virtual table, and only when the object's
// class (by its type name) is the one this program was built against. The
// class's type information lives in the plug-in, out of this program's
// reach; the undefined-behaviour sanitizer's check of the cast would need
// it, hence the attribute.
__attribute__((no_sanitize("vptr"))) bool MarkClones(CNASShareBrowseInterface& discovery,
                                                     std::list<ShareInfo>& shares) {
    if (std::strcmp(typeid(discovery).name(), kDiscoveryTypeName) != 0) return false;
    static_cast<CNASShareBrowse&>(discovery).MarkVolCloneShares(shares);
    return true;
}

// The share list and, when the plug-in's discovery object is the one this
// program knows, which shares it never offers (its own clone marking).
struct Shares {
    std::vector<std::string> offered;
    std::vector<std::string> clones;
    Failure error;
};

Shares CollectShares(const Plugin& plugin, const HostOptions& host, const std::string& server,
                     bool markClones) {
    Shares result;
    std::unique_ptr<CNASShareBrowseInterface> discovery(plugin.discovery());
    if (!discovery) {
        result.error.failed = true;
        result.error.message = "the plug-in " + plugin.path() + " made no share discovery object";
        return result;
    }
    std::list<ShareInfo> shares;
    const CLumError error =
        discovery->GetNASShares(host.clientId, true, server, "", "", "", shares);
    if (markClones && !error.IsError()) MarkClones(*discovery, shares);
    for (const ShareInfo& share : shares)
        (share.m_isVolClone ? result.clones : result.offered).push_back(share.m_shareName);
    if (error.IsError()) {
        result.error.failed = true;
        result.error.hasCode = true;
        result.error.code = FXErrorUtil::GetWin32(error);
        result.error.message = error.AsString(ERROR_OUTPUT_USER);
    }
    return result;
}

}  // namespace

RoadOutcome BrowseViaXml(const Plugin& plugin, const HostOptions& host, const std::string& server,
                         const std::string& requestPath, Presenter& presenter, OutputStream& out) {
    const unsigned long reqClass = App::CLASS_MACHINE_BROWSE_REQ;
    App::MachineBrowseReq request;
    request.setint64(App::REQ_CLIENT_ID.field, App::REQ_CLIENT_ID.secondIndex,
                     static_cast<long long>(host.clientId), reqClass, App::REQ_CLIENT_ID.id);
    request.setstring(App::REQ_PATH.field, App::REQ_PATH.secondIndex, requestPath, reqClass,
                      App::REQ_PATH.id);
    request.setstring(App::REQ_INTERFACE_NAME.field, App::REQ_INTERFACE_NAME.secondIndex, server,
                      reqClass, App::REQ_INTERFACE_NAME.id);
    CNMessageBase** info = request.getObjectAccessor(
        true, false, App::REQ_INFO.field, App::REQ_INFO.secondIndex, reqClass, App::REQ_INFO.id,
        App::REQ_INFO_KIND, App::REQ_INFO_SCHEMA);
    if (info != nullptr && *info != nullptr)
        (*info)->setint64(App::REQ_INFO_VESSACELL_ID.field, App::REQ_INFO_VESSACELL_ID.secondIndex,
                          static_cast<long long>(host.cellId), App::CLASS_MACHINE_BROWSE_REQ_INFO,
                          App::REQ_INFO_VESSACELL_ID.id);

    App::MachineBrowseResp response;
    App::GenericResp generic;
    plugin.xmlBrowse(&request, &response, &generic);

    RoadOutcome outcome;
    presenter.Begin();
    void** list = response.getlistobject(App::RESP_ITEMS.field, App::RESP_ITEMS.secondIndex,
                                         App::CLASS_MACHINE_BROWSE_RESP, App::RESP_ITEMS.id, false);
    if (list != nullptr && *list != nullptr) {
        auto& items = *static_cast<std::vector<App::MachineBrowseItem>*>(*list);
        Item item;
        for (const App::MachineBrowseItem& message : items) {
            ItemFromMessage(message, item);
            presenter.Add(item);
            if (!out.ok()) {
                outcome.outputFailed = true;
                return outcome;
            }
        }
    }

    const unsigned long genClass = App::CLASS_GENERIC_RESP;
    const bool hasCode =
        generic.isSet(App::GENERIC_ERROR_CODE.field, genClass, App::GENERIC_ERROR_CODE.id);
    const bool hasMessage =
        generic.isSet(App::GENERIC_MESSAGE.field, genClass, App::GENERIC_MESSAGE.id);
    if (hasCode || hasMessage) {
        outcome.failure.failed = true;
        outcome.failure.hasCode = hasCode;
        outcome.failure.code = generic.getint64(App::GENERIC_ERROR_CODE.secondIndex, genClass,
                                                App::GENERIC_ERROR_CODE.id);
        outcome.failure.message =
            generic.getstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex,
                              genClass, App::GENERIC_MESSAGE.id);
        if (outcome.failure.message.empty())
            outcome.failure.message = "the plug-in answered error " +
                                      std::to_string(outcome.failure.code) + " without a text";
    }
    return outcome;
}

RoadOutcome BrowseViaGui(const Plugin& plugin, const HostOptions& host, const std::string& server,
                         const std::string& requestPath, Presenter& presenter, OutputStream& out) {
    RoadOutcome outcome;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        outcome.failure.failed = true;
        outcome.failure.message = std::string("no socket pair for the reply: ") + strerror(errno);
        return outcome;
    }
    const GuiMessage message = MakeGuiBrowseMessage(g_sequence++, server, host.cellId);
    // The message is large (the whole argument area): keep it off the stack.
    auto info = std::make_shared<MessageInfo>();
    FillMessageInfo(message, pair[1], *info);
    auto path = std::make_shared<std::vector<char>>(requestPath.begin(), requestPath.end());
    path->push_back('\0');

    // The entry writes on its thread while this one reads, so a reply larger
    // than the socket buffer never stalls. The thread owns what it uses: it
    // may outlive this call when the output fails.
    const NASShareBrowseFn entry = plugin.browse;
    const unsigned long clientId = host.clientId;
    const int writeFd = pair[1];
    std::thread thread([entry, info, path, clientId, writeFd] {
        entry(info.get(), path->data(), clientId, 0, nullptr);
        shutdown(writeFd, SHUT_WR);
    });
    presenter.Begin();
    const StreamOutcome streamed =
        StreamReply(pair[0], ReplyIdleTimeoutMs(plugin), "the plug-in's reply", presenter, out);
    if (streamed.outputFailed) {
        thread.detach();
        outcome.outputFailed = true;
        return outcome;
    }
    // Unblocks the entry should the reader have given up early.
    shutdown(pair[0], SHUT_RDWR);
    thread.join();
    close(pair[0]);
    close(pair[1]);
    outcome.failure = streamed.failure;
    return outcome;
}

Failure EntryBoundFailure(Road road, unsigned long long bound) {
    Failure failure;
    failure.failed = true;
    failure.message =
        "the folder holds more than " + std::to_string(bound) + " entries; " +
        (road == Road::Xml ? "--via xml holds a whole listing in memory and stops there: list it "
                             "with --via gui, which streams, or raise --max-entries"
                           : "raise --max-entries to list it whole");
    return failure;
}

ExportsResult ListExports(const Plugin& plugin, const HostOptions& host,
                          const std::string& server) {
    Shares shares = CollectShares(plugin, host, server, false);
    ExportsResult result;
    result.shares = std::move(shares.offered);
    result.error = shares.error;
    return result;
}

Failure CheckPathHeld(const Plugin& plugin, const HostOptions& host, const std::string& server,
                      const std::string& path) {
    const Shares shares = CollectShares(plugin, host, server, true);
    Failure failure;
    if (shares.error.failed) {
        failure = shares.error;
        failure.message =
            "the browse of " + path + " gave no item, and the export list of " + server +
            " that would tell whether an export holds it failed: " + shares.error.message;
        return failure;
    }
    const std::string text = PathNotHeldText(server, path, shares.offered, shares.clones);
    if (!text.empty()) {
        failure.failed = true;
        failure.message = text;
    }
    return failure;
}

Failure FinishedBrowseFailure(const Plugin& plugin, const HostOptions& host,
                              const std::string& server, const std::string& path, bool rawPath,
                              Road road, unsigned long long bound, const Failure& roadFailure,
                              size_t items) {
    Failure failure = roadFailure;
    if (failure.failed && bound != 0 && items == bound) failure = EntryBoundFailure(road, bound);
    if (!failure.failed && items == 0 && !rawPath && path != "/")
        failure = CheckPathHeld(plugin, host, server, path);
    return Presented(failure, "cannot browse " + path + " on " +
                                  (server.empty() ? std::string("the client's host") : server));
}

}  // namespace nasbrowse
