// The built nasbrowse program against a private NFS server, in every mode.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/nasbrowse/NasbrowseRun.h"
#include "NfsTestServer.h"

namespace {

using namespace nbtest;

class NasbrowseTest : public nbtest::ServedSuite<NasbrowseTest> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol1 = server.AddExport("/vol/vol1");
        server.AddExport("/vol/vol2");
        server.AddExport("/vol/vol1_ORVclone");
        const std::string alice = server.AddExport("/home/alice");
        nfstest::MakeDir(vol1 + "/docs", 1650000000);
        nfstest::MakeFile(vol1 + "/docs/a.txt", 1234, 1600000000);
        nfstest::MakeFile(vol1 + "/docs/bad\xff name.txt", 7, 1600000001);
        nfstest::MakeDir(vol1 + "/docs/sub", 1600000002);
        nfstest::SetMtime(vol1 + "/docs", 1650000000);
        nfstest::MakeDir(vol1 + "/.snapshot");
        nfstest::MakeFile(alice + "/notes", 99, 1500000000);
    }
};

TEST_F(NasbrowseTest, ExportsListsEveryShareInServerOrderInJson) {
    const Outcome outcome = Nasbrowse({"exports", Address(), "--format", "json"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const Json document = ParseJson(outcome);
    EXPECT_EQ(outcome.out.substr(0, 10), "{\"server\":");
    EXPECT_EQ(document.at("server"), Address());
    EXPECT_EQ(document.at("shares"),
              Json({"/vol/vol1", "/vol/vol2", "/vol/vol1_ORVclone", "/home/alice"}));
    EXPECT_TRUE(document.at("error").is_null());
}

TEST_F(NasbrowseTest, BrowseViaXmlAndGuiGiveIdenticalItemsAtEveryLevel) {
    for (const std::string path : {"/", "/vol", "/vol/vol1", "/vol/vol1/docs", "/home"}) {
        const Outcome xml =
            Nasbrowse({"browse", Address(), path, "--format", "json", "--via", "xml"});
        const Outcome gui =
            Nasbrowse({"browse", Address(), path, "--format", "json", "--via", "gui"});
        ASSERT_EQ(xml.status, 0) << path << xml.err;
        ASSERT_EQ(gui.status, 0) << path << gui.err;
        const Json x = ParseJson(xml), g = ParseJson(gui);
        EXPECT_EQ(x.at("items"), g.at("items")) << path;
        EXPECT_EQ(x.at("path"), path);
        EXPECT_TRUE(x.at("error").is_null());
    }
    const Json top = ParseJson(Nasbrowse({"browse", Address(), "--format", "json"}));
    EXPECT_EQ(Names(top), (std::vector<std::string>{"home", "vol"}));
    // Clones are never offered.
    const Json vol =
        ParseJson(Nasbrowse({"browse", Address(), "/vol", "--format", "json", "--via", "gui"}));
    EXPECT_EQ(Names(vol), (std::vector<std::string>{"vol1", "vol2"}));
    EXPECT_EQ(vol.at("items")[0],
              Json::parse(R"({"name":"vol1","folder":true,"mtime":0,"size":0})"));
}

TEST_F(NasbrowseTest, LiveListingCarriesTimesSizesAndNonUtf8NamesAsValidJson) {
    for (const char* via : {"xml", "gui"}) {
        const Outcome outcome =
            Nasbrowse({"browse", Address(), "/vol/vol1/docs", "--format", "json", "--via", via});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const Json document = ParseJson(outcome);
        bool sawFile = false, sawBad = false, sawDir = false;
        for (const Json& item : document.at("items")) {
            const std::string name = item.at("name");
            if (name == "a.txt") {
                sawFile = true;
                EXPECT_EQ(item.dump(),
                          R"({"folder":false,"mtime":1600000000,"name":"a.txt","size":1234})");
            } else if (name == "sub") {
                sawDir = true;
                EXPECT_TRUE(item.at("folder").get<bool>());
                EXPECT_EQ(item.at("mtime"), 1600000002);
            } else {
                sawBad = true;
                EXPECT_EQ(name, "bad\xEF\xBF\xBD name.txt");
                EXPECT_EQ(item.at("name_hex"), "626164ff206e616d652e747874");
            }
        }
        EXPECT_TRUE(sawFile && sawBad && sawDir) << outcome.out;
    }
}

TEST_F(NasbrowseTest, RawPathSendsThePathAsGiven) {
    for (const char* via : {"xml", "gui"}) {
        for (const std::string root : {"/", "\\\\"}) {
            const Json document = ParseJson(Nasbrowse(
                {"browse", Address(), root, "--raw-path", "--format", "json", "--via", via}));
            EXPECT_EQ(document.at("items"), Json::parse(R"([{"name":")" + Address() +
                                                        R"(","folder":true,"mtime":0,"size":0}])"));
            EXPECT_EQ(document.at("path"), root);
        }
        const Json raw = ParseJson(Nasbrowse({"browse", Address(), "/" + Address() + "/vol/vol1",
                                              "--raw-path", "--format", "json", "--via", via}));
        const Json plain = ParseJson(
            Nasbrowse({"browse", Address(), "/vol/vol1", "--format", "json", "--via", via}));
        EXPECT_EQ(raw.at("items"), plain.at("items"));
        EXPECT_FALSE(plain.at("items").empty());
    }
}

