// What the NFS client worker gives up before it reads anything of a server:
// resources beyond its limits, and system calls beyond what it needs.
#pragma once

#include <string>  // std::string

namespace nfsclient {
namespace worker {

struct SandboxLimits {
    unsigned long memoryMiB = 256;  // address space; 0: unlimited
    unsigned long cpuSeconds = 0;   // 0: unlimited
};

// No core files, no files written, few descriptors, not traceable; the
// address space and CPU time bounded. (The worker ends with the library's
// process by its standard input's end, not by a parent-death signal: that
// signal follows the thread that started it, and a spare worker is started
// by whichever thread made the call before.) Sanitizer builds keep their
// address space (their shadow memory needs it). False, with `why`, when a
// limit could not be set.
bool ApplyLimits(const SandboxLimits& limits, std::string& why);

// Allows only the system calls the protocol work needs (sockets, poll, read
// and write, memory, time, exit, and for Kerberos files opened for reading
// only); any other fails with EPERM. False, with `why`, when the filter
// could not be loaded.
bool RestrictSystemCalls(std::string& why);

// Takes away the reading of files (for a call that needs no Kerberos): a
// second filter, on top of the first. False, with `why`, when it could not
// be loaded.
bool RestrictFiles(std::string& why);

}  // namespace worker
}  // namespace nfsclient
