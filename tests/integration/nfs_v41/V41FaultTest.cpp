// The library's NFSv4.1 road against a scripted peer (ScriptedNfs4Peer.h):
// what a session looks like on the wire (one per call, torn down also after
// failures), the limits a server grants, and the faults a real server does
// not produce on demand (NFS4ERR_DELAY, a lost session, misordered slots,
// refused setup steps, malformed session replies, a lost or silent
// connection). Every call must end in bounded time with a worded text.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ScriptedNfs4Peer.h"
#include "common/TestSupport.h"
#include "fakes/CapturingLogWriter.h"
#include "integration/nfs_client/ClientCalls.h"

namespace {

using namespace nfsclienttest;
using Peer = nfstest::ScriptedNfs4Peer;
using Request = Peer::Request;
using Action = Peer::Action;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

using nsbtest::MsSince;

// Each test starts without what an earlier one taught the server cache.
class Nfs41Client : public testing::Test {
protected:
    void SetUp() override { NFSClientSetServerCacheMs(0); }
    void TearDown() override { NFSClientSetServerCacheMs(5000); }
};

// The peer's options, with `change` made to them.
Peer::Options PeerOptions(const std::function<void(Peer::Options&)>& change = nullptr) {
    Peer::Options options;
    if (change) change(options);
    return options;
}

// The COMPOUNDs of a session's work: those led by SEQUENCE.
std::vector<Request> Sequenced(const std::vector<Request>& all) {
    std::vector<Request> out;
    for (const Request& r : all)
        if (!r.ops.empty() && r.ops[0].op == Peer::kSequence) out.push_back(r);
    return out;
}

bool IsListingPage(const Request& r) {
    return r.Has(Peer::kReadDir) && r.ops.size() == 3;  // SEQUENCE, PUTFH, READDIR
}

// The SEQUENCE result the peer gives `request` (its slot advances), as the
// first result of a hand-made reply.
std::string SequenceResult(Peer& peer, const Request& request) {
    Request alone = request;
    alone.ops.resize(1);
    return peer.Process(alone).substr(12);  // status, empty tag, count
}

TEST_F(Nfs41Client, EachCallMakesOneSessionUsesItAndTearsItDown) {
    Peer peer(PeerOptions());
    const ExportsResult exports = ListExports(peer.Address());
    ASSERT_EQ(exports.rc, 0) << exports.error;
    EXPECT_THAT(exports.paths, ElementsAre("/vol/vol1", "/vol/vol2"));
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    ASSERT_EQ(listing.rc, 0) << listing.error;
    EXPECT_THAT(Names(listing), ElementsAre("docs", "f0", "f1", "f2", "f3", "f4"));
    const ListResult stopped = List(peer.Address(), "/vol/vol1", 2, Then::ReturnFalse);
    EXPECT_THAT(stopped.error, HasSubstr("stopped by the receiver after 2 entries"));

    for (uint32_t op : {Peer::kExchangeId, Peer::kCreateSession, Peer::kReclaimComplete,
                        Peer::kDestroySession, Peer::kDestroyClientId})
        EXPECT_EQ(peer.Count(op), 3u) << "operation " << op << ": once per call";
    EXPECT_EQ(peer.LiveClients(), 0u);
    EXPECT_EQ(peer.LiveSessions(), 0u);
    const std::vector<Request> all = peer.Requests();
    for (const Request& r : all) {
        EXPECT_TRUE(r.minor == 1 || (r.minor == 0 && r.ops[0].op == Peer::kPutRootFh))
            << "only the probe at 0";
        if (r.Has(Peer::kDestroySession)) {
            EXPECT_EQ(r.ops[0].op, Peer::kSequence);
        }
    }
    // RECLAIM_COMPLETE goes on a slot of its own, beside the first COMPOUND.
    const std::vector<Request> sequenced = Sequenced(all);
    ASSERT_GE(sequenced.size(), 2u);
    EXPECT_TRUE(sequenced[0].Has(Peer::kReclaimComplete));
    EXPECT_EQ(sequenced[0].ops[0].slot, 0u);
    EXPECT_EQ(sequenced[1].ops[0].slot, 1u);
}

// A server that takes minor version 2 only: 1 is tried first, once; the
// cache remembers 2 for the next call, which neither probes nor tries 1.
TEST_F(Nfs41Client, MinorVersionTwoIsFoundAndRemembered) {
    Peer peer(PeerOptions([](Peer::Options& o) { o.minors = {2}; }));
    NFSClientSetServerCacheMs(5000);
    ASSERT_EQ(ListExports(peer.Address()).rc, 0);
    const size_t first = peer.Requests().size();
    const ListResult listing = List(peer.Address(), "/vol/vol1/docs");
    ASSERT_EQ(listing.rc, 0) << listing.error;
    EXPECT_THAT(Names(listing), ElementsAre("a.txt"));
    const std::vector<Request> all = peer.Requests();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].minor, 0u);  // the probe
    EXPECT_EQ(all[1].minor, 1u);
    EXPECT_TRUE(all[1].Has(Peer::kExchangeId));
    for (size_t i = 2; i < all.size(); ++i) EXPECT_EQ(all[i].minor, 2u) << i;
    ASSERT_LT(first, all.size());
    EXPECT_TRUE(all[first].Has(Peer::kExchangeId)) << "the cached call starts with its session";
    EXPECT_EQ(peer.LiveClients(), 0u);
}

