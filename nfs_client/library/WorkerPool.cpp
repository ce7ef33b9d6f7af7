#include "nfs_client/library/WorkerPool.h"

#include <algorithm>           // std::min
#include <condition_variable>  // std::condition_variable
#include <deque>               // std::deque
#include <system_error>        // std::system_error
#include <thread>              // std::thread

namespace nfsclient {
namespace {

// Waits, on a thread of its own, for workers that have answered and are
// ending by themselves: each is reaped the moment it ends (no finished
// worker is left <defunct> until a later call), and killed when it has not
// ended by its time. The thread starts with the first worker handed over
// and is joined when the library is unloaded, after the workers it holds.
class Reaper {
public:
    ~Reaper() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable()) m_thread.join();
    }

    // Takes `worker`, to be reaped by `until`; false (and `worker` left as
    // it is) when no thread can do it.
    bool Add(std::unique_ptr<Worker>& worker, std::chrono::steady_clock::time_point until) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) return false;
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread(&Reaper::Run, this);
            } catch (const std::system_error&) {
                return false;
            }
        }
        m_waiting.push_back({std::move(worker), until});
        m_wake.notify_one();
        return true;
    }

private:
    struct Ending {
        std::unique_ptr<Worker> worker;
        std::chrono::steady_clock::time_point until;
    };

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
            if (m_waiting.empty()) return;
            Ending next = std::move(m_waiting.front());
            m_waiting.pop_front();
            lock.unlock();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  next.until - std::chrono::steady_clock::now())
                                  .count();
            next.worker->Reap(left > 0 ? static_cast<int>(left) : 1);
            next.worker.reset();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Ending> m_waiting;
    std::thread m_thread;
    bool m_stop = false;
};

Reaper& TheReaper() {
    static Reaper reaper;
    return reaper;
}

}  // namespace

std::unique_ptr<Worker> WorkerPool::Take(const WorkerSettings& settings, std::string& why) {
    Collect();
    for (;;) {
        std::unique_ptr<Worker> spare;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_spares.empty()) break;
            spare = std::move(m_spares.back());
            m_spares.pop_back();
        }
        if (spare->Fits(settings) && spare->Waiting()) return spare;
    }
    auto worker = std::make_unique<Worker>();
    if (!worker->Start(settings, why)) return nullptr;
    return worker;
}

void WorkerPool::Refill(const WorkerSettings& settings) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spares.size() >= std::min<size_t>(kSpares, settings.spares)) return;
    }
    auto spare = std::make_unique<Worker>();
    std::string why;
    if (!spare->Start(settings, why)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spares.size() < std::min<size_t>(kSpares, settings.spares))
        m_spares.push_back(std::move(spare));
}

void WorkerPool::Prestart(const WorkerSettings& settings, size_t count) {
    count = std::min(count, kSpares);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_spares.size() >= count) return;
        }
        auto spare = std::make_unique<Worker>();
        std::string why;
        if (!spare->Start(settings, why)) return;  // the call will start its own, and say why
        std::lock_guard<std::mutex> lock(m_mutex);
        m_spares.push_back(std::move(spare));
    }
}

void WorkerPool::Retire(std::unique_ptr<Worker> worker, int graceMs) {
    worker->CloseInput();
    worker->CloseOutput();
    if (worker->Ended()) return;
    if (TheReaper().Add(worker, Clock::now() + std::chrono::milliseconds(graceMs))) return;
    std::unique_ptr<Worker> oldest;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_retired.push_back({std::move(worker), Clock::now() + std::chrono::milliseconds(graceMs)});
        // Bounded: with more than a few at a time, the oldest is waited for.
        if (m_retired.size() > kMaxRetired) {
            oldest = std::move(m_retired.front().worker);
            m_retired.erase(m_retired.begin());
        }
    }
    if (oldest) oldest->Reap(graceMs);
}

void WorkerPool::Clear() {
    std::vector<std::unique_ptr<Worker>> gone;
    std::lock_guard<std::mutex> lock(m_mutex);
    gone.swap(m_spares);
}

void WorkerPool::Collect() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = Clock::now();
    for (auto it = m_retired.begin(); it != m_retired.end();) {
        if (it->worker->Ended()) {
            it = m_retired.erase(it);
        } else if (now >= it->until) {
            it->worker->Reap(0);
            it = m_retired.erase(it);
        } else {
            ++it;
        }
    }
}

WorkerPool& Pool() {
    static WorkerPool* pool =
        new WorkerPool();  // never destroyed: spares end when the process does
    return *pool;
}

}  // namespace nfsclient