TEST_F(NasbrowseTest, ClientRegistryNamesTheServerWhenNoneIsGiven) {
    const Json document =
        ParseJson(Nasbrowse({"browse", "", "/vol", "--format", "json", "--client-id", "7",
                             "--client-host", "7=" + Address()}));
    EXPECT_EQ(Names(document), (std::vector<std::string>{"vol1", "vol2"}));
}

TEST_F(NasbrowseTest, FailuresExitOneWithOneSentenceOnStderrAndTheErrorInJson) {
    const std::string refused = nfstest::NfsTestServer::RefusedAddress();
    const Outcome xml = Nasbrowse(
        {"browse", refused, "/vol", "--format", "json", "--via", "xml", "--timeout", "2"});
    EXPECT_EQ(xml.status, 1);
    const Json x = ParseJson(xml);
    EXPECT_TRUE(x.at("error").at("code").is_number());
    EXPECT_NE(x.at("error").at("message").get<std::string>().find(refused), std::string::npos);
    ExpectOneSentence(xml, "xml road");
    EXPECT_NE(xml.err.find(refused), std::string::npos) << xml.err;

    const Outcome gui =
        Nasbrowse({"browse", refused, "/vol", "--format", "json", "--timeout", "2"});
    EXPECT_EQ(gui.status, 1);
    const Json g = ParseJson(gui);
    EXPECT_TRUE(g.at("error").at("code").is_null());
    EXPECT_FALSE(g.at("error").at("message").get<std::string>().empty());
    ExpectOneSentence(gui, "gui road");

    const Outcome exports = Nasbrowse({"exports", refused, "--format", "json", "--timeout", "2"});
    EXPECT_EQ(exports.status, 1);
    EXPECT_TRUE(ParseJson(exports).at("error").at("code").is_number());
    ExpectOneSentence(exports, "exports");

    // A table says nothing on stdout: no "0 items", no "0 exports".
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"browse", refused, "/vol"}, {"exports", refused}}) {
        const Outcome table = Nasbrowse(args);
        EXPECT_EQ(table.status, 1);
        EXPECT_EQ(table.out, "") << args[0];
        ExpectOneSentence(table, args[0]);
    }
}

