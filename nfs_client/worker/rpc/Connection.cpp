#include "nfs_client/worker/rpc/Connection.h"

#include <arpa/inet.h>   // ntohs
#include <netinet/in.h>  // sockaddr_in, sockaddr_in6, in6_addr
#include <linux/tcp.h>   // tcp_info (with tcpi_min_rtt), TCP_INFO
#include <poll.h>        // poll
#include <sys/socket.h>  // getsockopt, getsockname

#include <algorithm>  // std::min, std::max
#include <atomic>     // std::atomic
#include <cerrno>     // errno
#include <cstdarg>    // va_list
#include <cstddef>    // offsetof
#include <cstdio>     // vsnprintf, snprintf
#include <cstring>    // strerror, strstr
#include <exception>  // std::exception

#include <nfsc/libnfs.h>      // rpc_init_context, rpc_service, ...
#include <nfsc/libnfs-raw.h>  // RPC_STATUS_*

#include "nfs_client/ListingCore.h"             // WordCallDenied
#include "nfs_client/Status.h"                  // ServerText
#include "nfs_client/worker/rpc/RpcDatagram.h"  // LeastSince

// Exported by libnfs 4.0 but declared only in its private header.
extern "C" void rpc_set_timeout(struct rpc_context* rpc, int timeoutMs);
extern "C" int rpc_process_pdu(struct rpc_context* rpc, char* buf, int size);

