// The command line's values: targets and paths, the allow-list of the
// daemon, the plug-in's entries and location, and the log file's default.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "nasbrowse/Access.h"
#include "nasbrowse/Options.h"
#include "nasbrowse/Plugin.h"

namespace nasbrowse {
namespace {

using Env = nsbtest::ScopedEnv;

Target Parse(const std::string& first, const char* second = nullptr, bool raw = false) {
    Target target;
    std::string error;
    const std::string other = second ? second : "";
    if (!ParseTarget(first, second ? &other : nullptr, raw, target, error))
        throw std::runtime_error(error);
    return target;
}

std::string ParseError(const std::string& first, const char* second = nullptr) {
    Target target;
    std::string error;
    const std::string other = second ? second : "";
    EXPECT_FALSE(ParseTarget(first, second ? &other : nullptr, false, target, error)) << first;
    return error;
}

TEST(Target, TheThreeWaysOfNamingAFolderAgree) {
    for (const Target& t : {Parse("nas1", "/vol/vol1"), Parse("nas1:/vol/vol1"),
                            Parse("nfs://nas1/vol/vol1"), Parse("NFS://nas1/vol/vol1/"),
                            Parse("nas1", "vol//vol1/."), Parse("nas1", "/./vol///vol1//")}) {
        EXPECT_EQ(t.server, "nas1");
        EXPECT_EQ(t.path, "/vol/vol1");
    }
    EXPECT_EQ(Parse("nas1").path, "/");
    EXPECT_EQ(Parse("nfs://nas1").path, "/");
    EXPECT_EQ(Parse("nas1", "//").path, "/");
    EXPECT_EQ(Parse("nfs://nas1/a%20b/%25/c%3Fd").path, "/a b/%/c?d");
    const Target v6 = Parse("nfs://[fd00::1]/vol");
    EXPECT_EQ(v6.server, "fd00::1");
    EXPECT_EQ(v6.path, "/vol");
    EXPECT_EQ(Parse("[fd00::1]:/vol").server, "fd00::1");
    EXPECT_EQ(Parse("fd00::1").server, "fd00::1");  // no path: the whole text is the server
    EXPECT_EQ(Parse("", "/vol").server, "");        // the caller decides about an empty server
}

TEST(Target, RawPathsAreSentAsTyped) {
    EXPECT_EQ(Parse("nas1", "\\\\", true).path, "\\\\");
    EXPECT_EQ(Parse("nas1", "/nas1//vol/../x", true).path, "/nas1//vol/../x");
    EXPECT_EQ(Parse("nas1", nullptr, true).path, "/");
}

TEST(Target, BadTargetsAreUsageErrorsThatSayWhatToWrite) {
    EXPECT_NE(ParseError("nas1", "/vol/../etc").find("\"..\""), std::string::npos);
    EXPECT_NE(ParseError("nas1:/..").find("\"..\""), std::string::npos);
    EXPECT_NE(ParseError("nfs://nas1/vol?version=4").find("%3F"), std::string::npos);
    EXPECT_NE(ParseError("nfs://nas1:2049/vol").find("port"), std::string::npos);
    EXPECT_NE(ParseError("nfs://nas1/a%2").find("%25"), std::string::npos);
    EXPECT_NE(ParseError("nfs://nas1/a%00b").find("NUL"), std::string::npos);
    EXPECT_NE(ParseError("nfs:///vol").find("no server"), std::string::npos);
    EXPECT_NE(ParseError(":/vol").find("no server"), std::string::npos);
    EXPECT_NE(ParseError("[fd00::1").find("]"), std::string::npos);
    EXPECT_NE(ParseError("nas1:/vol", "/home").find("twice"), std::string::npos);
}

TEST(Options, TimeoutsClientHostsAndTheirVariable) {
    double seconds = 0;
    EXPECT_TRUE(ParseTimeoutSeconds("2.5", seconds));
    EXPECT_EQ(seconds, 2.5);
    for (const char* bad : {"", "0", "-1", "1e9", "nan", "2s", "0.0001"})
        EXPECT_FALSE(ParseTimeoutSeconds(bad, seconds)) << bad;

    std::string problem;
    {
        Env env("NASBROWSE_NFS_TIMEOUT", "3");
        EXPECT_EQ(EffectiveTimeoutSeconds(0, problem), 3);
        EXPECT_EQ(EffectiveTimeoutSeconds(7, problem), 7);  // the option wins
        EXPECT_TRUE(problem.empty());
    }
    {
        Env env("NASBROWSE_NFS_TIMEOUT", "soon");
        EXPECT_EQ(EffectiveTimeoutSeconds(0, problem), 0);
        EXPECT_NE(problem.find("NASBROWSE_NFS_TIMEOUT=soon"), std::string::npos);
    }
    std::pair<unsigned long, std::string> host;
    EXPECT_TRUE(ParseClientHost("7=filer1", host));
    EXPECT_EQ(host, std::make_pair(7ul, std::string("filer1")));
    for (const char* bad : {"7", "=x", "7=", "seven=x", "99999999999999999999=x"})
        EXPECT_FALSE(ParseClientHost(bad, host)) << bad;
}

TEST(Options, TheLogFileLivesUnderTheStateFolder) {
    {
        Env state("XDG_STATE_HOME", "/srv/state");
        EXPECT_EQ(DefaultLogPath(), "/srv/state/nasbrowse/nasbrowse.log");
    }
    Env state("XDG_STATE_HOME", "relative/is/ignored");
    Env home("HOME", "/home/ann");
    EXPECT_EQ(DefaultLogPath(), "/home/ann/.local/state/nasbrowse/nasbrowse.log");
}

TEST(Options, UnknownCommandsGetTheClosestOne) {
    const std::vector<std::string> commands = {"exports", "browse", "serve", "request"};
    EXPECT_EQ(ClosestCommand("brwse", commands), "browse");
    EXPECT_EQ(ClosestCommand("export", commands), "exports");
    EXPECT_EQ(ClosestCommand("req", commands), "request");
    EXPECT_EQ(ClosestCommand("server", commands), "serve");
    EXPECT_EQ(ClosestCommand("foo", commands), "");
    EXPECT_EQ(ClosestCommand("list", commands), "");
}

TEST(PathHeld, AnEmptyAnswerIsAFolderOnlyAtOrBelowAnOfferedExportOrAboveAnyExport) {
    const std::vector<std::string> offered = {"/vol/vol1", "/home/alice/"};
    const std::vector<std::string> clones = {"/vol/vol1_clone", "/snap/only/clone"};
    for (const char* fine :
         {"/vol/vol1", "/vol/vol1/empty", "/home/alice", "/home", "/vol", "/snap", "/snap/only"})
        EXPECT_EQ(PathNotHeldText("nas1", fine, offered, clones), "") << fine;
    EXPECT_EQ(PathNotHeldText("nas1", "/vol/vol10", offered, clones),
              "no export of nas1 holds /vol/vol10 (exports: /vol/vol1, /home/alice/)");
    EXPECT_NE(PathNotHeldText("nas1", "/vol/vol1_clone/x", offered, clones).find("clone"),
              std::string::npos);
    EXPECT_NE(PathNotHeldText("nas1", "/x", {}, {}).find("offers no export"), std::string::npos);
    std::vector<std::string> many;
    for (int i = 0; i < 25; ++i) many.push_back("/e" + std::to_string(i));
    EXPECT_NE(PathNotHeldText("nas1", "/x", many, {}).find("and 15 more"), std::string::npos);
}

sockaddr_storage Address(const char* text) {
    sockaddr_storage address{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr) == 1) {
        address.ss_family = AF_INET;
    } else if (inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr) ==
               1) {
        address.ss_family = AF_INET6;
    } else {
        throw std::runtime_error(text);
    }
    return address;
}

