// The plug-in's literal texts and the facts they go with: the signature
// texts its log lines and error locations name, its log texts, and the
// messages it sends to the requester.
//
// Every text here is fixed by the system's contract with the host, whose
// logs and readers know them byte for byte. A signature text is not the
// compiler's spelling of the function (so never __PRETTY_FUNCTION__ or
// __func__): it stays what it is when a parameter is renamed, a typedef
// changes or another compiler builds the plug-in. Change none of them
// without changing the contract; the tests assert many of them.
//
// Only the plug-in's objects use these. Our host layer and tools name their
// own functions with the compiler's spelling (NSB_LOG_HERE,
// host_framework/CallSite.h).
#pragma once

// ---- Facts ----

// The source file name in the plug-in's error locations.
constexpr char kSourceFile[] = "NASShareBrowse";
// The VessaCell a request without one (or with id 0) is answered for.
constexpr unsigned long kDefaultVessaCellId = 2;
// The snapshot area: a directory never listed, a share path never offered.
constexpr char kSnapshotName[] = ".snapshot";
// This system's clone naming: an export path holding it is never offered.
constexpr char kCloneMark[] = "_ORVclone";
// The prefix of this system's clones of the VessaCell %lu.
constexpr char kClonePrefixFormat[] = "SP_%lu_";

// ---- Signature texts ----

constexpr char kSigNASShareBrowse[] =
    "void NASShareBrowse(MessageInfo*, char*, long unsigned int, int, COrvNetwork*)";
constexpr char kSigNASShareXMLBrowse[] =
    "void NASShareXMLBrowse(App::MachineBrowseReq*, App::MachineBrowseResp*, App::GenericResp*)";
constexpr char kSigNFSShareBrowse[] =
    "CLumError NASNFSSharebrowse(longlong_t, long unsigned int, long unsigned int, const string&, "
    "const string&, EvRestoreReturn*)";
constexpr char kSigCIFSShareBrowse[] =
    "CLumError NASCIFSSharebrowse(longlong_t, long unsigned int, long unsigned int, const string&, "
    "const string&, const string&, const string&, const string&, EvRestoreReturn*)";
constexpr char kSigNFSShareXMLBrowse[] =
    "CLumError NASNFSShareXMLbrowse(long unsigned int, long unsigned int, const string&, "
    "const string&, std::vector<App::MachineBrowseItem>*, App::GenericResp*)";
constexpr char kSigCIFSShareXMLBrowse[] =
    "CLumError NASCIFSShareXMLbrowse(long unsigned int, long unsigned int, const string&, "
    "const string&, const string&, const string&, const string&, "
    "std::vector<App::MachineBrowseItem>*, App::GenericResp*)";
constexpr char kSigGetNASShares[] =
    "virtual CLumError CNASShareBrowse::GetNASShares(long unsigned int, bool, const string&, "
    "const string&, const string&, const string&, std::__cxx11::list<ShareInfo>&)";
constexpr char kSigGetFileServerIP[] =
    "virtual bool CNASShareBrowse::GetFileServerIP(const string&, std::string&, std::string&)";
constexpr char kSigGetChildren[] =
    "virtual bool CNASShareBrowse::GetChildrenFromExportPath(std::__cxx11::list<ShareInfo>&, "
    "const string&, std::__cxx11::list<std::__cxx11::basic_string<char> >&)";
constexpr char kSigAddExportPath[] = "bool NFSExportCallBacks::AddExportPath(const char*)";
constexpr char kSigBrowseCallBack[] = "virtual bool NASNFSShareLiveBrowse::BrowseCallBack(void*)";
constexpr char kSigLiveBrowseAdapter[] =
    "bool NFSShareLiveBrowseCallBack(void*, void*, long long unsigned int, bool, bool&)";

// ---- Messages to the requester (and the texts of the errors behind them) ----

constexpr char kMsgNoPath[] = "The browse request carried no path.";
constexpr char kMsgCIFSNotSupported[] = "CIFS Share browse not supported in non-windows platform.";
constexpr char kMsgCIFSXMLNotSupported[] =
    "CIFS Share XML browse not supported in non-windows platform.";
// When the NFS client library failed without a text: its status.
constexpr char kMsgNoLibraryReason[] = "the NFS client library gave no reason (status %d)";

// ---- Log texts, by the function that writes them ----

// NASShareBrowse, NASShareXMLBrowse
constexpr char kLogNullPointers[] = "Null Pointers";
constexpr char kLogNullPathValue[] = "(null)";  // a null path, as kLogNetworkRequest shows it
constexpr char kLogNetworkRequest[] =
    "NAS share browse: Path [%s], SequenceNumber [%lld] VessaCellId [%lu] Client [%lu] "
    "Subclient [%lu] User [%s] Interface [%s] CredentialId [%u]";
