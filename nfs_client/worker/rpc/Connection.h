// One TCP connection to one RPC service of a server (portmapper, MOUNT, NFS),
// driven by the calling thread, with any number of requests in flight.
#pragma once

#include <poll.h>   // POLLOUT
#include <cstdarg>  // va_list
#include <chrono>   // steady_clock
#include <cstdint>  // uint32_t
#include <list>     // std::list
#include <memory>   // std::unique_ptr
#include <string>   // std::string

#include "nfs_client/ListingCore.h"          // Condition
#include "nfs_client/Paths.h"                // ParseNumericAddress
#include "nfs_client/worker/rpc/CallAuth.h"  // CallAuth, AuthSys

struct rpc_context;

namespace nfsclient {

// "timed out after 1.5 s without an answer" for a wait of `ms`.
std::string TimeoutText(unsigned int ms);

// The cause of a failed libnfs request: the socket's own error when one was
// read (`socketError`, 0 for none), else libnfs's text, reworded where
// libnfs 4.0 words a closed connection obscurely.
std::string FailureCause(const char* libnfsText, int socketError);

// Owns one libnfs rpc_context for one library call. Not thread-safe: created,
// used and destroyed by one thread.
//
// Replies are read here, not by libnfs: a record is reassembled within
// bounds (fragment and record sizes, number of fragments) and its RPC reply
// header checked before libnfs takes it (its own reading grows without
// bound and its header decoder trusts the lengths a server sends).
//
// A request is a TCP connect or one RPC, sent with Send() and named by a step
// text ("mount of export /vol/vol1") for error texts. Requests queued behind
// a connect go out as soon as it completes, so a connect and the first call
// cost one round trip, not two. Each request must have its outcome before its
// deadline: the step timeout from when it was sent or from the connection's
// last progress (a connect made, any bytes of a reply), whichever is later,
// never later than the limit set with Limit(). So a request queued behind
// others that are answered in turn waits while the server keeps answering. The first failure fails
// the connection for good; replies that arrive after it, and the cancel statuses
// rpc_destroy_context reports for queued requests, change nothing.
//
// Error texts read "NFS server <address>, <step>: <cause>".
class Connection {
public:
    using Clock = std::chrono::steady_clock;
    // Called with libnfs's decoded reply of a request whose RPC succeeded;
    // the reply is valid during the call only. May call Fail(). Exceptions
    // are caught at the libnfs boundary and fail the step.
    using Handler = void (*)(Connection& connection, void* reply, void* arg);
    // The rpc_cb every request is sent with, and its private data.
    using Callback = void (*)(rpc_context*, int, void*, void*);

    // `address` must have passed ParseNumericAddress (which gave `family`)
    // and outlive the object.
    Connection(const char* address, int family, unsigned int stepTimeoutMs);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const char* Address() const { return m_address; }
    int Family() const { return m_family; }
    unsigned int StepTimeoutMs() const { return m_stepMs; }
    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    // The failure was a request past its deadline.
    bool TimedOut() const { return m_timedOut; }
    rpc_context* Context() const { return m_rpc; }
    // The flavour of this connection's credentials (CallAuth.h): AUTH_SYS
    // until another is adopted. Every call sent on the connection carries it.
    CallAuth& Auth() const { return m_adopted ? *m_adopted : AuthSys(); }
    // From now on the connection's calls carry `auth`'s credential (an
    // RPCSEC_GSS context); the connection owns it.
    void AdoptAuth(std::unique_ptr<CallAuth> auth) { m_adopted = std::move(auth); }

    // No request may wait beyond `limit` (Clock::time_point::max(): none).
    void Limit(Clock::time_point limit) { m_limit = limit; }