TEST(Access, LoopbackByDefaultElseOnlyTheAllowedBlocks) {
    EXPECT_TRUE(PeerAllowed({}, Address("127.0.0.1")));
    EXPECT_TRUE(PeerAllowed({}, Address("127.9.9.9")));
    EXPECT_TRUE(PeerAllowed({}, Address("::1")));
    EXPECT_TRUE(PeerAllowed({}, Address("::ffff:127.0.0.2")));
    EXPECT_FALSE(PeerAllowed({}, Address("192.0.2.1")));
    EXPECT_FALSE(PeerAllowed({}, Address("::ffff:192.0.2.1")));

    std::vector<Cidr> allow(3);
    std::string error;
    ASSERT_TRUE(ParseCidr("127.0.0.1", allow[0], error)) << error;
    ASSERT_TRUE(ParseCidr("192.0.2.128/25", allow[1], error)) << error;
    ASSERT_TRUE(ParseCidr("2001:db8::/32", allow[2], error)) << error;
    EXPECT_TRUE(PeerAllowed(allow, Address("127.0.0.1")));
    EXPECT_FALSE(PeerAllowed(allow, Address("127.0.0.2")));  // loopback is no longer implied
    EXPECT_TRUE(PeerAllowed(allow, Address("192.0.2.200")));
    EXPECT_TRUE(PeerAllowed(allow, Address("::ffff:192.0.2.129")));
    EXPECT_FALSE(PeerAllowed(allow, Address("192.0.2.127")));
    EXPECT_TRUE(PeerAllowed(allow, Address("2001:db8:ffff::1")));
    EXPECT_FALSE(PeerAllowed(allow, Address("2001:db9::1")));

    Cidr any;
    ASSERT_TRUE(ParseCidr("0.0.0.0/0", any, error));
    EXPECT_TRUE(CidrContains(any, Address("203.0.113.9")));
    EXPECT_FALSE(CidrContains(any, Address("2001:db8::1")));

    Cidr bad;
    EXPECT_FALSE(ParseCidr("192.0.2.1/24", bad, error));
    EXPECT_NE(error.find("192.0.2.0/24"), std::string::npos) << error;
    for (const char* text : {"192.0.2.0/33", "nas1/24", "192.0.2.0/", "::/129", "10.0.0.0/-1"}) {
        EXPECT_FALSE(ParseCidr(text, bad, error)) << text;
        EXPECT_NE(error.find("--allow"), std::string::npos);
    }
}

