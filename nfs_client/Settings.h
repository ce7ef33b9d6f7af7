// The library's process-wide settings and state: how long any network step
// may wait, and the memory of recently probed servers.
#pragma once

namespace nfsclient {

// The timeout setting in milliseconds (NFSClientSetTimeoutMs); never 0.
// Safe to call from any thread.
unsigned int TimeoutMs();

}  // namespace nfsclient
