// The host services nasbrowse provides to the plug-in, filled from its options.
#pragma once

#include "nasbrowse/Options.h"
#include "nasbrowse/Plugin.h"

namespace nasbrowse {

// Installs the log writer (throws std::runtime_error when the log file
// cannot be opened), fills the client registry, sets this host's VessaCell id
// and the timeout of the NFS client library the plug-in brought in (from the
// option, else from NASBROWSE_NFS_TIMEOUT; a bad variable is reported and
// ignored).
void SetUpHost(const CommonOptions& options, const Plugin& plugin);

// How long a reader of a reply waits for its next byte: the plug-in may spend
// several NFS steps, each bounded by the NFS timeout, before it writes.
unsigned int ReplyIdleTimeoutMs(const Plugin& plugin);

}  // namespace nasbrowse