// One slot granted: RECLAIM_COMPLETE, the walk's COMPOUNDs and the listing
// wait for it in turn, each with the next sequence id.
TEST_F(Nfs41Client, OneSlotCarriesEverythingInTurn) {
    Peer peer(PeerOptions([](Peer::Options& o) { o.slots = 1; }));
    ASSERT_EQ(ListExports(peer.Address()).rc, 0);
    ASSERT_EQ(List(peer.Address(), "/vol/vol1").entries.size(), 6u);
    uint32_t expected = 0;
    for (const Request& r : Sequenced(peer.Requests())) {
        if (r.Has(Peer::kExchangeId)) continue;
        EXPECT_EQ(r.ops[0].slot, 0u);
        EXPECT_EQ(r.ops[0].highestSlot, 0u);
        expected = r.Has(Peer::kReclaimComplete) ? 1 : expected + 1;
        EXPECT_EQ(r.ops[0].sequence, expected);
    }
    EXPECT_EQ(peer.LiveSessions(), 0u);
}

// The server lowers the slots it serves to one: after the first replies
// the client keeps to slot 0.
TEST_F(Nfs41Client, FewerSlotsServedThanGrantedAreFollowed) {
    Peer peer(PeerOptions([](Peer::Options& o) { o.entriesPerPage = 2; }));
    peer.SetTargetHighestSlot(0);
    ASSERT_EQ(List(peer.Address(), "/vol/vol1").entries.size(), 6u);
    const std::vector<Request> sequenced = Sequenced(peer.Requests());
    ASSERT_GT(sequenced.size(), 4u);
    for (size_t i = 2; i < sequenced.size(); ++i) EXPECT_EQ(sequenced[i].ops[0].slot, 0u) << i;
}

// 7 operations per COMPOUND and replies of 8 KiB: LOOKUPs split, pages
// below the reply size; 300 entries arrive in pages.
TEST_F(Nfs41Client, CompoundsKeepToTheGrantedOperationsAndReplySize) {
    Peer peer(PeerOptions([](Peer::Options& o) {
        o.maxOperations = 7;
        o.maxResponseSize = 8192;
        o.files = 300;
    }));
    const ListResult docs = List(peer.Address(), "/vol/vol1/docs");
    ASSERT_EQ(docs.rc, 0) << docs.error;
    EXPECT_THAT(Names(docs), ElementsAre("a.txt"));
    const ListResult big = List(peer.Address(), "/vol/vol1");
    ASSERT_EQ(big.rc, 0) << big.error;
    EXPECT_EQ(big.entries.size(), 301u);
    size_t pages = 0;
    for (const Request& r : peer.Requests()) {
        EXPECT_LE(r.ops.size(), 7u);
        for (const Peer::Op& op : r.ops) {
            if (op.op != Peer::kReadDir) continue;
            ++pages;
            EXPECT_LE(op.maxCount, 8192u - 1024u);
        }
    }
    EXPECT_GT(pages, 3u);
}

