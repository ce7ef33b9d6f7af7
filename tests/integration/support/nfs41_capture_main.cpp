// nfs41_capture: records real NFSv4.1 replies of a private nfs-ganesha that
// serves minor versions 1 and 2 only, for the codec's unit tests. Prints a
// C++ header (tests/unit/nfs_client/CapturedReplies.h) on stdout; what it
// saw along the way goes to stderr. Must run inside scripts/netns-run.sh:
//
//   scripts/netns-run.sh build/tests/integration/nfs41_capture >
//   tests/unit/nfs_client/CapturedReplies.h
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "Nfs41Driver.h"
#include "NfsTestServer.h"

namespace {

using nfsclient::v41::Compound41;
using nfstest::Nfs41Driver;

// TYPE, FSID, FILEID, MOUNTED_ON_FILEID; with RDATTR_ERROR for entries.
const std::vector<uint32_t> kDiscovery = {0x00100102, 0x00800000};
const std::vector<uint32_t> kDiscoveryEntries = {0x00100902, 0x00800000};
// TYPE, SIZE, RDATTR_ERROR, FILEID, MODE, TIME_MODIFY.
const std::vector<uint32_t> kListing = {0x00100812, 0x00200002};

struct Capture {
    std::string name;
    std::string comment;
    std::string raw;
};
std::vector<Capture> g_captures;

void Keep(const std::string& name, const std::string& comment, const Nfs41Driver::Outcome& o) {
    if (o.rpcStatus != RPC_STATUS_SUCCESS) {
        fprintf(stderr, "%s: RPC failed (%d): %s\n", name.c_str(), o.rpcStatus, o.error.c_str());
        throw std::runtime_error("capture " + name + " failed");
    }
    fprintf(stderr, "%-22s status %d, %zu results, %zu bytes, %.3f ms\n", name.c_str(), o.status,
            o.results.size(), o.raw.size(), o.ms);
    g_captures.push_back({name, comment, o.raw});
}

void Print() {
    char date[32];
    const time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d", gmtime(&now));
    printf(
        "// Replies of nfs-ganesha 4.3 serving NFSv4 minor versions 1 and 2 only, recorded\n"
        "// by tests/integration/support/nfs41_capture_main.cpp on %s. Each is the\n"
        "// COMPOUND4res of one RPC reply (after the RPC reply header), in hex.\n"
        "// Regenerate: scripts/netns-run.sh build/tests/integration/nfs41_capture\n"
        "#pragma once\n\nnamespace captured {\n",
        date);
    for (const Capture& c : g_captures) {
        const std::string hex = nfstest::Hex(c.raw);
        printf("\n// %s\nconstexpr const char %s[] =", c.comment.c_str(), c.name.c_str());
        for (size_t i = 0; i < hex.size(); i += 64)
            printf("\n    \"%s\"", hex.substr(i, 64).c_str());
        printf(";\n");
    }
    printf("\n}  // namespace captured\n");
}

}  // namespace