    // Starts the TCP connect to `port` (no NULL call).
    void Connect(int port, const std::string& step);
    bool Connecting() const { return m_connecting; }
    // Sends a request: `issue(callback, data)` must call one libnfs *_async
    // function with that callback and private data and return its result.
    // Nothing is sent once the connection has failed.
    template <typename Issue>
    void Send(const std::string& step, Handler handler, void* arg, Issue issue) {
        if (!Ok()) return;
        Request& request = NewRequest(step, handler, arg, false);
        Issued(request, issue(&OnReply, &request));
    }
    // Sends an advisory request: one the call does not need. It is not
    // counted in InFlight(), nothing waits for it, and its failure (no
    // answer within its deadline, an error) fails nothing: its handler then
    // gets a null reply instead.
    template <typename Issue>
    void SendAdvisory(const std::string& step, Handler handler, void* arg, Issue issue) {
        if (!Ok()) return;
        Request& request = NewRequest(step, handler, arg, false);
        request.advisory = true;
        --m_inFlight;
        ++m_advisoryOpen;
        Issued(request, issue(&OnReply, &request));
    }
    size_t InFlight() const { return m_inFlight; }
    // Writes the requests libnfs holds now instead of at the next poll: from
    // a Handler, so that a request it sent is on its way before the
    // handler's own work (a page's entries handed out, say).
    void Flush();
    // Sends a last advisory request (the end of a security context), also
    // when the call failed with the connection still usable (nothing in
    // flight, no timeout, the socket up), and waits until it is written, at
    // most until `deadline`: not for its reply, whose round trip nothing
    // needs. Changes nothing of the connection's outcome.
    template <typename Issue>
    void Farewell(const std::string& step, Clock::time_point deadline, Issue issue) {
        if (m_rpc == nullptr || m_inFlight > 0 || m_timedOut || m_socketError != 0 || Fd() < 0)
            return;
        const std::string error = m_error;
        const Clock::time_point limit = m_limit;
        const bool timedOut = m_timedOut;
        m_error.clear();
        m_limit = deadline;
        SendAdvisory(step, nullptr, nullptr, issue);
        Connection* self = this;
        while (Ok() && m_advisoryOpen > 0 && (Events() & POLLOUT) != 0 && Clock::now() < deadline)
            PollOnce(&self, 1);
        m_error = error;
        m_limit = limit;
        m_timedOut = timedOut;
    }

    // Fails the connection at `step` with a cause (printf format); the first
    // failure wins.
    void Fail(const std::string& step, const char* causeFormat, ...)
        __attribute__((format(printf, 3, 4)));
    // From a Handler: fails the step whose reply is being handled.
    void FailReply(const char* causeFormat, ...) __attribute__((format(printf, 2, 3)));
    // Fails the step (the one whose reply is being handled when `step` is
    // null) with the server's status, worded by WordCondition. When that is
    // the connection's first failure and the status is an answer about the
    // path itself (no such entry, not a folder, access denied), PathAnswered()
    // says so: the server spoke as the call expected it to.
    void FailStatus(const std::string* step, Condition condition, const std::string& statusName);
    bool PathAnswered() const { return m_pathAnswered; }
    // From a Handler: the step whose reply is being handled.
    const std::string& Step() const { return m_handling != nullptr ? m_handling->step : m_noStep; }

    // The local port of the socket, 0 when unknown (for texts about
    // privileged source ports).
    int LocalPort() const;
    // The least round trip to the server, in microseconds (0 when unknown):
    // the kernel's (TCP_INFO) or, when longer, the least time a reply took
    // on this connection, from its request's send to its reply's handling.
    // A relay in user space between the two (a proxy, a tunnel) hides the
    // distance from the kernel; the replies still show it.
    uint32_t RoundTripUs() const;
    // The least time a reply took on this connection (0: none yet), and one
    // measured to the same server elsewhere (another connection, a
    // datagram; 0 changes nothing).
    uint32_t LeastReplyUs() const { return m_leastReplyUs; }
    void Measured(uint32_t roundTripUs);

