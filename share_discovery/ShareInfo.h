// One share of a NAS file server, and the share list. Public: components
// outside the plug-in build and destroy share lists for GetNASShares, so
// everything here is inline.
#pragma once

#include <cstdint>  // int32_t
#include <list>     // std::list
#include <string>   // std::string

struct ShareInfo {
    std::string m_shareName;    // the export path exactly as the server reported it
    std::string m_sharePath;    // a second text of the share; empty for NFS exports
    bool m_isVolClone = false;  // true: the share is never offered for browsing
    int32_t m_reserved = 0;     // carried and copied, never read
};

// Shares in the order the NFS client library reported them.
typedef std::list<ShareInfo> ShareList;
