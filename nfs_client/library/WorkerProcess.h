// One NFS client worker process and the two pipes to it: started with its
// limits (posix_spawn, a clean environment, --limits for the worker to set
// on itself), written to and read from without blocking, and reaped within a
// bounded wait.
#pragma once

#include <sys/types.h>  // pid_t

#include <chrono>  // steady_clock
#include <string>  // std::string

#include "nfs_client/library/WorkerClient.h"  // WorkerSettings

namespace nfsclient {

class Worker {
public:
    Worker() = default;
    ~Worker() {
        CloseFds();
        Reap(0);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool Start(const WorkerSettings& settings, std::string& why);
    // Started with these settings, and still waiting for its request.
    bool Fits(const WorkerSettings& settings) const;
    bool Waiting() const;
    int Input() const { return m_in; }
    int Output() const { return m_out; }
    void CloseInput();
    // Waits up to `graceMs` for the worker to end, then kills it; the text
    // of how it ended.
    std::string Reap(int graceMs);
    // True once the worker has ended (reaped), without waiting.
    bool Ended();
    // Closes the pipe the worker writes to: it sees that nobody reads any
    // more, ends its work (an NFSv4.1 session is torn down) and exits.
    void CloseOutput();

private:
    void CloseFds() {
        CloseInput();
        CloseOutput();
    }
    pid_t m_pid = -1;
    int m_in = -1;   // the worker's standard input
    int m_out = -1;  // the worker's standard output
    WorkerSettings m_settings;
};

// Writes everything to a non-blocking descriptor by `deadline`.
bool WriteAll(int fd, const std::string& bytes, std::chrono::steady_clock::time_point deadline);

}  // namespace nfsclient
