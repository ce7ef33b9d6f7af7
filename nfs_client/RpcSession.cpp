#include "nfs_client/RpcSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>

// Exported by libnfs 4.0 but declared only in its private header.
extern "C" void rpc_set_timeout(struct rpc_context* rpc, int timeoutMs);

namespace nfsclient {
namespace {

// Longest single poll: libnfs checks request timeouts inside rpc_service.
constexpr int kPollSliceMs = 100;

std::string Printf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Printf(const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    return text;
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

}  // namespace

bool ParseNumericAddress(const char* address, int& family) {
    unsigned char buffer[sizeof(in6_addr)];
    if (address == nullptr) return false;
    if (inet_pton(AF_INET, address, buffer) == 1) {
        family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, address, buffer) == 1) {
        family = AF_INET6;
        return true;
    }
    return false;
}

RpcSession::RpcSession(const char* address, int family, unsigned int timeoutMs)
    : m_address(address), m_family(family), m_timeoutMs(timeoutMs) {
    m_rpc = rpc_init_context();
    if (m_rpc == nullptr) {
        m_step = "setup";
        Fail("could not create an RPC context (out of memory?)");
        return;
    }
    rpc_set_timeout(m_rpc, static_cast<int>(timeoutMs));
}

RpcSession::~RpcSession() {
    // Replies reported from here on (cancelled requests) must not count.
    m_pending = false;
    m_handler = nullptr;
    if (m_rpc != nullptr) rpc_destroy_context(m_rpc);
}

void RpcSession::LimitTotal() {
    m_hasLimit = true;
    m_limit = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
}

void RpcSession::ClearLimit() {
    m_hasLimit = false;
}

void RpcSession::Begin(ReplyHandler handler, void* arg, const char* stepFormat, ...) {
    va_list args;
    va_start(args, stepFormat);
    m_step = Printf(stepFormat, args);
    va_end(args);
    m_handler = handler;
    m_handlerArg = arg;
    m_socketError = 0;
    m_deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    if (m_hasLimit && m_limit < m_deadline) m_deadline = m_limit;
    m_pending = Ok();
}

void RpcSession::Fail(const char* causeFormat, ...) {
    if (!m_error.empty()) return;
    va_list args;
    va_start(args, causeFormat);
    const std::string cause = Printf(causeFormat, args);
    va_end(args);
    m_error = "NFS server " + std::string(m_address) + ", " + m_step + ": " + cause;
}

void RpcSession::Disconnect() {
    if (m_rpc != nullptr && rpc_get_fd(m_rpc) != -1) rpc_disconnect(m_rpc, "normal disconnect");
}

bool RpcSession::Run(int issued) {
    if (!m_pending) return false;
    if (issued != 0) {
        m_pending = false;
        Fail("could not send the request: %s", rpc_get_error(m_rpc));
        return false;
    }
    while (m_pending) {
        const Clock::time_point now = Clock::now();
        if (now >= m_deadline) {
            m_pending = false;
            Fail("%s", TimeoutText(m_timeoutMs).c_str());
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - now).count() + 1;
        // The descriptor changes when libnfs reconnects (portmapper, then the service).
        pollfd pfd{rpc_get_fd(m_rpc), static_cast<short>(rpc_which_events(m_rpc)), 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
        if (ready < 0) {
            if (errno == EINTR) continue;
            m_pending = false;
            Fail("poll failed: %s", strerror(errno));
            break;
        }
        const int revents = ready > 0 ? pfd.revents : 0;
        if ((revents & (POLLERR | POLLHUP)) != 0 && pfd.fd >= 0) {
            // libnfs reports only "POLLHUP"; the socket knows the real cause.
            int error = 0;
            socklen_t size = sizeof error;
            if (getsockopt(pfd.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0)
                m_socketError = error;
        }
        if (rpc_service(m_rpc, revents) < 0 && m_pending) {
            m_pending = false;
            Fail("%s", FailureCause(rpc_get_error(m_rpc), m_socketError).c_str());
        }
    }
    return Ok();
}

void RpcSession::OnReply(rpc_context*, int status, void* data, void* privateData) {
    static_cast<RpcSession*>(privateData)->Conclude(status, data);
}

void RpcSession::Conclude(int status, void* data) {
    if (!m_pending) return;  // a late or cancelled reply: the step already has its outcome
    m_pending = false;
    switch (status) {
    case RPC_STATUS_SUCCESS:
        if (m_handler == nullptr) return;
        // libnfs is C: nothing may unwind through it.
        try {
            m_handler(*this, data, m_handlerArg);
        } catch (const std::exception& e) {
            Fail("internal error: %s", e.what());
        } catch (...) {
            Fail("internal error: unknown exception");
        }
        return;
    case RPC_STATUS_TIMEOUT:
        Fail("%s", TimeoutText(m_timeoutMs).c_str());
        return;
    case RPC_STATUS_CANCEL:
        Fail("request cancelled");
        return;
    default:
        Fail("%s", FailureCause(static_cast<const char*>(data), m_socketError).c_str());
        return;
    }
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

std::string TimeoutText(unsigned int timeoutMs) {
    char text[64];
    if (timeoutMs % 1000 == 0)
        snprintf(text, sizeof text, "timed out after %u s without an answer", timeoutMs / 1000);
    else
        snprintf(text, sizeof text, "timed out after %.1f s without an answer", timeoutMs / 1000.0);
    return text;
}

}  // namespace nfsclient
