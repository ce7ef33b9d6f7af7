// Workers started ahead of the calls that will use them, and workers that
// answered, left to end by themselves.
#pragma once

#include <chrono>  // steady_clock
#include <memory>  // std::unique_ptr
#include <mutex>   // std::mutex
#include <string>  // std::string
#include <vector>  // std::vector

#include "nfs_client/library/WorkerProcess.h"  // Worker

namespace nfsclient {

// Starting a process costs about a millisecond, which a spare pays while
// the host is not waiting. Each worker serves one call and ends; a spare
// that has gone, or was started with other settings, is replaced.
// Thread-safe.
class WorkerPool {
public:
    static constexpr size_t kSpares = 2;

    // A started worker for `settings`: a spare when one fits, else a new one.
    std::unique_ptr<Worker> Take(const WorkerSettings& settings, std::string& why);
    // Starts spares for later calls, up to kSpares (and settings.spares).
    void Refill(const WorkerSettings& settings);
    // Starts workers now, up to `count` spares in all (at most kSpares),
    // whatever settings.spares says: for a host that knows how many calls
    // it is about to make and keeps no spares after them.
    void Prestart(const WorkerSettings& settings, size_t count);
    // A worker that has answered and is ending by itself: reaped as it ends
    // by the reaper's thread (without one, by a later call), so that no
    // caller waits for a process to exit. One that has not ended within
    // `graceMs` is killed then.
    void Retire(std::unique_ptr<Worker> worker, int graceMs);
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxRetired = 8;
    struct Retired {
        std::unique_ptr<Worker> worker;
        Clock::time_point until;
    };

    // Reaps the retired workers that have ended; kills those past their grace.
    void Collect();

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Worker>> m_spares;
    std::vector<Retired> m_retired;
};

// The process's pool (never destroyed: spares end when the process does).
WorkerPool& Pool();

}  // namespace nfsclient
