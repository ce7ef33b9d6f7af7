// Kerberos exports (krb5, krb5i, krb5p) against the private test server with
// a realm of its own: the fixture itself, then the browse through the loaded
// plug-in (both roads) and through nasbrowse over NFSv3, an NFSv4-only and an
// NFSv4.1-only server, and the Kerberos failures as nasbrowse words them.
//
// The browse tests need the library's security setting (NFSClientSetSecurity);
// a library without it skips them with one sentence.
#include <dlfcn.h>

#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "KerberosRealm.h"
#include "NfsTestServer.h"
#include "integration/nasbrowse/NasbrowseRun.h"
#include "integration/plugin/PluginTestSupport.h"

namespace {

using nbtest::Nasbrowse;
using nbtest::Outcome;
using testing::HasSubstr;

enum class Kind { V3, V4Only, V41Only };
const char* const kFlavours[] = {"krb5", "krb5i", "krb5p"};
constexpr size_t kBigCount = 100000;
constexpr int kTimeoutSeconds = 5;

typedef int (*SetSecurity)(const char*);

// The plug-in as the host loads it, once; its NFS client library is the
// one whose settings the in-process browses use.
const plugin_test::Plugin& LoadedPlugin() {
    static const plugin_test::Plugin plugin;
    return plugin;
}

SetSecurity SecuritySetting() {
    return reinterpret_cast<SetSecurity>(dlsym(LoadedPlugin().handle, "NFSClientSetSecurity"));
}

#define SKIP_WITHOUT_KERBEROS_CLIENT()                                \
    if (SecuritySetting() == nullptr)                                 \
    GTEST_SKIP() << "The NFS client library has no security setting " \
                    "(NFSClientSetSecurity), so it cannot browse a Kerberos export yet."

// One server at a time, shared by the tests of one kind: /vol/all (every
// flavour, sys included) and /vol/<flavour> (that flavour only), each with
// the same tree/, and /vol/krb5p/big with 100,000 files; /vol/sys (AUTH_SYS only).
struct Served {
    static nfstest::NfsTestServer& For(Kind kind) {
        if (!server || current != kind) {
            server.reset();
            current = kind;
            nfstest::NfsTestServer::Options options;
            options.kerberos = true;
            options.v4Only = kind != Kind::V3;
            if (kind == Kind::V41Only) options.minorVersions = {1, 2};
            auto made = std::make_unique<nfstest::NfsTestServer>(options);
            Fill(made->AddExport("/vol/all", {"sys, krb5, krb5i, krb5p"}));
            Fill(made->AddExport("/vol/sys"));
            for (const char* flavour : kFlavours)
                Fill(made->AddExport(std::string("/vol/") + flavour, {flavour}),
                     std::string(flavour) == "krb5p");
            const auto start = std::chrono::steady_clock::now();
            made->Start();
            startSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            server = std::move(made);
        }
        return *server;
    }
    static void Fill(const std::string& root, bool big = false) {
        using namespace nfstest;
        MakeDir(root + "/tree");
        MakeDir(root + "/tree/sub", 1500000000);
        MakeFile(root + "/tree/sub/inner.txt", 7, 1400000000);
        MakeFile(root + "/tree/a.txt", 1234, 1600000000);
        MakeFile(root + "/tree/large.bin", 5ull << 32, 1700000000);
        MakeFile(root + "/tree/caf\xc3\xa9.odt", 99, 1650000000);
        SetMtime(root + "/tree", 1710000000);
        if (big) {
            MakeDir(root + "/big");
            MakeManyFiles(root + "/big", kBigCount);
        }
    }
    static inline std::unique_ptr<nfstest::NfsTestServer> server;
    static inline Kind current = Kind::V3;
    static inline double startSeconds = 0;
};

std::string KindName(Kind kind) {
    return kind == Kind::V3 ? "V3" : kind == Kind::V4Only ? "V4Only" : "V41Only";
}

Outcome BrowseJson(const std::string& server, const std::string& path,
                   std::vector<std::string> extra = {}, int timeoutSeconds = kTimeoutSeconds) {
    std::vector<std::string> args{
        "browse", server, path, "--format", "json", "--timeout", std::to_string(timeoutSeconds)};
    args.insert(args.end(), extra.begin(), extra.end());
    return Nasbrowse(args);
}

// The fixture alone: the realm answers, ganesha took its keytab, the
// failure states can be reached, and AUTH_SYS still browses.
TEST(KerberosFixture, RealmServerAndFailureStates) {
    nfstest::NfsTestServer& server = Served::For(Kind::V3);
    nfstest::KerberosRealm& realm = server.Kerberos();
    std::cout << "Kerberos test server (KDC, principals, ganesha) started in "
              << Served::startSeconds << " s\n";
    std::string said;
    EXPECT_THAT(server.Log(), HasSubstr("Successfully imported principal nfs into GSSAPI"));
    EXPECT_EQ(realm.Run({"klist", "-s"}), 0) << "the user has no ticket";
    EXPECT_EQ(realm.Run({"kvno", "nfs/" + server.HostName()}, &said), 0) << said << realm.KdcLog();
    EXPECT_NE(realm.Run({"kvno", "nfs/" + server.UnknownServiceHost()}, &said), 0);
    EXPECT_THAT(said, HasSubstr("not found in Kerberos database"));
    EXPECT_EQ(
        realm.Run({"kinit", "-k", "-t", realm.ClientKeytab(), realm.ClientPrincipal()}, &said), 0)
        << said;
    realm.Kinit();  // the daemon's kinit took the cache

    const Outcome sys = BrowseJson(server.HostName(), "/vol/sys/tree");
    EXPECT_EQ(sys.status, 0) << sys.err;
    EXPECT_EQ(nbtest::Names(nbtest::ParseJson(sys)).size(), 4u) << sys.out;
    const plugin_test::Plugin& plugin = LoadedPlugin();
    const plugin_test::Answer viaGui =
        plugin_test::BrowseNetwork(plugin, server.HostName(), "/nas.test/vol/sys/tree");
    EXPECT_TRUE(viaGui.messages.empty()) << viaGui.messages.front();
    EXPECT_EQ(viaGui.results.size(), 4u);

    realm.StopKdc();
    EXPECT_NE(realm.Run({"kvno", "nfs/other.test"}, &said), 0);
    EXPECT_THAT(said, HasSubstr("Cannot contact any KDC"));
    realm.StartKdc(3600);
    EXPECT_NE(realm.Run({"kvno", "nfs/other.test"}, &said), 0);
    EXPECT_THAT(said, HasSubstr("Clock skew too great"));
    realm.StopKdc();
    realm.StartKdc();
    realm.KinitExpired();
    EXPECT_NE(realm.Run({"kvno", "nfs/" + server.HostName()}, &said), 0);
    EXPECT_THAT(said, HasSubstr("expired"));
    realm.Kdestroy();
    EXPECT_NE(realm.Run({"klist", "-s"}), 0);
    realm.Kinit();
}

struct Case {
    Kind kind;
    std::string flavour;
};

void PrintTo(Kind kind, std::ostream* out) { *out << KindName(kind); }
void PrintTo(const Case& c, std::ostream* out) { *out << KindName(c.kind) << " " << c.flavour; }

std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return KindName(info.param.kind) + "_" + info.param.flavour;
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (Kind kind : {Kind::V3, Kind::V4Only, Kind::V41Only})
        for (const char* flavour : kFlavours) cases.push_back({kind, flavour});
    return cases;
}

