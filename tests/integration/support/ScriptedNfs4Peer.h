// A scripted NFSv4 server on port 2049 of one loopback address, for faults a
// real server will not produce on demand. It speaks the minor versions it is
// told to (0, 1, 2): sessions (EXCHANGE_ID, CREATE_SESSION with the limits it
// is told to grant, SEQUENCE with its slot rules, RECLAIM_COMPLETE,
// DESTROY_SESSION / DESTROY_CLIENTID with their binding and busy rules), and
// PUTROOTFH, PUTFH, LOOKUP, GETFH, GETATTR and READDIR over a small tree:
//
//     /            pseudo directory (fsid 1)
//     /vol         pseudo directory
//     /vol/vol1    export (fsid 2): docs/ (holding a.txt), f0 .. f<files-1>
//     /vol/vol2    export (fsid 3), empty
//
// A script sees every COMPOUND (parsed) before the default answer and may
// answer it itself, stay silent, or close the connection. Every COMPOUND is
// recorded. A face of the scripted peer (ScriptedPeer.h): its one thread
// serves all connections, and the script runs on it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ScriptedPeer.h"

namespace nfstest {

class ScriptedNfs4Peer {
public:
    // Operation numbers and statuses the peer knows.
    enum : uint32_t {
        kGetAttr = 9,
        kGetFh = 10,
        kLookup = 15,
        kPutFh = 22,
        kPutRootFh = 24,
        kReadDir = 26,
        kSecinfo = 33,
        kExchangeId = 42,
        kCreateSession = 43,
        kDestroySession = 44,
        kSecinfoNoName = 52,
        kSequence = 53,
        kDestroyClientId = 57,
        kReclaimComplete = 58,
        kIllegal = 10044,
    };
    enum : int32_t {
        kOk = 0,
        kNoEnt = 2,
        kNotDir = 20,
        kBadHandle = 10001,
        kBadCookie = 10003,
        kDelay = 10008,
        kNoFileHandle = 10020,
        kMinorMismatch = 10021,
        kStaleClientId = 10022,
        kBadXdr = 10036,
        kWrongSec = 10016,
        kOpIllegal = 10044,
        kBadSession = 10052,
        kBadSlot = 10053,
        kCompleteAlready = 10054,
        kConnNotBound = 10055,
        kSeqMisordered = 10063,
        kRetryUncached = 10068,
        kTooManyOps = 10070,
        kOpNotInSession = 10071,
        kClientIdBusy = 10074,
    };

    struct Options {
        std::string address = "127.0.0.3";
        std::vector<uint32_t> minors = {1, 2};  // minor versions accepted
        // CREATE_SESSION grants min(asked, this) of each; 0: as asked.
        uint32_t slots = 64;
        uint32_t maxOperations = 0;
        uint32_t maxRequestSize = 0;
        uint32_t maxResponseSize = 0;
        size_t files = 5;  // f0 .. in /vol/vol1
        size_t entriesPerPage =
            0;  // at most this many READDIR entries per page; 0: as maxcount allows
        // Entries READDIR gives RDATTR_ERROR (NFS4ERR_ACCESS) alone for; a
        // GETATTR of them answers as for any other.
        std::set<std::string> untyped;
        // Names whose LOOKUP answers NFS4ERR_WRONGSEC (unless SECINFO_NO_NAME
        // follows it), and the secinfo4 entries, each as its XDR, that
        // SECINFO and SECINFO_NO_NAME answer for any object.
        std::set<std::string> wrongSecurity;
        std::vector<std::string> secinfo;
    };

