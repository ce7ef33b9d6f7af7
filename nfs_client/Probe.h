// Which protocol a server is browsed with, found without remembering
// anything between calls.
#pragma once

#include <memory>

#include "nfs_client/Nfs4.h"

namespace nfsclient {

enum class Road {
    V3,           // MOUNT + NFSv3, also for servers that answer neither probe
    V4,           // NFSv4.0 without MOUNT
    V4MinorOnly,  // NFSv4 that refuses minor version 0 and no MOUNT service
};

struct ProbeOutcome {
    Road road = Road::V3;
    // On Road::V4, the connected session whose PUTROOTFH was answered.
    std::unique_ptr<Nfs4Session> v4;
};

// Asks the portmapper for MOUNT v3 and, at the same time, sends an NFSv4
// PUTROOTFH to port 2049. MOUNT registered: V3. MOUNT refused or not
// registered: V4 once the NFSv4 probe has answered (V4MinorOnly when it
// answered NFS4ERR_MINOR_VERS_MISMATCH); V3 when it failed or is still
// silent after the grace period. MOUNT still silent at the end of the grace
// period: V4 when NFSv4 has answered, else V3. The v3 road then does its
// own work from the start, so its outcomes and texts stay as they were.
ProbeOutcome ProbeServer(const char* address, int family, unsigned int timeoutMs);

// The error text for Road::V4MinorOnly.
std::string MinorVersionText(const char* address);

}  // namespace nfsclient
