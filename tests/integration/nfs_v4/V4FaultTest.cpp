// NFSv4 replies a real server does not send, from a scripted peer
// (ScriptedNfs4Peer.h) that speaks minor version 0 only: a result count no
// COMPOUND can have is refused before anything is decoded, and
// NFS4ERR_DELAY is sent again after a pause as over a session. Also, over
// 4.0 and 4.1, entries that come without attributes on pages read ahead.
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ScriptedNfs4Peer.h"
#include "common/TestSupport.h"
#include "integration/nfs_client/ClientCalls.h"

namespace {

using namespace nfsclienttest;
using Peer = nfstest::ScriptedNfs4Peer;
using testing::HasSubstr;

// Each test starts without what an earlier one taught the server cache.
class V4Faults : public testing::Test {
protected:
    void SetUp() override { NFSClientSetServerCacheMs(0); }
    void TearDown() override { NFSClientSetServerCacheMs(5000); }
};

Peer::Options V40Only() {
    Peer::Options options;
    options.minors = {0};
    return options;
}

TEST_F(V4Faults, ResultCountNoCompoundCanHaveIsRefused) {
    Peer peer(V40Only());
    peer.SetScript([](const Peer::Request& r, Peer& p) {
        if (!r.Has(Peer::kReadDir)) return Peer::Action{};
        return Peer::Answer(p.Process(r).replace(8, 4, Peer::U32(0x7fffffff)));
    });
    const ExportsResult exports = ListExports(peer.Address());
    EXPECT_NE(exports.rc, 0);
    EXPECT_EQ(exports.error,
              "NFS server 127.0.0.3, export discovery over NFSv4 (/): malformed NFSv4 reply: "
              "2147483647 results, more than 64");
    ExpectFailed(List(peer.Address(), "/vol/vol1"),
                 {"listing of /vol/vol1 (page 1): malformed NFSv4 reply: 2147483647 results"});
}

TEST_F(V4Faults, DelayIsSentAgainAfterAPause) {
    Peer peer(V40Only());
    int delays = 0;
    peer.SetScript([&delays](const Peer::Request& r, Peer&) {
        if (!(r.Has(Peer::kReadDir) && delays++ < 2)) return Peer::Action{};
        return Peer::Answer(
            Peer::Compound(Peer::kDelay, {Peer::StatusOnly(r.ops[0].op, Peer::kDelay)}));
    });
    const auto start = std::chrono::steady_clock::now();
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    const double ms = nsbtest::MsSince(start);
    ASSERT_EQ(listing.rc, 0) << listing.error;
    EXPECT_EQ(listing.entries.size(), 6u);
    EXPECT_GE(ms, 280.0) << "pauses of 100 and 200 ms";
}

// Entries without attributes on several pages: their attributes are had
// by LOOKUP and GETATTR while the next page is already on its way, and every
// entry is handed out once, in the server's order, with its type.
TEST_F(V4Faults, EntriesWithoutAttributesKeepTheirOrderAcrossPagesReadAhead) {
    for (const std::vector<uint32_t>& minors : {std::vector<uint32_t>{0}, {1, 2}}) {
        Peer::Options options;
        options.minors = minors;
        options.files = 12;
        options.entriesPerPage = 3;  // docs f0 f1 | f2 f3 f4 | f5 f6 f7 | f8 f9 f10 | f11
        options.untyped = {"f1", "f2", "f7", "f11"};
        Peer peer(options);
        const ListResult listing = List(peer.Address(), "/vol/vol1");
        ASSERT_EQ(listing.rc, 0) << listing.error;
        std::vector<std::string> names;
        for (const Entry& e : listing.entries) {
            names.push_back(e.name);
            EXPECT_EQ(e.type, e.name == "docs" ? 2u : 1u) << e.name;
        }
        EXPECT_THAT(names, testing::ElementsAre("docs", "f0", "f1", "f2", "f3", "f4", "f5", "f6",
                                                "f7", "f8", "f9", "f10", "f11"));
        // The page after f2's was asked for before f2's attributes were, the
        // one after that only then: the client reads one page ahead, never
        // more, whatever waits for attributes.
        int pageOfF5 = -1, pageOfF8 = -1, lookupOfF2 = -1, at = 0;
        for (const Peer::Request& r : peer.Requests()) {
            for (const Peer::Op& op : r.ops) {
                if (op.op == Peer::kReadDir && op.number == 8 && pageOfF5 < 0) pageOfF5 = at;
                if (op.op == Peer::kReadDir && op.number == 11 && pageOfF8 < 0) pageOfF8 = at;
                if (op.op == Peer::kLookup && op.data == "f2" && lookupOfF2 < 0) lookupOfF2 = at;
            }
            ++at;
        }
        EXPECT_GE(pageOfF5, 0);
        EXPECT_GT(lookupOfF2, pageOfF5);
        EXPECT_GT(pageOfF8, lookupOfF2);
    }
}

// A page read ahead that is never answered: the pages before it are handed
// out, and the call ends with a worded timeout of that page, within its
// step's time (and the session teardown over 4.1).
TEST_F(V4Faults, UnansweredPageReadAheadTimesOutAfterTheEntriesBeforeIt) {
    for (const std::vector<uint32_t>& minors : {std::vector<uint32_t>{0}, {1, 2}}) {
        Peer::Options options;
        options.minors = minors;
        options.entriesPerPage = 2;  // docs f0 | f1 f2 | f3 f4
        Peer peer(options);
        int pages = 0;
        peer.SetScript(Peer::On(  // the third page
            [&pages](const Peer::Request& r) {
                return r.Has(Peer::kReadDir) && r.ops.size() <= 3 && ++pages == 2;
            },
            Peer::Action::Silent));
        TimeoutGuard timeout(700);
        const auto start = std::chrono::steady_clock::now();
        const ListResult listing = List(peer.Address(), "/vol/vol1");
        const double ms = nsbtest::MsSince(start);
        EXPECT_NE(listing.rc, 0);
        EXPECT_EQ(listing.error,
                  "NFS server 127.0.0.3, listing of /vol/vol1 (page 3): timed out after 0.7 s "
                  "without an answer");
        EXPECT_THAT(Names(listing), testing::ElementsAre("docs", "f0", "f1", "f2"));
        EXPECT_GT(ms, 650.0);
        EXPECT_LT(ms, 700.0 + 500.0 + 300.0);
    }
}

}  // namespace
