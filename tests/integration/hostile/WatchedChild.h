// A child process run under watch: how it ended (exit status or signal),
// its wall time, and the peak resident memory of that process alone.
//
// Peak memory: wait4's ru_maxrss would fold in the child's own children
// once it has reaped them (a worker process of the NFS client, say), so it
// is not used. Instead the child's own VmHWM (/proc/PID/status, the high
// water mark of its address space) is read
//   - every 2 ms while it runs, and
//   - once more at its exit: the child is traced (PTRACE_TRACEME, nothing
//     else) with PTRACE_O_TRACEEXIT, so it stops early in exit, before its
//     memory is released, and the final VmHWM is read then.
// The exit stop is not reported for a SIGKILL (and, on recent kernels, for
// the other threads' share of a fatal signal); the samples cover those.
// Under AddressSanitizer the child is not traced (LeakSanitizer needs
// ptrace itself) and only the samples count. A child that does not exec
// starts with the resident pages of its parent and counts them: the parent
// trims its heap before the fork, and startKiB says how many there were.
// (The samples are spaced 2 ms apart and VmHWM only grows, so a sample
// missed between two reads is still seen by the next one.)
//
// The watcher kills the child (SIGKILL) past a wall-time limit or above a
// resident-memory cap, and says so: a runaway child never stalls the test
// nor takes the machine's memory.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "integration/support/ProcessUsage.h"

namespace hostile {

struct Limits {
    double killAfterSeconds = 10;
    long rssCapKiB = 512 * 1024;
};

struct Ended {
    bool exited = false;
    int status = -1;  // exit status when exited
    int signal = 0;   // the signal that ended it, otherwise
    double seconds = 0;
    long hwmKiB = -1;    // the child's own peak resident memory
    long startKiB = -1;  // its resident memory when it was started (a fork's inherited pages)
    bool killedForTime = false;
    bool killedForMemory = false;
    bool exitStopSeen = false;  // the final VmHWM was read at the exit stop
    std::string output;         // what the child wrote to its report pipe

    std::string Describe() const {
        std::string how = exited
                              ? "exit " + std::to_string(status)
                              : "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
        if (killedForTime)
            how += ", killed by the test after " + std::to_string(seconds).substr(0, 5) + " s";
        if (killedForMemory) how += ", killed by the test above its memory cap";
        return how;
    }
};

// Reads one "Key:   123 kB" line of /proc/PID/status; -1 when absent.
inline long StatusKiB(pid_t pid, const char* key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t length = strlen(key);
    while (std::getline(status, line))
        if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':')
            return std::stol(line.substr(length + 1));
    return -1;
}

// Runs `body` in a forked child (it must end with exec or _exit) and
// watches it. The child may write a report to `reportFd` (the write end of
// a pipe made here); it is collected while it runs.
inline Ended RunWatched(const std::function<void(int reportFd)>& body, const Limits& limits) {
    using Clock = std::chrono::steady_clock;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
#ifdef NSB_SANITIZED
    const bool trace = false;
#else
    const bool trace = true;
#endif
    malloc_trim(0);  // a fork starts with this process's resident pages: as few as can be
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        close(report[0]);
        if (trace) ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);  // the watcher sets its options, then lets it go
        body(report[1]);
        _exit(127);
    }
    close(report[1]);
    fcntl(report[0], F_SETFL, O_NONBLOCK);

    Ended ended;
    int status = 0;
    if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) {
        close(report[0]);
        throw std::runtime_error("watched child did not stop at its start");
    }
    ended.startKiB = StatusKiB(pid, "VmRSS");
    const bool traced =
        trace && ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                        reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC |
                                                PTRACE_O_EXITKILL)) == 0;
    const Clock::time_point start = Clock::now();
    if (traced)
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    else
        kill(pid, SIGCONT);

    bool exitStopSeen = false;
    auto sample = [&] {
        const long hwm = StatusKiB(pid, "VmHWM");
        if (hwm > ended.hwmKiB) ended.hwmKiB = hwm;
        return StatusKiB(pid, "VmRSS");
    };
    auto drain = [&] {
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(report[0], buffer, sizeof buffer);
            if (n <= 0) break;
            ended.output.append(buffer, static_cast<size_t>(n));
        }
    };
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status) || WIFSIGNALED(status)) break;
            if (WIFSTOPPED(status)) {
                const int event = status >> 16;
                int deliver = 0;
                if (event == PTRACE_EVENT_EXIT) {
                    sample();  // the memory is still there
                    exitStopSeen = true;
                } else if (event == 0 && WSTOPSIG(status) != SIGTRAP) {
                    deliver = WSTOPSIG(status);  // a signal for the child: pass it on
                }
                ptrace(PTRACE_CONT, pid, nullptr,
                       reinterpret_cast<void*>(static_cast<long>(deliver)));
                continue;
            }
        } else if (r < 0 && errno != EINTR) {
            break;
        }
        const long rss = exitStopSeen ? -1 : sample();
        drain();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ended.killedForTime && !ended.killedForMemory) {
            if (elapsed > limits.killAfterSeconds) {
                ended.killedForTime = true;
                kill(pid, SIGKILL);
            } else if (rss > limits.rssCapKiB + (traced ? 0 : ended.startKiB)) {
                // Untraced (under a sanitizer), the first samples may be of
                // the fork before its exec, holding this process's pages.
                ended.killedForMemory = true;
                kill(pid, SIGKILL);
            }
        }
        poll(nullptr, 0, 2);
    }
    ended.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    drain();
    close(report[0]);
    ended.exited = WIFEXITED(status);
    ended.status = ended.exited ? WEXITSTATUS(status) : -1;
    ended.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    ended.exitStopSeen = exitStopSeen;
    return ended;
}

}  // namespace hostile
