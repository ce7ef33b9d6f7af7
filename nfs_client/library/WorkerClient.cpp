// The call session: a request written to a worker (WorkerProcess.h, taken
// from the spare pool in WorkerPool.h), its frames read back and checked
// within the call's bounds, and the outcome.
#include "nfs_client/library/WorkerClient.h"

#include <poll.h>    // poll
#include <unistd.h>  // read

#include <cerrno>   // errno
#include <chrono>   // steady_clock
#include <cstring>  // strerror, memchr, memset
#include <memory>   // std::unique_ptr

#include "nfs_client/Paths.h"                  // kMaxPathBytes
#include "nfs_client/library/WorkerPool.h"     // Pool
#include "nfs_client/library/WorkerProcess.h"  // Worker, WriteAll

namespace nfsclient {
namespace {

using Clock = std::chrono::steady_clock;

// How long a worker may take to exit after its last frame, and after the
// caller stopped its call.
constexpr int kExitGraceMs = 200;
constexpr int kStopGraceMs = 1000;

// Cached export lists are passed to and taken from workers up to this size.
constexpr size_t kMaxCachedExportBytes = 8u << 20;

// "reading the export list" / "listing /vol/vol1/docs", for texts.
std::string Doing(const frames::Request& request) {
    return request.operation == frames::Operation::Exports
               ? "reading the export list"
               : "listing " + request.path.substr(0, 300);
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

    // True once the worker said how the call ended; false with call.status.
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
    m_call.status = Status::AtServer(
        m_call.request.address, what,
        (tooLong ? "timed out: the call took longer than " + std::to_string(whole / 1000) +
                       " s, the most one call may take"
                 : "timed out: no progress for " + std::to_string(silent) + " s") +
            "; the NFS client worker was stopped after " + std::to_string(m_call.delivered) +
            (m_call.request.operation == frames::Operation::Exports ? " export paths" : " entries"),
        true);
}

Session::Step Session::Broken(const std::string& why) {
    m_call.status = Status::Failed("the NFS client worker for " + m_call.request.address +
                                   " broke the framing of its answer (" + why + ") while " +
                                   Doing(m_call.request) + "; stopped");
    return Step::Stop;
}

Session::Step Session::TakeEntry(std::string_view payload) {
    if (m_call.request.operation != frames::Operation::List)
        return Broken("an entry where exports belong");
    if (m_call.delivered >= m_call.request.limits.maxEntries) {
        m_call.status = Status::AtServer(m_call.request.address, Doing(m_call.request),
                                         "the folder has more than " +
                                             std::to_string(m_call.request.limits.maxEntries) +
                                             " entries, the most one listing hands out; listing "
                                             "stopped");
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
        m_call.status = Status::AtServer(m_call.request.address, Doing(m_call.request), cause);
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
            m_call.status = Status::AtServer(m_call.request.address, Doing(m_call.request),
                                             "the server lists more than " +
                                                 std::to_string(m_call.request.limits.maxExports) +
                                                 " exports, the most this client takes");
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
        m_call.status = Status::Failed(outcome.error, outcome.timedOut);
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
            m_call.status =
                Status::Failed(std::string("NFS client worker: poll failed: ") + strerror(errno));
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

void StartSpareWorkers(const WorkerSettings& settings, unsigned int count) {
    Pool().Prestart(settings, count);
}

bool RunInWorker(WorkerCall& call, const WorkerSettings& settings) {
    std::string why;
    std::unique_ptr<Worker> worker = Pool().Take(settings, why);
    if (!worker) {
        call.status =
            Status::AtServer(call.request.address, Doing(call.request),
                             "the NFS client worker " + settings.path + " could not be started (" +
                                 why + "); check the installation");
        return false;
    }
    const Clock::time_point setup =
        Clock::now() + std::chrono::milliseconds(call.request.limits.stepMs);
    if (!WriteAll(worker->Input(), RequestBytes(call), setup)) {
        call.status =
            Status::Failed("the NFS client worker for " + call.request.address +
                           " did not take its request; stopped (" + worker->Reap(0) + ")");
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
        return call.status.Ok();
    }
    // What it said of the server counts only with how the call ended.
    call.learned = ServerProfile();
    // One stopped on this side gets the time to end in order (its session
    // teardown is capped at 500 ms), so that the server is left clean when
    // the call returns.
    if (session.StoppedHere()) worker->CloseOutput();
    const std::string ended = worker->Reap(session.StoppedHere() ? kStopGraceMs : 0);
    call.status.Keep(Status::Failed("the NFS client worker for " + call.request.address +
                                    " stopped: " + ended + " while " + Doing(call.request)));
    return false;
}

}  // namespace nfsclient
