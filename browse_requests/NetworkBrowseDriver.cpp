// The browse drivers that answer on a network request's reply stream.
#include "browse_requests/NASShareBrowse.h"

#include <vector>                          // std::vector

#include "browse_requests/BrowseSteps.h"   // CollectExportChildren, FindExportHolding, ...
#include "host/LogWriter.h"                // NSB_LOG

namespace {
const char kSourceFile[] = "NASShareBrowse";
const char kNFSShareBrowse[] =
    "CLumError NASNFSSharebrowse(longlong_t, long unsigned int, long unsigned int, const string&, "
    "const string&, EvRestoreReturn*)";
const char kCIFSShareBrowse[] =
    "CLumError NASCIFSSharebrowse(longlong_t, long unsigned int, long unsigned int, const string&, "
    "const string&, const string&, const string&, const string&, EvRestoreReturn*)";
const char kCIFSNotSupported[] = "CIFS Share browse not supported in non-windows platform.";

// Logs a worded failure message and sends it to the GUI.
void SendMessage(EvRestoreReturn& reply, const std::string& message) {
    NSB_LOG(LOG_ERROR, kNFSShareBrowse, "Msg [%s] sent to GUI", message.c_str());
    std::vector<char> text(message.begin(), message.end());
    text.push_back('\0');
    reply.returnMessage(text.data());
}
}  // namespace

CLumError NASNFSSharebrowse(long long sequenceNumber, unsigned long vessaCellId,
                            unsigned long clientId, const std::string& interfaceName,
                            const std::string& browsePath, EvRestoreReturn* reply) {
    if (reply == nullptr) {
        NSB_LOG(LOG_ERROR, kNFSShareBrowse, "EvInfo is NULL");
        return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kNFSShareBrowse, __LINE__),
                                       WIN32_ERROR_BAD_ARGUMENTS);
    }
    NSB_LOG(3, kNFSShareBrowse,
            "NAS NFS share browse:  SequenceNumber [%lld] VessaCellId [%lu] Client [%lu] "
            "Interface [%s] BrowsePath [%s]",
            sequenceNumber, vessaCellId, clientId, interfaceName.c_str(), browsePath.c_str());

    CNASShareBrowse discovery(vessaCellId);
    std::list<ShareInfo> shares;
    std::list<std::string> children;
    CLumError error =
        CollectExportChildren(discovery, clientId, interfaceName, browsePath, shares, children);
    if (error.IsError()) {
        NSB_LOG(LOG_ERROR, kNFSShareBrowse, "Couldn't populate NFS NAS share list, error=%s",
                error.AsString().c_str());
        SendMessage(*reply, WordShareListFailure(interfaceName, error, sequenceNumber));
        reply->end(0);
        return error.Push(FXCodeLocation(kSourceFile, kNFSShareBrowse, __LINE__));
    }

    for (const std::string& child : children) {
        NSB_LOG(4, kNFSShareBrowse, "Interface [%s] BrowsePath [%s] has Share [%s]",
                interfaceName.c_str(), browsePath.c_str(), child.c_str());
        reply->returnItem(1, child.c_str(), 0, 0, 0, 0, 0, 0);
    }

    const ShareInfo* holder = FindExportHolding(shares, browsePath);
    if (holder != nullptr) {
        NSB_LOG(4, kNFSShareBrowse, "Browse path [%s] is from NFS export path [%s]",
                browsePath.c_str(), holder->m_shareName.c_str());
        NASNFSShareLiveBrowse receiver(browsePath, reply, nullptr, &children);
        CLumError listed = RunLiveBrowse(discovery, interfaceName, browsePath, receiver, kNFSShareBrowse,
                                         "Calling DoNFSLiveBrowse with IP[%s] and browse path[%s].",
                                         FXCodeLocation(kSourceFile, kNFSShareBrowse, __LINE__));
        if (listed.IsError()) {
            // After the items that came: the requester must not take a
            // folder that could not be listed for an empty one.
            SendMessage(*reply, WordFolderListFailure(browsePath, interfaceName,
                                                      listed.AsString(ERROR_OUTPUT_USER), sequenceNumber));
            reply->end(0);
            return listed.Push(FXCodeLocation(kSourceFile, kNFSShareBrowse, __LINE__));
        }
    }

    reply->end(0);
    return CLumError::Success();
}

CLumError NASCIFSSharebrowse(long long, unsigned long, unsigned long, const std::string&,
                             const std::string&, const std::string&, const std::string&,
                             const std::string&, EvRestoreReturn*) {
    NSB_LOG(LOG_ERROR, kCIFSShareBrowse, "%s", kCIFSNotSupported);
    return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kCIFSShareBrowse, __LINE__),
                                   WIN32_ERROR_NOT_SUPPORTED, "%s", kCIFSNotSupported);
}
