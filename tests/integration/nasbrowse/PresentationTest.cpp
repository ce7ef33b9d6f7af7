// How nasbrowse shows a listing: streamed item by item in flat memory, the
// table's header, sizes, times and quoted names, sorting, the XML document,
// the ways of writing a path, and help texts that match the man page and
// the README.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/nasbrowse/NasbrowseRun.h"
#include "NfsTestServer.h"
#include "integration/support/ProcessUsage.h"  // NSB_SANITIZED

namespace {

using namespace nbtest;

constexpr size_t kBig = 100000;

class NasbrowsePresentation : public nbtest::ServedSuite<NasbrowsePresentation> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol1 = server.AddExport("/vol/vol1");
        server.AddExport("/vol/vol2");
        nfstest::MakeDir(vol1 + "/docs");
        nfstest::MakeFile(vol1 + "/docs/b.txt", 3000, 1600000000);
        nfstest::MakeFile(vol1 + "/docs/ lead", 1, 1500000000);
        nfstest::MakeFile(vol1 + "/docs/trail ", 2, 1700000000);
        nfstest::MakeFile(vol1 + "/docs/tab\there", 5 * 1048576, 1650000000);
        nfstest::MakeDir(vol1 + "/docs/sub", 1400000000);
        nfstest::MakeFile(vol1 + "/docs/a.txt", 10, 1550000000);
        nfstest::MakeDir(vol1 + "/big");
        nfstest::MakeManyFiles(vol1 + "/big", kBig);
        nfstest::MakeDir(vol1 + "/small");
        nfstest::MakeManyFiles(vol1 + "/small", 2);
    }
};

