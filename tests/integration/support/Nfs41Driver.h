// A blocking driver of NFSv4.1 COMPOUNDs for tests and the capture tool:
// one rpc_context connected to port 2049, COMPOUNDs sent with
// SendCompound41 and waited for (one or several at once), each outcome
// copied out of the callback, and a session helper (EXCHANGE_ID,
// CREATE_SESSION, SEQUENCE slots, teardown) on top.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs4.h>

#include "nfs_client/worker/nfs4/Nfs4Compound.h"
#include "nfs_client/worker/nfs4/Nfs4Xdr.h"
#include "unit/nfs_client/Nfs41TestSupport.h"

extern "C" void rpc_set_timeout(struct rpc_context* rpc, int timeoutMs);

namespace nfstest {

// SEQUENCE arguments for `slot` of `session` (a driver's count of the slot
// untouched).
inline nfsclient::v41::SequenceArgs SequenceOn(const char* session, uint32_t slot,
                                               uint32_t sequenceId, uint32_t highestSlot = 0) {
    nfsclient::v41::SequenceArgs s{};
    memcpy(s.sessionId, session, sizeof s.sessionId);
    s.slotId = slot;
    s.sequenceId = sequenceId;
    s.highestSlotId = highestSlot;
    return s;
}

class Nfs41Driver {
public:
    using Clock = std::chrono::steady_clock;

    // What one COMPOUND came back with. `results` are copies: their Bytes
    // point into freed buffers; decode `raw` again to read those.
    struct Outcome {
        int rpcStatus = -1;  // RPC_STATUS_*; -1 when it never finished
        std::string error;   // the text for RPC_STATUS_ERROR / a failed send
        std::string raw;     // the COMPOUND4res bytes
        int32_t status = -1;
        std::vector<nfsclient::v41::Result41> results;
        double ms = 0;  // send to callback
        bool Ok() const { return rpcStatus == RPC_STATUS_SUCCESS && status == NFS4_OK; }
        int32_t StatusOf(size_t i) const { return i < results.size() ? results[i].status : -1; }
    };

    explicit Nfs41Driver(const std::string& address, int timeoutMs = 5000)
        : m_address(address), m_timeoutMs(timeoutMs) {
        m_rpc = rpc_init_context();
        if (m_rpc != nullptr) rpc_set_timeout(m_rpc, timeoutMs);
    }
    ~Nfs41Driver() {
        if (m_rpc != nullptr)
            rpc_destroy_context(m_rpc);  // cancels what is pending: m_pending still lives
    }
    Nfs41Driver(const Nfs41Driver&) = delete;
    Nfs41Driver& operator=(const Nfs41Driver&) = delete;

    rpc_context* Context() const { return m_rpc; }

    // Serves the connection until `done()` or the timeout and a second.
    template <typename Done>
    void Wait(Done done) {
        const Clock::time_point limit =
            Clock::now() + std::chrono::milliseconds(m_timeoutMs + 1000);
        while (!done() && Clock::now() < limit) {
            pollfd pfd{rpc_get_fd(m_rpc), static_cast<short>(rpc_which_events(m_rpc)), 0};
            const int ready = poll(&pfd, 1, 50);
            if (rpc_service(m_rpc, ready > 0 ? pfd.revents : 0) < 0) break;
        }
    }

    // TCP connect and NULL call to the NFSv4 program on port 2049.
    bool Connect(std::string& error) {
        struct State {
            bool done = false;
            int status = -1;
            std::string error;
        } state;
        auto onConnect = [](rpc_context*, int status, void* data, void* p) {
            auto* s = static_cast<State*>(p);
            s->done = true;
            s->status = status;
            if (status != RPC_STATUS_SUCCESS && data != nullptr)
                s->error = static_cast<const char*>(data);
        };
        if (m_rpc == nullptr || rpc_connect_port_async(m_rpc, m_address.c_str(), 2049, NFS4_PROGRAM,
                                                       NFS_V4, onConnect, &state) != 0) {
            error = m_rpc ? rpc_get_error(m_rpc) : "no context";
            return false;
        }
        Wait([&state] { return state.done; });
        if (state.status != RPC_STATUS_SUCCESS) {
            error = state.done ? "connect failed: " + state.error : "connect timed out";
            return false;
        }
        return true;
    }

    Outcome Call(const nfsclient::v41::Compound41& compound) {
        return std::move(CallAll({&compound})[0]);
    }

    // Called inside the reply callback with the decoded reply (valid there only).
    using Inspect = std::function<void(const nfsclient::v41::Compound41Res&)>;
    Outcome CallInside(const nfsclient::v41::Compound41& compound, Inspect inspect) {
        return std::move(CallAll({&compound}, std::move(inspect))[0]);
    }

