#include "nfs_client/worker/nfs4/Nfs4Channel.h"

#include <cstring>  // memcpy, memset

#include "nfs_client/ListingCore.h"               // WordCondition, Nfs4StatusName
#include "nfs_client/worker/nfs4/Nfs4Compound.h"  // v41::SendCompound41, v41::Nfs41Usable
#include "nfs_client/worker/Protocol.h"           // Call

namespace nfsclient {
namespace {

// Most operations in one COMPOUND, as the codec allows.
constexpr size_t kMaxCompoundOps = v41::kMaxOps;
// NFS4ERR_DELAY: the first pause, doubled each time up to the longest.
constexpr long kFirstBackoffMs = 100;
constexpr long kMaxBackoffMs = 2000;
// Connection::PollOnce waits at most this long.
constexpr long kPollSliceMs = 100;
// What a session's request size counts besides the COMPOUND's arguments:
// the RPC call header with its credential (72 bytes with libnfs's AUTH_SYS).
constexpr size_t kRpcCallBytes = 512;
// Room a reply needs besides the READDIR entries (RPC reply header,
// SEQUENCE, up to 64 short results, a file handle, attributes).
constexpr uint32_t kReplyMarginBytes = 1024;

}  // namespace

nfs_argop4& Compound::Add(nfs_opnum4 op) {
    m_ops.emplace_back();
    nfs_argop4& added = m_ops.back();
    memset(&added, 0, sizeof added);
    added.argop = op;
    return added;
}

const char* Compound::Keep(const char* data, size_t length) {
    m_data.emplace_back(data, length);
    return m_data.back().data();
}

void Compound::PutRootFh() { Add(OP_PUTROOTFH); }

void Compound::PutFh(const std::vector<char>& handle) {
    const char* kept = Keep(handle.data(), handle.size());
    PUTFH4args& args = Add(OP_PUTFH).nfs_argop4_u.opputfh;
    args.object.nfs_fh4_len = static_cast<u_int>(handle.size());
    args.object.nfs_fh4_val = const_cast<char*>(kept);
}

void Compound::Lookup(const std::string& name) {
    const char* kept = Keep(name.data(), name.size());
    LOOKUP4args& args = Add(OP_LOOKUP).nfs_argop4_u.oplookup;
    args.objname.utf8string_len = static_cast<u_int>(name.size());
    args.objname.utf8string_val = const_cast<char*>(kept);
}

void Compound::GetFh() { Add(OP_GETFH); }

void Compound::GetAttr(const AttrMask& mask) {
    m_masks.push_back(mask);
    GETATTR4args& args = Add(OP_GETATTR).nfs_argop4_u.opgetattr;
    args.attr_request.bitmap4_len = 2;
    args.attr_request.bitmap4_val = m_masks.back().word;
}

void Compound::ReadDir(uint64_t cookie, const char* verifier, uint32_t maxBytes,
                       const AttrMask& mask) {
    m_masks.push_back(mask);
    READDIR4args& args = Add(OP_READDIR).nfs_argop4_u.opreaddir;
    args.cookie = cookie;
    memcpy(args.cookieverf, verifier, NFS4_VERIFIER_SIZE);
    args.dircount = maxBytes;
    args.maxcount = maxBytes;
    args.attr_request.bitmap4_len = 2;
    args.attr_request.bitmap4_val = m_masks.back().word;
}

// libnfs has no arguments for either: SECINFO's name rides in LOOKUP's
// field, and AppendTo hands both to the COMPOUND codec's own encoders.
void Compound::Secinfo(const std::string& name) {
    const char* kept = Keep(name.data(), name.size());
    LOOKUP4args& args = Add(OP_SECINFO).nfs_argop4_u.oplookup;
    args.objname.utf8string_len = static_cast<u_int>(name.size());
    args.objname.utf8string_val = const_cast<char*>(kept);
}

void Compound::SecinfoNoName() { Add(static_cast<nfs_opnum4>(v41::kOpSecinfoNoName)); }

std::vector<nfs_opnum4> Compound::Ops() const {
    std::vector<nfs_opnum4> ops;
    ops.reserve(m_ops.size());
    for (const nfs_argop4& op : m_ops) ops.push_back(op.argop);
    return ops;
}

void Compound::AppendTo(v41::Compound41& to) const {
    for (const nfs_argop4& op : m_ops) {
        const utf8str_cs& name = op.nfs_argop4_u.oplookup.objname;
        if (op.argop == OP_SECINFO)
            to.Secinfo(std::string(name.utf8string_val, name.utf8string_len));
        else if (static_cast<uint32_t>(op.argop) == v41::kOpSecinfoNoName)
            to.SecinfoNoName(v41::kSecinfoStyleCurrentFh);
        else
            to.Add40(op);
    }
}

void SendNfs4(Connection& connection, const v41::Compound41& compound, Connection::Handler handler,
              void* arg, const std::string& step) {
    connection.Send(step, handler, arg, [&](Connection::Callback cb, void* data) {
        return v41::SendCompound41(connection.Context(), compound, cb, data, connection.Auth());
    });
}

void SendNfs4Advisory(Connection& connection, const v41::Compound41& compound,
                      Connection::Handler handler, void* arg, const std::string& step) {
    connection.SendAdvisory(step, handler, arg, [&](Connection::Callback cb, void* data) {
        return v41::SendCompound41(connection.Context(), compound, cb, data, connection.Auth());
    });
}

bool CheckNfs4Sender(Connection& connection) {
    if (!connection.Ok()) return false;
    std::string why;
    if (v41::Nfs41Usable(connection.Context(), why)) return true;
    connection.Fail("NFSv4 service (port 2049)", "%s", why.c_str());
    return false;
}

std::chrono::milliseconds Nfs4Backoff(unsigned attempt) {
    const unsigned shift = attempt < 5 ? attempt : 5;
    const long pause = kFirstBackoffMs << shift;
    return std::chrono::milliseconds(pause < kMaxBackoffMs ? pause : kMaxBackoffMs);
}

bool RetryFitsBefore(Connection::Clock::time_point due, Connection::Clock::time_point deadline) {
    // A pause may end up to one poll slice late, and the answer needs time too.
    return deadline != Connection::Clock::time_point::max() &&
           due + std::chrono::milliseconds(2 * kPollSliceMs) < deadline;
}

// ---------------------------------------------------------------------------
// Nfs4Channel

struct Nfs4Channel::Sent {
    Nfs4Channel* channel = nullptr;
    Compound compound;
    Connection::Handler handler = nullptr;  // null: the channel's own RECLAIM_COMPLETE
    void* arg = nullptr;
    std::string step;
    std::list<Sent>::iterator self;
    Connection::Clock::time_point retryUntil;  // NFS4ERR_DELAY is sent again until then
    Connection::Clock::time_point due;         // when it is sent again
    unsigned attempts = 0;
    int slot = -1;  // the slot it is in flight on
    v41::SequenceArgs sequence{};
};

Nfs4Channel::Nfs4Channel(Call& call, Connection& connection) : m_call(call), m_link(connection) {}

Nfs4Channel::~Nfs4Channel() = default;

void Nfs4Channel::Limit(Connection::Clock::time_point limit) {
    m_limit = limit;
    m_link.Limit(limit);
}

Nfs4Channel::Sent& Nfs4Channel::Add(Connection::Handler handler, void* arg,
                                    const std::string& step) {
    m_sent.emplace_back();
    Sent& sent = m_sent.back();
    sent.channel = this;
    sent.handler = handler;
    sent.arg = arg;
    sent.step = step;
    sent.self = std::prev(m_sent.end());
    const Connection::Clock::time_point stepEnd =
        Connection::Clock::now() + std::chrono::milliseconds(m_link.StepTimeoutMs());
    sent.retryUntil = stepEnd < m_limit ? stepEnd : m_limit;
    return sent;
}

void Nfs4Channel::Send(Compound&& compound, Connection::Handler handler, void* arg,
                       const std::string& step) {
    if (!Ok()) return;
    Sent& sent = Add(handler, arg, step);
    sent.compound = std::move(compound);
    Dispatch(sent);
}

void Nfs4Channel::Dispatch(Sent& sent) {
    if (!m_sequenced || TakeSlot(sent)) {
        Transmit(sent);
        return;
    }
    m_waiting.push_back(&sent);
    FailIfStarved();
}

// Gives `sent` the lowest free slot and its next sequence id.
bool Nfs4Channel::TakeSlot(Sent& sent) {
    Nfs41Session& s = m_session;
    for (uint32_t i = 0; i < s.usable && i < s.slots.size(); ++i) {
        if (s.slots[i].busy) continue;
        s.slots[i].busy = true;
        sent.slot = static_cast<int>(i);
        memcpy(sent.sequence.sessionId, s.id, sizeof s.id);
        sent.sequence.sequenceId = ++s.slots[i].sequenceId;
        sent.sequence.slotId = i;
        sent.sequence.highestSlotId = s.usable - 1;
        sent.sequence.cacheThis = false;
        return true;
    }
    return false;
}

void Nfs4Channel::SendWaiting() {
    while (Ok() && !m_waiting.empty() && TakeSlot(*m_waiting.front())) {
        Sent* next = m_waiting.front();
        m_waiting.pop_front();
        Transmit(*next);
    }
    FailIfStarved();
}

// A COMPOUND waits for a slot that nothing will free: every usable slot is
// taken, none by a request still in flight (the unanswered RECLAIM_COMPLETE
// keeps its slot, since the server may yet answer on it).
void Nfs4Channel::FailIfStarved() {
    if (!m_slotLost || !Ok() || m_waiting.empty() || m_link.InFlight() > 0) return;
    m_link.Fail(
        m_waiting.front()->step,
        "no slot of the server's NFSv4.1 session is free: the server did not answer "
        "RECLAIM_COMPLETE "
        "within %u ms, and the slot it was sent on, the only one the server serves, cannot be used "
        "again; check the server, then try again",
        m_link.StepTimeoutMs());
}

void Nfs4Channel::Transmit(Sent& sent) {
    v41::Compound41 compound(m_minor);
    if (sent.slot >= 0) compound.Sequence(sent.sequence);
    if (sent.handler == nullptr)
        compound.ReclaimComplete();
    else
        sent.compound.AppendTo(compound);
    const size_t bytes = compound.EncodedSizeBound() + kRpcCallBytes;
    if (m_sequenced && bytes > m_session.maxRequestSize) {
        m_link.Fail(sent.step,
                    "the request (about %zu bytes) is larger than the %u bytes the server's "
                    "NFSv4.1 session "
                    "takes; use a shorter path, or raise the server's maximum request size",
                    bytes, m_session.maxRequestSize);
        return;
    }
    // RECLAIM_COMPLETE is the one COMPOUND a browse does without: nothing
    // waits for it, and its failure fails nothing.
    if (sent.handler == nullptr)
        SendNfs4Advisory(m_link, compound, &OnReply, &sent, sent.step);
    else
        SendNfs4(m_link, compound, &OnReply, &sent, sent.step);
}

// The reply of a COMPOUND sent on the channel: the SEQUENCE result is the
// channel's; NFS4ERR_DELAY sends it again later; the rest goes to the
// handler.
void Nfs4Channel::OnReply(Connection& connection, void* reply, void* arg) {
    Sent& sent = *static_cast<Sent*>(arg);
    Nfs4Channel& channel = *sent.channel;
    if (reply ==
        nullptr) {  // the advisory RECLAIM_COMPLETE, without an answer: its slot is not used again
        channel.OnReclaimed(nullptr);
        channel.m_sent.erase(sent.self);
        channel.m_slotLost = true;
        channel.FailIfStarved();
        return;
    }
    auto& res = *static_cast<v41::Compound41Res*>(reply);
    if (sent.slot >= 0 && !channel.TakeSequence(connection, sent, res)) return;
    if (channel.Retry(sent, res.status)) return;
    if (sent.handler == nullptr) {
        channel.OnReclaimed(&res);
        channel.m_sent.erase(sent.self);
        return;
    }
    const Connection::Handler handler = sent.handler;
    void* const handlerArg = sent.arg;
    channel.m_sent.erase(sent.self);
    handler(connection, &res, handlerArg);
}

// Frees the slot and checks the SEQUENCE result. False when the handler
// must not run: the step failed (worded), or the COMPOUND goes again later.
bool Nfs4Channel::TakeSequence(Connection& connection, Sent& sent, const v41::Compound41Res& res) {
    Nfs41Session::Slot& slot = m_session.slots[static_cast<size_t>(sent.slot)];
    slot.busy = false;
    sent.slot = -1;
    const bool sequenced = res.count > 0 && res.results[0].op == v41::kOpSequence;
    const int status = sequenced ? res.results[0].status : res.status;
    if (status != NFS4_OK) {
        --slot.sequenceId;  // a failed SEQUENCE leaves the slot as it was
        if (!Retry(sent, status)) {
            connection.FailStatus(nullptr, ConditionOfNfs4(status), Nfs4StatusName(status));
            return false;
        }
        SendWaiting();
        return false;
    }
    const v41::SequenceRes& got = res.results[0].u.sequence;
    std::string why;
    if (!v41::CheckSequence(sent.sequence, got, why)) {
        connection.FailReply("malformed NFSv4 reply: %s", why.c_str());
        return false;
    }
    // The server may lower the slots it serves at any time.
    const uint32_t highest =
        got.targetHighestSlotId < got.highestSlotId ? got.targetHighestSlotId : got.highestSlotId;
    const size_t served = static_cast<size_t>(highest) + 1;
    m_session.usable =
        static_cast<uint32_t>(served < m_session.slots.size() ? served : m_session.slots.size());
    SendWaiting();
    return true;
}

// NFS4ERR_DELAY and NFS4ERR_GRACE: sent again after a pause, while it can
// still be answered within its step's time.
bool Nfs4Channel::Retry(Sent& sent, int status) {
    if (status != NFS4ERR_DELAY && status != NFS4ERR_GRACE) return false;
    const Connection::Clock::time_point due = Connection::Clock::now() + Nfs4Backoff(sent.attempts);
    if (!RetryFitsBefore(due, sent.retryUntil)) return false;
    ++sent.attempts;
    sent.due = due;
    m_delayed.push_back(&sent);
    return true;
}

void Nfs4Channel::SendDue() {
    const Connection::Clock::time_point now = Connection::Clock::now();
    for (auto it = m_delayed.begin(); it != m_delayed.end() && Ok();) {
        Sent* sent = *it;
        if (sent->due > now) {
            ++it;
            continue;
        }
        it = m_delayed.erase(it);
        Dispatch(*sent);
    }
}

size_t Nfs4Channel::Pending() const {
    return m_link.InFlight() + m_waiting.size() + m_delayed.size();
}

void Nfs4Channel::PollOnce() {
    Connection* polled = &m_link;
    Connection::PollOnce(&polled, 1);
    SendDue();
}

bool Nfs4Channel::Drain() {
    while (Ok() && Pending() > 0) PollOnce();
    return Ok();
}

size_t Nfs4Channel::MaxLookups() const {
    size_t ops = kMaxCompoundOps;
    if (m_sequenced) {
        const size_t granted = m_session.maxOperations - 1;  // SEQUENCE is one of them
        ops = granted < ops ? granted : ops;
    }
    return ops - 4;  // PUTFH, GETFH, GETATTR, READDIR
}

size_t Nfs4Channel::LookupBytes(size_t wanted) const {
    if (!m_sequenced) return wanted;
    // Besides the LOOKUPs: the call header, SEQUENCE, PUTFH with a handle,
    // GETFH, GETATTR and READDIR.
    const size_t others = kRpcCallBytes + 400;
    const size_t room = m_session.maxRequestSize > others ? m_session.maxRequestSize - others : 0;
    return wanted < room ? wanted : room;
}

uint32_t Nfs4Channel::PageBytes(uint32_t wanted) const {
    if (!m_sequenced) return wanted;
    const uint32_t room = m_session.maxResponseSize - kReplyMarginBytes;
    return wanted < room ? wanted : room;
}

}  // namespace nfsclient