// Requests of at most 2 KiB: a path of long components goes in COMPOUNDs
// that each fit.
TEST_F(Nfs41Client, CompoundsKeepToTheGrantedRequestSize) {
    Peer peer(PeerOptions([](Peer::Options& o) { o.maxRequestSize = 2048; }));
    std::string path = "/vol/vol1/docs";
    for (int i = 0; i < 12; ++i) path += "/" + std::string(200, static_cast<char>('a' + i));
    const ListResult listing = List(peer.Address(), path);
    EXPECT_THAT(listing.error, HasSubstr("lookup of /vol/vol1/docs/aaaa"));
    EXPECT_THAT(listing.error, HasSubstr("no such directory (NFS4ERR_NOENT)"));
    size_t lookups = 0;
    for (const Request& r : peer.Requests()) {
        EXPECT_LE(r.bytes, 2048u);
        for (const Peer::Op& op : r.ops) lookups += op.op == Peer::kLookup ? 1 : 0;
    }
    EXPECT_GE(lookups, 4u) << "the first COMPOUND carried more than one long component";
}

// NFS4ERR_DELAY, on SEQUENCE and on an operation after it: sent again after
// a pause and then answered; the setup's steps are retried the same way.
TEST_F(Nfs41Client, DelayIsRetriedAfterAPause) {
    Peer peer(PeerOptions());
    int delays = 0;
    peer.SetScript([&delays](const Request& r, Peer& p) {
        if (r.Has(Peer::kExchangeId) && delays == 0 && ++delays)
            return Peer::Answer(
                Peer::Compound(Peer::kDelay, {Peer::StatusOnly(Peer::kExchangeId, Peer::kDelay)}));
        if (r.Has(Peer::kReadDir) && delays == 1 && ++delays)
            return Peer::Answer(Peer::SequenceFailed(Peer::kDelay));
        if (r.Has(Peer::kReadDir) && delays == 2 && ++delays)  // the operation after SEQUENCE
            return Peer::Answer(Peer::Compound(
                Peer::kDelay, {SequenceResult(p, r), Peer::StatusOnly(r.ops[1].op, Peer::kDelay)}));
        return Action{};
    });
    const auto start = std::chrono::steady_clock::now();
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    const double ms = MsSince(start);
    ASSERT_EQ(listing.rc, 0) << listing.error;
    EXPECT_EQ(listing.entries.size(), 6u);
    EXPECT_EQ(delays, 3);
    EXPECT_GE(ms, 380.0) << "pauses of 100, 100 and 200 ms";
    EXPECT_LT(ms, 2000.0);
    EXPECT_EQ(peer.LiveClients(), 0u);
}

// A server that keeps answering NFS4ERR_DELAY: retried until the step's
// time is up, then worded.
TEST_F(Nfs41Client, DelayWithoutEndIsWordedWhenTheStepsTimeIsUp) {
    Peer peer(PeerOptions());
    peer.SetScript([](const Request& r, Peer&) {
        return r.Has(Peer::kReadDir) ? Peer::Answer(Peer::SequenceFailed(Peer::kDelay)) : Action{};
    });
    TimeoutGuard timeout(1500);
    const auto start = std::chrono::steady_clock::now();
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    const double ms = MsSince(start);
    EXPECT_NE(listing.rc, 0);
    EXPECT_EQ(listing.error,
              "NFS server 127.0.0.3, listing of /vol/vol1 (page 1): the server asked to retry "
              "later (NFS4ERR_DELAY): it is busy or recovering from a restart; browse again in a "
              "moment");
    EXPECT_GT(ms, 600.0);
    EXPECT_LT(ms, 1500.0 + 800.0);
    EXPECT_GE(peer.Count(Peer::kReadDir), 4u);
    EXPECT_EQ(peer.LiveClients(), 0u) << "torn down after the failure";
}