TEST_F(NasbrowsePresentation, TheGuiRoadStreamsEveryFormatInFlatMemory) {
    const std::string file = "/tmp/nasbrowse-big-" + std::to_string(getpid());
    RunOptions toFile;
    toFile.stdoutPath = file;
    for (const char* format : {"table", "json", "jsonl"}) {
        const Outcome big =
            Nasbrowse({"browse", Address(), "/vol/vol1/big", "--format", format}, toFile);
        ASSERT_EQ(big.status, 0) << format << big.err;
        const std::string text = Slurp(file);
        const Outcome small =
            Nasbrowse({"browse", Address(), "/vol/vol1/small", "--format", format});
        ASSERT_EQ(small.status, 0) << format << small.err;
        const std::vector<std::string> lines = Lines(text);
        if (std::string(format) == "table") {
            EXPECT_EQ(lines.size(), kBig + 2);  // header, items, summary
        } else if (std::string(format) == "json") {
            EXPECT_EQ(Json::parse(text).at("items").size(), kBig);
        } else {
            ASSERT_EQ(lines.size(), kBig + 1);
            EXPECT_EQ(Json::parse(lines.back()).at("items"), kBig);
        }
#ifndef NSB_SANITIZED
        // Holding 100,000 items would take well over 8 MiB.
        EXPECT_LT(big.maxRssKiB - small.maxRssKiB, 8 * 1024) << format;
#endif
    }
    unlink(file.c_str());

    // The first items are out while the listing is still going on.
    const std::string stateHome = StateHome();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        const std::string program = Program();
        execl(program.c_str(), program.c_str(), "browse", Address().c_str(), "/vol/vol1/big",
              "--format", "jsonl", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    bool runningAtFirstItem = false;
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        if (text.empty()) runningAtFirstItem = waitpid(child, nullptr, WNOHANG) == 0;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(runningAtFirstItem);
    EXPECT_EQ(Lines(text).size(), kBig + 1);
}

TEST_F(NasbrowsePresentation, TheXmlDocumentIsTheSameOnBothRoads) {
    for (const char* path : {"/", "/vol", "/vol/vol1/docs"}) {
        const Outcome xml =
            Nasbrowse({"browse", Address(), path, "--format", "xml", "--via", "xml"});
        const Outcome gui =
            Nasbrowse({"browse", Address(), path, "--format", "xml", "--via", "gui"});
        ASSERT_EQ(xml.status, 0) << xml.err;
        EXPECT_EQ(xml.out, gui.out) << path;
        EXPECT_NE(xml.out.find("<MachineBrowseResp path=\"/" + Address() +
                               (std::string(path) == "/" ? "" : path)),
                  std::string::npos)
            << xml.out;
    }
}

TEST_F(NasbrowsePresentation, TheTableHasAHeaderReadableSizesZonedTimesAndQuotedNames) {
    const Outcome plain = Nasbrowse({"browse", Address(), "/vol/vol1/docs", "--utc"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::vector<std::string> lines = Lines(plain.out);
    ASSERT_EQ(lines.size(), 8u) << plain.out;
    EXPECT_EQ(lines[0], "TYPE           SIZE  MODIFIED              NAME");
    EXPECT_NE(plain.out.find("-              3000  2020-09-13T12:26:40Z  b.txt\n"),
              std::string::npos)
        << plain.out;
    EXPECT_NE(plain.out.find("  \" lead\"\n"), std::string::npos);
    EXPECT_NE(plain.out.find("  \"trail \"\n"), std::string::npos);
    EXPECT_NE(plain.out.find("  \"tab\\x09here\"\n"), std::string::npos);
    EXPECT_NE(plain.out.find("  sub/\n"), std::string::npos);
    EXPECT_EQ(
        lines[7].rfind("6 items (1 folder, 5 files) in " + Address() + " /vol/vol1/docs, ", 0), 0u)
        << lines[7];

    const Outcome human = Nasbrowse({"browse", Address(), "/vol/vol1/docs", "-h", "--no-headers"},
                                    WithEnv("TZ", "Asia/Kathmandu"));
    const std::vector<std::string> bare = Lines(human.out);
    ASSERT_EQ(bare.size(), 6u) << human.out;  // no header, no summary
    EXPECT_NE(human.out.find("-      5.0M  2022-04-15T11:05:00+05:45  \"tab\\x09here\"\n"),
              std::string::npos)
        << human.out;
    EXPECT_NE(human.out.find("-      3.0K  "), std::string::npos);
}

TEST_F(NasbrowsePresentation, SortsAndFolderGroupingOnlyReorder) {
    auto order = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"browse", Address(), "/vol/vol1/docs", "--format", "json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome outcome = Nasbrowse(args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return Names(ParseJson(outcome));
    };
    const std::vector<std::string> server = order({});
    EXPECT_EQ(order({"--sort", "name"}),
              (std::vector<std::string>{" lead", "a.txt", "b.txt", "sub", "tab\there", "trail "}));
    EXPECT_EQ(order({"--sort", "size"}).front(), "tab\there");
    EXPECT_EQ(order({"--sort", "time"}).front(), "trail ");
    EXPECT_EQ(order({"--sort", "time", "--group-folders"}).front(), "sub");
    std::vector<std::string> grouped = order({"--group-folders"});
    EXPECT_EQ(grouped.front(), "sub");
    EXPECT_EQ(std::multiset<std::string>(grouped.begin(), grouped.end()),
              std::multiset<std::string>(server.begin(), server.end()));
}

TEST_F(NasbrowsePresentation, APathMayBeWrittenInAnyOfTheUsualWays) {
    const Outcome reference =
        Nasbrowse({"browse", Address(), "/vol/vol1/docs", "--format", "json"});
    ASSERT_EQ(reference.status, 0);
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"browse", Address() + ":/vol/vol1/docs"},
             {"browse", "nfs://" + Address() + "/vol/vol1/docs"},
             {"browse", "nfs://" + Address() + "/vol/vol%31/docs/"},
             {"browse", Address(), "/vol//vol1/./docs/"},
             {"browse", Address(), "vol/vol1/docs"},
         }) {
        std::vector<std::string> full = args;
        full.push_back("--format");
        full.push_back("json");
        const Outcome outcome = Nasbrowse(full);
        EXPECT_EQ(outcome.status, 0) << args[1] << outcome.err;
        EXPECT_EQ(outcome.out, reference.out) << args[1];
    }
    const Outcome climbing = Nasbrowse({"browse", Address() + ":/vol/vol1/docs/../../vol2"});
    EXPECT_EQ(climbing.status, 2);
    EXPECT_NE(climbing.err.find("\"..\""), std::string::npos);
    // The request follows through the daemon's client the same way.
    Daemon daemon;
    const Outcome request =
        Nasbrowse({"request", "--connect", daemon.Endpoint(),
                   "nfs://" + Address() + "/vol//vol1/docs", "--format", "json"});
    EXPECT_EQ(request.out, reference.out);
}

