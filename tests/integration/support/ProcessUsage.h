// Open descriptors and resident memory of a process, read from /proc, for
// tests that a long run leaves nothing behind. NSB_SANITIZED is defined when
// the build uses AddressSanitizer or ThreadSanitizer, whose own bookkeeping
// makes the resident memory grow.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NSB_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NSB_SANITIZED 1
#endif

namespace nfstest {

// "/proc/<pid>/<leaf>"; pid 0 is this process.
inline std::string ProcPath(pid_t pid, const char* leaf) {
    return (pid == 0 ? std::string("/proc/self/") : "/proc/" + std::to_string(pid) + "/") + leaf;
}

// Open descriptors of `pid` (0: this process, without the one this count
// opens), or -1 when they cannot be read.
inline int OpenFds(pid_t pid = 0) {
    DIR* dir = opendir(ProcPath(pid, "fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') ++count;
    closedir(dir);
    return pid == 0 ? count - 1 : count;
}

// Resident memory of `pid` (0: this process) in KiB, or -1.
inline long RssKiB(pid_t pid = 0) {
    std::ifstream status(ProcPath(pid, "status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace nfstest
