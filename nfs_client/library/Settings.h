// The library's process-wide settings and state: how long any network step
// may wait, the bounds of a call, where its worker is, and the memory of
// recently probed servers. Safe to use from any thread.
#pragma once

#include "nfs_client/PipeTypes.h"             // CallLimits, Security
#include "nfs_client/library/WorkerClient.h"  // WorkerSettings

namespace nfsclient {

// The timeout setting in milliseconds (NFSClientSetTimeoutMs); never 0.
unsigned int TimeoutMs();

// The bounds of a call made now.
CallLimits CurrentLimits();
WorkerSettings CurrentWorkerSettings();
// The security of a call made now to the server at `address`: the
// settings, the caller's KRB5CCNAME and KRB5_CONFIG, and the host name the
// host resolved to that address on this thread (empty when none).
Security CurrentSecurity(const char* address);

}  // namespace nfsclient
