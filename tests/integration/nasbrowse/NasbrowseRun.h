// Running the built nasbrowse program from the integration tests: its exit
// status, stdout, stderr, wall time and peak memory, and a running daemon.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "NfsTestServer.h"
#include "Unprivileged.h"
#include "common/TestSupport.h"

namespace nbtest {

using Json = nlohmann::json;

inline std::string Program() {
    const char* env = std::getenv("NASBROWSE_BIN");
#ifdef NASBROWSE_BIN
    return env ? env : NASBROWSE_BIN;
#else
    return env ? env : "nasbrowse";
#endif
}

inline std::string Slurp(const std::string& path) { return nsbtest::ReadWhole(path); }

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The folder the runs get as XDG_STATE_HOME, so that their default log file
// stays out of the machine's home folders. Open to every user: some runs
// are made as an unprivileged user.
inline const std::string& StateHome() {
    struct Folder {
        Folder() {
            char name[] = "/tmp/nasbrowse-state-XXXXXX";
            if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
            chmod(name, 01777);
            path = name;
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        std::string path;
    };
    static const Folder folder;
    return folder.path;
}

inline std::string DefaultLogFile() { return StateHome() + "/nasbrowse/nasbrowse.log"; }

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    double seconds = 0;
    long maxRssKiB = 0;
};

struct RunOptions {
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
    bool unprivileged = false;               // as uid/gid 65534 without supplementary groups
    std::string stdoutPath;                  // empty: a file read back into Outcome::out
    bool stdoutClosedPipe = false;           // stdout is a pipe nobody reads (closed at once)
};

inline RunOptions WithEnv(const std::string& name, const std::string& value) {
    RunOptions options;
    options.env[name] = value;
    return options;
}

// Runs nasbrowse with `args`; stdout and stderr go through files so that
// neither can fill up while the other is read.
inline Outcome Nasbrowse(const std::vector<std::string>& args, const RunOptions& options = {}) {
    static std::atomic<int> counter{0};  // runs may start from several threads at once
    const std::string base =
        "/tmp/nasbrowse-it-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    const std::string outPath = options.stdoutPath.empty() ? base + ".out" : options.stdoutPath;
    const std::string stateHome = StateHome();  // made here, once, not in each child
    const std::string copy = options.unprivileged ? nsbtest::UnprivilegedCopies::Of(Program()) : "";
    int closedPipe[2] = {-1, -1};
    if (options.stdoutClosedPipe && pipe(closedPipe) != 0) throw std::runtime_error("pipe");
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        int out;
        if (options.stdoutClosedPipe) {
            close(closedPipe[0]);
            out = closedPipe[1];
        } else {
            out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        }
        const int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(out, 1);
        dup2(err, 2);
        setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> all;
        if (options.unprivileged) {
            all = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
            setenv("LD_LIBRARY_PATH", nsbtest::UnprivilegedCopies::LibraryPath().c_str(), 1);
        }
        all.push_back(options.unprivileged ? copy : Program());
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (options.stdoutClosedPipe) {
        close(closedPipe[0]);
        close(closedPipe[1]);
    }
    Outcome outcome;
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.maxRssKiB = usage.ru_maxrss;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (options.stdoutPath.empty() && !options.stdoutClosedPipe) {
        outcome.out = Slurp(outPath);
        unlink(outPath.c_str());
    }
    outcome.err = Slurp(base + ".err");
    unlink((base + ".err").c_str());
    return outcome;
}

inline Json ParseJson(const Outcome& outcome) {
    EXPECT_FALSE(outcome.out.empty()) << outcome.err;
    if (!outcome.out.empty()) {
        EXPECT_EQ(outcome.out.back(), '\n');
    }
    Json document = Json::parse(outcome.out, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << outcome.out;
    return document;
}

inline std::vector<std::string> Names(const Json& document) {
    std::vector<std::string> names;
    if (!document.contains("items")) return names;
    for (const Json& item : document.at("items"))
        names.push_back(item.at("name").get<std::string>());
    return names;
}

// A line of the host log: "2024-05-20 10:13:20.123456 error WHAT  (in ...)".
inline bool IsLogLine(const std::string& line) {
    static const std::regex log(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ (error|info|debug\d+) )");
    return std::regex_search(line, log);
}

// What a failed command must leave on stderr at the default log level: one
// sentence (a second line only for a hint), from nasbrowse, no log line.
inline void ExpectOneSentence(const Outcome& outcome, const std::string& context) {
    const std::vector<std::string> lines = Lines(outcome.err);
    EXPECT_GE(lines.size(), 1u) << context;
    EXPECT_LE(lines.size(), 2u) << context << "\n" << outcome.err;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("nasbrowse: ", 0), 0u) << context << ": " << line;
        EXPECT_FALSE(IsLogLine(line)) << context << ": " << line;
    }
}

