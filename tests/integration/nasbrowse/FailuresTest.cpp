// Every failure of nasbrowse reaches the person browsing: exit status 1, one
// sentence on stderr (never a log line at the default level), the error and
// what came before it in JSON; timeouts take effect; the log stays off the
// terminal; a plug-in without an entry and an output that cannot be written
// are said so.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "integration/nasbrowse/NasbrowseRun.h"
#include "NfsTestServer.h"
#include "ScriptedPeer.h"  // Listen

namespace {

using namespace nbtest;

class NasbrowseFailures : public nbtest::ServedSuite<NasbrowseFailures> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol1 = server.AddExport("/vol/vol1");
        nfstest::NfsTestServer::ExportOptions closed;
        closed.foreignClientsOnly = true;
        server.AddExport("/vol/closed", closed);
        server.AddExport("/snap/only_ORVclone");
        nfstest::NfsTestServer::ExportOptions privileged;
        privileged.privilegedPort = true;
        nfstest::MakeFile(server.AddExport("/vol/priv", privileged) + "/inside.txt", 3, 1600000000);
        nfstest::MakeDir(vol1 + "/docs");
        nfstest::MakeFile(vol1 + "/docs/a.txt", 10, 1600000000);
        nfstest::MakeFile(vol1 + "/README.txt", 5, 1600000000);
        nfstest::MakeSymlink("docs", vol1 + "/link");
        nfstest::MakeDir(vol1 + "/locked");
        nfstest::MakeFile(vol1 + "/locked/secret", 1);
        chmod((vol1 + "/locked").c_str(), 0);
        nfstest::MakeDir(vol1 + "/many");
        nfstest::MakeManyFiles(vol1 + "/many", 5000);
    }
};

TEST_F(NasbrowseFailures, AFolderThatCannotBeListedIsOneSentenceOnBothRoadsAndTheErrorInJson) {
    const struct {
        const char* path;
        const char* words;  // what the sentence must say, whatever else it says
    } cases[] = {
        {"/vol/vol1/missing", "no such directory"},
        {"/vol/vol1/README.txt", "not a directory"},
        {"/vol/vol1/link", "symbolic link"},
        // Not in the export list this client gets: no export holds it.
        {"/vol/closed", "/vol/closed"},
    };
    for (const auto& c : cases) {
        for (const char* via : {"gui", "xml"}) {
            const std::string context = std::string(c.path) + " via " + via;
            const Outcome table = Nasbrowse({"browse", Address(), c.path, "--via", via});
            EXPECT_EQ(table.status, 1) << context << table.err;
            EXPECT_EQ(table.out, "") << context;
            ExpectOneSentence(table, context);
            EXPECT_NE(table.err.find(c.words), std::string::npos) << context << ": " << table.err;

            const Outcome json =
                Nasbrowse({"browse", Address(), c.path, "--via", via, "--format", "json"});
            EXPECT_EQ(json.status, 1) << context;
            const Json document = ParseJson(json);
            EXPECT_TRUE(document.at("items").empty()) << context;
            EXPECT_NE(document.at("error").at("message").get<std::string>().find(c.words),
                      std::string::npos)
                << context;
            if (std::string(c.path) != "/vol/closed") {
                EXPECT_EQ(document.at("error").at("code").is_number(), std::string(via) == "xml")
                    << context;
            }
            ExpectOneSentence(json, context);
        }
    }
    // The host log has the failure; the terminal never did.
    const std::string log = Slurp(DefaultLogFile());
    EXPECT_NE(log.find("/vol/vol1/missing"), std::string::npos) << DefaultLogFile() << ":\n" << log;
}

