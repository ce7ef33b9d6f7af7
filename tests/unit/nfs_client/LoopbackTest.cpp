// The worker's protocol work in this process, against the scripted NFSv4
// peer on a thread, on port 2049 of a loopback address of its own (a port
// any user may listen on): the probe, the table of protocols, the NFSv4.1
// session and its teardown, a retried NFS4ERR_DELAY and the listing loop
// page by page, the cookie guard, as an ordinary user, in well under a
// second.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <set>
#include <stdexcept>
#include <string>

#include "integration/faults/ScriptedNfs3Peer.h"
#include "integration/support/ScriptedNfs4Peer.h"
#include "nfs_client/worker/Protocol.h"
#include "unit/nfs_client/LoopbackSupport.h"

namespace {

using nfsclient::Protocol;
using Peer = nfstest::ScriptedNfs4Peer;

using loopbacktest::Entries;
using loopbacktest::OwnAddress;
using loopbacktest::StartPeer;
using loopbacktest::StepCall;

struct Case {
    Case(const char* w, std::vector<uint32_t> m, Protocol h, Protocol f, unsigned n, size_t e,
         bool d)
        : what(w),
          minors(std::move(m)),
          hint(h),
          found(f),
          minor(n),
          entriesPerPage(e),
          delayOnce(d) {}
    const char* what;
    std::vector<uint32_t> minors;  // what the peer speaks
    Protocol hint;                 // what the cache says (Unknown: probe)
    Protocol found;
    unsigned minor;         // the minor version a session was made at
    size_t entriesPerPage;  // 0: as many as fit
    bool delayOnce;         // the first READDIR is answered NFS4ERR_DELAY
};

const Case kCases[] = {
    Case("probe finds NFSv4.0", {0}, Protocol::Unknown, Protocol::Nfs4, 0, 0, false),
    Case("probe finds NFSv4.1 when 4.0 is refused", {1, 2}, Protocol::Unknown, Protocol::Nfs41, 1,
         0, false),
    Case("probe finds NFSv4.2 when 4.1 is refused", {2}, Protocol::Unknown, Protocol::Nfs41, 2, 0,
         false),
    Case("cached NFSv4.1 without a probe, pages of two", {1}, Protocol::Nfs41, Protocol::Nfs41, 1,
         2, false),
    Case("NFS4ERR_DELAY retried within a session", {1}, Protocol::Nfs41, Protocol::Nfs41, 1, 0,
         true),
    Case("NFS4ERR_DELAY retried on NFSv4.0", {0}, Protocol::Nfs4, Protocol::Nfs4, 0, 0, true),
};

class Loopback : public ::testing::TestWithParam<Case> {};

TEST_P(Loopback, ExportsAndListing) {
    const Case& c = GetParam();
    Peer::Options options;
    options.address = OwnAddress();
    options.minors = c.minors;
    options.entriesPerPage = c.entriesPerPage;
    std::string why;
    const std::unique_ptr<Peer> peer = StartPeer<Peer>(why, options);
    if (!peer) GTEST_SKIP() << "no scripted peer on " << options.address << ":2049 (" << why << ")";
    int delays = 0;
    if (c.delayOnce)
        peer->SetScript([&delays](const Peer::Request& r, Peer&) {
            if (!r.Has(Peer::kReadDir) || delays > 0) return Peer::Action{};
            ++delays;
            return Peer::Answer(
                r.minor == 0
                    ? Peer::Compound(Peer::kDelay, {Peer::StatusOnly(r.ops[0].op, Peer::kDelay)})
                    : Peer::SequenceFailed(Peer::kDelay));
        });

    nfsclient::Call exports = StepCall(options.address);
    exports.profile.protocol = c.hint;
    exports.profile.nfs4Minor = c.hint == Protocol::Nfs41 ? c.minor : 0;
    std::set<std::string> paths;
    ASSERT_TRUE(nfsclient::ReadExports(exports, [&](const char* path) {
        paths.insert(path);
        return true;
    })) << exports.status.Text();
    EXPECT_EQ(paths, (std::set<std::string>{"/vol/vol1", "/vol/vol2"}));
    EXPECT_EQ(exports.profile.protocol, c.found);
    EXPECT_EQ(exports.profile.nfs4Minor, c.minor);

    nfsclient::Call listing = StepCall(options.address);
    listing.profile = exports.profile;
    Entries entries;
    nfsclient::EntryDelivery delivery(entries, 1000);
    ASSERT_TRUE(nfsclient::ListDirectory(listing, {"vol", "vol1"}, "/vol/vol1", delivery))
        << listing.status.Text();
    EXPECT_EQ(entries.names, (std::set<std::string>{"docs", "f0", "f1", "f2", "f3", "f4"}));
    EXPECT_EQ(delays, c.delayOnce ? 1 : 0);
    EXPECT_EQ(peer->LiveSessions(), 0u) << "every session is torn down at the call's end";
    EXPECT_EQ(peer->LiveClients(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, Loopback, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* p = info.param.what; *p != '\0'; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// The cookie guard in the listing loop: a READDIR whose cookies come round
// again is refused before an entry comes twice, and the session still ends.
TEST(LoopbackListing, RepeatingCookiesAreRefused) {
    Peer::Options options;
    options.address = OwnAddress();
    options.minors = {1};
    options.entriesPerPage = 2;
    std::string why;
    const std::unique_ptr<Peer> peer = StartPeer<Peer>(why, options);
    if (!peer) GTEST_SKIP() << "no scripted peer on " << options.address << ":2049 (" << why << ")";
    peer->SetScript(Peer::FirstPageAgain);
    nfsclient::Call listing = StepCall(options.address);
    listing.profile.protocol = Protocol::Nfs41;
    Entries entries;
    nfsclient::EntryDelivery delivery(entries, 1000);
    EXPECT_FALSE(nfsclient::ListDirectory(listing, {"vol", "vol1"}, "/vol/vol1", delivery));
    EXPECT_NE(listing.status.Text().find(
                  "listing of /vol/vol1 (page 2): the server's directory cookies repeat"),
              std::string::npos)
        << listing.status.Text();
    EXPECT_EQ(entries.names, (std::set<std::string>{"docs", "f0"}));
    EXPECT_FALSE(listing.status.PathAnswered()) << "a misbehaving server is probed anew";
    EXPECT_EQ(peer->LiveClients(), 0u);
}

// A folder the server answers NFS4ERR_NOENT or NFS4ERR_NOTDIR for fails the
// call as the server's answer about the path: the library keeps what it
// knew of the server rather than probing it again.
TEST(LoopbackListing, AnAnswerAboutThePathKeepsTheServersProfile) {
    Peer::Options options;
    options.address = OwnAddress();
    options.minors = {0};
    std::string why;
    const std::unique_ptr<Peer> peer = StartPeer<Peer>(why, options);
    if (!peer) GTEST_SKIP() << "no scripted peer on " << options.address << ":2049 (" << why << ")";
    const struct {
        std::vector<std::string> components;
        const char* cause;
    } kPaths[] = {{{"vol", "missing"}, "no such directory (NFS4ERR_NOENT)"},
                  {{"vol", "vol1", "f0", "x"}, "NFS4ERR_NOTDIR"}};
    for (const auto& path : kPaths) {
        nfsclient::Call listing = StepCall(options.address);
        listing.profile.protocol = Protocol::Nfs4;
        Entries entries;
        nfsclient::EntryDelivery delivery(entries, 1000);
        EXPECT_FALSE(nfsclient::ListDirectory(listing, path.components, "/x", delivery));
        EXPECT_NE(listing.status.Text().find(path.cause), std::string::npos)
            << listing.status.Text();
        EXPECT_TRUE(listing.status.PathAnswered()) << listing.status.Text();
    }
}

// NFSv3 asks for the next page before it hands out the entries of the one
// that came, so that the server prepares it meanwhile: the first entry is
// handed out with the second page already asked for (and answered here).
// The ports are given, as the server cache gives them: no portmapper.
TEST(LoopbackListing, Nfs3AsksForTheNextPageBeforeHandingOutThisOne) {
    const std::string address = OwnAddress(80);
    constexpr int kPort = 2049;
    std::string why;
    const auto peer = StartPeer<faulttest::ScriptedNfs3Peer>(
        why, address, 1001, kPort, faulttest::ScriptedNfs3Peer::Directory::LoopingCookies,
        std::vector<uint32_t>{1}, kPort);
    if (!peer) GTEST_SKIP() << "no scripted peer on " << address << ":2049 (" << why << ")";
    struct Receiver : nfsclient::EntryReceiver {
        explicit Receiver(const faulttest::ScriptedNfs3Peer& p) : peer(p) {}
        bool OnEntry(const NFSItemInfo&) override {
            if (entries++ == 0) {
                for (int waited = 0; waited < 200 && peer.Pages() < 2; ++waited) usleep(10000);
                pagesAtFirstEntry = peer.Pages();
            }
            return entries < 10;
        }
        void OnNotice(const std::string&) override {}
        const faulttest::ScriptedNfs3Peer& peer;
        size_t entries = 0;
        unsigned long pagesAtFirstEntry = 0;
    } receiver(*peer);
    nfsclient::Call listing = StepCall(address);
    listing.profile.protocol = Protocol::Nfs3;
    listing.profile.mountPort = listing.profile.nfsPort = kPort;
    nfsclient::EntryDelivery delivery(receiver, 1000);
    nfsclient::ListDirectory(listing, {"loop"}, "/loop", delivery);
    EXPECT_EQ(receiver.pagesAtFirstEntry, 2u) << listing.status.Text();
    EXPECT_EQ(receiver.entries, 10u) << listing.status.Text();
}

// The probe's and the table's failure: nothing answers at all.
TEST(LoopbackProbe, NothingListeningFailsWithTheServerInTheText) {
    const std::string address = OwnAddress();
    nfsclient::Call call = StepCall(address);
    EXPECT_FALSE(nfsclient::ReadExports(call, [](const char*) { return true; }));
    EXPECT_EQ(call.status.Text().rfind("NFS server " + address + ", ", 0), 0u)
        << call.status.Text();
}

}  // namespace
