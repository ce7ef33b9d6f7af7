// NFSv4 requests of every minor version over one send path: a COMPOUND
// builder for the operations that are the same in 4.0 and 4.1 (PUTROOTFH,
// PUTFH, LOOKUP, GETFH, GETATTR, READDIR; none needs client state), and the
// NFSv4 service of one call (Nfs4Channel), which sends them with our own XDR
// (Nfs4Xdr.h, Nfs4Compound.h) through libnfs's transport. libnfs's own COMPOUND
// reply decoder is never used: it trusts the server's result count.
#pragma once

#include <chrono>   // milliseconds
#include <cstddef>  // size_t
#include <cstdint>  // uint32_t, uint64_t
#include <list>     // std::list
#include <string>   // std::string
#include <vector>   // std::vector

#include "nfs_client/worker/rpc/Connection.h"  // Connection
#include "nfs_client/worker/nfs4/Nfs4Xdr.h"    // v41::Compound41, v41::Compound41Res
#include "nfs_client/worker/nfs4/Nfs4Reply.h"  // AttrMask, Nfs4Reply

namespace nfsclient {

struct Call;

constexpr int kNfs4Port = 2049;

// One COMPOUND of 4.0 operations being put together. Names and handles are
// copied in, so a compound may be kept (queued, sent again) after the data
// it was built from has gone. Movable, not copyable (its operations point
// into its own storage).
class Compound {
public:
    Compound() = default;
    Compound(Compound&&) = default;
    Compound& operator=(Compound&&) = default;
    Compound(const Compound&) = delete;
    Compound& operator=(const Compound&) = delete;

    void PutRootFh();
    void PutFh(const std::vector<char>& handle);
    void Lookup(const std::string& name);
    void GetFh();
    void GetAttr(const AttrMask& mask);
    void ReadDir(uint64_t cookie, const char* verifier, uint32_t maxBytes, const AttrMask& mask);
    // The security negotiation's (Nfs4Security.cpp): SECINFO of `name` in
    // the current directory (4.0), SECINFO_NO_NAME of the current one (4.1).
    void Secinfo(const std::string& name);
    void SecinfoNoName();
    size_t Size() const { return m_ops.size(); }
    // The operations added so far, in order (what a reply is checked against).
    std::vector<nfs_opnum4> Ops() const;
    // Appends the operations to `to`, by reference: this compound must
    // outlive the encoding of `to`.
    void AppendTo(v41::Compound41& to) const;

private:
    nfs_argop4& Add(nfs_opnum4 op);
    const char* Keep(const char* data, size_t length);
    std::vector<nfs_argop4> m_ops;
    std::list<AttrMask> m_masks;    // stable addresses for the bitmaps
    std::list<std::string> m_data;  // copies of names and handles
};

// Sends `compound` (any minor version) on `connection`, a connection to
// port 2049. `handler` gets the decoded v41::Compound41Res as its reply: well
// formed and matching the operations sent (any NFSv4 status). `compound`
// and what it references may go once this returns.
void SendNfs4(Connection& connection, const v41::Compound41& compound, Connection::Handler handler,
              void* arg, const std::string& step);
// The same as an advisory request (Connection::SendAdvisory).
void SendNfs4Advisory(Connection& connection, const v41::Compound41& compound,
                      Connection::Handler handler, void* arg, const std::string& step);

// False, with the reason on `connection`, when this libnfs cannot carry our
// COMPOUNDs (its private request layout is not the one checked for).
bool CheckNfs4Sender(Connection& connection);

// The pause before sending a COMPOUND answered NFS4ERR_DELAY again, after
// `attempt` earlier retries: 100 ms, doubled each time, at most 2 s. A
// retry is sent only when it can still be answered before its deadline.
std::chrono::milliseconds Nfs4Backoff(unsigned attempt);
bool RetryFitsBefore(Connection::Clock::time_point due, Connection::Clock::time_point deadline);

// What a session was granted and where its slots stand.
struct Nfs41Session {
    bool clientMade = false;  // EXCHANGE_ID succeeded: DESTROY_CLIENTID is owed
    uint64_t clientId = 0;
    bool sessionMade = false;  // CREATE_SESSION succeeded: DESTROY_SESSION is owed
    v41::SessionId id{};
    uint32_t maxOperations = 0;  // per COMPOUND, SEQUENCE included
    uint32_t maxRequestSize = 0;
    uint32_t maxResponseSize = 0;
    uint32_t createSequence = 0;  // csa_sequence: the EXCHANGE_ID reply's sequence id
    struct Slot {
        uint32_t sequenceId = 0;  // the last one sent on it
        bool busy = false;        // a request is in flight on it (or was, and never came back)
    };
    std::vector<Slot> slots;  // the ones this client uses: granted, at most kSlotsAsked
    uint32_t usable = 0;      // slots below this may be taken (the server may lower it)
};

// The NFSv4 service of one call, over one connection to port 2049: COMPOUNDs
// of minor version 0, or of 1 or 2 within a session (OpenSession), each then
// led by a SEQUENCE on a slot of its own. Handlers get the decoded reply
// (v41::Compound41Res) and read it through Nfs4Reply, which sees the results
// of the 4.0 operations only, alike for every minor version. A COMPOUND
// answered NFS4ERR_DELAY (or NFS4ERR_GRACE) is sent again after a growing
// pause until its step's time is up; only then does its handler see the
// status.
//
// Slots: a COMPOUND waits for a free slot; a slot whose request never came
// back (timed out, connection lost) is never used again (the connection has
// failed then anyway). SEQUENCE failures are the channel's: the handler is
// not called, the step fails with a worded cause.
class Nfs4Channel {
public:
    // Slots asked for: the COMPOUNDs the export walk keeps in flight.
    static constexpr uint32_t kSlotsAsked = 8;