    // One operation of a COMPOUND, with the arguments the peer reads.
    struct Op {
        uint32_t op = 0;
        std::string data;       // PUTFH handle, LOOKUP name, DESTROY_SESSION / SEQUENCE session id
        uint64_t number = 0;    // READDIR cookie, CREATE_SESSION / DESTROY_CLIENTID client id
        uint32_t sequence = 0;  // SEQUENCE sequence id, CREATE_SESSION sequence
        uint32_t slot = 0;      // SEQUENCE slot id
        uint32_t highestSlot = 0;
        uint32_t maxCount = 0;  // READDIR maxcount
        uint32_t mask[2] = {0, 0};
        uint32_t fore[6] =
            {};  // CREATE_SESSION fore channel: pad, request, response, cached, operations, slots
    };
    struct Request {
        int connection = 0;  // 1, 2, ...: which connection it came on
        size_t bytes = 0;    // the RPC call, header included (as a session's request size counts)
        uint32_t minor = 0;
        std::vector<Op> ops;
        bool Has(uint32_t op) const {
            for (const Op& o : ops)
                if (o.op == op) return true;
            return false;
        }
    };
    struct Action {
        enum Kind { Default, Reply, Silent, Close } kind = Default;
        std::string body;  // Reply: the COMPOUND4res
    };
    using Script = std::function<Action(const Request&, ScriptedNfs4Peer&)>;
    // For scripts: `body` as the reply; or `kind` (Silent, Close) for the
    // requests `when` picks and the peer's own answer for the rest.
    static Action Answer(std::string body) { return {Action::Reply, std::move(body)}; }
    // A script: every READDIR answered with the directory's first page, so
    // that its cookies come round again.
    static Action FirstPageAgain(const Request& r, ScriptedNfs4Peer& p) {
        if (!r.Has(kReadDir)) return {};
        Request again = r;
        for (Op& op : again.ops)
            if (op.op == kReadDir) op.number = 0;
        return Answer(p.Process(again));
    }
    static Script On(std::function<bool(const Request&)> when, Action::Kind kind) {
        return [when, kind](const Request& r, ScriptedNfs4Peer&) {
            return when(r) ? Action{kind, {}} : Action{};
        };
    }

    explicit ScriptedNfs4Peer(const Options& options) : m_options(options) {
        BuildTree();
        auto handle = [this](const RpcCall& call, std::string& reply) {
            return HandleCall(call, reply);
        };
        m_peer = std::make_unique<ScriptedPeer>(std::vector<int>{Listen(options.address, 2049, 16)},
                                                std::vector<ScriptedPeer::Service>{{0, 0, handle}});
    }
    ScriptedNfs4Peer(const ScriptedNfs4Peer&) = delete;
    ScriptedNfs4Peer& operator=(const ScriptedNfs4Peer&) = delete;

    const std::string& Address() const { return m_options.address; }
    void SetScript(Script script) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script = std::move(script);
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // COMPOUNDs holding `op`.
    size_t Count(uint32_t op) {
        size_t n = 0;
        for (const Request& r : Requests()) n += r.Has(op) ? 1 : 0;
        return n;
    }
    // Clients and sessions the server still holds.
    size_t LiveClients() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_clients.size();
    }
    size_t LiveSessions() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions.size();
    }

    // The default answer (changes the peer's state as answering would).
    // For scripts, which run with the peer's lock held.
    std::string Process(const Request& request) { return Answer(request); }

    // XDR helpers for scripts.
    static std::string U32(uint32_t v) { return XdrU32(v); }
    static std::string U64(uint64_t v) { return XdrU64(v); }
    static std::string Opaque(const std::string& bytes) { return XdrOpaque(bytes); }
    static std::string Compound(int32_t status, const std::vector<std::string>& results) {
        std::string r = U32(static_cast<uint32_t>(status)) + U32(0) +
                        U32(static_cast<uint32_t>(results.size()));
        for (const std::string& result : results) r += result;
        return r;
    }
    static std::string StatusOnly(uint32_t op, int32_t status) {
        return U32(op) + U32(static_cast<uint32_t>(status));
    }
    // A reply carrying only a failed SEQUENCE.
    static std::string SequenceFailed(int32_t status) {
        return Compound(status, {StatusOnly(kSequence, status)});
    }