int main() {
    try {
        nfstest::NfsTestServer::Options options;
        options.v4Only = true;
        options.minorVersions = {1, 2};
        nfstest::NfsTestServer server(options);
        const std::string vol1 = server.AddExport("/vol/vol1");
        server.AddExport("/home");
        nfstest::MakeDir(vol1 + "/docs", 1700000000);
        nfstest::MakeFile(vol1 + "/a.txt", 1234, 1600000000);
        nfstest::MakeFile(vol1 + "/caf\xe9.txt", 7, 1500000000);
        server.Start();

        Nfs41Driver driver(server.Address());
        std::string error;
        if (!driver.Connect(error)) throw std::runtime_error(error);

        {
            Compound41 probe(0);
            probe.PutRootFh();
            Keep("kMinorVersion0", "PUTROOTFH with minor version 0: refused", driver.Call(probe));
            Compound41 probe3(3);
            probe3.PutRootFh();
            Keep("kMinorVersion3", "PUTROOTFH with minor version 3: refused", driver.Call(probe3));
            Compound41 outside(1);
            outside.PutRootFh();
            Keep("kOpNotInSession", "PUTROOTFH alone, no SEQUENCE", driver.Call(outside));
            Compound41 notOnly(1);
            notOnly.ExchangeId(nfsclient::v41::NewClientOwner("nsb-capture"));
            notOnly.PutRootFh();
            Keep("kNotOnlyOp", "EXCHANGE_ID + PUTROOTFH", driver.Call(notOnly));
        }
        {
            // A client at minor version 2, set up and torn down at once.
            Nfs41Driver v42(server.Address());
            if (!v42.Connect(error) || !v42.Establish(error, 8, 2)) throw std::runtime_error(error);
            Keep("kExchangeIdMinor2", "EXCHANGE_ID, minor version 2", v42.exchangeIdOutcome);
            v42.DestroySession();
            v42.DestroyClientId();
        }

        if (!driver.Establish(error, 8, 1)) throw std::runtime_error(error);
        Keep("kExchangeId", "EXCHANGE_ID (SP4_NONE, EXCHGID4_FLAG_USE_NON_PNFS)",
             driver.exchangeIdOutcome);
        Keep("kCreateSession", "CREATE_SESSION asking for 8 slots, 64 operations, 1 MiB each way",
             driver.createSessionOutcome);

        Compound41 reclaim = driver.Begin(0);
        reclaim.ReclaimComplete(false);
        Keep("kReclaimComplete", "SEQUENCE + RECLAIM_COMPLETE(rca_one_fs = false)",
             driver.Call(reclaim));
        Compound41 again = driver.Begin(0);
        again.ReclaimComplete(false);
        Keep("kCompleteAlready", "SEQUENCE + RECLAIM_COMPLETE a second time", driver.Call(again));

        Compound41 root = driver.Begin(1);
        root.PutRootFh();
        root.GetFh();
        root.GetAttr(kDiscovery);
        Keep("kRootGetFhGetAttr",
             "SEQUENCE + PUTROOTFH + GETFH + GETATTR(TYPE, FSID, FILEID, MOUNTED_ON_FILEID)",
             driver.Call(root));

        Compound41 pseudo = driver.Begin(2);
        const char zeroVerifier[NFS4_VERIFIER_SIZE] = {};
        pseudo.PutRootFh();
        pseudo.ReadDir(0, zeroVerifier, 8192, 8192, kDiscoveryEntries);
        Keep("kReadDirPseudoRoot",
             "SEQUENCE + PUTROOTFH + READDIR(discovery attributes) of the pseudo root",
             driver.Call(pseudo));

        Compound41 lookup = driver.Begin(0);
        lookup.PutRootFh();
        lookup.Lookup("vol", 3);
        lookup.Lookup("vol1", 4);
        lookup.GetFh();
        const Nfs41Driver::Outcome found = driver.Call(lookup);
        Keep("kLookupGetFh", "SEQUENCE + PUTROOTFH + LOOKUP vol + LOOKUP vol1 + GETFH", found);
        if (!found.Ok()) throw std::runtime_error("lookup of /vol/vol1 failed");
        // The handle: decode the reply again (the copied results' pointers are stale).
        const nfstest::DecodedReply lookedUp(found.raw);
        if (!lookedUp.Ok()) throw std::runtime_error(lookedUp.Res().malformed);
        const nfs_fh4& fh = lookedUp.Op40(3).nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
        const std::string handle(fh.nfs_fh4_val, fh.nfs_fh4_len);

        Compound41 list = driver.Begin(1);
        list.PutFh(handle.data(), static_cast<uint32_t>(handle.size()));
        list.ReadDir(0, zeroVerifier, 65536, 65536, kListing);
        Keep("kPutFhReadDir", "SEQUENCE + PUTFH(/vol/vol1) + READDIR(listing attributes)",
             driver.Call(list));

        Compound41 missing = driver.Begin(2);
        missing.PutRootFh();
        missing.Lookup("missing", 7);
        missing.GetFh();
        Keep("kLookupNoEnt",
             "SEQUENCE + PUTROOTFH + LOOKUP missing + GETFH: NFS4ERR_NOENT at the LOOKUP",
             driver.Call(missing));

        nfsclient::v41::SequenceArgs bogus{};
        memset(bogus.sessionId, 0x5a, sizeof bogus.sessionId);
        bogus.sequenceId = 1;
        Compound41 wrongSession(1);
        wrongSession.Sequence(bogus);
        wrongSession.PutRootFh();
        Keep("kBadSession", "SEQUENCE with a session id the server never gave + PUTROOTFH",
             driver.Call(wrongSession));

        Compound41 misordered(1);  // the sequence id skips two
        misordered.Sequence(
            nfstest::SequenceOn(driver.sessionId, 4, driver.slotSequence[4] + 3, driver.slots - 1));
        misordered.PutRootFh();
        Keep("kSeqMisordered", "SEQUENCE on slot 4 with sequence id 3 (1 expected) + PUTROOTFH",
             driver.Call(misordered));

        Compound41 badSlot(1);
        badSlot.Sequence(nfstest::SequenceOn(driver.sessionId, driver.slots, 1, driver.slots - 1));
        badSlot.PutRootFh();
        Keep("kBadSlot", "SEQUENCE on the slot just past those granted + PUTROOTFH",
             driver.Call(badSlot));

        Keep("kClientIdBusy", "DESTROY_CLIENTID while the client still has its session",
             driver.DestroyClientId());
        Keep("kDestroySession", "DESTROY_SESSION (alone)", driver.DestroySession());
        Keep("kDestroyClientId", "DESTROY_CLIENTID (alone), after DESTROY_SESSION",
             driver.DestroyClientId());
        Print();
        return 0;
    } catch (const std::exception& e) {
        fprintf(stderr, "nfs41_capture: %s\n", e.what());
        return 1;
    }
}