TEST(WrapHelp, LongLinesBreakUnderTheirDescriptionAndShortOnesStay) {
    const std::string option = "  --via gui|xml   one two three four five six seven";
    EXPECT_EQ(WrapHelp(option + "\nshort\n", 40, 18),
              "  --via gui|xml   one two three four\n"
              "                  five six seven\nshort\n");
    // A plain paragraph continues under its own indentation; a word wider
    // than the room stays whole.
    EXPECT_EQ(WrapHelp("  aaa bbb ccc", 8, 30), "  aaa\n  bbb\n  ccc");
    EXPECT_EQ(WrapHelp(std::string(20, 'x') + "\n", 8, 30), std::string(20, 'x') + "\n");
}

TEST(PluginEntries, EveryMissingNameIsReportedAtOnce) {
    static int dummy;
    std::map<std::string, void*> symbols = {{"NASShareBrowse", &dummy},
                                            {"NASShareXMLBrowse", &dummy},
                                            {"GetNASShareBrowseFN", &dummy},
                                            {"NFSClientSetTimeoutMs", &dummy},
                                            {"NFSClientGetTimeoutMs", &dummy}};
    auto lookup = [&](const char* name) -> void* {
        auto it = symbols.find(name);
        return it == symbols.end() ? nullptr : it->second;
    };
    const PluginEntries all = ResolveEntries(lookup, "/p.so");
    EXPECT_NE(all.setNfsTimeoutMs, nullptr);

    symbols.erase("NFSClientSetTimeoutMs");
    symbols.erase("NASShareXMLBrowse");
    try {
        ResolveEntries(lookup, "/p.so");
        FAIL() << "no error for missing entries";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("/p.so"), std::string::npos);
        EXPECT_NE(text.find("NASShareXMLBrowse, NFSClientSetTimeoutMs"), std::string::npos) << text;
        EXPECT_NE(text.find("--plugin"), std::string::npos);
    }
}

TEST(PluginEntries, OnlyABuildTreeMarkerLeadsAwayFromTheInstalledPlugin) {
    char dir[] = "/tmp/nasbrowse-plugin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string bin = std::string(dir) + "/bin";
    mkdir(bin.c_str(), 0700);
    EXPECT_EQ(DefaultPluginPath(bin, "../lib", "libP.so"), bin + "/../lib/libP.so");
    const std::string marker = bin + "/" + kBuildTreeMarker;
    std::ofstream(marker) << "../libP.so\n";
    EXPECT_EQ(DefaultPluginPath(bin, "../lib", "libP.so"), bin + "/../libP.so");
    unlink(marker.c_str());
    rmdir(bin.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace nasbrowse
