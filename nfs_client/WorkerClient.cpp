#include "nfs_client/WorkerClient.h"

#include <fcntl.h>        // pipe2, fcntl, O_CLOEXEC, O_NONBLOCK
#include <poll.h>         // poll
#include <signal.h>       // kill, sigset_t
#include <spawn.h>        // posix_spawn
#include <sys/syscall.h>  // SYS_pidfd_open
#include <sys/wait.h>     // waitpid
#include <unistd.h>       // read, write, close

#include <cerrno>              // errno
#include <algorithm>           // std::min
#include <chrono>              // steady_clock
#include <condition_variable>  // std::condition_variable
#include <cstring>             // strerror, strsignal, memchr
#include <deque>               // std::deque
#include <memory>              // std::unique_ptr
#include <mutex>               // std::mutex
#include <system_error>        // std::system_error
#include <thread>              // std::thread
#include <vector>              // std::vector

#include "nfs_client/Paths.h"  // kMaxPathBytes

extern char** environ;

namespace nfsclient {
namespace {

using Clock = std::chrono::steady_clock;

// How long a worker may take to exit after its last frame, and after the
// caller stopped its call.
constexpr int kExitGraceMs = 200;
constexpr int kStopGraceMs = 1000;

// Cached export lists are passed to and taken from workers up to this size.
constexpr size_t kMaxCachedExportBytes = 8u << 20;

// The environment a worker gets: only what the runtime and the sanitizers read.
std::vector<std::string> WorkerEnvironment() {
    static const char* const kKept[] = {"LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                                        "LSAN_OPTIONS",    "TSAN_OPTIONS", "MSAN_OPTIONS"};
    std::vector<std::string> kept;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        for (const char* name : kKept) {
            const size_t n = strlen(name);
            if (strncmp(*e, name, n) == 0 && (*e)[n] == '=') kept.emplace_back(*e);
        }
    return kept;
}

// "reading the export list" / "listing /vol/vol1/docs", for texts.
std::string Doing(const frames::Request& request) {
    return request.operation == frames::Operation::Exports
               ? "reading the export list"
               : "listing " + request.path.substr(0, 300);
}

std::string Describe(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = strsignal(signal);
        return "killed by signal " + std::to_string(signal) + " (" +
               (name != nullptr ? name : "unknown") + ")";
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "stopped";
}

// One worker process and the two pipes to it.
class Worker {
public:
    ~Worker() {
        CloseFds();
        Reap(0);
    }

    bool Start(const WorkerSettings& settings, std::string& why);
    // Started with these settings, and still waiting for its request.
    bool Fits(const WorkerSettings& settings) const;
    bool Waiting() const;
    int Input() const { return m_in; }
    int Output() const { return m_out; }
    void CloseInput() {
        if (m_in >= 0) close(m_in);
        m_in = -1;
    }
    // Waits up to `graceMs` for the worker to end, then kills it; the text
    // of how it ended.
    std::string Reap(int graceMs);
    // True once the worker has ended (reaped), without waiting.
    bool Ended();
    // Closes the pipe the worker writes to: it sees that nobody reads any
    // more, ends its work (an NFSv4.1 session is torn down) and exits.
    void CloseOutput() {
        if (m_out >= 0) close(m_out);
        m_out = -1;
    }

private:
    void CloseFds() {
        CloseInput();
        if (m_out >= 0) close(m_out);
        m_out = -1;
    }
    pid_t m_pid = -1;
    int m_in = -1;   // the worker's standard input
    int m_out = -1;  // the worker's standard output
    WorkerSettings m_settings;
};

bool Worker::Ended() {
    if (m_pid < 0) return true;
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == 0) return false;
    m_pid = -1;  // reaped, or reaped by a host that reaps its children itself
    return true;
}

bool Worker::Fits(const WorkerSettings& settings) const {
    return settings.path == m_settings.path && settings.memoryMiB == m_settings.memoryMiB &&
           settings.callLimitMs == m_settings.callLimitMs;
}

bool Worker::Waiting() const {
    if (m_pid < 0 || m_in < 0 || m_out < 0) return false;
    // A waiting worker has said nothing: output or its end means it is not.
    pollfd pfd{m_out, POLLIN, 0};
    if (poll(&pfd, 1, 0) != 0) return false;
    int status = 0;
    return waitpid(m_pid, &status, WNOHANG) == 0;
}

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
    bool Add(std::unique_ptr<Worker>& worker, Clock::time_point until) {
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
        Clock::time_point until;
    };

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
            if (m_waiting.empty()) return;
            Ending next = std::move(m_waiting.front());
            m_waiting.pop_front();
            lock.unlock();
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(next.until - Clock::now())
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

// Workers started ahead of the calls that will use them: starting a process
// costs about a millisecond, which a spare pays while the host is not
// waiting. Each worker serves one call and ends; a spare that has gone, or
// was started with other settings, is replaced. Thread-safe.
class WorkerPool {
public:
    static constexpr size_t kSpares = 2;