// A running `nasbrowse serve`, stopped with SIGTERM. Its stderr (where a
// daemon logs by default) is collected.
class Daemon {
public:
    explicit Daemon(std::vector<std::string> extra = {},
                    const std::map<std::string, std::string>& env = {})
        : m_process(Args(std::move(extra)), Options(env)) {
        m_log = m_process.Said();
        const std::string line = m_process.ReadyLine();
        m_endpoint = line.substr(13);
        // Keep draining its log so that the daemon never blocks on stderr.
        m_drain = std::thread([this] {
            char buffer[4096];
            for (ssize_t n; (n = read(m_process.Output(), buffer, sizeof buffer)) > 0;)
                m_log.append(buffer, static_cast<size_t>(n));
        });
    }
    ~Daemon() {
        m_process.Stop();
        if (m_drain.joinable()) m_drain.join();
    }
    int Stop() { return m_process.Stop(); }
    const std::string& Endpoint() const { return m_endpoint; }
    uint16_t Port() const {
        return static_cast<uint16_t>(std::stoi(m_endpoint.substr(m_endpoint.rfind(':') + 1)));
    }
    // The whole log; only after Stop().
    const std::string& Log() {
        if (m_drain.joinable()) m_drain.join();
        return m_log;
    }

private:
    static std::vector<std::string> Args(std::vector<std::string> extra) {
        std::vector<std::string> all = {Program(), "serve"};
        // With --http alone the daemon has no binary listener.
        if (std::find(extra.begin(), extra.end(), "--listen") == extra.end() &&
            std::find(extra.begin(), extra.end(), "--http") == extra.end())
            all.insert(all.end(), {"--listen", "127.0.0.1:0"});
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    static nsbtest::ChildProcess::Options Options(std::map<std::string, std::string> env) {
        nsbtest::ChildProcess::Options options;
        options.readyFd = 2;  // where a daemon logs by default
        options.ready = "listening on ";
        options.graceMs = 60000;
        env.emplace("XDG_STATE_HOME", StateHome());
        options.env = env;
        return options;
    }

    nsbtest::ChildProcess m_process;
    std::string m_endpoint;
    std::string m_log;
    std::thread m_drain;
};

// A test suite that shares one private NFS server among its tests: `Suite`
// fills it in `static void Populate(nfstest::NfsTestServer&)`; it is started
// before the first test and stopped after the last.
template <typename Suite>
class ServedSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new nfstest::NfsTestServer();
        Suite::Populate(*server_);
        server_->Start();
        address_ = new std::string(server_->Address());
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        delete address_;
        address_ = nullptr;
    }
    static const std::string& Address() { return *address_; }
    static nfstest::NfsTestServer& Server() { return *server_; }

private:
    static nfstest::NfsTestServer* server_;
    static std::string* address_;
};
template <typename Suite>
nfstest::NfsTestServer* ServedSuite<Suite>::server_ = nullptr;
template <typename Suite>
std::string* ServedSuite<Suite>::address_ = nullptr;

}  // namespace nbtest