namespace nfsclient {
namespace {

// Longest single poll: libnfs checks its own request timeouts inside rpc_service.
constexpr int kPollSliceMs = 100;
// How long a destroyed connection may wait for a connect under way to finish:
// destroying a context during its connect leaks inside libnfs 4.0.
constexpr int kConnectSettleMs = 50;
// Steps name paths, which may be longer than the whole error text: the cause
// must still fit.
constexpr size_t kStepLimit = 420;
// Bounds of one reply record: no reply we ask for comes near them (READDIR
// pages are at most 4 MiB; a MOUNT export list of 100,000 exports is a few
// MiB). A record is bounded by its payload, however it is fragmented; only
// fragments without payload, which bring nothing, are counted.
constexpr size_t kMaxFragmentBytes = 16u << 20;
constexpr size_t kMaxRecordBytes = 16u << 20;
constexpr size_t kMaxEmptyFragments = 1u << 16;
// Most bytes read in one go before deadlines are looked at again: a server
// that sends without pause does not keep the connection in its read.
constexpr size_t kReadSliceBytes = 1u << 20;
constexpr uint32_t kMaxVerifierBytes = 400;  // RFC 5531

uint32_t Be32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

// Whether `body` (a whole record, without marker) begins with a well-formed
// RPC reply header (RFC 5531): what libnfs decodes before the result.
bool WellFormedReplyHeader(const char* body, size_t size) {
    if (size < 12 || Be32(body + 4) != 1 /* REPLY */) return false;
    const uint32_t stat = Be32(body + 8);
    if (stat == 1) {  // MSG_DENIED: rejected_reply
        if (size < 16) return false;
        const uint32_t reject = Be32(body + 12);
        return (reject == 0 && size >= 24) || (reject == 1 && size >= 20);
    }
    if (stat != 0 || size < 20) return false;  // MSG_ACCEPTED: verifier, accept_stat
    const uint32_t verifier = Be32(body + 16);
    if (verifier > kMaxVerifierBytes) return false;
    const size_t acceptAt = 20 + ((verifier + 3) & ~size_t{3});
    if (size < acceptAt + 4) return false;
    const uint32_t accept = Be32(body + acceptAt);
    return accept != 2 /* PROG_MISMATCH */ || size >= acceptAt + 12;
}

const char* SocketErrorText(int error) {
    switch (error) {
    case ECONNREFUSED: return "connection refused (nothing listening)";
    case ECONNRESET: return "connection reset by the server";
    case ETIMEDOUT: return "connection timed out";
    case EHOSTUNREACH: return "host unreachable";
    case ENETUNREACH: return "network unreachable";
    default: return nullptr;
    }
}

Connection::IdleHook g_idleHook = nullptr;
std::atomic<unsigned long long> g_replies{0};

int MillisecondsUntil(Connection::Clock::time_point when) {
    const auto now = Connection::Clock::now();
    if (when <= now) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
    return left < kPollSliceMs ? static_cast<int>(left) : kPollSliceMs;
}

}  // namespace

std::string TimeoutText(unsigned int ms) {
    char text[64];
    if (ms % 1000 == 0)
        snprintf(text, sizeof text, "timed out after %u s without an answer", ms / 1000);
    else
        snprintf(text, sizeof text, "timed out after %.1f s without an answer", ms / 1000.0);
    return text;
}

std::string FailureCause(const char* libnfsText, int socketError) {
    if (socketError != 0) {
        const char* known = SocketErrorText(socketError);
        return known != nullptr ? known : strerror(socketError);
    }
    if (libnfsText == nullptr || *libnfsText == '\0') return "failed (no detail from libnfs)";
    // How libnfs 4.0 words a connection the server closed.
    if (strstr(libnfsText, "POLLHUP") != nullptr || strstr(libnfsText, "reconnect") != nullptr)
        return std::string("the server closed the connection (") + libnfsText + ")";
    return libnfsText;
}

Connection::Connection(const char* address, int family, unsigned int stepTimeoutMs)
    : m_address(address), m_family(family), m_stepMs(stepTimeoutMs) {
    m_rpc = rpc_init_context();
    if (m_rpc == nullptr) {
        Fail("setup", "could not create an RPC context (out of memory?)");
        return;
    }
    // The deadlines are kept here, counted from the connection's last
    // progress; libnfs's own, counted from each send, are off.
    rpc_set_timeout(m_rpc, 0);
}

Connection::~Connection() {
    if (m_rpc == nullptr) return;
    const Clock::time_point settle = Clock::now() + std::chrono::milliseconds(kConnectSettleMs);
    while (m_connecting && Clock::now() < settle) {
        pollfd pfd{Fd(), Events(), 0};
        if (poll(&pfd, 1, 5) < 0 && errno != EINTR) break;
        rpc_service(m_rpc, pfd.revents);
        if (pfd.revents & (POLLERR | POLLHUP)) break;
    }
    m_closing = true;  // the cancel callbacks of the destroy below change nothing
    rpc_destroy_context(m_rpc);
}

void Connection::Fail(const std::string& step, const char* causeFormat, ...) {
    va_list args;
    va_start(args, causeFormat);
    FailV(step, causeFormat, args);
    va_end(args);
}

void Connection::FailV(const std::string& step, const char* causeFormat, va_list args) {
    if (!m_error.empty()) return;
    char cause[640];
    vsnprintf(cause, sizeof cause, causeFormat, args);
    const std::string shortStep =
        step.size() <= kStepLimit ? step : step.substr(0, kStepLimit) + "...";
    m_error = ServerText(m_address, shortStep, cause);
}

void Connection::FailReply(const char* causeFormat, ...) {
    va_list args;
    va_start(args, causeFormat);
    FailV(Step(), causeFormat, args);
    va_end(args);
}

void Connection::FailStatus(const std::string* step, Condition condition,
                            const std::string& statusName) {
    const bool first = Ok();
    const std::string cause = WordCondition(condition, statusName, ProcessCredentials());
    if (step != nullptr)
        Fail(*step, "%s", cause.c_str());
    else
        FailReply("%s", cause.c_str());
    m_pathAnswered =
        first && (condition == Condition::NoEntry || condition == Condition::NotDirectory ||
                  condition == Condition::AccessDenied);
}

Connection::Request& Connection::NewRequest(const std::string& step, Handler handler, void* arg,
                                            bool connect) {
    const Clock::time_point now = Clock::now();
    Clock::time_point deadline = now + std::chrono::milliseconds(m_stepMs);
    if (m_limit < deadline) deadline = m_limit;
    const Clock::time_point sent = connect || m_connecting ? Clock::time_point::min() : now;
    m_requests.push_back(
        Request{this, handler, arg, step, deadline, sent, connect, false, false, false});
    ++m_inFlight;
    return m_requests.back();
}

void Connection::Issued(Request& request, int result) {
    if (result == 0) return;
    request.done = true;
    if (request.advisory) {  // not sent: nothing to wait for, nothing failed
        --m_advisoryOpen;
        return;
    }
    --m_inFlight;
    if (request.connect) m_connecting = false;
    Fail(request.step, "%s: %s",
         request.connect ? "could not connect" : "could not send the request",
         m_rpc != nullptr ? rpc_get_error(m_rpc) : "no RPC context");
}

void Connection::Connect(int port, const std::string& step) {
    if (!Ok()) return;
    Request& request = NewRequest(step, nullptr, nullptr, true);
    m_connecting = true;
    Issued(request, rpc_connect_async(m_rpc, m_address, port, &OnReply, &request));
}

void Connection::OnReply(rpc_context*, int status, void* data, void* privateData) {
    auto* request = static_cast<Request*>(privateData);
    request->connection->Conclude(*request, status, data);
}

void Connection::Conclude(Request& request, int status, void* data) {
    if (request.done) return;  // a late or cancelled reply: the step already has its outcome
    request.done = true;
    if (status == RPC_STATUS_SUCCESS && !request.connect &&
        request.sent != Clock::time_point::min())
        m_leastReplyUs = LeastSince(m_leastReplyUs, request.sent);
    if (request.advisory) {
        if (!request.givenUp) {
            --m_advisoryOpen;
            ConcludeAdvisory(request, status, data);
        }
        return;
    }
    --m_inFlight;
    if (request.connect) m_connecting = false;
    if (m_closing || !Ok()) return;
    g_replies.fetch_add(1, std::memory_order_relaxed);
    // A connect made is progress for the requests queued behind it, which
    // go out now.
    if (request.connect && status == RPC_STATUS_SUCCESS) {
        Progressed();
        const Clock::time_point now = Clock::now();
        for (Request& r : m_requests)
            if (!r.done && r.sent == Clock::time_point::min()) r.sent = now;
    }
    // A request queued behind a connect that never finished fails as the connect.
    const std::string& step =
        status != RPC_STATUS_SUCCESS && m_connecting ? PendingConnectStep() : request.step;
    switch (status) {
    case RPC_STATUS_SUCCESS:
        if (request.handler == nullptr) return;
        // libnfs is C: nothing may unwind through it.
        m_handling = &request;
        try {
            request.handler(*this, data, request.arg);
        } catch (const std::exception& e) {
            Fail(request.step, "internal error: %s", e.what());
        } catch (...) {
            Fail(request.step, "internal error: unknown exception");
        }
        m_handling = nullptr;
        return;
    case RPC_STATUS_TIMEOUT: FailTimedOut(step); return;
    case RPC_STATUS_CANCEL: Fail(step, "request cancelled"); return;
    default: {
        const char* text = static_cast<const char*>(data);
        // libnfs's words for a reply that is not MSG_ACCEPTED: an authentication error.
        if (text != nullptr && strstr(text, "not accepted by the server") != nullptr)
            Fail(step, "%s", WordCallDenied(LocalPort(), ProcessCredentials()).c_str());
        else
            Fail(step, "%s", FailureCause(text, m_socketError).c_str());
        return;
    }
    }
}

void Connection::ConcludeAdvisory(Request& request, int status, void* data) {
    if (m_closing || !Ok() || request.handler == nullptr) return;
    m_handling = &request;
    try {
        request.handler(*this, status == RPC_STATUS_SUCCESS ? data : nullptr, request.arg);
    } catch (...) {
        // An advisory request's handler changes nothing that matters.
    }
    m_handling = nullptr;
}

const std::string& Connection::PendingConnectStep() const {
    for (const Request& r : m_requests)
        if (!r.done && r.connect) return r.step;
    return m_noStep;
}

void Connection::FailTimedOut(const std::string& step) {
    if (!Ok()) return;
    m_timedOut = true;
    Fail(step, "%s", TimeoutText(m_stepMs).c_str());
}

int Connection::LocalPort() const {
    const int fd = Fd();
    if (fd < 0) return 0;
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
    if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

void Connection::Measured(uint32_t roundTripUs) {
    if (roundTripUs != 0 && (m_leastReplyUs == 0 || roundTripUs < m_leastReplyUs))
        m_leastReplyUs = roundTripUs;
}

uint32_t Connection::RoundTripUs() const {
    uint32_t kernel = 0;
    const int fd = Fd();
    tcp_info info{};
    socklen_t size = sizeof info;
    if (fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
        // The least round trip seen is the distance; the smoothed one also
        // holds the server's time before a reply acknowledges its request.
        kernel = size >= offsetof(tcp_info, tcpi_min_rtt) + sizeof info.tcpi_min_rtt
                     ? info.tcpi_min_rtt
                     : info.tcpi_rtt;
    }
    return std::max(kernel, m_leastReplyUs);
}

int Connection::Fd() const { return m_rpc != nullptr ? rpc_get_fd(m_rpc) : -1; }

short Connection::Events() const {
    return m_rpc != nullptr && rpc_get_fd(m_rpc) >= 0 ? static_cast<short>(rpc_which_events(m_rpc))
                                                      : 0;
}

Connection::Clock::time_point Connection::NextDeadline() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Request& r : m_requests)
        if (!r.done && !r.givenUp && r.deadline < next) next = r.deadline;
    return next;
}

