// The host services nasbrowse provides to the plug-in, filled from its options.
#pragma once

#include <stdexcept>
#include <string>

#include "nasbrowse/Options.h"
#include "nasbrowse/Plugin.h"

namespace nasbrowse {

// A log file that cannot be opened (a usage error: exit 2).
struct LogFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Installs the host's log writer: to stderr for --log-file - (or, without
// the option, when `stderrByDefault`), else to the named or the default log
// file, whose folder is made (mode 0700) when missing. Throws LogFileError
// with a sentence when the file cannot be opened. Returns where it logs.
std::string SetUpLog(const HostOptions& options, bool stderrByDefault);

// Fills the client registry, sets this host's cell id and the timeout of the
// NFS client library the plug-in loaded (from the option, else from
// NASBROWSE_NFS_TIMEOUT; a bad variable is reported on stderr and ignored).
// Returns the timeout in effect, in seconds.
double SetUpHost(const HostOptions& options, const Plugin& plugin);

// How long a reader of a reply waits for its next byte: the plug-in may spend
// several NFS steps, each bounded by the NFS timeout, before it writes.
unsigned int ReplyIdleTimeoutMs(const Plugin& plugin);

}  // namespace nasbrowse
