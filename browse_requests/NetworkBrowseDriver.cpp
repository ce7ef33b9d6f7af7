// The browse drivers that answer on a network request's reply stream.
#include "browse_requests/NASShareBrowse.h"

#include <vector>  // std::vector

#include "browse_requests/BrowseSteps.h"  // CollectExportChildren, FindExportHolding, ...
#include "host/LogWriter.h"               // NSB_LOG
#include "plumbing/PluginTexts.h"         // kSig*, kLog*, kMsgCIFSNotSupported, kSourceFile

namespace {

// Logs a worded failure message and sends it to the GUI.
void SendMessage(EvRestoreReturn& reply, const std::string& message) {
    NSB_LOG(LOG_ERROR, kSigNFSShareBrowse, kLogSentToGui, message.c_str());
    std::vector<char> text(message.begin(), message.end());
    text.push_back('\0');
    reply.returnMessage(text.data());
}
}  // namespace

CLumError NASNFSSharebrowse(long long sequenceNumber, unsigned long vessaCellId,
                            unsigned long clientId, const std::string& interfaceName,
                            const std::string& browsePath, EvRestoreReturn* reply) {
    if (reply == nullptr) {
        NSB_LOG(LOG_ERROR, kSigNFSShareBrowse, kLogNoReply);
        return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigNFSShareBrowse, __LINE__),
                                       WIN32_ERROR_BAD_ARGUMENTS);
    }
    NSB_LOG(3, kSigNFSShareBrowse, kLogNetworkDriver, sequenceNumber, vessaCellId, clientId,
            interfaceName.c_str(), browsePath.c_str());

    CNASShareBrowse discovery(vessaCellId);
    std::list<ShareInfo> shares;
    std::list<std::string> children;
    CLumError error =
        CollectExportChildren(discovery, clientId, interfaceName, browsePath, shares, children);
    if (error.IsError()) {
        NSB_LOG(LOG_ERROR, kSigNFSShareBrowse, kLogNetworkShareListFailed,
                error.AsString().c_str());
        SendMessage(*reply, WordShareListFailure(interfaceName, error, sequenceNumber));
        reply->end(0);
        return error.Push(FXCodeLocation(kSourceFile, kSigNFSShareBrowse, __LINE__));
    }

    for (const std::string& child : children) {
        NSB_LOG(4, kSigNFSShareBrowse, kLogShareOfPath, interfaceName.c_str(), browsePath.c_str(),
                child.c_str());
        reply->returnItem(1, child.c_str(), 0, 0, 0, 0, 0, 0);
    }

    const ShareInfo* holder = FindExportHolding(shares, browsePath);
    if (holder != nullptr) {
        NSB_LOG(4, kSigNFSShareBrowse, kLogNetworkPathOfExport, browsePath.c_str(),
                holder->m_shareName.c_str());
        NASNFSShareLiveBrowse receiver(browsePath, reply, nullptr, &children);
        CLumError listed = RunLiveBrowse(discovery, interfaceName, browsePath, receiver,
                                         kSigNFSShareBrowse, kLogNetworkCalling,
                                         FXCodeLocation(kSourceFile, kSigNFSShareBrowse, __LINE__));
        if (listed.IsError()) {
            // After the items that came: the requester must not take a
            // folder that could not be listed for an empty one.
            SendMessage(*reply,
                        WordFolderListFailure(browsePath, interfaceName,
                                              listed.AsString(ERROR_OUTPUT_USER), sequenceNumber));
            reply->end(0);
            return listed.Push(FXCodeLocation(kSourceFile, kSigNFSShareBrowse, __LINE__));
        }
    }

    reply->end(0);
    return CLumError::Success();
}

CLumError NASCIFSSharebrowse(long long, unsigned long, unsigned long, const std::string&,
                             const std::string&, const std::string&, const std::string&,
                             const std::string&, EvRestoreReturn*) {
    NSB_LOG(LOG_ERROR, kSigCIFSShareBrowse, "%s", kMsgCIFSNotSupported);
    return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigCIFSShareBrowse, __LINE__),
                                   WIN32_ERROR_NOT_SUPPORTED, "%s", kMsgCIFSNotSupported);
}
