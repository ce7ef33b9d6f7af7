// One libnfs RPC context driven step by step by the calling thread.
#pragma once

#include <chrono>
#include <string>

struct rpc_context;

namespace nfsclient {

// True when `address` is a numeric IPv4 or IPv6 address text; stores its
// address family (AF_INET or AF_INET6). Never resolves names: getaddrinfo on
// a host name can block without bound.
bool ParseNumericAddress(const char* address, int& family);

// "timed out after 1.5 s without an answer" for a timeout setting in ms.
std::string TimeoutText(unsigned int timeoutMs);

// The cause of a failed libnfs request: the socket's own error when one was
// read (`socketError`, 0 for none), else libnfs's text, reworded where
// libnfs 4.0 words a closed connection obscurely.
std::string FailureCause(const char* libnfsText, int socketError);

// Owns one rpc_context for one library call. Not thread-safe: the context is
// created, used and destroyed by the calling thread only.
//
// A step is one outstanding request (a TCP connect or one RPC). Begin() names
// it and sets the handler for its successful reply; Run() takes the result of
// the libnfs *_async call that sent it (with &RpcSession::OnReply and the
// session as private data) and polls until the step has an outcome: the
// reply, a connection failure, or its deadline (the timeout setting from the
// start of the step, and never later than an overall limit set with
// LimitTotal). The first outcome of a step wins; a reply arriving later, such
// as the cancel status rpc_destroy_context reports for queued requests, is
// ignored. After the first failure the session stays failed.
//
// Error texts read "NFS server <address>, <step>: <cause>".
class RpcSession {
public:
    // Called with libnfs's decoded reply, valid during the call only. May
    // call Fail() to make the step fail. Exceptions are caught at the libnfs
    // boundary and fail the step.
    using ReplyHandler = void (*)(RpcSession& session, void* data, void* arg);

    // `address` must have passed ParseNumericAddress and outlive the session.
    RpcSession(const char* address, int family, unsigned int timeoutMs);
    ~RpcSession();
    RpcSession(const RpcSession&) = delete;
    RpcSession& operator=(const RpcSession&) = delete;

    rpc_context* Context() const { return m_rpc; }
    const char* Address() const { return m_address; }
    int Family() const { return m_family; }
    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }

    // Bounds all later steps by now + the timeout, until ClearLimit().
    void LimitTotal();
    void ClearLimit();

    // Starts a step described by a printf format (e.g. "portmapper (port %d)").
    void Begin(ReplyHandler handler, void* arg, const char* stepFormat, ...)
        __attribute__((format(printf, 4, 5)));
    // `issued` is the *_async call's result. True when the step succeeded.
    bool Run(int issued);
    // Fails the current step with a cause (printf format); the first failure wins.
    void Fail(const char* causeFormat, ...) __attribute__((format(printf, 2, 3)));
    // Closes the connection, if any, so that the next step may connect elsewhere.
    void Disconnect();

    // The rpc_cb of every request sent through the session.
    static void OnReply(rpc_context* rpc, int status, void* data, void* privateData);

private:
    using Clock = std::chrono::steady_clock;

    void Conclude(int status, void* data);

    rpc_context* m_rpc = nullptr;
    const char* m_address;
    int m_family;
    unsigned int m_timeoutMs;
    bool m_hasLimit = false;
    Clock::time_point m_limit;
    Clock::time_point m_deadline;
    std::string m_step;
    std::string m_error;
    ReplyHandler m_handler = nullptr;
    void* m_handlerArg = nullptr;
    bool m_pending = false;
    int m_socketError = 0;
};

}  // namespace nfsclient
