// Steps both browse drivers take, whatever medium they answer on.
#pragma once

#include <list>    // std::list
#include <string>  // std::string
#include <vector>  // std::vector

#include "host/LumError.h"                      // CLumError
#include "host/MessageBase.h"                   // App::MachineBrowseItem
#include "live_browse/NASNFSShareLiveBrowse.h"  // NASNFSShareLiveBrowse
#include "share_discovery/CNASShareBrowse.h"    // CNASShareBrowse, ShareInfo

// Obtains the share list of `interfaceName`, marks the shares never offered,
// and fills `children` with the ordered names one level below `browsePath`.
// On failure returns the share-list error and leaves `children` empty.
CLumError CollectExportChildren(CNASShareBrowse& discovery, unsigned long clientId,
                                const std::string& interfaceName, const std::string& browsePath,
                                std::list<ShareInfo>& shares, std::list<std::string>& children);

// The first offered share whose name is a prefix of `browsePath` (byte for
// byte, with no separator required after it), or null. Null for an empty path.
const ShareInfo* FindExportHolding(const std::list<ShareInfo>& shares,
                                   const std::string& browsePath);

// Lists `browsePath` on `interfaceName` live into `receiver`. Logs the call
// with `callingFormat` ("...IP[%s]...[%s]." with the address and the path) and
// a failed listing at level -1, both under `function`. A failed listing
// returns error 1359 carrying the NFS client library's text, at `location`;
// what the receiver got before the failure stays delivered.
CLumError RunLiveBrowse(CNASShareBrowse& discovery, const std::string& interfaceName,
                        const std::string& browsePath, NASNFSShareLiveBrowse& receiver,
                        const char* function, const char* callingFormat,
                        const FXCodeLocation& location);

// Words the failure to list the folder `browsePath` of `interfaceName` for
// the requester, with the NFS client library's text.
std::string WordFolderListFailure(const std::string& browsePath, const std::string& interfaceName,
                                  const std::string& libraryText, long long jobId);

// Words the failure to list the shares of `interfaceName` for the requester.
std::string WordShareListFailure(const std::string& interfaceName, const CLumError& error,
                                 long long jobId);

// Appends a folder item named `name` to an XML response's items.
void AppendFolderItem(std::vector<App::MachineBrowseItem>& items, const std::string& name);

// Normalises a file server name as the requests carry it: without a leading
// and a trailing "/", and cut before any further "/".
void NormaliseInterfaceName(std::string& name);

// True when `path` asks for the root: exactly "/" or two backslashes.
bool IsRootPath(const std::string& path);

// The browse path below the file server for a request path.
std::string BrowsePathBelowServer(const std::string& requestPath, const std::string& interfaceName);
