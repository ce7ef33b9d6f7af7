// The options of nasbrowse's commands, and the parsers of their values.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "nasbrowse/Output.h"  // PresentOptions

namespace nasbrowse {

// Exit statuses (also in --help and the man page).
enum ExitStatus : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1,     // the browse, the export list or writing the output failed
    EXIT_USAGE = 2,      // bad command line, path or log file
    EXIT_NO_DAEMON = 3,  // request: no daemon answered
};

// The host services and the plug-in, for the commands that load it.
struct HostOptions {
    unsigned long clientId = 2;
    std::vector<std::pair<unsigned long, std::string>> clientHosts;  // --client-host
    unsigned long cellId = 2;
    double timeoutSeconds = 0;  // 0: NASBROWSE_NFS_TIMEOUT, else the library's default
    std::string logFile;        // "-": stderr; empty: the command's default
    int logLevel = 0;
    std::string pluginPath;             // empty: the installed one (or the build tree's)
    unsigned long long maxEntries = 0;  // --max-entries; 0: the road's default (RoadMaxEntries)
    std::string security;               // --sec; empty: the library's default (auto)
    std::string keytab;                 // --keytab and --principal; empty: the credential cache
    std::string principal;
};

// The values of --sec, in the order help lists them.
extern const char* const kSecurityFlavours[5];

// Checks --keytab and --principal: both or neither, and a keytab this
// process can read. Empty when they are right, else the usage error.
std::string CheckKerberosOptions(const std::string& keytab, const std::string& principal);

// Parses "ID=NAME" of --client-host. False when ID is not a decimal number
// or NAME is empty.
bool ParseClientHost(const std::string& text, std::pair<unsigned long, std::string>& out);

// Parses a timeout in seconds ("10", "2.5"). False when it is not a positive
// number of at most one day.
bool ParseTimeoutSeconds(const std::string& text, double& seconds);

// The NFS timeout in effect: the option, else NASBROWSE_NFS_TIMEOUT, else 0
// (the library's default). `problem` says why a set variable was not used.
double EffectiveTimeoutSeconds(double optionSeconds, std::string& problem);

// The longest a whole call to the NFS client library may take, in seconds,
// from NASBROWSE_NFS_CALL_LIMIT; 0 for the library's default. A bad value
// sets `problem` and gives 0.
double CallLimitSeconds(std::string& problem);

// What a browse or a request is about: a file server and a path on it.
struct Target {
    std::string server;
    std::string path = "/";  // normalised (or as given with --raw-path)
};

// Reads the target from the command's operands: SERVER [PATH],
// SERVER:/PATH or nfs://SERVER/PATH (percent escapes decoded; [v6] for an
// IPv6 address in either of the last two). Without `raw`, repeated "/" and
// "." components are collapsed and ".." is refused. False with `error` set
// (a usage error).
bool ParseTarget(const std::string& first, const std::string* second, bool raw, Target& out,
                 std::string& error);

// "/" + the components of `path` without empty and "." ones; false with
// `error` set when a component is "..".
bool NormalisePath(const std::string& path, std::string& out, std::string& error);

// Whether a browse of `path` (normalised, not "/") that answered no item
// found an empty folder: yes when an export the browse offers (`offered`)
// is `path` or holds it, or when `path` lies above any export (`offered` or
// `clones`, which the browse never offers). Empty then; otherwise the
// failure text: "no export of SERVER holds PATH (exports: ...)", or that
// PATH is inside a clone.
std::string PathNotHeldText(const std::string& server, const std::string& path,
                            const std::vector<std::string>& offered,
                            const std::vector<std::string>& clones);

// The command closest to `word` by edit distance, or "" when none is close.
std::string ClosestCommand(const std::string& word, const std::vector<std::string>& commands);

// `text` (help) with every line longer than `width` broken at blanks. A
// continued line starts under the description: at `column` when the line
// is an option or operand line (indented, with its description beginning
// at `column`), else under the line's own indentation. A word longer than
// the room stays whole.
std::string WrapHelp(const std::string& text, size_t width, size_t column);

}  // namespace nasbrowse

namespace nasbrowse {

// The log file used when --log-file is not given (and the command does not
// log to stderr by default): $XDG_STATE_HOME/nasbrowse/nasbrowse.log, with
// ~/.local/state when XDG_STATE_HOME is unset or not absolute. Empty when
// there is no home folder to put it in.
std::string DefaultLogPath();

}  // namespace nasbrowse