    // Sends every COMPOUND before waiting for any reply.
    std::vector<Outcome> CallAll(const std::vector<const nfsclient::v41::Compound41*>& compounds,
                                 Inspect inspect = nullptr) {
        m_pending.remove_if([](const Pending& p) { return p.done; });
        std::vector<Pending*> batch;
        for (const nfsclient::v41::Compound41* compound : compounds) {
            m_pending.emplace_back();
            Pending& p = m_pending.back();
            batch.push_back(&p);
            p.start = Clock::now();
            p.inspect = inspect;
            if (nfsclient::v41::SendCompound41(m_rpc, *compound, &OnReply, &p) != 0) {
                p.outcome.error = rpc_get_error(m_rpc);
                p.done = true;
            }
        }
        Wait([&batch] {
            for (const Pending* p : batch)
                if (!p->done) return false;
            return true;
        });
        std::vector<Outcome> outcomes;
        for (Pending* p : batch) outcomes.push_back(p->outcome);
        return outcomes;
    }

    // --- a session on top ---------------------------------------------
    uint32_t minorVersion = 1;
    uint64_t clientId = 0;
    uint32_t exchangeSequence = 0;
    nfsclient::v41::SessionId sessionId{};
    uint32_t slots = 0;                  // granted
    std::vector<uint32_t> slotSequence;  // last sequence id used per slot
    Outcome exchangeIdOutcome, createSessionOutcome;

    // EXCHANGE_ID (a new client owner unless `owner` is given) and
    // CREATE_SESSION asking for `askSlots` slots and `maxOperations`.
    bool Establish(std::string& error, uint32_t askSlots = 8, uint32_t minor = 1,
                   const nfsclient::v41::ExchangeIdArgs* owner = nullptr,
                   uint32_t maxOperations = nfsclient::v41::kMaxOps) {
        minorVersion = minor;
        nfsclient::v41::Compound41 exchange(minor);
        exchange.ExchangeId(owner != nullptr ? *owner : nfsclient::v41::NewClientOwner("nsb-test"));
        exchangeIdOutcome = Call(exchange);
        if (!exchangeIdOutcome.Ok()) return Failed("EXCHANGE_ID", exchangeIdOutcome, error);
        clientId = exchangeIdOutcome.results[0].u.exchangeId.clientId;
        exchangeSequence = exchangeIdOutcome.results[0].u.exchangeId.sequenceId;
        nfsclient::v41::Compound41 create(minor);
        nfsclient::v41::CreateSessionArgs args;
        args.clientId = clientId;
        args.sequence = exchangeSequence;
        args.fore = nfsclient::v41::DefaultForeChannel(askSlots);
        args.fore.maxOperations = maxOperations;
        create.CreateSession(args);
        createSessionOutcome = Call(create);
        if (!createSessionOutcome.Ok())
            return Failed("CREATE_SESSION", createSessionOutcome, error);
        const auto& session = createSessionOutcome.results[0].u.createSession;
        memcpy(sessionId, session.sessionId, sizeof sessionId);
        slots = session.fore.maxRequests;
        slotSequence.assign(slots, 0);
        return true;
    }

    // A COMPOUND starting with SEQUENCE on `slot` (its next sequence id).
    nfsclient::v41::Compound41 Begin(uint32_t slot = 0) {
        nfsclient::v41::Compound41 compound(minorVersion);
        compound.Sequence(
            SequenceOn(sessionId, slot, ++slotSequence.at(slot), slots == 0 ? 0 : slots - 1));
        return compound;
    }

    Outcome DestroySession() {
        nfsclient::v41::Compound41 compound(minorVersion);
        compound.DestroySession(sessionId);
        return Call(compound);
    }
    Outcome DestroyClientId() {
        nfsclient::v41::Compound41 compound(minorVersion);
        compound.DestroyClientId(clientId);
        return Call(compound);
    }

private:
    // Lives until the driver goes (a reply may come after its wait ended).
    struct Pending {
        Outcome outcome;
        Clock::time_point start;
        Inspect inspect;
        bool done = false;
    };

    static void OnReply(rpc_context*, int status, void* data, void* privateData) {
        auto* p = static_cast<Pending*>(privateData);
        if (p->done) return;
        p->done = true;
        p->outcome.ms = std::chrono::duration<double, std::milli>(Clock::now() - p->start).count();
        p->outcome.rpcStatus = status;
        if (status != RPC_STATUS_SUCCESS) {
            if (data != nullptr) p->outcome.error = static_cast<const char*>(data);
            return;
        }
        const auto& res = *static_cast<const nfsclient::v41::Compound41Res*>(data);
        if (p->inspect) p->inspect(res);
        p->outcome.raw.assign(res.raw.data, res.raw.length);
        p->outcome.status = res.status;
        p->outcome.results.assign(res.results, res.results + res.count);
    }

    static bool Failed(const char* step, const Outcome& o, std::string& error) {
        error = std::string(step) + ": rpc status " + std::to_string(o.rpcStatus) + " " + o.error +
                ", NFS status " + std::to_string(o.status);
        return false;
    }

    std::string m_address;
    int m_timeoutMs;
    rpc_context* m_rpc = nullptr;
    std::list<Pending> m_pending;
};

// A reply decoded again from its bytes (an Outcome's `raw`).
using DecodedReply = nfs41test::Decoded;
using nsbtest::Hex;

}  // namespace nfstest
