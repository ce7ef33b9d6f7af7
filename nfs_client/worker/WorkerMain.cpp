// nasbrowse-nfs-worker: does the NFS protocol work of one library call in a
// process of its own, so that nothing a server sends can crash, hang or
// bloat the host process. Started by the library (nfs_client/library/WorkerClient.cpp)
// for each call, with the request on its standard input; writes what it
// finds, as frames (nfs_client/WorkerFrames.h), on its standard output, and
// exits. Everything it reads from a server is handled here, within limits
// of memory, CPU time and system calls it sets itself before it reads any.
#include <netdb.h>       // getservbyport
#include <netinet/in.h>  // htons
#include <poll.h>        // poll
#include <pthread.h>     // pthread_create, pthread_attr_setstacksize
#include <unistd.h>      // read, write, _exit

#include <cerrno>   // errno, EINTR
#include <csignal>  // signal, SIGPIPE
#include <cstdint>  // uint16_t
#include <cstdlib>  // strtoul
#include <string>   // std::string

#include "nfs_client/Paths.h"            // SplitServerPath, JoinServerPath
#include "nfs_client/worker/Protocol.h"  // ReadExports, ListDirectory
#include "nfs_client/WorkerFrames.h"
#include "nfs_client/worker/Sandbox.h"

namespace nfsclient {
namespace worker {
namespace {

// The protocol work runs on a thread with a large stack, a margin against
// libnfs 4.0's list decoders, which recurse per element (the replies that
// carry lists are read by our own iterative decoders).
constexpr size_t kStackBytes = 64u << 20;
// The most a request may hold (a cached export list comes with it).
constexpr size_t kMaxRequestBytes = 32u << 20;
// Frames are passed on when this much is gathered, and whenever the worker
// is about to wait for the network.
constexpr size_t kFlushBytes = 64 * 1024;
// A reserved port, looked up once before the request (see Main).
constexpr uint16_t kWarmUpPort = 1023;

// Writes frames to standard output. When the library stops reading (its
// caller has enough), writes are dropped and the work is told to stop.
class FrameWriter {
public:
    bool ListenerGone() const { return m_gone; }
    void Write(frames::Type type, const std::string& payload) {
        frames::Append(m_buffer, type, payload);
        if (m_buffer.size() >= kFlushBytes) Flush();
    }
    void WriteEntry(const NFSItemInfo& entry) {
        frames::AppendEntry(m_buffer, entry);
        if (m_buffer.size() >= kFlushBytes) Flush();
    }
    void Flush() {
        size_t done = 0;
        while (!m_gone && done < m_buffer.size()) {
            const ssize_t n = write(1, m_buffer.data() + done, m_buffer.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) m_gone = true;  // the library stopped reading: the work ends in order
            if (n > 0) done += static_cast<size_t>(n);
        }
        m_buffer.clear();
    }

private:
    std::string m_buffer;
    bool m_gone = false;
};

FrameWriter g_out;
unsigned long long g_repliesSeen = 0;

void OnIdle(unsigned long long replies) {
    if (replies != g_repliesSeen) {
        g_repliesSeen = replies;
        g_out.Write(frames::kProgress, std::string());
    }
    g_out.Flush();
}

class FrameReceiver : public EntryReceiver {
public:
    bool OnEntry(const NFSItemInfo& entry) override {
        g_out.WriteEntry(entry);
        return !g_out.ListenerGone();  // the library stops a listing by reading no more
    }
    void OnNotice(const std::string& text) override {
        g_out.Write(frames::kNotice, text.substr(0, 2048));
    }
};

struct Job {
    frames::Request request;
    ServerProfile hints;
    frames::Outcome outcome;
};

// Reads the request frames up to kGo; false when they are malformed.
bool ReadRequest(Job& job) {
    frames::Reader reader;
    size_t total = 0;
    bool haveRequest = false;
    char buffer[64 * 1024];
    for (;;) {
        frames::Type type;
        std::string_view payload;
        while (reader.Next(type, payload)) {
            switch (type) {
            case frames::kRequest: haveRequest = frames::DecodeRequest(payload, job.request); break;
            case frames::kHints:
                if (!frames::DecodeHints(payload, job.hints)) return false;
                break;
            case frames::kHintExport: job.hints.exports.emplace_back(payload); break;
            case frames::kGo: return haveRequest;
            default: return false;
            }
        }
        if (reader.Broken()) return false;
        const ssize_t n = read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        total += static_cast<size_t>(n);
        if (total > kMaxRequestBytes) return false;
        reader.Feed(buffer, static_cast<size_t>(n));
    }
}

void Exports(Job& job, Call& call) {
    const ExportVisitor visit = [](const char* path) {
        g_out.Write(frames::kExport, path);
        return !g_out.ListenerGone();
    };
    job.outcome.ok = ReadExports(call, visit);
}

void List(Job& job, Call& call) {
    std::vector<std::string> components;
    std::string why;
    if (!SplitServerPath(job.request.path.c_str(), components, why)) {
        call.status = Status::AtServer(
            job.request.address, "listing of \"" + job.request.path.substr(0, 300) + "\"", why);
        return;
    }
    FrameReceiver receiver;
    EntryDelivery delivery(receiver, job.request.limits.maxEntries);
    call.notice = [&](const std::string& text) { delivery.Notice(text); };
    job.outcome.ok = ListDirectory(call, components, JoinServerPath(components), delivery);
}

void* Work(void* arg) {
    Job& job = *static_cast<Job*>(arg);
    int family = 0;
    if (!ParseNumericAddress(job.request.address.c_str(), family)) {
        job.outcome.error = "NFS server address \"" + job.request.address + "\" is not numeric";
        return nullptr;
    }
    Call call(job.request.address.c_str(), family, job.request.limits);
    call.profile = job.hints;
    call.security = job.request.security;
    call.notice = [](const std::string& text) {
        g_out.Write(frames::kNotice, text.substr(0, 2048));
    };
    if (job.request.operation == frames::Operation::Exports)
        Exports(job, call);
    else
        List(job, call);
    job.outcome.ok = job.outcome.ok && call.status.Ok();
    job.outcome.error = job.outcome.ok ? std::string() : call.status.Text().substr(0, 1023);
    if (!job.outcome.ok && job.outcome.error.empty())
        job.outcome.error = ServerText(job.request.address, "", "the call failed without a reason");
    job.outcome.timedOut = call.status.TimedOut();
    if (job.outcome.ok || call.status.PathAnswered()) {
        // What was learned of the server, for the library's cache: also
        // after a failure that was the server's answer about the path.
        g_out.Write(frames::kProfile, frames::EncodeHints(call.profile));
        if (call.profile.hasExports)
            for (const std::string& path : call.profile.exports)
                g_out.Write(frames::kLearnedExport, path);
    }
    return nullptr;
}

int Main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // The limits come with the start, so that a worker started ahead of its
    // call has set them, and its filter, before it reads anything.
    SandboxLimits limits;
    if (argc > 2) limits.memoryMiB = strtoul(argv[2], nullptr, 10);
    if (argc > 3) limits.cpuSeconds = strtoul(argv[3], nullptr, 10);
    std::string why;
    const bool limited = ApplyLimits(limits, why) && RestrictSystemCalls(why);
    // libnfs looks each reserved source port it tries up in the services
    // database before it binds it. The first lookup reads the name service
    // configuration and loads its modules (0.6 to 0.8 ms): a spare does that
    // now, while it waits for its request, rather than at the call's first
    // connection. A worker whose request is already there goes straight on.
    pollfd request{STDIN_FILENO, POLLIN, 0};
    if (limited && poll(&request, 1, 0) == 0) getservbyport(htons(kWarmUpPort), "tcp");
    Job job;
    if (!ReadRequest(job)) return 2;  // no request: the library has gone, or sent nonsense
    // An AUTH_SYS call never reads Kerberos's files: it opens none at all.
    // Nor does an export list under auto (it is read with AUTH_SYS; only an
    // explicit Kerberos flavour sets up a context for it). A listing under
    // auto may still need Kerberos, and keeps reading them.
    const Flavour flavour = job.request.security.flavour;
    const bool noKerberos =
        flavour == Flavour::Sys ||
        (flavour == Flavour::Auto && job.request.operation == frames::Operation::Exports);
    bool sandboxed = limited;
    if (sandboxed && noKerberos) sandboxed = RestrictFiles(why);
    if (!sandboxed) {
        job.outcome.error = "NFS client worker: " + why;
        g_out.Write(frames::kDone, frames::EncodeOutcome(job.outcome));
        g_out.Flush();
        return 0;
    }
    Connection::SetIdleHook(&OnIdle);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, &Work, &job) != 0) {
        job.outcome.error = "NFS client worker: cannot start its thread (out of memory?)";
    } else {
        pthread_join(thread, nullptr);
    }
    pthread_attr_destroy(&attributes);
    g_out.Write(frames::kDone, frames::EncodeOutcome(job.outcome));
    g_out.Flush();
    return 0;
}

}  // namespace
}  // namespace worker
}  // namespace nfsclient

int main(int argc, char** argv) {
    // The worker's state goes with the process: no destructors, no atexit.
    _exit(nfsclient::worker::Main(argc, argv));
}