TEST_F(NasbrowseFailures, AFolderOfModeZeroIsAFailureForAnUnprivilegedUser) {
    RunOptions nobody;
    nobody.unprivileged = true;
    // A user of its own has a state folder of its own.
    const std::string state = StateHome() + "/nobody";
    mkdir(state.c_str(), 0777);
    chmod(state.c_str(), 0777);
    nobody.env["XDG_STATE_HOME"] = state;
    for (const char* via : {"gui", "xml"}) {
        const Outcome denied =
            Nasbrowse({"browse", Address(), "/vol/vol1/locked", "--via", via}, nobody);
        EXPECT_EQ(denied.status, 1) << via << denied.err << denied.out;
        EXPECT_EQ(denied.out, "");
        ExpectOneSentence(denied, via);
        EXPECT_NE(denied.err.find("/vol/vol1/locked"), std::string::npos) << denied.err;
    }
    // An export that wants calls from a privileged source port: the sentence
    // says so, and what to do.
    for (const char* via : {"gui", "xml"}) {
        const Outcome refused = Nasbrowse({"browse", Address(), "/vol/priv", "--via", via}, nobody);
        EXPECT_EQ(refused.status, 1) << via << refused.err << refused.out;
        EXPECT_EQ(refused.out, "");
        ExpectOneSentence(refused, via);
        EXPECT_NE(refused.err.find("privileged source port"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("run as root, or allow insecure ports on the export"),
                  std::string::npos)
            << refused.err;
    }
    const Outcome privileged = Nasbrowse({"browse", Address(), "/vol/priv", "--format", "json"});
    EXPECT_EQ(privileged.status, 0) << privileged.err;
    EXPECT_EQ(Names(ParseJson(privileged)), std::vector<std::string>{"inside.txt"});

    // Root may read it (the export does not squash root): the same browse lists the file.
    const Outcome root = Nasbrowse({"browse", Address(), "/vol/vol1/locked", "--format", "json"});
    EXPECT_EQ(root.status, 0) << root.err;
    EXPECT_EQ(Names(ParseJson(root)), std::vector<std::string>{"secret"});
}

TEST_F(NasbrowseFailures, ATimeoutOfTwoSecondsEndsEveryCommandWithinThreeAgainstASilentServer) {
    const std::string silent = Server().SilentAddress();
    auto expectTimedOut = [](const Outcome& outcome, const std::string& context) {
        EXPECT_EQ(outcome.status, 1) << context << outcome.err;
        EXPECT_LT(outcome.seconds, 3.0) << context;
        EXPECT_NE(outcome.err.find("timed out"), std::string::npos)
            << context << ": " << outcome.err;
        ExpectOneSentence(outcome, context);
    };
    expectTimedOut(Nasbrowse({"exports", silent, "--timeout", "2"}), "exports --timeout 2");
    expectTimedOut(Nasbrowse({"browse", silent, "/vol", "--timeout", "2"}), "browse --timeout 2");
    expectTimedOut(Nasbrowse({"browse", silent, "/vol", "--via", "xml"},
                             WithEnv("NASBROWSE_NFS_TIMEOUT", "2")),
                   "browse --via xml, NASBROWSE_NFS_TIMEOUT=2");
    expectTimedOut(Nasbrowse({"exports", silent}, WithEnv("NASBROWSE_NFS_TIMEOUT", "2")),
                   "exports, NASBROWSE_NFS_TIMEOUT=2");

    // Through the daemon: its own timeout bounds each request.
    Daemon daemon({"--timeout", "2"});
    ASSERT_FALSE(daemon.Endpoint().empty());
    expectTimedOut(Nasbrowse({"request", "--connect", daemon.Endpoint(), silent, "/vol"}),
                   "request, serve --timeout 2");
    Daemon fromEnvironment({}, {{"NASBROWSE_NFS_TIMEOUT", "2"}});
    ASSERT_FALSE(fromEnvironment.Endpoint().empty());
    expectTimedOut(Nasbrowse({"request", "--connect", fromEnvironment.Endpoint(), silent}),
                   "request, serve with NASBROWSE_NFS_TIMEOUT=2");
}

TEST_F(NasbrowseFailures, APathNoExportHoldsIsAnErrorUnlessItLeadsToExports) {
    for (const char* via : {"gui", "xml"}) {
        const Outcome none = Nasbrowse({"browse", Address(), "/vol/vol3", "--via", via});
        EXPECT_EQ(none.status, 1) << via;
        ExpectOneSentence(none, via);
        EXPECT_NE(none.err.find("no export of " + Address() +
                                " holds /vol/vol3 (exports: /vol/vol1, /vol/priv)"),
                  std::string::npos)
            << none.err;
        const Outcome deep =
            Nasbrowse({"browse", Address(), "/nowhere/at/all", "--via", via, "--format", "json"});
        EXPECT_EQ(deep.status, 1);
        EXPECT_FALSE(ParseJson(deep).at("error").is_null());
    }
    // Inside a clone, which the browse never offers.
    const Outcome clone = Nasbrowse({"browse", Address(), "/snap/only_ORVclone/x"});
    EXPECT_EQ(clone.status, 1);
    EXPECT_NE(clone.err.find("a clone, which the browse never offers"), std::string::npos)
        << clone.err;
    // Above an export whose only exports are clones: an empty folder, as the plug-in answers it.
    const Outcome clones = Nasbrowse({"browse", Address(), "/snap", "--format", "json"});
    EXPECT_EQ(clones.status, 0) << clones.err;
    EXPECT_TRUE(ParseJson(clones).at("items").empty());
    // --raw-path takes the plug-in's answer as it is.
    const Outcome raw = Nasbrowse(
        {"browse", Address(), "/" + Address() + "/vol/vol3", "--raw-path", "--format", "json"});
    EXPECT_EQ(raw.status, 0) << raw.err;
}

TEST_F(NasbrowseFailures, TheLogGoesToItsFileUnlessStderrIsAskedFor) {
    const Outcome quiet = Nasbrowse({"browse", Address(), "/vol/vol1/missing", "--log-level", "3"});
    EXPECT_EQ(quiet.status, 1);
    ExpectOneSentence(quiet, "--log-level 3 to the default file");
    EXPECT_NE(Slurp(DefaultLogFile()).find(" debug3 "), std::string::npos);

    for (const std::vector<std::string>& ask :
         {std::vector<std::string>{"--log-file", "-"}, {"-v"}}) {
        std::vector<std::string> args = {"browse", Address(), "/vol/vol1/missing"};
        args.insert(args.end(), ask.begin(), ask.end());
        const Outcome loud = Nasbrowse(args);
        EXPECT_EQ(loud.status, 1);
        size_t logLines = 0;
        for (const std::string& line : Lines(loud.err)) logLines += IsLogLine(line) ? 1 : 0;
        EXPECT_GE(logLines, 1u) << ask[0] << "\n" << loud.err;
        if (ask[0] == "-v") {
            EXPECT_NE(loud.err.find(" debug3 "), std::string::npos) << loud.err;
        }
    }

    char dir[] = "/tmp/nasbrowse-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/deeper/browse.log";
    const Outcome named = Nasbrowse({"browse", Address(), "/vol/vol1/missing", "--log-file", file});
    EXPECT_EQ(named.status, 1);
    ExpectOneSentence(named, "--log-file");
    EXPECT_NE(Slurp(file).find("/vol/vol1/missing"), std::string::npos);  // its folder was made

    const Outcome folder =
        Nasbrowse({"browse", Address(), "--log-file", dir});  // a folder, not a file
    EXPECT_EQ(folder.status, 2);
    EXPECT_NE(folder.err.find("cannot open the log file"), std::string::npos) << folder.err;
    unlink(file.c_str());
    rmdir((std::string(dir) + "/deeper").c_str());
    rmdir(dir);
}

// What an administrator meets: a row per command line, with what the run
// must answer (exit status, words on stdout or stderr, the error's kind).
TEST_F(NasbrowseFailures, AsAnAdministratorMeetsIt) {
    // A port that takes connections and never answers (the kernel's backlog).
    const int silent = nfstest::Listen("127.0.0.1", 0, 4);
    sockaddr_in at{};
    socklen_t size = sizeof at;
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&at), &size), 0);
    const std::string daemon = "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
    const std::string host = "7=" + Address();
    Daemon registered({"--client-host", host});  // the daemon knows client 7's host
    ASSERT_FALSE(registered.Endpoint().empty());

    struct Row {
        Row(std::vector<std::string> a, int s, std::string o, std::string e, std::string k = "",
            RunOptions r = {})
            : args(std::move(a)), status(s), out(o), err(e), kind(k), options(r) {}
        std::vector<std::string> args;
        int status;
        std::string out;   // stdout holds it
        std::string err;   // stderr holds it
        std::string kind;  // the JSON error's kind ("" with no JSON)
        RunOptions options;
    };
    const Row rows[] = {
        // An empty SERVER with a registered client host is that host, on both roads.
        Row({"browse", "", "/vol/vol1/docs", "--client-id", "7", "--client-host", host}, 0, "a.txt",
            ""),
        Row({"browse", "", "/vol/vol1/docs", "--via", "xml", "--client-id", "7", "--client-host",
             host},
            0, "a.txt", ""),
        Row({"request", "--connect", registered.Endpoint(), "", "/vol/vol1/docs", "--client-id",
             "7"},
            0, "a.txt", ""),
        Row({"browse", "", "/vol/vol1/missing", "--client-id", "7", "--client-host", host,
             "--format", "json"},
            1, "", "no such directory", "not found"),
        // The cause in the administrator's words, with a kind a script can act on.
        Row({"browse", "no-such-host.invalid", "/vol", "--format", "json"}, 1, "",
            "does not resolve to an address", "unreachable"),
        Row({"exports", "127.0.0.9", "--format", "json"}, 1, "", "connection refused", "refused"),
        Row({"browse", Address(), "/vol/vol1/missing", "--via", "xml", "--format", "json"}, 1, "",
            "cannot browse /vol/vol1/missing on " + Address(), "not found"),
        // The parser speaks as the program does, and suggests.
        Row({"browse", Address(), "--fromat", "json"}, 2, "",
            "nasbrowse: browse: the following argument was not expected: --fromat (did you mean "
            "--format?)"),
        // A default log file that cannot be made: one notice, and the command runs.
        Row({"exports", Address()}, 0, "/vol/vol1", "nasbrowse: notice: no log is kept", "",
            WithEnv("XDG_STATE_HOME", "/proc/nasbrowse")),
        // What is never offered is said where a user reads.
        Row({"browse", "--help"}, 0, "symbolic links", ""),
        // A daemon that takes the request and never answers is said so.
        Row({"request", "--connect", daemon, Address(), "/vol/vol1", "--timeout", "0.5"}, 1, "",
            "took the request but gave no answer"),
    };
    for (const Row& row : rows) {
        std::string line;
        for (const std::string& a : row.args) line += " " + (a.empty() ? "\"\"" : a);
        SCOPED_TRACE("nasbrowse" + line);
        const Outcome run = Nasbrowse(row.args, row.options);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_NE(run.out.find(row.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("LibNFS"), std::string::npos) << run.err;  // not the wrapper
        EXPECT_LE(Lines(run.err).size(), 2u) << run.err;
        if (!row.kind.empty()) {
            EXPECT_EQ(ParseJson(run).at("error").value("kind", ""), row.kind);
        }
        if (row.args.back() == "--help") {
            for (const std::string& text : Lines(run.out))
                EXPECT_LE(text.size(), 80u) << "help wider than 80 columns: " << text;
        }
    }
    close(silent);
}

