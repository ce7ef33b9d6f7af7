// The NFSv4.1 / 4.2 session of one call: made at its start (EXCHANGE_ID,
// CREATE_SESSION, RECLAIM_COMPLETE), torn down at its end (DESTROY_SESSION,
// DESTROY_CLIENTID), also after a failure. A browsing client holds no state
// beyond the session: no opens, locks, delegations or layouts.
#include <algorithm>  // std::min
#include <cstdio>     // snprintf
#include <cstring>    // memcpy
#include <memory>     // std::unique_ptr

#include "nfs_client/ListingCore.h"  // WordCondition, Nfs4StatusName
#include "nfs_client/worker/nfs4/Nfs4Channel.h"
#include "nfs_client/worker/Protocol.h"  // Call

namespace nfsclient {
namespace {

using Clock = Connection::Clock;

const char kExchangeStep[] = "NFSv4.1 session setup (EXCHANGE_ID)";
const char kCreateStep[] = "NFSv4.1 session setup (CREATE_SESSION)";
const char kReclaimStep[] = "NFSv4.1 session setup (RECLAIM_COMPLETE)";
const char kDestroySessionStep[] = "NFSv4.1 session teardown (DESTROY_SESSION)";
const char kDestroyClientStep[] = "NFSv4.1 session teardown (DESTROY_CLIENTID)";
const char kExpires[] = "; the server drops what is left when its lease runs out (about a minute)";
// Starts the client owner id, which servers may show in their logs.
const char kOwnerPrefix[] = "nasbrowse";

// The smallest session that can carry a browse: SEQUENCE, PUTFH, LOOKUP,
// GETFH, GETATTR and READDIR in one COMPOUND; a path of a few components;
// a READDIR page of a few entries.
constexpr uint32_t kLeastOperations = 6;
constexpr uint32_t kLeastRequestBytes = 2048;
constexpr uint32_t kLeastResponseBytes = 4096;

// The first results of a session operation's reply, copied out of the
// callback (their texts and handles are not kept).
struct Answer {
    int32_t status = -1;
    uint32_t count = 0;
    v41::Result41 first{};
};

void OnAnswer(Connection&, void* reply, void* arg) {
    const auto& res = *static_cast<const v41::Compound41Res*>(reply);
    auto& answer = *static_cast<Answer*>(arg);
    answer.status = res.status;
    answer.count = res.count;
    if (res.count > 0) answer.first = res.results[0];
}

// Polls `link` (nothing in flight) until `due`.
void PauseUntil(Connection& link, Clock::time_point due) {
    Connection* polled = &link;
    while (link.Ok() && Clock::now() < due) Connection::PollOnce(&polled, 1);
}

// Sends `compound` on `link` and waits for its answer; NFS4ERR_DELAY sends
// it again after a pause while that fits within the step's time and before
// `limit`. False when the connection failed.
bool Ask(Connection& link, const v41::Compound41& compound, const std::string& step,
         Clock::time_point limit, Answer& answer) {
    const Clock::time_point stepEnd =
        Clock::now() + std::chrono::milliseconds(link.StepTimeoutMs());
    if (stepEnd < limit) limit = stepEnd;
    for (unsigned attempt = 0;; ++attempt) {
        answer = Answer();
        SendNfs4(link, compound, &OnAnswer, &answer, step);
        if (!link.Drain()) return false;
        if (answer.status != NFS4ERR_DELAY) return true;
        const Clock::time_point due = Clock::now() + Nfs4Backoff(attempt);
        if (!RetryFitsBefore(due, limit)) return true;
        PauseUntil(link, due);
    }
}

std::string Worded(int status) {
    return WordCondition(ConditionOfNfs4(status), Nfs4StatusName(status), ProcessCredentials());
}

// The cause of a refused EXCHANGE_ID or CREATE_SESSION.
std::string Refused(const char* what, int status) {
    if (ConditionOfNfs4(status) == Condition::Delay) return Worded(status);
    return std::string("the server refused to ") + what + " (" + Nfs4StatusName(status) +
           "); check that the file server allows NFSv4.1 or 4.2 clients from this host, or "
           "enable NFSv3 (with MOUNT) or NFSv4.0 there";
}

}  // namespace

bool Nfs4Channel::OpenSession() {
    Limit(m_call.setupLimit);
    unsigned minor = m_call.profile.nfs4Minor == 2 ? 2 : 1;
    int status = ExchangeId(minor);
    if (status == NFS4ERR_MINOR_VERS_MISMATCH && minor == 1) status = ExchangeId(minor = 2);
    if (status < 0) return false;
    // Refusals fail the call, not the connection: the teardown still uses it.
    if (status == NFS4ERR_MINOR_VERS_MISMATCH) {
        m_call.Fail(kExchangeStep,
                    "the server offers no MOUNT service and refuses NFSv4.0, 4.1 and 4.2 alike "
                    "(NFS4ERR_MINOR_VERS_MISMATCH); this client speaks NFSv3 with MOUNT and "
                    "NFSv4.0 to 4.2: "
                    "enable one of them on the file server");
        return false;
    }
    if (status != NFS4_OK) {
        m_call.Fail(kExchangeStep, Refused("register this client", status));
        return false;
    }
    m_call.profile.nfs4Minor = minor;
    m_minor = minor;
    if (!CreateSession()) return false;
    m_sequenced = true;
    SendReclaimComplete();
    return Ok();
}

// EXCHANGE_ID at `minor` with an owner of this call's own. Returns its
// status, or -1 when the connection failed.
int Nfs4Channel::ExchangeId(unsigned minor) {
    v41::Compound41 compound(minor);
    compound.ExchangeId(v41::NewClientOwner(kOwnerPrefix));
    Answer answer;
    if (!Ask(m_link, compound, kExchangeStep, m_limit, answer)) return -1;
    if (answer.status != NFS4_OK) return answer.status;
    m_session.clientMade = true;
    m_session.clientId = answer.first.u.exchangeId.clientId;
    m_session.createSequence = answer.first.u.exchangeId.sequenceId;
    return NFS4_OK;
}

bool Nfs4Channel::CreateSession() {
    v41::CreateSessionArgs args;
    args.clientId = m_session.clientId;
    args.sequence = m_session.createSequence;
    args.fore = v41::DefaultForeChannel(kSlotsAsked);
    v41::Compound41 compound(m_minor);
    compound.CreateSession(args);
    Answer answer;
    if (!Ask(m_link, compound, kCreateStep, m_limit, answer)) return false;
    if (answer.status != NFS4_OK) {
        m_call.Fail(kCreateStep, Refused("create a session for this client", answer.status));
        return false;
    }
    const v41::CreateSessionRes& got = answer.first.u.createSession;
    m_session.sessionMade = true;  // to be destroyed, whatever follows
    memcpy(m_session.id, got.sessionId, sizeof m_session.id);
    if (got.sequence != args.sequence) {
        m_call.Fail(kCreateStep, "malformed NFSv4 reply: the session is for sequence " +
                                     std::to_string(got.sequence) + ", not " +
                                     std::to_string(args.sequence));
        return false;
    }
    const v41::ChannelAttrs& fore = got.fore;
    m_session.slots.assign(std::min(fore.maxRequests, kSlotsAsked), Nfs41Session::Slot());
    m_session.usable = static_cast<uint32_t>(m_session.slots.size());
    if (fore.maxRequests < 1 || fore.maxOperations < kLeastOperations ||
        fore.maxRequestSize < kLeastRequestBytes || fore.maxResponseSize < kLeastResponseBytes) {
        char cause[320];
        snprintf(cause, sizeof cause,
                 "the server granted a session too small to browse with (%u slots, %u "
                 "operations per COMPOUND, requests of %u and replies of %u bytes; at least 1, "
                 "%u, %u and %u are needed); raise the server's NFSv4.1 session limits",
                 fore.maxRequests, fore.maxOperations, fore.maxRequestSize, fore.maxResponseSize,
                 kLeastOperations, kLeastRequestBytes, kLeastResponseBytes);
        m_call.Fail(kCreateStep, cause);
        return false;
    }
    // Never more than was asked for, whatever the server says.
    m_session.maxOperations = std::min(fore.maxOperations, args.fore.maxOperations);
    m_session.maxRequestSize = std::min(fore.maxRequestSize, args.fore.maxRequestSize);
    m_session.maxResponseSize = std::min(fore.maxResponseSize, args.fore.maxResponseSize);
    return true;
}

// RECLAIM_COMPLETE on a slot of its own, beside whatever is sent next: it
// tells a server in its grace period that this client reclaims nothing.
void Nfs4Channel::SendReclaimComplete() { Dispatch(Add(nullptr, nullptr, kReclaimStep)); }

void Nfs4Channel::OnReclaimed(const v41::Compound41Res* res) {
    if (res == nullptr) {
        m_call.Notice(
            ServerText(m_call.address, kReclaimStep, "no answer; browsing goes on without it"));
        return;
    }
    const int status = res->count > 1 ? res->results[1].status : res->status;
    if (status == NFS4_OK || status == v41::kErrCompleteAlready) return;
    m_call.Notice(ServerText(m_call.address, kReclaimStep,
                             std::string("the server answered ") + Nfs4StatusName(status) +
                                 "; browsing goes on without it"));
}

void Nfs4Channel::CloseSession(Clock::time_point limit) {
    if (!m_session.clientMade) return;
    m_waiting.clear();  // nothing more is sent for the work
    m_delayed.clear();
    if (limit <= Clock::now()) {
        m_call.Notice(ServerText(m_call.address, "NFSv4.1 session teardown",
                                 std::string("left out, the call's time is up") + kExpires));
        return;
    }
    std::unique_ptr<Connection> fresh;
    Connection* link = &m_link;
    if (!m_link.Ok()) {
        // The session outlives its connection: a new one is bound to it by
        // the SEQUENCE before DESTROY_SESSION.
        fresh = std::make_unique<Connection>(m_call.address, m_call.family, m_link.StepTimeoutMs());
        fresh->Limit(limit);
        fresh->Connect(kNfs4Port, "NFSv4.1 session teardown (new connection to port 2049)");
        link = fresh.get();
    } else {
        m_link.Limit(limit);
    }
    if (m_session.sessionMade) DestroySession(*link, limit);
    DestroyClientId(*link, limit);
    m_session.sessionMade = m_session.clientMade = false;
}

// SEQUENCE + DESTROY_SESSION, on a slot whose sequence is known (else on
// the first: its request most likely reached the server).
void Nfs4Channel::DestroySession(Connection& link, Clock::time_point limit) {
    Nfs41Session& s = m_session;
    size_t slot = 0;
    for (size_t i = 0; i < s.slots.size(); ++i) {
        if (!s.slots[i].busy) {
            slot = i;
            break;
        }
    }
    v41::Compound41 compound(m_minor);
    if (!s.slots.empty()) {
        v41::SequenceArgs sequence{};
        memcpy(sequence.sessionId, s.id, sizeof s.id);
        sequence.sequenceId = s.slots[slot].sequenceId + 1;
        sequence.slotId = static_cast<uint32_t>(slot);
        sequence.highestSlotId = s.usable > 0 ? s.usable - 1 : 0;
        compound.Sequence(sequence);
    }
    compound.DestroySession(s.id);
    Answer answer;
    if (!Ask(link, compound, kDestroySessionStep, limit, answer)) {
        m_call.Notice(link.Error() + kExpires);
    } else if (answer.status != NFS4_OK) {
        m_call.Notice(
            ServerText(m_call.address, kDestroySessionStep, Worded(answer.status) + kExpires));
    }
}

void Nfs4Channel::DestroyClientId(Connection& link, Clock::time_point limit) {
    if (!link.Ok()) return;  // noticed with DESTROY_SESSION
    v41::Compound41 compound(m_minor);
    compound.DestroyClientId(m_session.clientId);
    Answer answer;
    if (!Ask(link, compound, kDestroyClientStep, limit, answer)) {
        m_call.Notice(link.Error() + kExpires);
    } else if (answer.status != NFS4_OK) {
        m_call.Notice(
            ServerText(m_call.address, kDestroyClientStep, Worded(answer.status) + kExpires));
    }
}

}  // namespace nfsclient