class KerberosBrowse : public testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        SKIP_WITHOUT_KERBEROS_CLIENT();
        server = &Served::For(GetParam().kind);
        server->Kerberos().Kinit();
    }
    void TearDown() override {
        if (SecuritySetting() != nullptr) SecuritySetting()("auto");
    }
    nfstest::NfsTestServer* server = nullptr;
};

// Each flavour answers what AUTH_SYS answers, byte for byte: on the export
// that takes every flavour (chosen with --sec) and on the export of that
// flavour alone (found by auto); through the plug-in's two roads too.
TEST_P(KerberosBrowse, AnswersWhatAuthSysAnswers) {
    const std::string host = server->HostName();
    const std::string flavour = GetParam().flavour;
    const Outcome sys = BrowseJson(host, "/vol/all/tree", {"--sec", "sys"});
    ASSERT_EQ(sys.status, 0) << sys.err;
    const Outcome chosen = BrowseJson(host, "/vol/all/tree", {"--sec", flavour});
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.out, sys.out);
    const Outcome found = BrowseJson(host, "/vol/" + flavour + "/tree");
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(found.out,
              std::regex_replace(sys.out, std::regex("/vol/all/"), "/vol/" + flavour + "/"));

    const plugin_test::Plugin& plugin = LoadedPlugin();
    ASSERT_EQ(SecuritySetting()("sys"), 0);
    const plugin_test::Answer gui =
        plugin_test::BrowseNetwork(plugin, host, "/" + host + "/vol/all/tree");
    ASSERT_TRUE(gui.messages.empty()) << gui.messages.front();
    ASSERT_EQ(SecuritySetting()(flavour.c_str()), 0);
    for (const std::string& path :
         {"/" + host + "/vol/all/tree", "/" + host + "/vol/" + flavour + "/tree"}) {
        const plugin_test::Answer viaGui = plugin_test::BrowseNetwork(plugin, host, path);
        const plugin_test::Answer viaXml = plugin_test::BrowseXml(plugin, host, path);
        EXPECT_TRUE(viaGui.messages.empty()) << path << ": " << viaGui.messages.front();
        EXPECT_TRUE(viaXml.messages.empty()) << path << ": " << viaXml.messages.front();
        EXPECT_EQ(viaGui.results, gui.results) << path;
        EXPECT_EQ(viaXml.results, gui.results) << path;
    }
}