// SEQUENCE failures in the middle of a listing (page 2 of 3): the entries
// of page 1 came, the text names the step and the cause, and the session
// is still torn down (from a new connection: the failed one is not used).
TEST_F(Nfs41Client, SessionFailuresAreWordedAndTheSessionStillTornDown) {
    const struct {
        int32_t status;
        const char* cause;
    } faults[] = {
        {Peer::kBadSession,
         "the server no longer knows this client's NFSv4.1 session (NFS4ERR_BADSESSION): it "
         "may have restarted or ended the session; browse again"},
        {10078, "the server no longer knows this client's NFSv4.1 session (NFS4ERR_DEADSESSION)"},
        {Peer::kSeqMisordered,
         "the server and this client disagree on the order of the NFSv4.1 session's "
         "requests (NFS4ERR_SEQ_MISORDERED); browse again, and if it recurs, have the "
         "server's NFSv4.1 session handling checked"},
        {Peer::kBadSlot, "(NFS4ERR_BADSLOT)"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.status);
        Peer peer(PeerOptions([](Peer::Options& o) { o.entriesPerPage = 3; }));
        int pages = 0;
        peer.SetScript([&pages, &fault](const Request& r, Peer&) {
            return r.Has(Peer::kReadDir) && ++pages == 2
                       ? Peer::Answer(Peer::SequenceFailed(fault.status))
                       : Action{};
        });
        const ListResult listing = List(peer.Address(), "/vol/vol1");
        EXPECT_NE(listing.rc, 0);
        EXPECT_THAT(listing.error,
                    StartsWith("NFS server 127.0.0.3, listing of /vol/vol1 (page 2): "));
        EXPECT_THAT(listing.error, HasSubstr(fault.cause));
        EXPECT_EQ(listing.entries.size(), 3u);
        EXPECT_EQ(peer.LiveSessions(), 0u);
        EXPECT_EQ(peer.LiveClients(), 0u);
        const std::vector<Request> all = peer.Requests();
        ASSERT_FALSE(all.empty());
        EXPECT_TRUE(all.back().Has(Peer::kDestroyClientId));
        EXPECT_GT(all.back().connection, all.front().connection);
    }
}

// Setup refusals: each worded, and what was made is torn down on the same
// connection.
TEST_F(Nfs41Client, RefusedSetupIsWordedAndWhatWasMadeIsUndone) {
    auto refuse = [](uint32_t op, int32_t status) {
        return [op, status](const Request& r, Peer&) {
            return r.Has(op) ? Peer::Answer(Peer::Compound(status, {Peer::StatusOnly(op, status)}))
                             : Action{};
        };
    };
    const Peer::Options none = PeerOptions([](Peer::Options& o) { o.minors = {3}; });
    const Peer::Options tiny = PeerOptions([](Peer::Options& o) { o.maxOperations = 3; });
    const struct {
        const char* name;
        Peer::Options options;
        Peer::Script script;
        const char* error;
        bool clientLeft;  // EXCHANGE_ID succeeded: DESTROY_CLIENTID is owed
    } faults[] = {
        {"no minor version", none, nullptr,
         "NFS server 127.0.0.3, NFSv4.1 session setup (EXCHANGE_ID): the server offers no MOUNT "
         "service and refuses NFSv4.0, 4.1 and 4.2 alike (NFS4ERR_MINOR_VERS_MISMATCH); this "
         "client speaks NFSv3 with MOUNT and NFSv4.0 to 4.2: enable one of them on the file server",
         false},
        {"EXCHANGE_ID refused", PeerOptions(), refuse(Peer::kExchangeId, 1),
         "NFS server 127.0.0.3, NFSv4.1 session setup (EXCHANGE_ID): the server refused to "
         "register this client (NFS4ERR_PERM); check that the file server allows NFSv4.1 or 4.2 "
         "clients from this host, or enable NFSv3 (with MOUNT) or NFSv4.0 there",
         false},
        {"CREATE_SESSION refused", PeerOptions(), refuse(Peer::kCreateSession, 10006),
         "NFS server 127.0.0.3, NFSv4.1 session setup (CREATE_SESSION): the server refused to "
         "create a session for this client (NFS4ERR_SERVERFAULT); check that the file server "
         "allows NFSv4.1 or 4.2 clients from this host, or enable NFSv3 (with MOUNT) or NFSv4.0 "
         "there",
         true},
        {"session too small", tiny, nullptr,
         "NFS server 127.0.0.3, NFSv4.1 session setup (CREATE_SESSION): the server granted a "
         "session too small to browse with (8 slots, 3 operations per COMPOUND, requests of "
         "1048576 and replies of 1048576 bytes; at least 1, 6, 2048 and 4096 are needed); raise "
         "the server's NFSv4.1 session limits",
         true},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        Peer peer(fault.options);
        if (fault.script) peer.SetScript(fault.script);
        const auto start = std::chrono::steady_clock::now();
        const ExportsResult exports = ListExports(peer.Address());
        EXPECT_LT(MsSince(start), 500.0);
        EXPECT_NE(exports.rc, 0);
        EXPECT_EQ(exports.error, fault.error);
        EXPECT_EQ(peer.Count(Peer::kPutFh) + peer.Count(Peer::kReadDir), 0u);
        EXPECT_EQ(peer.Count(Peer::kDestroyClientId), fault.clientLeft ? 1u : 0u);
        EXPECT_EQ(peer.LiveClients(), 0u);
        EXPECT_EQ(peer.LiveSessions(), 0u);
        for (const Request& r : peer.Requests()) EXPECT_EQ(r.connection, 1) << "one connection";
    }
}