TEST_F(NasbrowseTest, HelpVersionAndUsageErrors) {
    const Outcome help = Nasbrowse({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("browse"), std::string::npos);
    const Outcome version = Nasbrowse({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("nasbrowse ", 0), 0u) << version.out;
    const std::vector<std::vector<std::string>> usage = {
        {},
        {"browse"},
        {"browse", Address(), "--via", "carrier-pigeon"},
        {"exports", Address(), "--format", "xml"},
        {"exports", Address() + ":/vol"},
        {"browse", Address(), "--client-host", "seven=x"},
        {"browse", Address(), "--timeout", "-1"},
        {"browse", Address(), "/vol/../etc"},
        {"browse", ""},
        {"browse", "", "/vol", "--client-host", "9=" + Address()},  // not the --client-id's host
        {"frobnicate"},
        {"request", ""},
        {"serve", "--listen", "0.0.0.0:0"},
        {"serve", "--allow", "127.0.0.1/33"},
        {"browse", Address(), "--log-file", "/proc/no/such/folder/log"},
    };
    for (const auto& args : usage) {
        const Outcome outcome = Nasbrowse(args);
        std::string shown;
        for (const std::string& a : args) shown += a + " ";
        EXPECT_EQ(outcome.status, 2) << shown << outcome.err;
        EXPECT_TRUE(outcome.out.empty()) << shown << outcome.out;
        EXPECT_FALSE(outcome.err.empty()) << shown;
    }
    const Outcome unknown = Nasbrowse({"brwose", Address()});
    EXPECT_NE(unknown.err.find("unknown command \"brwose\" (did you mean \"browse\"?)"),
              std::string::npos)
        << unknown.err;
    const Outcome badEnv =
        Nasbrowse({"browse", Address()}, WithEnv("NASBROWSE_NFS_TIMEOUT", "soon"));
    EXPECT_EQ(badEnv.status, 2);
    EXPECT_NE(badEnv.err.find("NASBROWSE_NFS_TIMEOUT=soon"), std::string::npos) << badEnv.err;
}

int ConnectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &sin.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(NasbrowseTest, ServeAnswersRequestsConcurrentlyAndSurvivesBadFrames) {
    Daemon daemon;
    ASSERT_FALSE(daemon.Endpoint().empty());
    ASSERT_NE(daemon.Endpoint().find("127.0.0.1:"), std::string::npos);

    const Json direct = ParseJson(
        Nasbrowse({"browse", Address(), "/vol/vol1/docs", "--format", "json", "--via", "gui"}));
    const Outcome one = Nasbrowse({"request", "--connect", daemon.Endpoint(), Address(),
                                   "/vol/vol1/docs", "--format", "json"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(ParseJson(one).at("items"), direct.at("items"));

    // A stalled connection, garbage and an oversized frame: each is refused
    // alone, while other requests are answered.
    const int stalled = ConnectTo(daemon.Port());
    const int garbage = ConnectTo(daemon.Port());
    ASSERT_GE(garbage, 0);
    const char junk[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(garbage, junk, sizeof junk - 1), static_cast<ssize_t>(sizeof junk - 1));
    char byte;
    EXPECT_LE(read(garbage, &byte, 1), 0);  // closed (or reset) without an answer
    close(garbage);
    const int huge = ConnectTo(daemon.Port());
    const unsigned char prefix[12] = {'N', 'S', 'B', 'Q', 4, 3, 2, 1, 0xff, 0xff, 0xff, 0x7f};
    ASSERT_EQ(write(huge, prefix, sizeof prefix), 12);
    EXPECT_LE(read(huge, &byte, 1), 0);
    close(huge);

    std::vector<std::future<Outcome>> many;
    for (int i = 0; i < 12; ++i)
        many.push_back(std::async(std::launch::async, [&, i] {
            return Nasbrowse({"request", "--connect", daemon.Endpoint(), Address(),
                              i % 2 ? "/vol" : "/vol/vol1/docs", "--format", "json"});
        }));
    for (int i = 0; i < 12; ++i) {
        const Outcome outcome = many[i].get();
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(ParseJson(outcome).at("items").size(), i % 2 ? 2u : 3u);
    }

    const Outcome root = Nasbrowse({"request", "--connect", daemon.Endpoint(), Address(), "/",
                                    "--raw-path", "--format", "json"});
    EXPECT_EQ(Names(ParseJson(root)), std::vector<std::string>{Address()});
    const Outcome failed =
        Nasbrowse({"request", "--connect", daemon.Endpoint(),
                   nfstest::NfsTestServer::RefusedAddress(), "/vol", "--format", "json"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(ParseJson(failed).at("error").at("code").is_null());

    close(stalled);
    EXPECT_EQ(daemon.Stop(), 0);
    EXPECT_NE(daemon.Log().find("Refused the request"), std::string::npos) << daemon.Log();

    // No daemon any more: one message and status 3.
    const Outcome none =
        Nasbrowse({"request", "--connect", daemon.Endpoint(), Address(), "--format", "json"});
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(Lines(none.err).size(), 1u) << none.err;
    EXPECT_NE(none.err.find("no daemon answered at " + daemon.Endpoint()), std::string::npos)
        << none.err;
}

// A file server that speaks only NFSv4 (no portmapper, no MOUNT), minor
// version 0 or only 4.1 and 4.2 (sessions), is browsed exactly as the same
// tree served over NFSv3: the same JSON, byte for byte, from `exports` and
// from `browse` on both roads, for six paths including a folder of 100,000
// entries and one of odd names.
enum class Served { V3, V4Only, V41Only };

std::vector<std::string> SessionOver(Served served) {
    nfstest::NfsTestServer::Options options;
    options.v4Only = served != Served::V3;
    if (served == Served::V41Only) options.minorVersions = {1, 2};
    options.ownFileSystems = true;
    nfstest::NfsTestServer server(options);
    // Added in byte order: the order NFSv4 discovery reports them in.
    server.AddExport("/home/alice");
    const std::string vol1 = server.AddExport("/vol/vol1");
    server.AddExport("/vol/vol2");
    nfstest::MakeDir(vol1 + "/docs");
    nfstest::MakeFile(vol1 + "/docs/a.txt", 1234, 1600000000);
    nfstest::MakeFile(vol1 + "/docs/bad\xff name.txt", 7, 1600000001);
    nfstest::MakeSymlink("a.txt", vol1 + "/docs/link");
    const char* odd[] = {
        "tab\there", "caf\xe9-latin1", "r\xc3\xa9sum\xc3\xa9 utf8", " leading space", "-dash",
        "quote\"s",  "back\\slash",    "\xf0\x9f\x93\x81 emoji",    "trailing space "};
    for (size_t i = 0; i < sizeof odd / sizeof odd[0]; ++i)
        nfstest::MakeFile(vol1 + "/docs/" + odd[i], i, 1600000100 + static_cast<time_t>(i));
    nfstest::SetMtime(vol1 + "/docs", 1650000000);
    nfstest::MakeFile(vol1 + "/top.txt", 5, 1500000000);
    nfstest::MakeDir(vol1 + "/big");
    nfstest::MakeManyFiles(vol1 + "/big", 100000);
    // Fixed times: the trees are built at different moments.
    for (int i = 0; i < 100000; ++i)
        nfstest::SetMtime(vol1 + "/big/f" + std::to_string(i), 1700000000 + i);
    nfstest::SetMtime(vol1 + "/big", 1500000002);
    server.Start();

    std::vector<std::string> outputs;
    auto run = [&](std::vector<std::string> args) {
        args.push_back("--format");
        args.push_back("json");
        const Outcome outcome = Nasbrowse(args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        outputs.push_back(outcome.out);
    };
    run({"exports", server.Address()});
    for (const char* path :
         {"/", "/vol", "/vol/vol1", "/vol/vol1/docs", "/home/alice", "/vol/vol1/big"})
        for (const char* via : {"xml", "gui"})
            run({"browse", server.Address(), path, "--via", via});
    return outputs;
}

TEST(NasbrowseNfsV4, AnswersAsTheSameTreeOverNfsV3) {
    const std::vector<std::string> v3 = SessionOver(Served::V3);
    ASSERT_EQ(v3.size(), 13u);
    EXPECT_NE(v3[0].find("\"/home/alice\",\"/vol/vol1\",\"/vol/vol2\""), std::string::npos)
        << v3[0];
    EXPECT_NE(v3[7].find("a.txt"), std::string::npos) << v3[7];
    EXPECT_NE(v3[7].find("\"name\":\"tab\\there\""), std::string::npos) << v3[7];
    EXPECT_NE(v3[11].find("\"name\":\"f99999\""), std::string::npos);
    EXPECT_GT(v3[12].size(), 100000u * 50) << "100,000 items";
    for (Served served : {Served::V4Only, Served::V41Only}) {
        const std::vector<std::string> v4 = SessionOver(served);
        const char* kind = served == Served::V4Only ? "NFSv4.0 only" : "NFSv4.1 and 4.2 only";
        ASSERT_EQ(v4.size(), v3.size()) << kind;
        for (size_t i = 0; i < v3.size(); ++i) {
            EXPECT_EQ(v4[i].size(), v3[i].size()) << kind << ", command " << i;
            EXPECT_TRUE(v4[i] == v3[i])
                << kind << ", command " << i << " differs: " << v4[i].substr(0, 400);
        }
    }
}

}  // namespace
