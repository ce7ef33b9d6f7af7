#include "browse_requests/BrowseSteps.h"

#include <cstdio>  // snprintf

#include "host/BrowseMessageFields.h"    // App::ITEM_*
#include "host/EvReturnData.h"           // EvEvent, EV_MSG_NAS_SHARE_LIST_FAILED
#include "host/FXString.h"               // FXString
#include "host/LogWriter.h"              // NSB_LOG
#include "host/NFSClient.h"              // DoNFSLiveBrowse, NFS_ERROR_TEXT_SIZE
#include "plumbing/PluginTexts.h"        // kMsgNoLibraryReason, kLogLiveBrowseFailed
#include "share_discovery/ChildNames.h"  // OrderChildNames

namespace {
const char kSeparator[] = "/";
}

CLumError CollectExportChildren(CNASShareBrowse& discovery, unsigned long clientId,
                                const std::string& interfaceName, const std::string& browsePath,
                                std::list<ShareInfo>& shares, std::list<std::string>& children) {
    CLumError error = discovery.GetNASShares(clientId, true, interfaceName, browsePath,
                                             std::string(), std::string(), shares);
    if (error.IsError()) return error;
    discovery.MarkVolCloneShares(shares);
    discovery.GetChildrenFromExportPath(shares, browsePath, children);
    OrderChildNames(children);
    return CLumError::Success();
}

const ShareInfo* FindExportHolding(const std::list<ShareInfo>& shares,
                                   const std::string& browsePath) {
    if (browsePath.empty()) return nullptr;
    for (const ShareInfo& share : shares) {
        if (share.m_shareName.empty() || share.m_isVolClone) continue;
        if (FXString::MatchLeft(browsePath, share.m_shareName)) return &share;
    }
    return nullptr;
}

CLumError RunLiveBrowse(CNASShareBrowse& discovery, const std::string& interfaceName,
                        const std::string& browsePath, NASNFSShareLiveBrowse& receiver,
                        const char* function, const char* callingFormat,
                        const FXCodeLocation& location) {
    std::string hostName;
    std::string ipAddress;
    discovery.GetFileServerIP(interfaceName, hostName, ipAddress);
    NSB_LOG(2, function, callingFormat, ipAddress.c_str(), browsePath.c_str());

    char errorText[NFS_ERROR_TEXT_SIZE] = "";
    const int result = DoNFSLiveBrowse(ipAddress.c_str(), browsePath.c_str(), &receiver,
                                       NFSShareLiveBrowseCallBack, 0, 0, 1, errorText);
    if (result == 0) return CLumError::Success();
    // What was delivered so far stays; the requester is told why it stopped.
    errorText[NFS_ERROR_TEXT_SIZE - 1] = '\0';
    if (errorText[0] == '\0') snprintf(errorText, sizeof errorText, kMsgNoLibraryReason, result);
    NSB_LOG(LOG_ERROR, function, kLogLiveBrowseFailed, browsePath.c_str(), interfaceName.c_str(),
            errorText);
    return FXErrorUtil::ErrorWin32(location, WIN32_ERROR_INTERNAL_ERROR, "%s", errorText);
}

std::string WordFolderListFailure(const std::string& browsePath, const std::string& interfaceName,
                                  const std::string& libraryText, long long jobId) {
    EvEvent event;
    event << browsePath.c_str() << interfaceName.c_str() << libraryText.c_str();
    std::string message;
    event.evPrintf(EV_MSG_NAS_FOLDER_LIST_FAILED, message, jobId);
    return message;
}

std::string WordShareListFailure(const std::string& interfaceName, const CLumError& error,
                                 long long jobId) {
    EvEvent event;
    event << interfaceName.c_str() << error.AsString(ERROR_OUTPUT_USER).c_str();
    std::string message;
    event.evPrintf(EV_MSG_NAS_SHARE_LIST_FAILED, message, jobId);
    return message;
}

void AppendFolderItem(std::vector<App::MachineBrowseItem>& items, const std::string& name) {
    App::MachineBrowseItem item;
    item.setint64(App::ITEM_FOLDER.field, App::ITEM_FOLDER.secondIndex, 1,
                  App::CLASS_MACHINE_BROWSE_ITEM, App::ITEM_FOLDER.id);
    item.setstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, name,
                   App::CLASS_MACHINE_BROWSE_ITEM, App::ITEM_NAME.id);
    items.push_back(item);
}

void NormaliseInterfaceName(std::string& name) {
    FXString::RemoveLeft(name, kSeparator);
    FXString::RemoveRight(name, kSeparator);
    const size_t slash = name.find(kSeparator, 1);
    if (slash != std::string::npos) name.erase(slash);
}

bool IsRootPath(const std::string& path) { return path == "\\\\" || path == kSeparator; }

std::string BrowsePathBelowServer(const std::string& requestPath,
                                  const std::string& interfaceName) {
    std::string browsePath = requestPath;
    FXString::RemoveRight(browsePath, kSeparator);
    FXString::TrimLeft(browsePath, kSeparator);
    if (!FXString::RemoveLeft(browsePath, interfaceName))
        FXString::RemoveLeft(browsePath, kSeparator + interfaceName);
    return browsePath;
}