// Replies that break the session's rules, or that no COMPOUND may carry:
// refused with a worded cause, before their contents are used.
TEST_F(Nfs41Client, MalformedSessionRepliesAreRefused) {
    struct Case {
        const char* name;
        std::function<std::string(const Request&, Peer&)> reply;
        const char* cause;
    };
    const Case cases[] = {
        {"SEQUENCE for another slot",
         [](const Request& r, Peer& p) {
             std::string body = p.Process(r);
             body.replace(
                 40, 4,
                 Peer::U32(r.ops[0].slot + 1));  // status, tag, count, op, status, session, seq
             return body;
         },
         "malformed NFSv4 reply: the SEQUENCE reply is for slot"},
        {"result count beyond any COMPOUND",
         [](const Request& r, Peer& p) {
             std::string body = p.Process(r);
             body.replace(8, 4, Peer::U32(0x7fffffff));
             return body;
         },
         "malformed NFSv4 reply: 2147483647 results, more than 64"},
        {"more results than operations",
         [](const Request& r, Peer& p) {
             std::string body = p.Process(r) + Peer::StatusOnly(Peer::kPutRootFh, 0);
             body.replace(8, 4, Peer::U32(static_cast<uint32_t>(r.ops.size() + 1)));
             return body;
         },
         "malformed NFSv4 reply: 8 results for 7 operations"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer(PeerOptions());
        peer.SetScript([&c](const Request& r, Peer& p) {
            const bool page = IsListingPage(r) || (r.Has(Peer::kReadDir) && r.Has(Peer::kLookup));
            return page ? Peer::Answer(c.reply(r, p)) : Action{};
        });
        const ListResult listing = List(peer.Address(), "/vol/vol1");
        EXPECT_NE(listing.rc, 0);
        EXPECT_THAT(listing.error,
                    StartsWith("NFS server 127.0.0.3, listing of /vol/vol1 (page 1): "));
        EXPECT_THAT(listing.error, HasSubstr(c.cause));
        EXPECT_TRUE(listing.entries.empty());
        EXPECT_EQ(peer.LiveClients(), 0u);
    }
}

// A READDIR whose cookies come round again would never end: refused before
// an entry comes twice.
TEST_F(Nfs41Client, EndlessDirectoryIsRefused) {
    Peer peer(PeerOptions([](Peer::Options& o) { o.entriesPerPage = 2; }));
    peer.SetScript(Peer::FirstPageAgain);
    const ListResult listing =
        ExpectFailed(List(peer.Address(), "/vol/vol1"),
                     {"listing of /vol/vol1 (page 2): the server's directory cookies repeat"});
    EXPECT_THAT(Names(listing), ElementsAre("docs", "f0"));
    EXPECT_EQ(peer.LiveClients(), 0u);
}

// The connection drops in the middle of a listing: worded, and the session
// is bound to a new connection (SEQUENCE before DESTROY_SESSION) and torn
// down there.
TEST_F(Nfs41Client, LostConnectionIsWordedAndTheSessionTornDownFromANewOne) {
    Peer peer(PeerOptions([](Peer::Options& o) { o.entriesPerPage = 2; }));
    int pages = 0;
    peer.SetScript(
        Peer::On([&pages](const Request& r) { return r.Has(Peer::kReadDir) && ++pages == 2; },
                 Action::Close));
    const ListResult listing =
        ExpectFailed(List(peer.Address(), "/vol/vol1"),
                     {"listing of /vol/vol1 (page 2): the server closed the connection"});
    EXPECT_EQ(listing.entries.size(), 2u);
    EXPECT_EQ(peer.LiveSessions(), 0u);
    EXPECT_EQ(peer.LiveClients(), 0u);
    const std::vector<Request> all = peer.Requests();
    ASSERT_GE(all.size(), 2u);
    const Request& destroy = all[all.size() - 2];
    EXPECT_TRUE(destroy.Has(Peer::kDestroySession));
    EXPECT_EQ(destroy.ops[0].op, Peer::kSequence);
    EXPECT_NE(destroy.connection, all.front().connection);
}

// A server that stops answering after the session was made: the step times
// out, and the teardown (which it does not answer either) adds at most its
// short bound; its failure is noticed, not added to the call's text.
TEST_F(Nfs41Client, SilentServerTimesOutAndTheTeardownStaysShort) {
    Peer peer(PeerOptions());
    peer.SetScript(Peer::On(
        [](const Request& r) {
            return (r.Has(Peer::kPutRootFh) && r.minor == 1) || r.Has(Peer::kDestroySession) ||
                   r.Has(Peer::kDestroyClientId);
        },
        Action::Silent));
    ScopedCapturingLog log(2);
    TimeoutGuard timeout(700);
    const auto start = std::chrono::steady_clock::now();
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    const double ms = MsSince(start);
    EXPECT_NE(listing.rc, 0);
    EXPECT_EQ(listing.error,
              "NFS server 127.0.0.3, listing of /vol/vol1 (page 1): timed out after 0.7 s "
              "without an answer");
    EXPECT_GT(ms, 650.0);
    EXPECT_LT(ms, 700.0 + 500.0 + 300.0);
    bool noticed = false;
    for (const std::string& line : log->Messages(2))
        noticed =
            noticed || line.find("NFSv4.1 session teardown (DESTROY_SESSION)") != std::string::npos;
    EXPECT_TRUE(noticed);
}

// RECLAIM_COMPLETE is only advisory for a browse: unanswered, the listing
// goes on beside it (noticed). With one slot the rest must wait for its
// slot, which the silence keeps taken: a worded failure once its time is
// up, not a wait without end.
TEST_F(Nfs41Client, UnansweredReclaimCompleteIsNoticedOrWordedWithOneSlot) {
    for (uint32_t slots : {64u, 1u}) {
        SCOPED_TRACE(slots);
        Peer peer(PeerOptions([slots](Peer::Options& o) { o.slots = slots; }));
        peer.SetScript(Peer::On([](const Request& r) { return r.Has(Peer::kReclaimComplete); },
                                Action::Silent));
        ScopedCapturingLog log(2);
        TimeoutGuard timeout(700);
        const auto start = std::chrono::steady_clock::now();
        const ListResult listing = List(peer.Address(), "/vol/vol1");
        const double ms = MsSince(start);
        if (slots > 1) {
            ASSERT_EQ(listing.rc, 0) << listing.error;
            EXPECT_EQ(listing.entries.size(), 6u);
            EXPECT_LT(ms, 700.0 + 500.0 + 300.0);
        } else {
            EXPECT_NE(listing.rc, 0);
            EXPECT_THAT(listing.error,
                        HasSubstr("no slot of the server's NFSv4.1 session is free: the server did "
                                  "not answer RECLAIM_COMPLETE within 700 ms"));
            EXPECT_GT(ms, 650.0);
            EXPECT_LT(ms, 700.0 + 500.0 + 300.0);
        }
        EXPECT_EQ(peer.Count(Peer::kDestroySession), 1u);
    }
}

// An export list whose step falls silent ends at that step's timeout; the
// session is still torn down (within its short cap), so that the server is
// left clean.
TEST_F(Nfs41Client, ExportListEndsAtItsSilentStepTeardownIncluded) {
    Peer peer(PeerOptions());
    peer.SetScript(
        Peer::On([](const Request& r) { return r.Has(Peer::kReadDir); }, Action::Silent));
    TimeoutGuard timeout(700);
    const auto start = std::chrono::steady_clock::now();
    const ExportsResult exports = ListExports(peer.Address());
    const double ms = MsSince(start);
    EXPECT_NE(exports.rc, 0);
    EXPECT_THAT(exports.error, HasSubstr("export discovery over NFSv4 (/): timed out"));
    EXPECT_GT(ms, 650.0);
    EXPECT_LT(ms, 1300.0) << "the teardown is capped at 500 ms";
    EXPECT_EQ(peer.Count(Peer::kDestroySession), 1u);
}

}  // namespace
