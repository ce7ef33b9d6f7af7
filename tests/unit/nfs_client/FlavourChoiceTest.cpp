// The choice of the security flavour against the scripted peers, in this
// process: over NFSv3 from the MOUNT reply's flavour list, over NFSv4 after
// NFS4ERR_WRONGSEC from SECINFO. A Kerberos choice shows in the failure of
// the context's set-up (what was chosen is named there); a refusal names
// what the export takes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "integration/faults/ScriptedNfs3Peer.h"
#include "integration/support/ScriptedNfs4Peer.h"
#include "nfs_client/worker/CallSecurity.h"  // ListingPageBytes
#include "nfs_client/worker/Protocol.h"
#include "unit/nfs_client/LoopbackSupport.h"

namespace {

using loopbacktest::Entries;
using loopbacktest::StartPeer;
using loopbacktest::StepCall;
using nfsclient::Flavour;

std::string OwnAddress() { return loopbacktest::OwnAddress(79); }

struct Case {
    Case(const char* w, Flavour f, std::vector<uint32_t> o, const char* n, const char* e)
        : what(w), wanted(f), offered(std::move(o)), serverName(n), failure(e) {}
    const char* what;
    Flavour wanted;
    std::vector<uint32_t> offered;  // the MOUNT reply's list
    const char* serverName;
    const char* failure;  // empty: the listing succeeds with AUTH_SYS
};

// The choice is seen through the context's set-up, which finds no ticket:
// the tests name a credential cache that does not exist.
const char* const kNoKerberos = "no Kerberos ticket for this user; run kinit, or give a keytab";
const char* const kNoCache = "FILE:/nonexistent/nasbrowse-test-ccache";

const Case kNfs3Cases[] = {
    Case("auto takes AUTH_SYS listed first", Flavour::Auto, {1, 390003}, "nas", ""),
    Case("auto takes AUTH_SYS from an empty list", Flavour::Auto, {}, "nas", ""),
    Case("auto takes the first Kerberos flavour listed", Flavour::Auto, {6, 390005, 1}, "nas",
         "Kerberos security context (krb5p) with nfs@nas: "),
    Case("an explicit flavour the export lists", Flavour::Krb5i, {1, 390004}, "nas",
         "Kerberos security context (krb5i) with nfs@nas: "),
    Case("an explicit flavour the export does not list", Flavour::Krb5, {1}, "nas",
         "mount of export /loop: the export does not take the security flavour krb5; it takes "
         "AUTH_SYS (the server's order): choose one of those, or auto"),
    Case("sys where only Kerberos is taken", Flavour::Sys, {390005, 390004}, "nas",
         "the export does not take the security flavour AUTH_SYS; it takes krb5p, krb5i"),
    Case("auto where nothing listed is spoken", Flavour::Auto, {6, 3}, "nas",
         "the export takes only security flavours this client does not speak (RPCSEC_GSS (no "
         "service named), AUTH_DH)"),
    Case("Kerberos without the server's name", Flavour::Auto, {390003}, "",
         "security flavour krb5: Kerberos (krb5) needs the file server's host name (its service "
         "is nfs@HOST), and the server was given as the address "),
    Case("an explicit Kerberos flavour without the server's name, before the mount", Flavour::Krb5p,
         {1}, "", "mount of export /loop: Kerberos (krb5p) needs the file server's host name"),
};

class Nfs3Flavour : public ::testing::TestWithParam<Case> {};

TEST_P(Nfs3Flavour, ChosenFromTheMountReply) {
    const Case& c = GetParam();
    const std::string address = OwnAddress();
    std::string why;
    const auto peer = StartPeer<faulttest::ScriptedNfs3Peer>(
        why, address, 1, 111, faulttest::ScriptedNfs3Peer::Directory::MissingAttributes, c.offered);
    if (!peer) GTEST_SKIP() << "no scripted peer on " << address << ":111 (" << why << ")";
    nfsclient::Call call = StepCall(address);
    call.profile.protocol = nfsclient::Protocol::Nfs3;
    call.profile.mountPort = 111;
    call.profile.nfsPort = 111;
    call.profile.hasExports = true;
    call.profile.exports = {"/loop"};
    call.security.flavour = c.wanted;
    call.security.serverName = c.serverName;
    call.security.credentialCache = kNoCache;
    Entries entries;
    nfsclient::EntryDelivery delivery(entries, 1000);
    const bool ok = nfsclient::ListDirectory(call, {"loop"}, "/loop", delivery);
    if (*c.failure == '\0') {
        EXPECT_TRUE(ok) << call.status.Text();
        EXPECT_EQ(entries.names.count("with.txt"), 1u);
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_NE(call.status.Text().find(c.failure), std::string::npos) << call.status.Text();
    EXPECT_EQ(call.status.Text().rfind("NFS server " + address + ", ", 0), 0u);
    EXPECT_TRUE(entries.names.empty());
    if (std::string(c.failure).find("security context") != std::string::npos) {
        EXPECT_NE(call.status.Text().find(kNoKerberos), std::string::npos);
    }
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* p = info.param.what; *p != '\0'; ++p)
        name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Lists, Nfs3Flavour, ::testing::ValuesIn(kNfs3Cases), CaseName);

// Directory pages: at most 1 MiB from a near server (or one whose round
// trip is unknown), 4 MiB from a far one; under krb5i/krb5p at most 128 KiB
// from a near server and 1 MiB from a far one. A smaller wish stands.
TEST(ListingPageBytes, LargerFromAFarServerSmallerWhenEachReplyIsCheckedWhole) {
    constexpr uint32_t KiB = 1024, MiB = 1024 * 1024;
    const struct {
        bool resultsProtected;
        uint32_t roundTripUs, wanted, expected;
    } rows[] = {{false, 50, 64 * MiB, MiB},           {false, 0, 64 * MiB, MiB},
                {false, 1999, 4 * MiB, MiB},          {false, 2000, 64 * MiB, 4 * MiB},
                {false, 10000, 256 * KiB, 256 * KiB}, {false, 50, 256 * KiB, 256 * KiB},
                {true, 50, MiB, 128 * KiB},           {true, 0, 256 * KiB, 128 * KiB},
                {true, 1999, MiB, 128 * KiB},         {true, 2000, 64 * MiB, MiB},
                {true, 10000, 256 * KiB, 256 * KiB},  {true, 50, 8 * KiB, 8 * KiB}};
    for (const auto& row : rows)
        EXPECT_EQ(nfsclient::ListingPageBytes(row.resultsProtected, row.roundTripUs, row.wanted),
                  row.expected)
            << row.resultsProtected << " " << row.roundTripUs << " " << row.wanted;
}

// NFSv4: "vol1" refuses AUTH_SYS; SECINFO (4.0) or SECINFO_NO_NAME (4.1)
// names what it takes.
using Peer = nfstest::ScriptedNfs4Peer;

std::string Sys() { return Peer::U32(1); }
// `tagged`: the OID's DER with its tag and length (ganesha sends the value alone).
std::string Gss(uint32_t service, bool kerberos = true, bool tagged = true) {
    std::string oid = kerberos ? std::string("\x06\x09\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 11)
                               : std::string("\x06\x06\x2b\x06\x01\x05\x05\x02", 8);
    if (!tagged) oid.erase(0, 2);
    return Peer::U32(6) + Peer::Opaque(oid) + Peer::U32(0) + Peer::U32(service);
}

struct Nfs4Case {
    Nfs4Case(const char* w, Flavour f, std::vector<std::string> s, const char* n, const char* e,
             bool a)
        : what(w), wanted(f), secinfo(std::move(s)), serverName(n), failure(e), asks(a) {}
    const char* what;
    Flavour wanted;
    std::vector<std::string> secinfo;
    const char* serverName;
    const char* failure;
    bool asks;  // SECINFO / SECINFO_NO_NAME is sent
};

const Nfs4Case kNfs4Cases[] = {
    Nfs4Case("auto takes the first Kerberos entry", Flavour::Auto, {Gss(3), Sys()}, "nas",
             "Kerberos security context (krb5p) with nfs@nas: ", true),
    Nfs4Case("auto passes over a mechanism other than Kerberos", Flavour::Auto,
             {Gss(2, false), Gss(2, true, false)}, "nas",
             "Kerberos security context (krb5i) with nfs@nas: ", true),
    Nfs4Case("sys where the export takes Kerberos only", Flavour::Sys, {Gss(1)}, "nas",
             "security of /vol/vol1: the export does not take the security flavour AUTH_SYS; it "
             "takes krb5 (the server's order)",
             true),
    Nfs4Case("AUTH_SYS listed yet refused", Flavour::Auto, {Sys()}, "nas",
             "the server answered NFS4ERR_WRONGSEC for AUTH_SYS, which its SECINFO names", true),
    Nfs4Case("Kerberos without the server's name", Flavour::Auto, {Gss(3)}, "",
             "Kerberos (krb5p) needs the file server's host name", true),
    Nfs4Case("an explicit Kerberos flavour from the start", Flavour::Krb5, {}, "nas",
             "Kerberos security context (krb5) with nfs@nas: ", false),
};

class Nfs4Flavour : public ::testing::TestWithParam<std::tuple<Nfs4Case, uint32_t>> {};

TEST_P(Nfs4Flavour, ChosenFromSecinfoAfterWrongSec) {
    const Nfs4Case& c = std::get<0>(GetParam());
    const uint32_t minor = std::get<1>(GetParam());
    Peer::Options options;
    options.address = OwnAddress();
    options.minors = {minor};
    options.wrongSecurity = {"vol1"};
    options.secinfo = c.secinfo;
    std::string why;
    const std::unique_ptr<Peer> peer = StartPeer<Peer>(why, options);
    if (!peer) GTEST_SKIP() << "no scripted peer on " << options.address << ":2049 (" << why << ")";
    nfsclient::Call call = StepCall(options.address);
    call.profile.protocol = minor == 0 ? nfsclient::Protocol::Nfs4 : nfsclient::Protocol::Nfs41;
    call.profile.nfs4Minor = minor;
    call.security.flavour = c.wanted;
    call.security.serverName = c.serverName;
    call.security.credentialCache = kNoCache;
    Entries entries;
    nfsclient::EntryDelivery delivery(entries, 1000);
    EXPECT_FALSE(nfsclient::ListDirectory(call, {"vol", "vol1"}, "/vol/vol1", delivery));
    EXPECT_NE(call.status.Text().find(c.failure), std::string::npos) << call.status.Text();
    EXPECT_TRUE(entries.names.empty());
    EXPECT_EQ(peer->Count(minor == 0 ? Peer::kSecinfo : Peer::kSecinfoNoName), c.asks ? 1u : 0u);
    if (minor == 0 && c.asks) {
        for (const Peer::Request& r : peer->Requests())
            for (const Peer::Op& op : r.ops)
                if (op.op == Peer::kSecinfo) {
                    EXPECT_EQ(op.data, "vol1");
                }
    }
    EXPECT_EQ(peer->LiveSessions(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Secinfo, Nfs4Flavour,
                         ::testing::Combine(::testing::ValuesIn(kNfs4Cases),
                                            ::testing::Values(0u, 1u)),
                         [](const ::testing::TestParamInfo<std::tuple<Nfs4Case, uint32_t>>& info) {
                             std::string name =
                                 "minor" + std::to_string(std::get<1>(info.param)) + "_";
                             for (const char* p = std::get<0>(info.param).what; *p != '\0'; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace
