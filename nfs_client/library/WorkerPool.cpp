#include "nfs_client/library/WorkerPool.h"

namespace nfsclient {

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
        if (m_spares.size() >= kSpares) return;
    }
    auto spare = std::make_unique<Worker>();
    std::string why;
    if (!spare->Start(settings, why)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spares.size() < kSpares) m_spares.push_back(std::move(spare));
}

void WorkerPool::Retire(std::unique_ptr<Worker> worker, int graceMs) {
    worker->CloseInput();
    worker->CloseOutput();
    if (worker->Ended()) return;
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