void Connection::Prune() {
    for (auto it = m_requests.begin(); it != m_requests.end();)
        it = it->done ? m_requests.erase(it) : std::next(it);
}

void Connection::FailPending(const char* cause) {
    // The step of the first request the call waits for; with only advisory
    // ones open, the first of those: the connection is unusable either way.
    const Request* first = nullptr;
    for (const Request& r : m_requests) {
        if (r.done || r.givenUp) continue;
        if (!r.advisory) {
            first = &r;
            break;
        }
        if (first == nullptr) first = &r;
    }
    if (first != nullptr) Fail(first->step, "%s", cause);
}

bool Connection::PassedAuth() {
    std::string why;
    if (PassReply(Auth(), m_record, 4, why)) return true;
    if (Be32(m_record.data() + 4 + 8) == 1 /* MSG_DENIED: `why` words the refusal */) {
        FailPending(why.c_str());
        return false;
    }
    FailPending(
        (std::string("the server's reply fails its ") + Auth().Name() + " check: " + why).c_str());
    return false;
}

bool Connection::TakeRecords() {
    size_t at = 0;
    bool ok = true;
    while (ok && m_received.size() - at >= 4) {
        const uint32_t marker = Be32(m_received.data() + at);
        const size_t length = marker & 0x7fffffffu;
        if (length > kMaxFragmentBytes || m_record.size() - 4 + length > kMaxRecordBytes ||
            (length == 0 && ++m_fragments > kMaxEmptyFragments)) {
            FailPending("the server's reply is malformed (a record beyond any reply's size)");
            ok = false;
            break;
        }
        if (m_received.size() - at - 4 < length) break;
        if (PastLimit()) {
            ok = false;
            break;
        }
        m_record.append(m_received, at + 4, length);
        at += 4 + length;
        if ((marker & 0x80000000u) == 0) continue;
        // A whole record: to libnfs as one last fragment.
        const size_t body = m_record.size() - 4;
        if (!WellFormedReplyHeader(m_record.data() + 4, body)) {
            FailPending("the server's reply is malformed (RPC reply header)");
            ok = false;
            break;
        }
        if (!PassedAuth()) {
            ok = false;
            break;
        }
        if (m_record.size() == 4) {  // a refusal whose call is sent again: for nobody
            m_fragments = 0;
            if (!Ok()) break;
            continue;
        }
        const uint32_t last = htonl(0x80000000u | static_cast<uint32_t>(m_record.size() - 4));
        memcpy(&m_record[0], &last, 4);
        std::string record;
        record.swap(m_record);
        m_record.assign(4, '\0');
        m_fragments = 0;
        if (rpc_process_pdu(m_rpc, &record[0], static_cast<int>(record.size())) != 0) {
            FailPending(FailureCause(rpc_get_error(m_rpc), 0).c_str());
            ok = false;
            break;
        }
        if (!Ok()) break;
    }
    m_received.erase(0, at);
    return ok;
}

