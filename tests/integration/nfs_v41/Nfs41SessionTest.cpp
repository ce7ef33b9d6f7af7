// NFSv4.1 sessions end to end through libnfs's transport with our codec,
// against a private nfs-ganesha 4.3 serving minor versions 1 and 2 only
// (Options::v4Only, minorVersions {1, 2}), and what that server accepts and
// refuses. Times are printed for docs/NFSV41.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Nfs41Driver.h"
#include "NfsTestServer.h"
#include "common/TestSupport.h"
#include "nfs_client/worker/nfs4/Nfs4Reply.h"  // Nfs4Entries

namespace {

using namespace nfsclient::v41;
using nfstest::DecodedReply;
using nfstest::Nfs41Driver;
using nfstest::SequenceOn;
using Outcome = Nfs41Driver::Outcome;
using Options = nfstest::NfsTestServer::Options;
using Clock = std::chrono::steady_clock;

// TYPE; TYPE, SIZE, RDATTR_ERROR, FILEID, MODE, TIME_MODIFY; LEASE_TIME.
const std::vector<uint32_t> kType = {1u << 1, 0};
const std::vector<uint32_t> kListing = {0x00100812, 0x00200002};
const std::vector<uint32_t> kLeaseTime = {1u << 10, 0};

Options V41Only() {
    Options options;
    options.v4Only = true;
    options.minorVersions = {1, 2};
    return options;
}

// A server of minor versions 1 and 2 with the export /vol/vol1, started.
struct Vol1Server : nfstest::NfsTestServer {
    Vol1Server() : NfsTestServer(V41Only()) {
        AddExport("/vol/vol1");
        Start();
    }
};

using nsbtest::MsSince;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

uint32_t WordAt(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

void Connect(Nfs41Driver& driver) {
    std::string error;
    ASSERT_TRUE(driver.Connect(error)) << error;
}

void Establish(Nfs41Driver& driver, uint32_t slots = 8, uint32_t minor = 1) {
    std::string error;
    ASSERT_TRUE(driver.Establish(error, slots, minor)) << error;
}

// The file handle of `path` (components), or "" (with a test failure).
std::string Handle(Nfs41Driver& driver, const std::vector<std::string>& path, uint32_t slot = 0) {
    Compound41 compound = driver.Begin(slot);
    compound.PutRootFh();
    for (const std::string& name : path)
        compound.Lookup(name.data(), static_cast<uint32_t>(name.size()));
    compound.GetFh();
    const Outcome o = driver.Call(compound);
    EXPECT_TRUE(o.Ok()) << o.error << " status " << o.status;
    if (!o.Ok()) return "";
    const DecodedReply reply(o.raw);
    const nfs_fh4& fh = reply.Op40(path.size() + 1).nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
    return std::string(fh.nfs_fh4_val, fh.nfs_fh4_len);
}

struct Listing {
    std::vector<std::string> names;
    int pages = 0;
    std::string error;
};

// READDIR page by page over the session, entries read inside the callback.
Listing ReadAll(Nfs41Driver& driver, const std::string& handle, uint32_t pageBytes,
                uint32_t slot = 0) {
    Listing listing;
    uint64_t cookie = 0;
    char verifier[NFS4_VERIFIER_SIZE] = {};
    bool eof = false;
    while (!eof && listing.error.empty() && listing.pages < 100000) {
        Compound41 compound = driver.Begin(slot);
        compound.PutFh(handle.data(), static_cast<uint32_t>(handle.size()));
        compound.ReadDir(cookie, verifier, pageBytes, pageBytes, kListing);
        bool seen = false;
        const Outcome o = driver.CallInside(compound, [&](const Compound41Res& res) {
            if (res.status != NFS4_OK || res.v40count != 2) return;
            seen = true;
            const READDIR4resok& ok = res.v40ops[1].nfs_resop4_u.opreaddir.READDIR4res_u.resok4;
            memcpy(verifier, ok.cookieverf, NFS4_VERIFIER_SIZE);
            nfsclient::Nfs4Entries entries(res.v40dirs[1]);
            for (nfsclient::Nfs4Entry e; entries.Next(e);) {
                listing.names.emplace_back(e.name, e.nameLength);
                cookie = e.cookie;
            }
            if (entries.Malformed()) listing.error = "a malformed entry list";
            eof = ok.reply.eof != 0;
        });
        if (!o.Ok() || !seen)
            listing.error = "page " + std::to_string(listing.pages) + ": " + o.error + " status " +
                            std::to_string(o.status);
        ++listing.pages;
    }
    return listing;
}

TEST(Nfs41Session, BrowsesAnExportOverASession) {
    nfstest::NfsTestServer server(V41Only());
    const std::string vol1 = server.AddExport("/vol/vol1");
    server.AddExport("/home");
    std::set<std::string> expected = {"docs", "caf\xe9.txt"};
    nfstest::MakeDir(vol1 + "/docs");
    nfstest::MakeFile(vol1 + "/caf\xe9.txt", 3);
    for (int i = 0; i < 300; ++i) {
        const std::string name = "file-" + std::to_string(i);
        nfstest::MakeFile(vol1 + "/" + name, i);
        expected.insert(name);
    }
    server.Start();

    Nfs41Driver driver(server.Address());
    auto start = Clock::now();
    Connect(driver);
    const double connectMs = MsSince(start);
    Establish(driver);
    EXPECT_EQ(driver.slots, 8u);

    Compound41 reclaim = driver.Begin(0);
    reclaim.ReclaimComplete();
    const Outcome reclaimed = driver.Call(reclaim);
    ASSERT_TRUE(reclaimed.Ok()) << reclaimed.status;

    Compound41 root = driver.Begin(1);
    root.PutRootFh();
    root.GetAttr(kType);
    const Outcome rooted = driver.Call(root);
    ASSERT_TRUE(rooted.Ok()) << rooted.status;
    {
        const DecodedReply reply(rooted.raw);
        ASSERT_TRUE(reply.Ok());
        const fattr4& attrs =
            reply.Op40(1).nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
        ASSERT_EQ(attrs.attr_vals.attrlist4_len, 4u);
        EXPECT_EQ(WordAt(attrs.attr_vals.attrlist4_val), static_cast<uint32_t>(NF4DIR));
        std::string why;
        EXPECT_TRUE(CheckSequence(SequenceOn(driver.sessionId, 1, 1),
                                  reply.Res().results[0].u.sequence, why))
            << why;
    }

    const std::string handle = Handle(driver, {"vol", "vol1"}, 2);
    ASSERT_FALSE(handle.empty());
    start = Clock::now();
    const Listing listing = ReadAll(driver, handle, 4096, 3);
    const double listMs = MsSince(start);
    ASSERT_EQ(listing.error, "");
    EXPECT_GT(listing.pages, 2)
        << "4 KiB pages: the cookie and verifier were echoed over the session";
    EXPECT_EQ(std::set<std::string>(listing.names.begin(), listing.names.end()), expected);
    EXPECT_EQ(listing.names.size(), expected.size()) << "each entry once";

    const Outcome destroyed = driver.DestroySession();
    EXPECT_TRUE(destroyed.Ok()) << destroyed.status;
    const Outcome gone = driver.DestroyClientId();
    EXPECT_TRUE(gone.Ok()) << gone.status;
    std::cout << "4.1 browse: connect " << connectMs << " ms, EXCHANGE_ID "
              << driver.exchangeIdOutcome.ms << " ms, CREATE_SESSION "
              << driver.createSessionOutcome.ms << " ms, RECLAIM_COMPLETE " << reclaimed.ms
              << " ms, PUTROOTFH+GETATTR " << rooted.ms << " ms, " << listing.names.size()
              << " entries in " << listing.pages << " pages " << listMs << " ms, DESTROY_SESSION "
              << destroyed.ms << " ms, DESTROY_CLIENTID " << gone.ms << " ms" << std::endl;
}

TEST(Nfs41Session, SetupAndTeardownTimes) {
    Vol1Server server;
    std::vector<double> connect, setup, teardown;
    for (int round = 0; round < 20; ++round) {
        Nfs41Driver driver(server.Address());
        auto start = Clock::now();
        Connect(driver);
        connect.push_back(MsSince(start));
        start = Clock::now();
        Establish(driver);
        Compound41 reclaim = driver.Begin(0);
        reclaim.ReclaimComplete();
        ASSERT_TRUE(driver.Call(reclaim).Ok());
        setup.push_back(MsSince(start));
        start = Clock::now();
        ASSERT_TRUE(driver.DestroySession().Ok());
        ASSERT_TRUE(driver.DestroyClientId().Ok());
        teardown.push_back(MsSince(start));
    }
    std::cout << "20 sessions: connect median " << Median(connect)
              << " ms, setup (EXCHANGE_ID, CREATE_SESSION, "
              << "RECLAIM_COMPLETE) median " << Median(setup) << " ms max "
              << *std::max_element(setup.begin(), setup.end()) << " ms, teardown (DESTROY_SESSION, "
              << "DESTROY_CLIENTID) median " << Median(teardown) << " ms max "
              << *std::max_element(teardown.begin(), teardown.end()) << " ms" << std::endl;
    EXPECT_LT(Median(setup), 20.0);
    EXPECT_LT(Median(teardown), 20.0);
}

TEST(Nfs41Session, MinorVersionTwoWorksZeroAndThreeAreRefused) {
    Vol1Server server;
    {
        Nfs41Driver driver(server.Address());
        Connect(driver);
        Establish(driver, 8, 2);
        Compound41 root = driver.Begin(0);
        root.PutRootFh();
        root.GetAttr(kType);
        EXPECT_TRUE(driver.Call(root).Ok());
        // The same session in a COMPOUND of minor version 1.
        Compound41 asOne(1);
        asOne.Sequence(SequenceOn(driver.sessionId, 1, ++driver.slotSequence[1], driver.slots - 1));
        asOne.PutRootFh();
        const Outcome mixed = driver.Call(asOne);
        std::cout << "session of minor version 2 used at minor version 1: status " << mixed.status
                  << std::endl;
        EXPECT_TRUE(driver.DestroySession().Ok());
        EXPECT_TRUE(driver.DestroyClientId().Ok());
    }
    Nfs41Driver driver(server.Address());
    Connect(driver);
    for (uint32_t minor : {0u, 3u}) {
        Compound41 probe(minor);
        probe.SetTag("probe");
        probe.PutRootFh();
        const Outcome o = driver.Call(probe);
        ASSERT_EQ(o.rpcStatus, RPC_STATUS_SUCCESS) << o.error;
        EXPECT_EQ(o.status, NFS4ERR_MINOR_VERS_MISMATCH) << minor;
        EXPECT_TRUE(o.results.empty());
        const DecodedReply reply(o.raw);
        std::cout << "minor version " << minor << ": status " << o.status << " in " << o.ms
                  << " ms, tag echoed: \""
                  << std::string(reply.Res().tag.data, reply.Res().tag.length) << "\"" << std::endl;
    }
}

// A server that also speaks 4.0 answers a 4.1 operation sent at minor version 0.
TEST(Nfs41Session, ServerOfferingAllMinorVersions) {
    Options options;
    options.v4Only = true;
    nfstest::NfsTestServer server(options);
    server.AddExport("/vol/vol1");
    server.Start();
    Nfs41Driver driver(server.Address());
    Connect(driver);
    Compound41 early(0);
    early.ExchangeId(NewClientOwner("nsb-test"));
    const Outcome o = driver.Call(early);
    ASSERT_EQ(o.rpcStatus, RPC_STATUS_SUCCESS) << o.error;
    std::cout << "EXCHANGE_ID at minor version 0: status " << o.status << ", " << o.results.size()
              << " results"
              << (o.results.empty() ? "" : ", result op " + std::to_string(o.results[0].op))
              << std::endl;
    EXPECT_NE(o.status, NFS4_OK);
    Establish(driver);
    Compound41 root = driver.Begin(0);
    root.PutRootFh();
    EXPECT_TRUE(driver.Call(root).Ok()) << "4.1 works on a 4.0 + 4.1 server as well";
}

TEST(Nfs41Session, SlotsGrantedAndCompoundsInFlight) {
    Vol1Server server;
    for (uint32_t ask : {1u, 8u, 1000u}) {
        Nfs41Driver driver(server.Address());
        Connect(driver);
        Establish(driver, ask);
        std::cout << "asked for " << ask << " slots: granted " << driver.slots << std::endl;
        EXPECT_EQ(driver.slots, std::min(ask, 64u)) << "ganesha grants up to its 64 slots";
        EXPECT_TRUE(driver.DestroySession().Ok());
        EXPECT_TRUE(driver.DestroyClientId().Ok());
    }

    Nfs41Driver driver(server.Address());
    Connect(driver);
    Establish(driver, 8);
    std::vector<Compound41> compounds;
    for (uint32_t slot = 0; slot < 8; ++slot) {
        compounds.push_back(driver.Begin(slot));
        compounds.back().PutRootFh();
        compounds.back().GetAttr(kType);
    }
    std::vector<const Compound41*> all;
    for (const Compound41& c : compounds) all.push_back(&c);
    const auto start = Clock::now();
    const std::vector<Outcome> outcomes = driver.CallAll(all);
    const double ms = MsSince(start);
    for (uint32_t slot = 0; slot < 8; ++slot) {
        ASSERT_TRUE(outcomes[slot].Ok())
            << slot << ": " << outcomes[slot].error << " " << outcomes[slot].status;
        EXPECT_EQ(outcomes[slot].results[0].u.sequence.slotId, slot);
    }
    std::cout << "8 COMPOUNDs on 8 slots in flight: " << ms << " ms" << std::endl;

    Compound41 badSlot(1);
    badSlot.Sequence(SequenceOn(driver.sessionId, 8, 1));
    badSlot.PutRootFh();
    EXPECT_EQ(driver.Call(badSlot).status, kErrBadSlot);
}

TEST(Nfs41Session, OperationsPerCompoundAreTheSessionsToBound) {
    Vol1Server server;
    Nfs41Driver driver(server.Address());
    Connect(driver);
    std::string error;
    ASSERT_TRUE(driver.Establish(error, 8, 1, nullptr, 4)) << error;
    EXPECT_EQ(driver.createSessionOutcome.results[0].u.createSession.fore.maxOperations, 4u);
    Compound41 four = driver.Begin(0);
    four.PutRootFh();
    four.Lookup("vol", 3);
    four.GetFh();
    EXPECT_TRUE(driver.Call(four).Ok());
    Compound41 five = driver.Begin(0);
    five.PutRootFh();
    five.Lookup("vol", 3);
    five.Lookup("vol1", 4);
    five.GetFh();
    const Outcome o = driver.Call(five);
    EXPECT_EQ(o.status, kErrTooManyOps);
    std::cout << "5 operations with ca_maxoperations 4: status " << o.status << ", "
              << o.results.size() << " results" << std::endl;
}

TEST(Nfs41Session, SequenceErrors) {
    Vol1Server server;
    Nfs41Driver driver(server.Address());
    Connect(driver);
    Establish(driver);
    auto onSlot0 = [&](uint32_t sequenceId) {
        Compound41 c(1);
        c.Sequence(SequenceOn(driver.sessionId, 0, sequenceId, driver.slots - 1));
        c.PutRootFh();
        return driver.Call(c);
    };
    EXPECT_TRUE(onSlot0(1).Ok());
    const Outcome replay = onSlot0(1);
    std::cout << "the last sequence id again (sa_cachethis false): status " << replay.status
              << std::endl;
    EXPECT_EQ(onSlot0(3).status, kErrSeqMisordered);
    EXPECT_TRUE(onSlot0(2).Ok()) << "a misordered request leaves the slot as it was";
    EXPECT_EQ(onSlot0(0).status, kErrSeqMisordered);

    EXPECT_EQ(driver.DestroyClientId().status, kErrClientIdBusy);
    EXPECT_TRUE(driver.DestroySession().Ok());
    const Outcome after = onSlot0(3);
    EXPECT_EQ(after.status, kErrBadSession);
    EXPECT_TRUE(driver.DestroyClientId().Ok());
    const Outcome twice = driver.DestroyClientId();
    std::cout << "DESTROY_CLIENTID a second time: status " << twice.status << std::endl;
    EXPECT_EQ(twice.status, NFS4ERR_STALE_CLIENTID);
}

TEST(Nfs41Session, WhatMayShareACompound) {
    Vol1Server server;
    Nfs41Driver driver(server.Address());
    Connect(driver);

    Compound41 outside(1);
    outside.PutRootFh();
    EXPECT_EQ(driver.Call(outside).status, kErrOpNotInSession);

    Establish(driver);
    // READDIR before RECLAIM_COMPLETE (the test server has no grace period).
    const char zero[NFS4_VERIFIER_SIZE] = {};
    Compound41 early = driver.Begin(0);
    early.PutRootFh();
    early.ReadDir(0, zero, 4096, 4096, kListing);
    const Outcome earlyList = driver.Call(early);
    std::cout << "READDIR before RECLAIM_COMPLETE: status " << earlyList.status << std::endl;

    // RECLAIM_COMPLETE with the first browse operations: one round trip less.
    Compound41 together = driver.Begin(1);
    together.ReclaimComplete();
    together.PutRootFh();
    together.GetAttr(kLeaseTime);
    const Outcome both = driver.Call(together);
    EXPECT_TRUE(both.Ok()) << both.status;
    if (both.Ok()) {
        const DecodedReply reply(both.raw);
        const fattr4& attrs =
            reply.Op40(1).nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
        ASSERT_EQ(attrs.attr_vals.attrlist4_len, 4u);
        std::cout << "lease time: " << WordAt(attrs.attr_vals.attrlist4_val) << " s" << std::endl;
    }

    // DESTROY_SESSION as the last operation after SEQUENCE on that session.
    Compound41 last = driver.Begin(2);
    last.DestroySession(driver.sessionId);
    const Outcome destroyed = driver.Call(last);
    std::cout << "SEQUENCE + DESTROY_SESSION: status " << destroyed.status << std::endl;
    EXPECT_TRUE(destroyed.Ok());
    EXPECT_TRUE(driver.DestroyClientId().Ok());
}

// The same client owner on two connections is one client to the server:
// why every call has an owner id of its own.
TEST(Nfs41Session, SameOwnerOnTwoConnectionsIsOneClient) {
    Vol1Server server;
    const ExchangeIdArgs owner = NewClientOwner("nsb-shared");
    Nfs41Driver first(server.Address()), second(server.Address());
    Connect(first);
    Connect(second);
    std::string error;
    ASSERT_TRUE(first.Establish(error, 8, 1, &owner)) << error;
    ASSERT_TRUE(second.Establish(error, 8, 1, &owner)) << error;
    EXPECT_EQ(second.clientId, first.clientId);
    EXPECT_NE(second.exchangeIdOutcome.results[0].u.exchangeId.flags & kExchgIdConfirmedR, 0u);
    EXPECT_NE(std::string(second.sessionId, kSessionIdSize),
              std::string(first.sessionId, kSessionIdSize));
    EXPECT_TRUE(first.DestroySession().Ok());
    EXPECT_EQ(first.DestroyClientId().status, kErrClientIdBusy)
        << "the other call's session keeps the client";
    EXPECT_TRUE(second.DestroySession().Ok());
    EXPECT_TRUE(second.DestroyClientId().Ok());
}

// After a lost connection (libnfs 4.0 does not reconnect a context opened
// with rpc_connect_port_async: every request in flight fails), the session
// and client can still be destroyed from a new connection, once a SEQUENCE
// on it has bound the connection to the session.
TEST(Nfs41Session, TeardownFromANewConnection) {
    Vol1Server server;
    SessionId session;
    uint64_t clientId = 0;
    uint32_t slots = 0;
    {
        Nfs41Driver lost(server.Address());
        Connect(lost);
        Establish(lost);
        memcpy(session, lost.sessionId, kSessionIdSize);
        clientId = lost.clientId;
        slots = lost.slots;
    }  // closed without teardown
    Nfs41Driver driver(server.Address());
    Connect(driver);
    Compound41 alone(1);
    alone.DestroySession(session);
    const Outcome unbound = driver.Call(alone);
    EXPECT_EQ(unbound.status, kErrConnNotBoundToSession)
        << "DESTROY_SESSION alone on a new connection";
    Compound41 forget(1);
    forget.DestroyClientId(clientId);
    EXPECT_EQ(driver.Call(forget).status, kErrClientIdBusy);

    Compound41 bound(1);
    bound.Sequence(SequenceOn(session, 0, 1, slots - 1));  // slot 0 was never used
    bound.DestroySession(session);
    const Outcome destroyed = driver.Call(bound);
    EXPECT_TRUE(destroyed.Ok()) << destroyed.status;
    const Outcome forgotten = driver.Call(forget);
    EXPECT_TRUE(forgotten.Ok()) << forgotten.status;
    std::cout << "from a new connection: DESTROY_SESSION alone " << unbound.status
              << ", SEQUENCE + DESTROY_SESSION " << destroyed.status << ", then DESTROY_CLIENTID "
              << forgotten.status << std::endl;
}

// 100,000 entries over NFSv4.0 (libnfs's own COMPOUND) and over a 4.1
// session, side by side on one server, 256 KiB pages.
struct Raw40 {
    bool done = false;
    bool ok = false;
    uint64_t cookie = 0;
    char verifier[NFS4_VERIFIER_SIZE] = {};
    bool eof = false;
    size_t names = 0;
};

void On40(rpc_context*, int status, void* data, void* p) {
    auto* r = static_cast<Raw40*>(p);
    r->done = true;
    if (status != RPC_STATUS_SUCCESS) return;
    const auto* res = static_cast<const COMPOUND4res*>(data);
    if (res->status != NFS4_OK || res->resarray.resarray_len != 2) return;
    nfs_resop4 op;
    memcpy(&op, reinterpret_cast<const char*>(res->resarray.resarray_val) + sizeof op, sizeof op);
    const READDIR4resok& ok = op.nfs_resop4_u.opreaddir.READDIR4res_u.resok4;
    memcpy(r->verifier, ok.cookieverf, NFS4_VERIFIER_SIZE);
    for (const entry4* at = ok.reply.entries; at != nullptr;) {
        entry4 e;
        memcpy(&e, at, sizeof e);
        ++r->names;
        r->cookie = e.cookie;
        at = e.nextentry;
    }
    r->eof = ok.reply.eof != 0;
    r->ok = true;
}

// The entries of `handle` through libnfs's own NFSv4.0 COMPOUND, on a
// connection of the driver's making.
size_t List40(const std::string& address, std::string handle, uint32_t pageBytes) {
    Raw40 r;  // outlives the connection: a cancelled call still reports to it
    Nfs41Driver link(address, 10000);
    std::string error;
    uint32_t mask[2] = {kListing[0], kListing[1]};
    const bool connected = link.Connect(error);
    while (connected && !r.eof) {
        nfs_argop4 ops[2];
        memset(ops, 0, sizeof ops);
        ops[0].argop = OP_PUTFH;
        ops[0].nfs_argop4_u.opputfh.object.nfs_fh4_len = static_cast<u_int>(handle.size());
        ops[0].nfs_argop4_u.opputfh.object.nfs_fh4_val = &handle[0];
        ops[1].argop = OP_READDIR;
        READDIR4args& args = ops[1].nfs_argop4_u.opreaddir;
        args.cookie = r.cookie;
        memcpy(args.cookieverf, r.verifier, NFS4_VERIFIER_SIZE);
        args.dircount = pageBytes;
        args.maxcount = pageBytes;
        args.attr_request.bitmap4_len = 2;
        args.attr_request.bitmap4_val = mask;
        COMPOUND4args compound{};
        compound.argarray.argarray_len = 2;
        compound.argarray.argarray_val = ops;
        r.done = false;
        r.ok = false;
        if (rpc_nfs4_compound_async(link.Context(), &On40, &compound, &r) != 0) break;
        link.Wait([&r] { return r.done; });
        if (!r.ok) break;
    }
    return r.names;
}

TEST(Nfs41Session, HundredThousandEntriesBesideNfsV40) {
    Options options;
    options.v4Only = true;  // minor versions 0, 1 and 2
    nfstest::NfsTestServer server(options);
    const std::string big = server.AddExport("/big");
    nfstest::MakeManyFiles(big, 100000);
    server.Start();
    Nfs41Driver driver(server.Address(), 10000);
    Connect(driver);
    Establish(driver);
    const std::string handle = Handle(driver, {"big"});
    ASSERT_FALSE(handle.empty());
    std::vector<double> v40, v41;
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        EXPECT_EQ(List40(server.Address(), handle, 256 * 1024), 100000u);
        v40.push_back(MsSince(start));
        start = Clock::now();
        const Listing listing = ReadAll(driver, handle, 256 * 1024, 1);
        v41.push_back(MsSince(start));
        EXPECT_EQ(listing.error, "");
        EXPECT_EQ(listing.names.size(), 100000u);
    }
    std::cout << "100,000 entries, 256 KiB pages, median of 3: NFSv4.0 " << Median(v40)
              << " ms, NFSv4.1 session " << Median(v41) << " ms (connect included for 4.0 only)"
              << std::endl;
    EXPECT_TRUE(driver.DestroySession().Ok());
    EXPECT_TRUE(driver.DestroyClientId().Ok());
}

}  // namespace