private:
    struct Node {
        std::string name;
        uint32_t type = 2;  // NF4DIR; 1 regular
        uint64_t fsid = 1;
        uint64_t size = 0;
        int64_t mtime = 1600000000;
        std::vector<size_t> children;
    };
    struct Session {
        uint64_t clientId = 0;
        uint32_t slots = 0;
        std::vector<uint32_t> sequence;  // last sequence id per slot
        std::set<int> bound;             // connections bound to it
    };
    using Reader = XdrReader;

    void BuildTree() {
        auto add = [this](size_t parent, const std::string& name, uint32_t type, uint64_t fsid) {
            m_nodes.push_back(Node{name, type, fsid, 0, 1600000000, {}});
            m_nodes[parent].children.push_back(m_nodes.size() - 1);
            return m_nodes.size() - 1;
        };
        m_nodes.push_back(Node{"", 2, 1, 0, 1600000000, {}});
        const size_t vol = add(0, "vol", 2, 1);
        const size_t vol1 = add(vol, "vol1", 2, 2);
        add(vol, "vol2", 2, 3);
        const size_t docs = add(vol1, "docs", 2, 2);
        add(docs, "a.txt", 1, 2);
        for (size_t i = 0; i < m_options.files; ++i) {
            const size_t f = add(vol1, "f" + std::to_string(i), 1, 2);
            m_nodes[f].size = i;
            m_nodes[f].mtime = 1600000000 + static_cast<int64_t>(i);
        }
    }

    // --- the wire ---------------------------------------------------------

    bool HandleCall(const RpcCall& call, std::string& record) {
        std::string body;
        if (call.procedure != 0) {
            Request request;
            request.connection = call.connection;
            request.bytes = call.record.size();
            Reader in{call.record, call.argumentsAt};
            if (!ParseCompound(in, request)) return false;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
            Action action;
            if (m_script) action = m_script(request, *this);
            if (action.kind == Action::Close) return false;
            if (action.kind == Action::Silent) return true;
            body = action.kind == Action::Reply ? action.body : Answer(request);
        }
        record = AcceptedReply(call, body);
        return true;
    }

    static bool ParseCompound(Reader& in, Request& request) {
        in.Opaque();  // tag
        request.minor = in.U32();
        const uint32_t count = in.U32();
        if (count > 1000) return false;
        for (uint32_t i = 0; i < count && in.ok; ++i) {
            Op op;
            op.op = in.U32();
            if (!ParseOp(in, op)) return false;
            request.ops.push_back(op);
        }
        return in.ok && in.at == in.in.size();
    }

    static void Bitmap(Reader& in, Op& op) {
        const uint32_t words = in.U32();
        for (uint32_t w = 0; w < words && in.ok; ++w) {
            const uint32_t v = in.U32();
            if (w < 2) op.mask[w] = v;
        }
    }

    static bool ParseOp(Reader& in, Op& op) {
        switch (op.op) {
        case kPutRootFh:
        case kGetFh: return true;
        case kPutFh:
        case kLookup:
        case kSecinfo: op.data = in.Opaque(); return in.ok;
        case kSecinfoNoName: op.number = in.U32(); return in.ok;
        case kGetAttr: Bitmap(in, op); return in.ok;
        case kReadDir:
            op.number = in.U64();
            in.Fixed(8);
            in.U32();
            op.maxCount = in.U32();
            Bitmap(in, op);
            return in.ok;
        case kSequence:
            op.data = in.Fixed(16);
            op.sequence = in.U32();
            op.slot = in.U32();
            op.highestSlot = in.U32();
            in.U32();
            return in.ok;
        case kExchangeId: return ParseExchangeId(in);
        case kCreateSession: return ParseCreateSession(in, op);
        case kReclaimComplete: in.U32(); return in.ok;
        case kDestroySession: op.data = in.Fixed(16); return in.ok;
        case kDestroyClientId: op.number = in.U64(); return in.ok;
        default: return false;
        }
    }

    static bool ParseExchangeId(Reader& in) {
        in.Fixed(8);
        in.Opaque();
        in.U32();
        if (in.U32() != 0) return false;  // SP4_NONE only
        const uint32_t impl = in.U32();
        if (impl > 1) return false;
        if (impl == 1) {
            in.Opaque();
            in.Opaque();
            in.U64();
            in.U32();
        }
        return in.ok;
    }

    static bool ParseCreateSession(Reader& in, Op& op) {
        op.number = in.U64();
        op.sequence = in.U32();
        in.U32();  // flags
        for (int channel = 0; channel < 2; ++channel) {
            for (int i = 0; i < 6; ++i) {
                const uint32_t v = in.U32();
                if (channel == 0) op.fore[i] = v;
            }
            if (in.U32() == 1) in.U32();  // rdma ird
        }
        in.U32();  // callback program
        const uint32_t flavors = in.U32();
        for (uint32_t i = 0; i < flavors && in.ok; ++i)
            if (in.U32() != 0) return false;  // AUTH_NONE only
        return in.ok && flavors <= 1;
    }

    // --- the default answers ------------------------------------------------

    struct State {
        int connection;
        uint32_t minor;
        size_t current = SIZE_MAX;  // the current file handle's node
        Session* session = nullptr;
        bool secinfoFollows = false;  // the COMPOUND ends with SECINFO_NO_NAME
    };

    std::string Answer(const Request& request) {
        const bool accepted = std::find(m_options.minors.begin(), m_options.minors.end(),
                                        request.minor) != m_options.minors.end();
        if (!accepted) return Compound(kMinorMismatch, {});
        if (request.ops.empty()) return Compound(kOk, {});
        State state{request.connection, request.minor};
        state.secinfoFollows = request.ops.back().op == kSecinfoNoName;
        const uint32_t first = request.ops[0].op;
        const bool alone = first == kExchangeId || first == kCreateSession ||
                           first == kDestroySession || first == kDestroyClientId;
        if (request.minor > 0 && first != kSequence && !alone) return Compound(kOpNotInSession, {});
        std::vector<std::string> results;
        int32_t status = kOk;
        for (size_t i = 0; i < request.ops.size() && status == kOk; ++i) {
            std::string result;
            status = (m_granted > 0 && i >= m_granted && request.minor > 0)
                         ? kTooManyOps
                         : AnswerOp(request.ops[i], state, result);
            results.push_back(U32(request.ops[i].op) + U32(static_cast<uint32_t>(status)) +
                              (status == kOk ? result : std::string()));
        }
        return Compound(status, results);
    }

    int32_t AnswerOp(const Op& op, State& state, std::string& result) {
        switch (op.op) {
        case kExchangeId: return AnswerExchangeId(result);
        case kCreateSession: return AnswerCreateSession(op, state, result);
        case kSequence: return AnswerSequence(op, state, result);
        case kReclaimComplete: return m_reclaimed++ == 0 ? kOk : kCompleteAlready;
        case kDestroySession: return AnswerDestroySession(op, state);
        case kDestroyClientId: return AnswerDestroyClientId(op);
        case kPutRootFh: state.current = 0; return kOk;
        case kPutFh: return AnswerPutFh(op, state);
        case kGetFh:
            if (state.current == SIZE_MAX) return kNoFileHandle;
            result = Opaque(HandleOf(state.current));
            return kOk;
        case kLookup:
            if (m_options.wrongSecurity.count(op.data) != 0 && !state.secinfoFollows)
                return kWrongSec;
            return AnswerLookup(op, state);
        case kSecinfo:
        case kSecinfoNoName:
            if (state.current == SIZE_MAX) return kNoFileHandle;
            result = U32(static_cast<uint32_t>(m_options.secinfo.size()));
            for (const std::string& entry : m_options.secinfo) result += entry;
            return kOk;
        case kGetAttr:
            if (state.current == SIZE_MAX) return kNoFileHandle;
            result = Attributes(state.current, op.mask);
            return kOk;
        case kReadDir: return AnswerReadDir(op, state, result);
        default: return kOpIllegal;
        }
    }

    int32_t AnswerExchangeId(std::string& result) {
        const uint64_t id = ++m_lastClient;
        m_clients.insert(id);
        result = U64(id) + U32(1) + U32(0x00010001) + U32(0) + U64(0) + Opaque("peer") +
                 Opaque("peer") + U32(0);
        return kOk;
    }

    static uint32_t Grant(uint32_t asked, uint32_t most) {
        return most == 0 ? asked : std::min(asked, most);
    }

    // The connection CREATE_SESSION came on is bound to the new session.
    int32_t AnswerCreateSession(const Op& op, const State& state, std::string& result) {
        if (m_clients.count(op.number) == 0) return kStaleClientId;
        if (op.sequence != 1) return kSeqMisordered;
        Session session;
        session.clientId = op.number;
        session.bound.insert(state.connection);
        session.slots = Grant(op.fore[5], m_options.slots);
        session.sequence.assign(session.slots, 0);
        const std::string id = "session-" + std::to_string(++m_lastSession) + std::string(16, '\0');
        m_sessions[id.substr(0, 16)] = session;
        m_granted = Grant(op.fore[4], m_options.maxOperations);
        result = id.substr(0, 16) + U32(op.sequence) + U32(0) + U32(0) +
                 U32(Grant(op.fore[1], m_options.maxRequestSize)) +
                 U32(Grant(op.fore[2], m_options.maxResponseSize)) + U32(op.fore[3]) +
                 U32(m_granted) + U32(session.slots) + U32(0) +                     // fore, no rdma
                 U32(0) + U32(256) + U32(256) + U32(0) + U32(2) + U32(1) + U32(0);  // back
        return kOk;
    }

    int32_t AnswerSequence(const Op& op, State& state, std::string& result) {
        const auto found = m_sessions.find(op.data);
        if (found == m_sessions.end()) return kBadSession;
        Session& s = found->second;
        if (op.slot >= s.slots) return kBadSlot;
        uint32_t& last = s.sequence[op.slot];
        if (op.sequence == last) return kRetryUncached;
        if (op.sequence != last + 1) return kSeqMisordered;
        last = op.sequence;
        s.bound.insert(state.connection);
        state.session = &s;
        result = op.data + U32(op.sequence) + U32(op.slot) + U32(s.slots - 1) +
                 U32(m_target < s.slots ? m_target : s.slots - 1) + U32(0);
        return kOk;
    }

    int32_t AnswerDestroySession(const Op& op, State& state) {
        const auto found = m_sessions.find(op.data);
        if (found == m_sessions.end()) return kBadSession;
        if (found->second.bound.count(state.connection) == 0) return kConnNotBound;
        m_sessions.erase(found);
        return kOk;
    }

    int32_t AnswerDestroyClientId(const Op& op) {
        if (m_clients.count(op.number) == 0) return kStaleClientId;
        for (const auto& s : m_sessions)
            if (s.second.clientId == op.number) return kClientIdBusy;
        m_clients.erase(op.number);
        return kOk;
    }

    static std::string HandleOf(size_t node) { return "fh" + U64(node); }

    int32_t AnswerPutFh(const Op& op, State& state) {
        if (op.data.size() != 10 || op.data.compare(0, 2, "fh") != 0) return kBadHandle;
        Reader in{op.data, 2};
        const uint64_t node = in.U64();
        if (node >= m_nodes.size()) return kBadHandle;
        state.current = static_cast<size_t>(node);
        return kOk;
    }

    int32_t AnswerLookup(const Op& op, State& state) {
        if (state.current == SIZE_MAX) return kNoFileHandle;
        const Node& dir = m_nodes[state.current];
        if (dir.type != 2) return kNotDir;
        for (size_t child : dir.children) {
            if (m_nodes[child].name == op.data) {
                state.current = child;
                return kOk;
            }
        }
        return kNoEnt;
    }

    // TYPE, SIZE, FSID, RDATTR_ERROR, FILEID, MODE, TIME_MODIFY, MOUNTED_ON_FILEID,
    // as far as asked for, in bit order.
    std::string Attributes(size_t index, const uint32_t* asked) const {
        const Node& n = m_nodes[index];
        uint32_t got[2] = {0, 0};
        std::string values;
        auto want = [&](uint32_t bit) {
            if (((asked[bit / 32] >> (bit % 32)) & 1u) == 0) return false;
            got[bit / 32] |= 1u << (bit % 32);
            return true;
        };
        if (want(1)) values += U32(n.type);
        if (want(4)) values += U64(n.size);
        if (want(8)) values += U64(n.fsid) + U64(n.fsid);
        if (want(11)) values += U32(0);
        if (want(20)) values += U64(index + 1);
        if (want(33)) values += U32(n.type == 2 ? 0755 : 0644);
        if (want(53)) values += U64(static_cast<uint64_t>(n.mtime)) + U32(0);
        if (want(55)) values += U64(index + 1);
        return U32(2) + U32(got[0]) + U32(got[1]) + Opaque(values);
    }

    // Only RDATTR_ERROR, NFS4ERR_ACCESS, as far as asked for.
    static std::string AccessDenied(const uint32_t* asked) {
        if ((asked[0] & (1u << 11)) == 0) return U32(2) + U32(0) + U32(0) + Opaque("");
        return U32(2) + U32(1u << 11) + U32(0) + Opaque(U32(13));
    }

    // Cookies are entry index + 3; the verifier is fixed.
    int32_t AnswerReadDir(const Op& op, State& state, std::string& result) {
        if (state.current == SIZE_MAX) return kNoFileHandle;
        const Node& dir = m_nodes[state.current];
        if (dir.type != 2) return kNotDir;
        size_t at = op.number == 0 ? 0 : static_cast<size_t>(op.number) - 2;
        if (op.number != 0 && (op.number < 3 || at > dir.children.size())) return kBadCookie;
        std::string entries;
        size_t taken = 0;
        const size_t room = op.maxCount > 200 ? op.maxCount - 200 : 0;
        for (; at < dir.children.size(); ++at, ++taken) {
            if (m_options.entriesPerPage > 0 && taken == m_options.entriesPerPage) break;
            const size_t child = dir.children[at];
            const bool untyped = m_options.untyped.count(m_nodes[child].name) > 0;
            const std::string entry =
                U32(1) + U64(at + 3) + Opaque(m_nodes[child].name) +
                (untyped ? AccessDenied(op.mask) : Attributes(child, op.mask));
            if (entries.size() + entry.size() > room) break;
            entries += entry;
        }
        result =
            std::string("verfverf") + entries + U32(0) + U32(at == dir.children.size() ? 1 : 0);
        return kOk;
    }

public:
    // The slot the peer names as its target highest (sr_target_highest_slotid);
    // default: the highest granted. Set before the session is made or from a script.
    void SetTargetHighestSlot(uint32_t slot) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target = slot;
    }

private:
    Options m_options;
    std::vector<Node> m_nodes;
    std::mutex m_mutex;
    Script m_script;
    std::vector<Request> m_requests;
    std::set<uint64_t> m_clients;
    std::map<std::string, Session> m_sessions;
    uint64_t m_lastClient = 0;
    uint64_t m_lastSession = 0;
    uint32_t m_granted = 0;  // operations per COMPOUND of the last session
    uint32_t m_target = UINT32_MAX;
    int m_reclaimed = 0;
    std::unique_ptr<ScriptedPeer> m_peer;  // last: stopped before the members it uses go
};

}  // namespace nfstest