bool Connection::ReadRecords(int fd) {
    if (m_record.empty()) m_record.assign(4, '\0');
    char buffer[64 * 1024];
    for (size_t read = 0; read < kReadSliceBytes;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            read += static_cast<size_t>(n);
            Progressed();
            m_received.append(buffer, static_cast<size_t>(n));
            if (!TakeRecords()) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            m_socketError = errno;
            return false;
        }
        return true;
    }
    return true;  // the rest on the next poll, after the deadlines
}

void Connection::Progressed() {
    g_replies.fetch_add(1, std::memory_order_relaxed);  // the idle hook's sign of progress
    Clock::time_point next = Clock::now() + std::chrono::milliseconds(m_stepMs);
    if (m_limit < next) next = m_limit;
    for (Request& r : m_requests)
        if (!r.done && !r.givenUp && r.deadline < next) r.deadline = next;
}

bool Connection::PastLimit() {
    if (m_limit == Clock::time_point::max() || Clock::now() < m_limit) return false;
    if (Ok()) m_timedOut = true;
    FailPending(TimeoutText(m_stepMs).c_str());
    return true;
}

void Connection::Service(short revents) {
    if (m_rpc == nullptr || !Busy()) return;
    const int fd = rpc_get_fd(m_rpc);
    if ((revents & (POLLERR | POLLHUP)) != 0 && fd >= 0) {
        // libnfs reports only "POLLHUP"; the socket knows the real cause.
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0)
            m_socketError = error;
    }
    // Replies are read here; libnfs gets the writes, the timeouts, and the
    // end of a connection the server closed.
    short forLibnfs = revents;
    if ((revents & POLLIN) != 0 && !m_connecting && fd >= 0) {
        forLibnfs = static_cast<short>(forLibnfs & ~POLLIN);
        if (!ReadRecords(fd)) forLibnfs = static_cast<short>(forLibnfs | POLLHUP);
        if (!Ok() || !Busy()) return;
    }
    if (rpc_service(m_rpc, forLibnfs) < 0 && Ok() && Busy())
        FailPending(FailureCause(rpc_get_error(m_rpc), m_socketError).c_str());
    const Clock::time_point now = Clock::now();
    for (Request& r : m_requests) {
        if (r.done || r.givenUp || now < r.deadline) continue;
        if (r.advisory) {
            // Past its deadline: given up. libnfs still holds it; its late
            // reply, or the cancel status, finds it given up.
            r.givenUp = true;
            --m_advisoryOpen;
            ConcludeAdvisory(r, RPC_STATUS_TIMEOUT, nullptr);
            continue;
        }
        FailTimedOut(r.step);
        break;
    }
    if (m_requests.size() > 64) Prune();
}