// The security flavour against the plain server (NFSv3, AUTH_SYS only): a
// flavour the export does not take names the ones it takes; Kerberos with
// the server given as an address says to give its name; each ends within
// the timeout and 2 s. By name ("localhost"), the host's resolver hands the
// name on.
TEST_F(NasbrowseFailures, TheSecurityFlavourIsTakenOrRefusedInWords) {
    const char* const refused = "does not take the security flavour krb5; it takes AUTH_SYS";
    const char* const byName = "needs the file server's host name";
    const struct Row {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    } rows[] = {
        {{"browse", "localhost", "/vol/vol1/docs", "--sec", "sys"}, 0, "a.txt", ""},
        {{"browse", "localhost", "/vol/vol1/docs", "--via", "xml", "--keytab", "/etc/hostname",
          "--principal", "backup@NSB.TEST"},
         0,
         "a.txt",
         ""},
        {{"browse", "localhost", "/vol/vol1", "--sec", "krb5"}, 1, "", refused},
        {{"browse", "localhost", "/vol/vol1", "--sec", "krb5", "--via", "xml"}, 1, "", refused},
        {{"browse", Address(), "/vol/vol1", "--sec", "krb5p"}, 1, "", byName},
        {{"browse", Address(), "/vol/vol1", "--sec", "krb5i", "--via", "xml"}, 1, "", byName},
        {{"browse", "localhost", "/vol", "--keytab", "/nonexistent.keytab", "--principal", "a"},
         2,
         "",
         "the keytab /nonexistent.keytab cannot be read"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--timeout", "2"});
        std::string line;
        for (const std::string& a : args) line += " " + a;
        SCOPED_TRACE("nasbrowse" + line);
        const Outcome run = Nasbrowse(args);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_LT(run.seconds, 4.0);
        EXPECT_NE(run.out.find(row.out), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
        if (row.status == 1) ExpectOneSentence(run, line);
    }
    // A daemon's flavour holds for every request it answers.
    Daemon daemon({"--sec", "krb5", "--timeout", "2"});
    ASSERT_FALSE(daemon.Endpoint().empty());
    const Outcome run =
        Nasbrowse({"request", "--connect", daemon.Endpoint(), "localhost", "/vol/vol1"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(refused), std::string::npos) << run.err;
}

// The XML road holds a whole listing: --max-entries ends it, worded, after
// the entries so far; the GUI road streams and lists the same folder whole.
TEST_F(NasbrowseFailures, TheEntryBoundEndsAListingAfterTheEntriesSoFar) {
    const Outcome held = Nasbrowse({"browse", Address(), "/vol/vol1/many", "--via", "xml",
                                    "--max-entries", "1000", "--format", "json"});
    EXPECT_EQ(held.status, 1);
    const Json document = ParseJson(held);
    EXPECT_EQ(document.at("items").size(), 1000u);
    EXPECT_EQ(document.at("error").value("kind", ""), "limit");
    EXPECT_NE(document.at("error").value("message", "").find("holds more than 1000 entries"),
              std::string::npos)
        << held.out.substr(held.out.size() - 400);
    ExpectOneSentence(held, "--max-entries 1000");

    const Outcome whole = Nasbrowse(
        {"browse", Address(), "/vol/vol1/many", "--max-entries", "5000", "--format", "json"});
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(ParseJson(whole).at("items").size(), 5000u);
    const Outcome bad = Nasbrowse({"browse", Address(), "--max-entries", "0"});
    EXPECT_EQ(bad.status, 2);
}

TEST_F(NasbrowseFailures, APluginWithoutItsEntriesIsRefusedByName) {
    // The NFS client library of the build: the settings, none of the entries.
    const std::string program = Program();
    const std::string build = program.substr(0, program.rfind('/', program.rfind('/') - 1));
    const std::string library = build + "/nfs_client/libLibNFSClient.so";
    if (access(library.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << library;
    const Outcome wrong = Nasbrowse({"browse", Address(), "--plugin", library});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("has no NASShareBrowse, NASShareXMLBrowse, GetNASShareBrowseFN"),
              std::string::npos)
        << wrong.err;
    const Outcome missing = Nasbrowse({"exports", Address(), "--plugin", "/no/such/plugin.so"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot load the plug-in /no/such/plugin.so"), std::string::npos)
        << missing.err;
}

TEST_F(NasbrowseFailures, AFullDiskIsASentenceAndAClosedPipeEndsQuietly) {
    RunOptions full;
    full.stdoutPath = "/dev/full";
    for (const char* format : {"table", "json"}) {
        const Outcome outcome =
            Nasbrowse({"browse", Address(), "/vol/vol1/many", "--format", format}, full);
        EXPECT_EQ(outcome.status, 1) << format;
        EXPECT_NE(outcome.err.find("cannot write the output: No space left on device"),
                  std::string::npos)
            << outcome.err;
    }
    RunOptions closed;
    closed.stdoutClosedPipe = true;
    for (const char* via : {"gui", "xml"}) {
        const Outcome outcome =
            Nasbrowse({"browse", Address(), "/vol/vol1/many", "--via", via}, closed);
        EXPECT_EQ(outcome.status, 0) << via;
        EXPECT_EQ(outcome.err, "") << via;
    }
    // As `| head -1`: the first line read, then the pipe closed.
    const std::string command =
        "set -o pipefail; '" + Program() + "' browse " + Address() +
        " /vol/vol1/many --no-headers 2>/tmp/nasbrowse-head.err | head -1 >/dev/null";
    EXPECT_EQ(system(("bash -c \"" + command + "\"").c_str()), 0);
    EXPECT_EQ(Slurp("/tmp/nasbrowse-head.err"), "");
    unlink("/tmp/nasbrowse-head.err");
}

// A listing whose server goes away half way keeps what came, and says so.
TEST(NasbrowseServerKilled, AListingCutHalfWayKeepsTheItemsThatCameAndFails) {
    nfstest::NfsTestServer server;
    const std::string data = server.AddExport("/data");
    nfstest::MakeDir(data + "/big");
    nfstest::MakeManyFiles(data + "/big", 100000);
    server.Start();

    const std::string stateHome = StateHome();
    const std::string outPath = "/tmp/nasbrowse-killed-" + std::to_string(getpid()) + ".json";
    const std::string errPath = outPath + ".err";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        const std::string program = Program();
        execl(program.c_str(), program.c_str(), "browse", server.Address().c_str(), "/data/big",
              "--format", "json", "--timeout", "2", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Stop the server once some items are out.
    struct stat st {};
    for (int i = 0; i < 5000 && (stat(outPath.c_str(), &st) != 0 || st.st_size < 20000); ++i)
        usleep(1000);
    server.Stop();
    int status = 0;
    waitpid(child, &status, 0);
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = Slurp(outPath);
    outcome.err = Slurp(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    if (outcome.status == 0) GTEST_SKIP() << "the listing was done before the server stopped";
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    const Json document = ParseJson(outcome);
    const size_t items = document.at("items").size();
    EXPECT_GT(items, 0u);
    EXPECT_LT(items, 100000u);
    EXPECT_FALSE(document.at("error").is_null());
    ExpectOneSentence(outcome, "server killed");
    EXPECT_NE(outcome.err.find(std::to_string(items) + " items came before the failure"),
              std::string::npos)
        << outcome.err;
}

}  // namespace
