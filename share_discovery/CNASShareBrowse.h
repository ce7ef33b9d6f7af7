// The share discovery object: a file server's NFS exports as a share list,
// the names below a browse path that lead to exports, and the marking of
// shares that are never offered.
//
// Other components obtain an instance from GetNASShareBrowseFN and own it;
// the browse drivers build one on their stack per request. One instance is
// used by one thread at a time; instances are independent.
#pragma once

#include <list>                  // std::list
#include <string>                // std::string
#include <boost/shared_ptr.hpp>  // boost::shared_ptr

#include "host/Lookups.h"   // CCommandLineArguments
#include "host/LumError.h"  // CLumError
#include "host/Platform.h"  // NASSB_API
#include "share_discovery/ShareInfo.h"

class NASSB_API CNASShareBrowseInterface {
public:
    virtual ~CNASShareBrowseInterface() {}

    // Collects the NFS export list of the file server `interfaceName` (or, when
    // that is empty, of client `clientId`'s network host) into `shares`, in
    // the order the server reports it. With `getShareList` false only the
    // arguments are checked. `browsePath` and `userName` are only logged;
    // `reserved` is not read.
    virtual CLumError GetNASShares(unsigned long clientId, bool getShareList,
                                   const std::string& interfaceName, const std::string& browsePath,
                                   const std::string& userName, const std::string& reserved,
                                   std::list<ShareInfo>& shares) = 0;
};

class NASSB_API CNASShareBrowse : public CNASShareBrowseInterface {
public:
    // Works for this host's VessaCell (2 when the host has none).
    CNASShareBrowse();
    // Works for `vessaCellId` exactly as given.
    explicit CNASShareBrowse(unsigned long vessaCellId);
    virtual ~CNASShareBrowse();

    CLumError GetNASShares(unsigned long clientId, bool getShareList,
                           const std::string& interfaceName, const std::string& browsePath,
                           const std::string& userName, const std::string& reserved,
                           std::list<ShareInfo>& shares) override;

    // Accepts the host's command line and ignores it.
    virtual CLumError Initialize(boost::shared_ptr<CCommandLineArguments> arguments);

    // Appends to `children` the path component that follows `parentPath` in
    // each export path of `shares` not marked as a clone. Always true.
    virtual bool GetChildrenFromExportPath(std::list<ShareInfo>& shares,
                                           const std::string& parentPath,
                                           std::list<std::string>& children);

    // Sets m_isVolClone on every share from its names.
    virtual void MarkVolCloneShares(std::list<ShareInfo>& shares);

    // Resolves `serverName` into `ipAddress`; `hostName` receives a copy of
    // `serverName`. False (and an empty `ipAddress`) when it does not resolve.
    virtual bool GetFileServerIP(const std::string& serverName, std::string& hostName,
                                 std::string& ipAddress);

    unsigned long m_vessaCellId;
};

// Makes a share discovery object for this host's VessaCell. The caller owns
// it and deletes it through the interface. Null when memory runs out.
extern "C" NASSB_API CNASShareBrowseInterface* GetNASShareBrowseFN();