    // For polling several connections together.
    int Fd() const;
    short Events() const;
    // The earliest deadline of a request in flight (Clock::time_point::max()
    // when none).
    Clock::time_point NextDeadline() const;
    // Hands poll's events to libnfs, then fails a request past its deadline.
    void Service(short revents);
    // Polls until nothing is in flight or the connection has failed.
    bool Drain();
    // Send() then Drain(): one request and its outcome.
    template <typename Issue>
    bool Call(const std::string& step, Handler handler, void* arg, Issue issue) {
        Send(step, handler, arg, issue);
        return Drain();
    }

    // Polls `count` connections (nulls skipped) once, for at most 100 ms or
    // until the earliest deadline (or `until`, when sooner), and services
    // them. `alsoReadable`, when not -1, is one more socket whose input ends
    // the wait (its owner reads it).
    static void PollOnce(Connection* const* connections, size_t count, int alsoReadable = -1,
                         Clock::time_point until = Clock::time_point::max());

    // A function called right before every wait for the network, with a
    // count that grows with each reply handled and each read of reply bytes
    // in this process: the worker passes on what it gathered, and shows it
    // is making progress. Process-wide; set
    // once, before any connection exists. Null: none.
    using IdleHook = void (*)(unsigned long long repliesHandled);
    static void SetIdleHook(IdleHook hook);

private:
    struct Request {
        Connection* connection;
        Handler handler;
        void* arg;
        std::string step;
        Clock::time_point deadline;
        Clock::time_point sent;  // min(): queued behind a connect, until it is made
        bool connect;
        bool done;  // libnfs has let go of it
        bool advisory;
        bool givenUp;  // advisory, past its deadline: its handler has had the null reply
    };
    static void OnReply(rpc_context* rpc, int status, void* data, void* privateData);
    Request& NewRequest(const std::string& step, Handler handler, void* arg, bool connect);
    void Issued(Request& request, int result);
    void Conclude(Request& request, int status, void* data);
    // Reads what the socket holds; each whole record, once its marking and
    // RPC header are checked, goes to libnfs. False when the server closed
    // the connection.
    bool ReadRecords(int fd);
    bool TakeRecords();
    // Puts the whole record in m_record through Auth(); fails the pending
    // requests when it is refused. Leaves only the marker's 4 bytes when the
    // flavour sends the refused call again (CallAuth::Refused).
    bool PassedAuth();
    // Bytes came: every request waiting gets the step timeout from now.
    void Progressed();
    // Fails the connection as timed out once the limit has passed.
    bool PastLimit();
    void FailPending(const char* cause);
    void FailV(const std::string& step, const char* causeFormat, va_list args);
    void FailTimedOut(const std::string& step);
    void ConcludeAdvisory(Request& request, int status, void* data);
    const std::string& PendingConnectStep() const;
    void Prune();
    bool Busy() const { return m_inFlight > 0 || m_advisoryOpen > 0; }

    rpc_context* m_rpc = nullptr;
    std::unique_ptr<CallAuth> m_adopted;  // null: AUTH_SYS
    const char* m_address;
    int m_family;
    unsigned int m_stepMs;
    Clock::time_point m_limit = Clock::time_point::max();
    std::list<Request> m_requests;  // stable addresses: libnfs holds pointers to them
    size_t m_inFlight = 0;
    size_t m_advisoryOpen = 0;  // advisory requests neither answered nor given up
    bool m_connecting = false;
    bool m_closing = false;
    int m_socketError = 0;
    bool m_timedOut = false;
    bool m_pathAnswered = false;
    uint32_t m_leastReplyUs = 0;  // 0: no reply timed yet
    std::string m_error;
    const Request* m_handling = nullptr;  // whose reply a Handler is looking at
    std::string m_noStep;
    std::string m_received;  // bytes read, not yet a whole fragment
    std::string m_record;    // the fragments of the record being read, with room for a marker
    size_t m_fragments = 0;  // of the record being read, those without payload
};

}  // namespace nfsclient