constexpr char kLogNoHostNameOfClientEntry[] = "Could not lookup host name for client Id[%lu]";
constexpr char kLogNetworkBrowseFailed[] =
    "Couldn't browse NFS NAS share [%s] from Interface [%s], error=%s";
constexpr char kLogXmlRequest[] =
    "NAS share XML browse: Path [%s] VessaCellId [%lu] Client [%lu] Subclient [%lu] "
    "User [%s] Interface: [%s] CredentialId [%u]";
constexpr char kLogNoBrowseItems[] = "MachineBrowseResp::getBrowseItems failed";
constexpr char kLogXmlBrowseFailed[] =
    "Couldn't XML browse NFS NAS share [%s] from Interface [%s], error=%s";
constexpr char kLogXmlItemCount[] = "Number of items in the NAS share browse response [%zu]";

// NASNFSSharebrowse, NASCIFSSharebrowse
constexpr char kLogSentToGui[] = "Msg [%s] sent to GUI";
constexpr char kLogNoReply[] = "EvInfo is NULL";
constexpr char kLogNetworkDriver[] =
    "NAS NFS share browse:  SequenceNumber [%lld] VessaCellId [%lu] Client [%lu] "
    "Interface [%s] BrowsePath [%s]";
constexpr char kLogNetworkShareListFailed[] = "Couldn't populate NFS NAS share list, error=%s";
constexpr char kLogShareOfPath[] = "Interface [%s] BrowsePath [%s] has Share [%s]";
constexpr char kLogNetworkPathOfExport[] = "Browse path [%s] is from NFS export path [%s]";
constexpr char kLogNetworkCalling[] = "Calling DoNFSLiveBrowse with IP[%s] and browse path[%s].";

// NASNFSShareXMLbrowse, NASCIFSShareXMLbrowse
constexpr char kLogSentToConsole[] = "Msg [%s] sent to admin console";
constexpr char kLogNoBrowseItemList[] = "BrowseItems is NULL";
constexpr char kLogXmlDriver[] =
    "NAS NFS share browse:  VessaCellId [%lu] Client [%lu] Interface [%s] BrowsePath [%s]";
constexpr char kLogXmlShareListFailed[] = "Couldn't populate NAS share list, error=%s";
constexpr char kLogXmlPathOfExport[] = "XML Browse path [%s] is from NFS export path [%s]";
constexpr char kLogXmlCalling[] = "Calling DoNFSLiveBrowse with IP[%s] and path[%s].";

// Both drivers' live listing (under the driver's signature text)
constexpr char kLogLiveBrowseFailed[] = "Live browse of [%s] on [%s] failed [%s]";

// CNASShareBrowse::GetNASShares
constexpr char kLogGetNASShares[] =
    "Interface [%s] Browse path [%s] VessaCell [%lu] Client [%lu] User [%s]";
constexpr char kLogNoHostNameOfClient[] = "Could not lookup host name for client Id [%lu]";
constexpr char kLogExportListFailed[] = "LibNFS export list failed [%s]";

// CNASShareBrowse::GetFileServerIP
constexpr char kLogNoServerName[] = "Invalid file server name";
constexpr char kLogNoAddress[] = "Could not get IP address for host:[%s], error=%s";
constexpr char kLogUsingAddress[] = "Using IP[%s] for host[%s] to get the NFS export list";

// CNASShareBrowse::GetChildrenFromExportPath
constexpr char kLogExportAndParent[] = "NFS export path[%s], Parent path[%s]";
constexpr char kLogSelectingChild[] = "Selecting child [%s] for browse";

// NFSExportCallBacks::AddExportPath
constexpr char kLogAddingShare[] = "Adding [%s] in share list";

// NASNFSShareLiveBrowse::BrowseCallBack, NFSShareLiveBrowseCallBack
constexpr char kLogNullItem[] = "a_pItemInfo is NULL";
constexpr char kLogEntry[] = "Name: [%s] Type: [%u] Mode: [0x%x] WriteTime: [%lu] Size: [%llu]";
constexpr char kLogSkippingSnapshot[] = "Skipping [%s] since it is a snapshot dir.";
constexpr char kLogSkippingExport[] = "Skipping [%s] since it is an export and added already.";
constexpr char kLogNoDestination[] =
    "Both m_pEvInfo and m_browseItems in NASNFSShareLiveBrowse::BrowseCallBack are NULL";
constexpr char kLogNullPointer[] = "NULL ptr";