void Connection::Flush() {
    if (m_rpc == nullptr || !Ok() || m_connecting || (Events() & POLLOUT) == 0) return;
    if (rpc_service(m_rpc, POLLOUT) < 0 && Ok() && Busy())
        FailPending(FailureCause(rpc_get_error(m_rpc), m_socketError).c_str());
}

bool Connection::Drain() {
    Connection* self = this;
    while (Ok() && m_inFlight > 0) PollOnce(&self, 1);
    Prune();
    return Ok();
}

void Connection::PollOnce(Connection* const* connections, size_t count, int alsoReadable,
                          Clock::time_point until) {
    constexpr size_t kMaxPolled = 4;
    pollfd fds[kMaxPolled + 1];
    size_t polled = 0;
    Clock::time_point next =
        std::min(until, Clock::now() + std::chrono::milliseconds(kPollSliceMs));
    for (size_t i = 0; i < count && polled < kMaxPolled; ++i) {
        Connection* c = connections[i];
        const bool active = c != nullptr && c->Ok() && c->Busy();
        fds[polled++] = pollfd{active ? c->Fd() : -1, active ? c->Events() : short{0}, 0};
        if (active && c->NextDeadline() < next) next = c->NextDeadline();
    }
    if (g_idleHook != nullptr) g_idleHook(g_replies.load(std::memory_order_relaxed));
    fds[polled] = pollfd{alsoReadable, POLLIN, 0};
    if (poll(fds, polled + 1, MillisecondsUntil(next)) < 0 && errno != EINTR) {
        for (size_t i = 0; i < polled; ++i)
            if (connections[i] != nullptr) connections[i]->Fail("poll", "%s", strerror(errno));
        return;
    }
    for (size_t i = 0; i < polled; ++i)
        if (connections[i] != nullptr) connections[i]->Service(fds[i].fd >= 0 ? fds[i].revents : 0);
}

void Connection::SetIdleHook(IdleHook hook) { g_idleHook = hook; }

}  // namespace nfsclient