// The source tree, for the man page and the README.
std::string SourceDir() {
    if (const char* dir = getenv("NSB_SOURCE_DIR")) return dir;
    const std::string file = __FILE__;  // .../tests/integration/nasbrowse/PresentationTest.cpp
    std::string dir = file;
    for (int i = 0; i < 4; ++i) dir = dir.substr(0, dir.rfind('/'));
    return dir;
}

std::set<std::string> LongOptions(const std::string& text) {
    std::set<std::string> options;
    static const std::regex option(R"((^|[ ,\[])(--[a-z][a-z-]+))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        options.insert((*it)[2].str());
    return options;
}

TEST(NasbrowseHelp, EachCommandOffersWhatAppliesToItAndTheManPageAndReadmeAgree) {
    const std::string manPage = Slurp(SourceDir() + "/tools/nasbrowse/nasbrowse.1");
    const std::string readme = Slurp(SourceDir() + "/README.md");
    ASSERT_FALSE(manPage.empty());
    ASSERT_FALSE(readme.empty());
    const std::map<std::string, std::set<std::string>> never = {
        {"exports",
         {"--via", "--sort", "--raw-path", "--human", "--cell-id", "--connect", "--listen"}},
        {"browse", {"--connect", "--listen", "--allow"}},
        {"serve", {"--format", "--via", "--client-id", "--sort", "--connect"}},
        {"request",
         {"--plugin", "--log-file", "--log-level", "--client-host", "--via", "--listen"}},
    };
    for (const auto& [command, absent] : never) {
        const Outcome help = Nasbrowse({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("Exit status"), std::string::npos) << command;
        const std::set<std::string> offered = LongOptions(help.out);
        for (const std::string& option : absent)
            EXPECT_EQ(offered.count(option), 0u) << command << " " << option;
        // The man page's section of the command and the README name each option.
        const size_t section = manPage.find(".SS " + command);
        ASSERT_NE(section, std::string::npos) << command;
        const std::string manSection =
            manPage.substr(section, manPage.find(".SS ", section + 4) - section);
        std::string manText = std::regex_replace(manSection, std::regex(R"(\\-)"), "-");
        manText = std::regex_replace(manText, std::regex(R"(\\f[BIRP])"), "");
        for (const std::string& option : offered) {
            if (option == "--help") continue;
            EXPECT_NE(manText.find(option), std::string::npos)
                << "man page, " << command << ": " << option;
            EXPECT_NE(readme.find(option), std::string::npos) << "README: " << option;
        }
    }
    const Outcome exports = Nasbrowse({"exports", "--help"});
    EXPECT_EQ(exports.out.find("jsonl"), std::string::npos);
    EXPECT_EQ(exports.out.find("xml"), std::string::npos);
    const Outcome browse = Nasbrowse({"browse", "--help"});
    EXPECT_NE(browse.out.find("streams"), std::string::npos);
    EXPECT_EQ(browse.out.find("VessaCell"), std::string::npos);
    EXPECT_EQ(browse.out.find("Road"), std::string::npos);
    const Outcome top = Nasbrowse({"--help"});
    for (const char* status : {"  0  ", "  1  ", "  2  ", "  3  "})
        EXPECT_NE(top.out.find(status), std::string::npos) << status;
    EXPECT_NE(manPage.find("EXIT STATUS"), std::string::npos);
}

}  // namespace