TEST_P(KerberosBrowse, HundredThousandEntriesUnderKrb5pArriveOnce) {
    if (GetParam().flavour != "krb5p") GTEST_SKIP() << "Measured under krb5p only.";
    const Outcome big = BrowseJson(server->HostName(), "/vol/krb5p/big", {"-v"}, 30);
    ASSERT_EQ(big.status, 0) << big.err;
    const std::vector<std::string> names = nbtest::Names(nbtest::ParseJson(big));
    EXPECT_EQ(names.size(), kBigCount);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), kBigCount);
    // Past its first MiB the listing is checked with OpenSSL, not GSSAPI:
    // the test realm's keys are aes256-cts-hmac-sha1-96.
    EXPECT_NE(big.err.find("the server's replies are checked with OpenSSL from here on "
                           "(aes256-cts-hmac-sha1-96)"),
              std::string::npos)
        << big.err.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(, KerberosBrowse, testing::ValuesIn(AllCases()), CaseName);

// Each Kerberos failure: exit status 1, its sentence on stderr, within the
// timeout and 2 s. `prepare` puts the realm in the state; the realm is made
// whole again after each.
struct Failure {
    const char* name;
    std::function<void(nfstest::NfsTestServer&)> prepare;
    std::function<std::vector<std::string>(nfstest::NfsTestServer&)> args;
    const char* sentence;  // a regular expression, case-insensitive
};