    Nfs4Channel(Call& call, Connection& connection);
    ~Nfs4Channel();
    Nfs4Channel(const Nfs4Channel&) = delete;
    Nfs4Channel& operator=(const Nfs4Channel&) = delete;

    Call& TheCall() { return m_call; }
    Connection& Link() { return m_link; }
    bool Ok() const { return m_link.Ok(); }
    uint32_t MinorVersion() const { return m_minor; }
    const Nfs41Session& Session() const { return m_session; }
    // No request may wait beyond `limit` (see Connection::Limit), retries
    // of NFS4ERR_DELAY included.
    void Limit(Connection::Clock::time_point limit);

    // Nfs41Session.cpp. Makes the session within call.setupLimit: EXCHANGE_ID
    // at the minor version in call.profile (1, then 2 when 1 is refused),
    // CREATE_SESSION, and RECLAIM_COMPLETE sent alongside whatever is sent
    // next. Records the minor version in call.profile. False when it could
    // not: the connection failed, or (a refusal) the call did.
    bool OpenSession();
    // Nfs41Session.cpp. DESTROY_SESSION and DESTROY_CLIENTID for what
    // OpenSession made, on this connection or, when it has failed, on a new
    // one; nothing waits beyond `limit` (left out, with a notice, when it
    // has passed). Failures are only noticed (Call::Notice): the session
    // then expires on the server by itself.
    void CloseSession(Connection::Clock::time_point limit);

    // Sends `compound`; `handler` gets a `const v41::Compound41Res*` as its
    // reply (read it through Nfs4Reply).
    // Nothing is sent once the connection has failed.
    void Send(Compound&& compound, Connection::Handler handler, void* arg, const std::string& step);
    // COMPOUNDs sent and not yet handed to their handlers (in flight,
    // waiting for a slot, or waiting to be sent again).
    size_t Pending() const;
    // Waits once for replies (at most 100 ms) and handles them; sends what
    // is due.
    void PollOnce();
    // Waits until nothing is pending or the connection has failed.
    bool Drain();

    // How COMPOUNDs must be shaped: at most this many LOOKUPs, and at most
    // this many bytes of them when `wanted` would do, besides a PUTFH, GETFH,
    // GETATTR and READDIR; READDIR replies of at most this many bytes when
    // `wanted` are asked for.
    size_t MaxLookups() const;
    size_t LookupBytes(size_t wanted) const;
    uint32_t PageBytes(uint32_t wanted) const;

private:
    struct Sent;
    static void OnReply(Connection& connection, void* reply, void* arg);
    Sent& Add(Connection::Handler handler, void* arg, const std::string& step);
    void Dispatch(Sent& sent);
    bool TakeSlot(Sent& sent);
    void SendWaiting();
    void FailIfStarved();
    void Transmit(Sent& sent);
    bool TakeSequence(Connection& connection, Sent& sent, const v41::Compound41Res& res);
    bool Retry(Sent& sent, int status);
    void SendDue();
    void OnReclaimed(const v41::Compound41Res* res);
    void SendReclaimComplete();
    int ExchangeId(unsigned minor);
    bool CreateSession();
    void DestroySession(Connection& link, Connection::Clock::time_point limit);
    void DestroyClientId(Connection& link, Connection::Clock::time_point limit);

    Call& m_call;
    Connection& m_link;
    uint32_t m_minor = 0;
    bool m_sequenced = false;  // COMPOUNDs carry a SEQUENCE
    bool m_slotLost = false;   // RECLAIM_COMPLETE went unanswered: its slot stays taken
    Nfs41Session m_session;
    Connection::Clock::time_point m_limit = Connection::Clock::time_point::max();
    std::list<Sent> m_sent;      // stable addresses: requests in flight point at them
    std::list<Sent*> m_waiting;  // for a slot, in order
    std::list<Sent*> m_delayed;  // to be sent again at their time
};

}  // namespace nfsclient
