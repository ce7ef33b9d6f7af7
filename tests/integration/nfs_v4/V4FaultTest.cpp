// NFSv4.0 replies a real server does not send, from a scripted peer
// (ScriptedNfs4Peer.h) that speaks minor version 0 only: a result count no
// COMPOUND can have is refused before anything is decoded, and
// NFS4ERR_DELAY is sent again after a pause as over a session.
#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ScriptedNfs4Peer.h"
#include "integration/nfs_client/ClientCalls.h"

namespace {

using namespace nfsclienttest;
using Peer = nfstest::ScriptedNfs4Peer;
using testing::HasSubstr;

Peer::Options V40Only() {
    Peer::Options options;
    options.minors = {0};
    return options;
}

TEST(V4Faults, ResultCountNoCompoundCanHaveIsRefused) {
    NFSClientSetServerCacheMs(0);
    Peer peer(V40Only());
    peer.SetScript([](const Peer::Request& r, Peer& p) {
        Peer::Action a;
        if (r.Has(Peer::kReadDir)) {
            a.kind = Peer::Action::Reply;
            a.body = p.Process(r);
            a.body.replace(8, 4, Peer::U32(0x7fffffff));
        }
        return a;
    });
    const ExportsResult exports = ListExports(peer.Address());
    EXPECT_NE(exports.rc, 0);
    EXPECT_EQ(exports.error,
              "NFS server 127.0.0.3, export discovery over NFSv4 (/): malformed NFSv4 reply: "
              "2147483647 results, more than 64");
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    EXPECT_NE(listing.rc, 0);
    EXPECT_THAT(
        listing.error,
        HasSubstr("listing of /vol/vol1 (page 1): malformed NFSv4 reply: 2147483647 results"));
    NFSClientSetServerCacheMs(5000);
}

TEST(V4Faults, DelayIsSentAgainAfterAPause) {
    NFSClientSetServerCacheMs(0);
    Peer peer(V40Only());
    int delays = 0;
    peer.SetScript([&delays](const Peer::Request& r, Peer&) {
        Peer::Action a;
        if (r.Has(Peer::kReadDir) && delays++ < 2) {
            a.kind = Peer::Action::Reply;
            a.body = Peer::Compound(Peer::kDelay, {Peer::StatusOnly(r.ops[0].op, Peer::kDelay)});
        }
        return a;
    });
    const auto start = std::chrono::steady_clock::now();
    const ListResult listing = List(peer.Address(), "/vol/vol1");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(listing.rc, 0) << listing.error;
    EXPECT_EQ(listing.entries.size(), 6u);
    EXPECT_GE(ms, 280.0) << "pauses of 100 and 200 ms";
    NFSClientSetServerCacheMs(5000);
}

}  // namespace