std::vector<std::string> Browse(const std::string& host, const std::string& path,
                                std::vector<std::string> extra = {"--sec", "krb5"}) {
    std::vector<std::string> args{"browse", host, path, "--timeout",
                                  std::to_string(kTimeoutSeconds)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

class KerberosOnKind : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override { SKIP_WITHOUT_KERBEROS_CLIENT(); }
};

TEST_P(KerberosOnKind, EachFailureIsOneWordedSentenceWithinTheTimeout) {
    auto none = [](nfstest::NfsTestServer&) {};
    auto name = [](nfstest::NfsTestServer& s) { return Browse(s.HostName(), "/vol/krb5/tree"); };
    const Failure failures[] = {
        {"no credentials", [](nfstest::NfsTestServer& s) { s.Kerberos().Kdestroy(); }, name,
         "no Kerberos ticket for this user; run kinit, or give a keytab"},
        {"expired ticket", [](nfstest::NfsTestServer& s) { s.Kerberos().KinitExpired(); }, name,
         "the Kerberos ticket has expired"},
        {"clock skew",
         [](nfstest::NfsTestServer& s) {
             s.Kerberos().StopKdc();
             s.Kerberos().StartKdc(3600);
         },
         name, "clock and the KDC.s"},
        {"unknown service principal", none,
         [](nfstest::NfsTestServer& s) { return Browse(s.UnknownServiceHost(), "/vol/krb5/tree"); },
         "the KDC has no principal nfs/unknown\\.test"},
        {"KDC unreachable", [](nfstest::NfsTestServer& s) { s.Kerberos().StopKdc(); }, name,
         "the KDC cannot be reached"},
        {"flavour refused by the export", none,
         [](nfstest::NfsTestServer& s) { return Browse(s.HostName(), "/vol/sys/tree"); },
         "does not take the security flavour krb5; it takes AUTH_SYS"},
        {"address instead of name", none,
         [](nfstest::NfsTestServer& s) { return Browse(s.Address(), "/vol/krb5/tree"); },
         "Kerberos.* needs the file server's host name"},
    };
    nfstest::NfsTestServer& server = Served::For(GetParam());
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        server.Kerberos().Kinit();
        f.prepare(server);
        const Outcome outcome = Nasbrowse(f.args(server));
        EXPECT_EQ(outcome.status, 1) << outcome.out;
        EXPECT_TRUE(std::regex_search(outcome.err, std::regex(f.sentence, std::regex::icase)))
            << outcome.err;
        nbtest::ExpectOneSentence(outcome, f.name);
        EXPECT_LT(outcome.seconds, kTimeoutSeconds + 2.0);
        server.Kerberos().StopKdc();
        server.Kerberos().StartKdc();
    }
    server.Kerberos().Kinit();
}

// The KDC is needed only for a missing ticket; a keytab replaces the cache.
TEST_P(KerberosOnKind, CachedServiceTicketWithoutKdcAndKeytabWithoutCache) {
    nfstest::NfsTestServer& server = Served::For(GetParam());
    nfstest::KerberosRealm& realm = server.Kerberos();
    realm.Kinit();
    realm.GetServiceTicket(server.HostName());
    realm.StopKdc();
    const Outcome cached = BrowseJson(server.HostName(), "/vol/krb5/tree", {"--sec", "krb5"});
    realm.StartKdc();
    EXPECT_EQ(cached.status, 0) << cached.err;
    EXPECT_EQ(nbtest::Names(nbtest::ParseJson(cached)).size(), 4u);

    realm.Kdestroy();
    const Outcome keytab = BrowseJson(server.HostName(), "/vol/krb5p/tree",
                                      {"--sec", "krb5p", "--keytab", realm.ClientKeytab(),
                                       "--principal", realm.ClientPrincipal()});
    realm.Kinit();
    EXPECT_EQ(keytab.status, 0) << keytab.err;
    EXPECT_EQ(nbtest::Names(nbtest::ParseJson(keytab)).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(, KerberosOnKind, testing::Values(Kind::V3, Kind::V41Only),
                         [](const testing::TestParamInfo<Kind>& info) {
                             return KindName(info.param);
                         });

}  // namespace
