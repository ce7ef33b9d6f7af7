// The library's one process-wide setting: how long any network step may wait.
#pragma once

namespace nfsclient {

// The timeout setting in milliseconds (NFSClientSetTimeoutMs); never 0.
// Safe to call from any thread.
unsigned int TimeoutMs();

}  // namespace nfsclient
