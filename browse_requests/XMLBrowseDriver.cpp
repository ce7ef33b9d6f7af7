// The browse drivers that answer in an XML response.
#include "browse_requests/NASShareBrowse.h"

#include "browse_requests/BrowseSteps.h"  // CollectExportChildren, FindExportHolding, ...
#include "host/BrowseMessageFields.h"     // App::ITEM_*, App::GENERIC_*
#include "host/LogWriter.h"               // NSB_LOG
#include "plumbing/PluginTexts.h"         // kSig*, kLog*, kMsgCIFSXMLNotSupported, kSourceFile

namespace {

// Puts the error's Win32 code and the worded message into the response.
void ReportFailure(App::GenericResp& genericResp, const CLumError& error,
                   const std::string& message) {
    const int32_t code = static_cast<int32_t>(FXErrorUtil::GetWin32(error));
    genericResp.setint64(App::GENERIC_ERROR_CODE.field, App::GENERIC_ERROR_CODE.secondIndex, code,
                         App::CLASS_GENERIC_RESP, App::GENERIC_ERROR_CODE.id);
    genericResp.setstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex, message,
                          App::CLASS_GENERIC_RESP, App::GENERIC_MESSAGE.id);
    NSB_LOG(LOG_ERROR, kSigNFSShareXMLBrowse, kLogSentToConsole, message.c_str());
}
}  // namespace

CLumError NASNFSShareXMLbrowse(unsigned long vessaCellId, unsigned long clientId,
                               const std::string& interfaceName, const std::string& browsePath,
                               std::vector<App::MachineBrowseItem>* browseItems,
                               App::GenericResp* genericResp) {
    if (browseItems == nullptr) {
        NSB_LOG(LOG_ERROR, kSigNFSShareXMLBrowse, kLogNoBrowseItemList);
        return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigNFSShareXMLBrowse, __LINE__),
                                       WIN32_ERROR_BAD_ARGUMENTS);
    }
    NSB_LOG(3, kSigNFSShareXMLBrowse, kLogXmlDriver, vessaCellId, clientId, interfaceName.c_str(),
            browsePath.c_str());

    CNASShareBrowse discovery(vessaCellId);
    std::list<ShareInfo> shares;
    std::list<std::string> children;
    CLumError error =
        CollectExportChildren(discovery, clientId, interfaceName, browsePath, shares, children);
    if (error.IsError()) {
        NSB_LOG(LOG_ERROR, kSigNFSShareXMLBrowse, kLogXmlShareListFailed, error.AsString().c_str());
        if (genericResp != nullptr)
            ReportFailure(*genericResp, error, WordShareListFailure(interfaceName, error, 0));
        return error.Push(FXCodeLocation(kSourceFile, kSigNFSShareXMLBrowse, __LINE__));
    }

    for (const std::string& child : children) AppendFolderItem(*browseItems, child);

    const ShareInfo* holder = FindExportHolding(shares, browsePath);
    if (holder != nullptr) {
        NSB_LOG(4, kSigNFSShareXMLBrowse, kLogXmlPathOfExport, browsePath.c_str(),
                holder->m_shareName.c_str());
        NASNFSShareLiveBrowse receiver(browsePath, nullptr, browseItems, &children);
        CLumError listed = RunLiveBrowse(
            discovery, interfaceName, browsePath, receiver, kSigNFSShareXMLBrowse, kLogXmlCalling,
            FXCodeLocation(kSourceFile, kSigNFSShareXMLBrowse, __LINE__));
        if (listed.IsError()) {
            // The items appended so far stay; the response says the folder
            // could not be listed, so it is never taken for an empty one.
            if (genericResp != nullptr)
                ReportFailure(*genericResp, listed,
                              WordFolderListFailure(browsePath, interfaceName,
                                                    listed.AsString(ERROR_OUTPUT_USER), 0));
            return listed.Push(FXCodeLocation(kSourceFile, kSigNFSShareXMLBrowse, __LINE__));
        }
    }
    return CLumError::Success();
}

CLumError NASCIFSShareXMLbrowse(unsigned long, unsigned long, const std::string&,
                                const std::string&, const std::string&, const std::string&,
                                const std::string&, std::vector<App::MachineBrowseItem>*,
                                App::GenericResp*) {
    NSB_LOG(LOG_ERROR, kSigCIFSShareXMLBrowse, "%s", kMsgCIFSXMLNotSupported);
    return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigCIFSShareXMLBrowse, __LINE__),
                                   WIN32_ERROR_NOT_SUPPORTED, "%s", kMsgCIFSXMLNotSupported);
}