    // A started worker for `settings`: a spare when one fits, else a new one.
    std::unique_ptr<Worker> Take(const WorkerSettings& settings, std::string& why) {
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

    // Starts spares for later calls, up to kSpares.
    void Refill(const WorkerSettings& settings) {
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

    // A worker that has answered and is ending by itself: reaped as it ends
    // by the reaper's thread (without one, by a later call), so that no
    // caller waits for a process to exit. One that has not ended within
    // `graceMs` is killed then.
    void Retire(std::unique_ptr<Worker> worker, int graceMs) {
        worker->CloseInput();
        worker->CloseOutput();
        if (worker->Ended()) return;
        if (TheReaper().Add(worker, Clock::now() + std::chrono::milliseconds(graceMs))) return;
        std::unique_ptr<Worker> oldest;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_retired.push_back(
                {std::move(worker), Clock::now() + std::chrono::milliseconds(graceMs)});
            // Bounded: with more than a few at a time, the oldest is waited for.
            if (m_retired.size() > kMaxRetired) {
                oldest = std::move(m_retired.front().worker);
                m_retired.erase(m_retired.begin());
            }
        }
        if (oldest) oldest->Reap(graceMs);
    }

    void Clear() {
        std::vector<std::unique_ptr<Worker>> gone;
        std::lock_guard<std::mutex> lock(m_mutex);
        gone.swap(m_spares);
    }

private:
    static constexpr size_t kMaxRetired = 8;
    struct Retired {
        std::unique_ptr<Worker> worker;
        Clock::time_point until;
    };

    // Reaps the retired workers that have ended; kills those past their grace.
    void Collect() {
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

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Worker>> m_spares;
    std::vector<Retired> m_retired;
};

WorkerPool& Pool() {
    static WorkerPool* pool =
        new WorkerPool();  // never destroyed: spares end when the process does
    return *pool;
}

bool Worker::Start(const WorkerSettings& settings, std::string& why) {
    int request[2];
    int answer[2];
    if (pipe2(request, O_CLOEXEC) != 0) {
        why = strerror(errno);
        return false;
    }
    if (pipe2(answer, O_CLOEXEC) != 0) {
        why = strerror(errno);
        close(request[0]);
        close(request[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, request[0], 0);
    posix_spawn_file_actions_adddup2(&actions, answer[1], 1);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string memory = std::to_string(settings.memoryMiB);
    const std::string cpu = std::to_string(settings.callLimitMs / 1000 + 2);
    std::vector<char*> argv = {const_cast<char*>(settings.path.c_str()),
                               const_cast<char*>("--limits"), const_cast<char*>(memory.c_str()),
                               const_cast<char*>(cpu.c_str()), nullptr};
    std::vector<std::string> environment = WorkerEnvironment();
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    m_settings = settings;
    const int rc =
        posix_spawn(&m_pid, settings.path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(request[0]);
    close(answer[1]);
    m_in = request[1];
    m_out = answer[0];
    if (rc != 0) {
        m_pid = -1;
        why = strerror(rc);
        return false;
    }
    fcntl(m_in, F_SETFL, O_NONBLOCK);
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    // A larger pipe lets the worker run ahead of the caller's callbacks with
    // fewer wake-ups (best effort: the default 64 KiB works too).
    fcntl(m_out, F_SETPIPE_SZ, 1 << 20);
    return true;
}

std::string Worker::Reap(int graceMs) {
    if (m_pid < 0) return "stopped";
    int status = 0;
    // A worker on its way out is given `graceMs` to end by itself, woken by
    // its end (a pidfd) rather than by a clock.
    if (graceMs > 0) {
        const int process = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(graceMs);
        for (;;) {
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                if (process >= 0) close(process);
                m_pid = -1;
                return Describe(status);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (done < 0 || left <= 0) break;
            pollfd pfd{process, POLLIN, 0};
            if (process < 0 || poll(&pfd, 1, static_cast<int>(left < 10 ? left : 10)) < 0)
                usleep(200);
        }
        if (process >= 0) close(process);
    }
    kill(m_pid, SIGKILL);
    pid_t done;
    do {
        done = waitpid(m_pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    m_pid = -1;
    // A host that reaps its children itself leaves nothing to read.
    return done < 0 ? "stopped (its exit status is not known)" : Describe(status);
}

// Writes everything to a non-blocking descriptor by `deadline`.
bool WriteAll(int fd, const std::string& bytes, Clock::time_point deadline) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
    return true;
}

std::string RequestBytes(const WorkerCall& call) {
    std::string bytes;
    frames::Append(bytes, frames::kRequest, frames::EncodeRequest(call.request));
    if (call.hints.protocol != Protocol::Unknown) {
        ServerProfile hints = call.hints;
        size_t size = 0;
        for (const std::string& e : hints.exports) size += e.size();
        if (size > kMaxCachedExportBytes) hints.hasExports = false;
        frames::Append(bytes, frames::kHints, frames::EncodeHints(hints));
        if (hints.hasExports)
            for (const std::string& e : hints.exports)
                frames::Append(bytes, frames::kHintExport, e);
    }
    frames::Append(bytes, frames::kGo, std::string());
    return bytes;
}

bool ValidExportPath(std::string_view path) {
    return !path.empty() && path[0] == '/' && path.size() <= kMaxPathBytes &&
           memchr(path.data(), '\0', path.size()) == nullptr;
}

// Reads a worker's frames and hands them on, within the call's bounds.
class Session {
public:
    Session(WorkerCall& call, const WorkerSettings& settings, Worker& worker)
        : m_call(call),
          m_settings(settings),
          m_worker(worker),
          m_start(Clock::now()),
          m_lastProgress(m_start) {}

    // True once the worker said how the call ended; false with call.error.
    bool Run();
    // The call was stopped on this side (the receiver, a bound): the worker
    // may end in order.
    bool StoppedHere() const { return m_stoppedHere; }

private:
    enum class Step { More, Done, Stop };
    Step Take(frames::Type type, std::string_view payload);
    Step TakeEntry(std::string_view payload);
    Step Broken(const std::string& why);
    Clock::time_point Deadline() const;
    void FailLate();

    WorkerCall& m_call;
    const WorkerSettings& m_settings;
    Worker& m_worker;
    Clock::time_point m_start;
    Clock::time_point m_lastProgress;
    frames::Reader m_reader;
    bool m_exportsWanted = true;
    size_t m_learnedBytes = 0;
    bool m_stoppedHere = false;
    std::string m_name;  // the entry being handed out
};

Clock::time_point Session::Deadline() const {
    const Clock::time_point silent =
        m_lastProgress +
        std::chrono::milliseconds(m_call.request.limits.stepMs + m_settings.graceMs);
    const Clock::time_point whole = m_start + std::chrono::milliseconds(m_settings.callLimitMs);
    return silent < whole ? silent : whole;
}

void Session::FailLate() {
    const unsigned int whole = m_settings.callLimitMs;
    const bool tooLong = Clock::now() >= m_start + std::chrono::milliseconds(whole);
    const unsigned int silent = (m_call.request.limits.stepMs + m_settings.graceMs) / 1000;
    const std::string what = m_call.request.operation == frames::Operation::Exports
                                 ? "export list"
                                 : "listing of " + m_call.request.path.substr(0, 300);
    m_call.timedOut = true;
    m_call.error =
        "NFS server " + m_call.request.address + ", " + what + ": " +
        (tooLong ? "timed out: the call took longer than " + std::to_string(whole / 1000) +
                       " s, the most one call may take"
                 : "timed out: no progress for " + std::to_string(silent) + " s") +
        "; the NFS client worker was stopped after " + std::to_string(m_call.delivered) +
        (m_call.request.operation == frames::Operation::Exports ? " export paths" : " entries");
}

Session::Step Session::Broken(const std::string& why) {
    m_call.error = "the NFS client worker for " + m_call.request.address +
                   " broke the framing of its answer (" + why + ") while " + Doing(m_call.request) +
                   "; stopped";
    return Step::Stop;
}

Session::Step Session::TakeEntry(std::string_view payload) {
    if (m_call.request.operation != frames::Operation::List)
        return Broken("an entry where exports belong");
    if (m_call.delivered >= m_call.request.limits.maxEntries) {
        m_call.error = "NFS server " + m_call.request.address + ", " + Doing(m_call.request) +
                       ": the folder has more than " +
                       std::to_string(m_call.request.limits.maxEntries) +
                       " entries, the most one listing hands out; listing stopped";
        m_stoppedHere = true;
        return Step::Stop;
    }
    frames::EntryView entry;
    if (!frames::DecodeEntry(payload, entry)) return Broken("a malformed entry");
    m_name.assign(entry.name.data(), entry.name.size());  // NUL-terminated for the receiver
    NFSItemInfo info;
    memset(&info, 0, sizeof info);
    info.name = m_name.c_str();
    info.type = entry.type;
    info.mode = entry.mode;
    info.size = entry.size;
    info.writeTime = entry.writeTime;
    std::string cause;
    if (!m_call.onEntry(info, cause)) {
        m_call.error =
            "NFS server " + m_call.request.address + ", " + Doing(m_call.request) + ": " + cause;
        m_stoppedHere = true;
        return Step::Stop;
    }
    ++m_call.delivered;
    return Step::More;
}

Session::Step Session::Take(frames::Type type, std::string_view payload) {
    switch (type) {
    case frames::kEntry: return TakeEntry(payload);
    case frames::kExport:
        if (m_call.request.operation != frames::Operation::Exports || !ValidExportPath(payload))
            return Broken("a malformed export path");
        if (m_call.delivered >= m_call.request.limits.maxExports) {
            m_call.error = "NFS server " + m_call.request.address + ", " + Doing(m_call.request) +
                           ": the server lists more than " +
                           std::to_string(m_call.request.limits.maxExports) +
                           " exports, the most this client takes";
            m_stoppedHere = true;
            return Step::Stop;
        }
        if (m_exportsWanted) {
            ++m_call.delivered;
            m_exportsWanted = m_call.onExport(std::string(payload).c_str());
        }
        return Step::More;
    case frames::kNotice:
        if (payload.size() > 2048) return Broken("an overlong notice");
        m_call.onNotice(std::string(payload));
        return Step::More;
    case frames::kProgress: return Step::More;
    case frames::kProfile:
        if (!frames::DecodeHints(payload, m_call.learned))
            return Broken("a malformed server profile");
        m_call.learned.exports.clear();
        return Step::More;
    case frames::kLearnedExport:
        if (!ValidExportPath(payload)) return Broken("a malformed export path");
        m_learnedBytes += payload.size();
        if (m_learnedBytes > kMaxCachedExportBytes ||
            m_call.learned.exports.size() >= m_call.request.limits.maxExports)
            m_call.learned.hasExports = false;  // too much to keep
        else
            m_call.learned.exports.emplace_back(payload);
        return Step::More;
    case frames::kDone: {
        frames::Outcome outcome;
        if (!frames::DecodeOutcome(payload, outcome)) return Broken("a malformed outcome");
        m_call.error = outcome.error;
        m_call.timedOut = outcome.timedOut;
        if (!outcome.ok) m_call.learned = ServerProfile();
        return Step::Done;
    }
    default: return Broken("a frame the library sends");
    }
}

bool Session::Run() {
    char buffer[64 * 1024];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline() - Clock::now())
                .count();
        if (left <= 0) {
            FailLate();
            return false;
        }
        pollfd pfd{m_worker.Output(), POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            m_call.error = std::string("NFS client worker: poll failed: ") + strerror(errno);
            return false;
        }
        if (ready <= 0) continue;
        const ssize_t n = read(m_worker.Output(), buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;  // the worker went without saying how the call ended
        m_reader.Feed(buffer, static_cast<size_t>(n));
        frames::Type type;
        std::string_view payload;
        while (m_reader.Next(type, payload)) {
            const Step step = Take(type, payload);
            if (step == Step::Done) return true;
            if (step == Step::Stop) return false;
        }
        if (m_reader.Broken()) {
            Broken(m_reader.Why());
            return false;
        }
        m_lastProgress = Clock::now();
    }
}

}  // namespace

void DropSpareWorkers() { Pool().Clear(); }

bool RunInWorker(WorkerCall& call, const WorkerSettings& settings) {
    std::string why;
    std::unique_ptr<Worker> worker = Pool().Take(settings, why);
    if (!worker) {
        call.error = "NFS server " + call.request.address + ", " + Doing(call.request) +
                     ": the NFS client worker " + settings.path + " could not be started (" + why +
                     "); check the installation";
        return false;
    }
    const Clock::time_point setup =
        Clock::now() + std::chrono::milliseconds(call.request.limits.stepMs);
    if (!WriteAll(worker->Input(), RequestBytes(call), setup)) {
        call.error = "the NFS client worker for " + call.request.address +
                     " did not take its request; stopped (" + worker->Reap(0) + ")";
        return false;
    }
    worker->CloseInput();
    // The next call's spare starts while this worker waits for the server.
    Pool().Refill(settings);
    Session session(call, settings, *worker);
    const bool answered = session.Run();
    if (answered) {
        // It exits at once; nobody needs to wait for that.
        Pool().Retire(std::move(worker), kExitGraceMs);
        return call.error.empty();
    }
    // One stopped on this side gets the time to end in order (its session
    // teardown is capped at 500 ms), so that the server is left clean when
    // the call returns.
    if (session.StoppedHere()) worker->CloseOutput();
    const std::string ended = worker->Reap(session.StoppedHere() ? kStopGraceMs : 0);
    if (call.error.empty())
        call.error = "the NFS client worker for " + call.request.address + " stopped: " + ended +
                     " while " + Doing(call.request);
    return false;
}

}  // namespace nfsclient
