#include "share_discovery/CNASShareBrowse.h"

#include <new>  // std::nothrow

#include "host/LogWriter.h"                      // NSB_LOG
#include "host/NFSClient.h"                      // GetExports, NFS_ERROR_TEXT_SIZE
#include "plumbing/PluginTexts.h"                // kSig*, kLog*, kSourceFile, kDefaultVessaCellId
#include "share_discovery/NFSExportCallBacks.h"  // NFSExportCallBacks, funcAddExportPath

CNASShareBrowse::CNASShareBrowse() {
    ORVPI_VessaServer server;
    m_vessaCellId = server.getVessaCellId();
    if (m_vessaCellId == 0) m_vessaCellId = kDefaultVessaCellId;
}

CNASShareBrowse::CNASShareBrowse(unsigned long vessaCellId) : m_vessaCellId(vessaCellId) {}

CNASShareBrowse::~CNASShareBrowse() {}

CLumError CNASShareBrowse::Initialize(boost::shared_ptr<CCommandLineArguments>) {
    return CLumError::Success();
}

CLumError CNASShareBrowse::GetNASShares(unsigned long clientId, bool getShareList,
                                        const std::string& interfaceName,
                                        const std::string& browsePath, const std::string& userName,
                                        const std::string&, std::list<ShareInfo>& shares) {
    NSB_LOG(1, kSigGetNASShares, kLogGetNASShares, interfaceName.c_str(), browsePath.c_str(),
            m_vessaCellId, clientId, userName.c_str());

    if (clientId <= 1 && interfaceName.empty())
        return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigGetNASShares, __LINE__),
                                       WIN32_ERROR_BAD_ARGUMENTS);

    std::string serverName = interfaceName;
    if (serverName.empty()) {
        ORVClient client(clientId);
        if (client.getNetworkHostname(serverName, nullptr) != 0) {
            NSB_LOG(LOG_ERROR, kSigGetNASShares, kLogNoHostNameOfClient, clientId);
            return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigGetNASShares, __LINE__),
                                           WIN32_ERROR_INTERNAL_ERROR, kLogNoHostNameOfClient,
                                           clientId);
        }
    }

    if (!getShareList) return CLumError::Success();

    shares.clear();
    NFSExportCallBacks callbacks(shares);
    std::string hostName;
    std::string ipAddress;
    GetFileServerIP(serverName, hostName, ipAddress);

    // Starts empty so that a library that fails without a text reports nothing
    // rather than stack garbage.
    char errorText[NFS_ERROR_TEXT_SIZE] = "";
    const int result = GetExports(ipAddress.c_str(), &callbacks, funcAddExportPath, errorText);
    if (result == 0) return CLumError::Success();

    errorText[NFS_ERROR_TEXT_SIZE - 1] = '\0';
    NSB_LOG(0, kSigGetNASShares, kLogExportListFailed, errorText);
    return FXErrorUtil::ErrorWin32(FXCodeLocation(kSourceFile, kSigGetNASShares, __LINE__),
                                   WIN32_ERROR_INTERNAL_ERROR, kLogExportListFailed, errorText);
}

bool CNASShareBrowse::GetFileServerIP(const std::string& serverName, std::string& hostName,
                                      std::string& ipAddress) {
    hostName = serverName;
    ipAddress.clear();
    if (serverName.empty()) {
        NSB_LOG(LOG_ERROR, kSigGetFileServerIP, kLogNoServerName);
        return false;
    }

    CLumIPAddr address;
    CLumError error = CLumIPAddr::GetByName(hostName.c_str(), address, CLumIPAddr::IP_FAMILY_ANY);
    if (error.IsError()) {
        NSB_LOG(LOG_ERROR, kSigGetFileServerIP, kLogNoAddress, hostName.c_str(),
                error.AsString().c_str());
        return false;
    }

    CLumString text;
    address.GetAddressString(text);
    ipAddress = text.c_str();
    NSB_LOG(2, kSigGetFileServerIP, kLogUsingAddress, ipAddress.c_str(), hostName.c_str());
    return true;
}

extern "C" CNASShareBrowseInterface* GetNASShareBrowseFN() {
    return new (std::nothrow) CNASShareBrowse();
}
