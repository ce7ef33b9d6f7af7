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

// The two roads a browse takes through the plug-in: the GUI's reply stream
// (items handed on as they come) and the console's XML response (every item
// held in this process until the listing ends).
enum class Road { Gui, Xml };

// The XML road's default bound on the entries of one listing: 1,000,000
// entries cost this process about 70 MiB (docs/XML.md).
constexpr unsigned long long kXmlRoadMaxEntries = 1000000;

// The most entries one listing on `road` may hand out: `option` when set,
// else kXmlRoadMaxEntries on the XML road and 0 (the NFS client library's
// own default) on the GUI road.
unsigned long long RoadMaxEntries(Road road, unsigned long long option);

// Sets the NFS client library's entry bound for the browses this process
// makes next on `road` (a process-wide setting: a process that serves both
// roads at once sets it for the larger of them). Returns the bound set, 0
// when the library's default applies.
unsigned long long SetRoadEntryBound(const Plugin& plugin, Road road, unsigned long long option);

// The same for the browses the calling thread makes next, and for no other
// thread: what a daemon sets per request, since it answers both roads at once.
unsigned long long SetThreadRoadEntryBound(const Plugin& plugin, Road road);

// How long a reader of a reply waits for its next byte: the plug-in may spend
// several NFS steps, each bounded by the NFS timeout, before it writes.
unsigned int ReplyIdleTimeoutMs(const Plugin& plugin);

}  // namespace nasbrowse
