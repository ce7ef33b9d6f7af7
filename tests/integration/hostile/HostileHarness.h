// The pieces of the hostile-server catalogue: the scripted peer
// (testing/hostile_nfs) as a child process, and the probes that browse it
// through `nasbrowse` and through the plug-in loaded in a child of its own,
// each watched (WatchedChild.h) and its answer read back.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "WatchedChild.h"
#include "common/TestSupport.h"
#include "host/NFSClient.h"
#include "host_framework/ReplyReader.h"
#include "integration/plugin/PluginTestSupport.h"

namespace hostile {

using nsbtest::Hex;
using nsbtest::Python3;
using nsbtest::ReadWhole;
using nsbtest::SourceDir;
using nsbtest::Unhex;

// Printable form of a name for messages: bytes outside 0x20..0x7E as \xNN.
inline std::string Shown(const std::string& bytes, size_t limit = 80) {
    std::string out;
    for (unsigned char c : bytes.substr(0, limit)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

// The scripted peer, listening on `address` until destroyed. Its standard
// input is a pipe the peer watches: if this process dies, the peer exits.
class PeerProcess {
public:
    PeerProcess(const std::string& address, const std::string& fault,
                const std::vector<std::string>& extra)
        : m_errPath("/tmp/hostile-peer-" + std::to_string(getpid()) + "-" +
                    std::to_string(++Counter()) + ".err"),
          m_process(Args(address, fault, extra), Options(m_errPath)) {}
    ~PeerProcess() {
        m_process.Stop();
        unlink(m_errPath.c_str());
    }

    std::string Log() const { return ReadWhole(m_errPath, 1 << 20); }
    // Stops the peer and returns what it said on standard error, its last
    // words included (over NFSv4.1: "left N client ids, M sessions").
    std::string Finish() {
        m_process.Stop();
        return Log();
    }

private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }
    static std::vector<std::string> Args(const std::string& address, const std::string& fault,
                                         const std::vector<std::string>& extra) {
        std::vector<std::string> args = {
            Python3(),      SourceDir() + "/testing/hostile_nfs/hostile_nfs.py",
            "--address",    address,
            "--fault",      fault,
            "--stdin-watch"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // Ready once it says so (large replies are built before that); it
    // writes what the calls left on the server as it stops: time enough for
    // that on a machine loaded by sanitized test shards (10 s, times
    // NSB_TIME_FACTOR: a sanitized run once took longer than 10 s).
    static nsbtest::ChildProcess::Options Options(const std::string& errPath) {
        nsbtest::ChildProcess::Options options;
        options.readySeconds = 60;
        options.stderrPath = errPath;
        options.watchStdin = true;
        options.graceMs = static_cast<int>(10000 * nsbtest::TimeFactor());
        return options;
    }

    std::string m_errPath;
    nsbtest::ChildProcess m_process;
};

// ---- probes ----------------------------------------------------------------

enum class Kind { Exports, Gui, Xml, Plugin };

inline const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Exports: return "nasbrowse exports";
    case Kind::Gui: return "nasbrowse browse --via gui";
    case Kind::Xml: return "nasbrowse browse --via xml";
    case Kind::Plugin: return "plug-in network entry";
    }
    return "?";
}

struct Probe {
    Probe() = default;
    Probe(Kind k, std::string p, std::vector<std::string> a = {})
        : kind(k), path(std::move(p)), args(std::move(a)) {}
    Kind kind = Kind::Exports;
    std::string path;               // on the server; unused for Exports
    std::vector<std::string> args;  // more options for nasbrowse
};

struct Item {
    std::string name;  // bytes as delivered
    bool folder = false;
    long long size = 0;
};

// What one probe answered.
struct Answer {
    bool parsed = false;  // the output could be read
    bool failed = false;  // a failure was reported
    std::string failure;
    std::vector<Item> items;  // browse items; for Exports the paths as names
    size_t count = 0;         // items delivered (items may hold fewer)
    bool ended = true;        // plug-in: the reply's end marker came
    std::string note;         // why the output could not be read
};

struct ProbeRun {
    Probe probe;
    Ended ended;
    Answer answer;
    std::string errText;  // the program's standard error, cut
};

struct Settings {
    std::string address;
    unsigned timeoutSeconds = 2;
    Limits limits;
    std::vector<std::pair<std::string, std::string>> environment;  // added for the child
};

inline std::string NasbrowseProgram() {
    const char* env = getenv("NASBROWSE_BIN");
#ifdef NASBROWSE_BIN
    return env ? env : NASBROWSE_BIN;
#else
    return env ? env : "nasbrowse";
#endif
}

inline Answer ReadNasbrowseJson(Kind kind, const std::string& text) {
    Answer answer;
    if (text.empty()) {
        answer.note = "no output";
        return answer;
    }
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        answer.note = std::string("output is not JSON: ") + e.what();
        return answer;
    }
    answer.parsed = true;
    if (document.contains("error") && !document["error"].is_null()) {
        answer.failed = true;
        answer.failure = document["error"].value("message", "");
    }
    if (kind == Kind::Exports) {
        for (const auto& share : document.value("shares", nlohmann::json::array()))
            answer.items.push_back(Item{share.get<std::string>(), true, 0});
    } else {
        for (const auto& item : document.value("items", nlohmann::json::array())) {
            Item out;
            out.name = item.contains("name_hex") ? Unhex(item["name_hex"].get<std::string>())
                                                 : item.value("name", "");
            out.folder = item.value("folder", false);
            out.size = item.value("size", 0LL);
            answer.items.push_back(out);
        }
    }
    answer.count = answer.items.size();
    return answer;
}

inline ProbeRun RunNasbrowse(const Settings& settings, const Probe& probe) {
    static int counter = 0;
    const std::string base =
        "/tmp/hostile-nasbrowse-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    std::vector<std::string> args = {NasbrowseProgram()};
    if (probe.kind == Kind::Exports) {
        args.insert(args.end(), {"exports", settings.address});
    } else {
        args.insert(args.end(), {"browse", settings.address, probe.path, "--via",
                                 probe.kind == Kind::Gui ? "gui" : "xml"});
    }
    args.insert(args.end(),
                {"--timeout", std::to_string(settings.timeoutSeconds), "--format", "json"});
    args.insert(args.end(), probe.args.begin(), probe.args.end());
    ProbeRun run;
    run.probe = probe;
    run.ended = RunWatched(
        [&](int) {
            const int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            for (const auto& e : settings.environment) setenv(e.first.c_str(), e.second.c_str(), 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        },
        settings.limits);
    // Of larger outputs only the error at the end is read: this process
    // stays small, since the plug-in children are forks of it and start
    // with its pages.
    struct stat st {};
    if (stat((base + ".out").c_str(), &st) == 0 && st.st_size > 16 * 1024 * 1024) {
        std::ifstream in(base + ".out", std::ios::binary);
        in.seekg(st.st_size - 8192);
        const std::string tail((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const size_t error = tail.rfind("],\"error\":");
        if (error != std::string::npos)
            run.answer = ReadNasbrowseJson(probe.kind, "{" + tail.substr(error + 2));
        run.answer.note = "output of " + std::to_string(st.st_size) + " bytes: only its error read";
    } else {
        run.answer = ReadNasbrowseJson(probe.kind, ReadWhole(base + ".out"));
    }
    run.errText = ReadWhole(base + ".err", 4096);
    unlink((base + ".out").c_str());
    unlink((base + ".err").c_str());
    return run;
}

// Items a plug-in child tells one by one; past them it tells only how many.
constexpr size_t kToldItems = 20000;

// In the child: the plug-in's network entry for `path`, the reply decoded as
// it arrives, and a summary written to `reportFd`, one line each:
//   item FOLDER SIZE HEXNAME (the first kToldItems) / progress N (items so
//   far, every 10,000 after those) / message HEX / ended 0|1 /
//   wellformed 0|1 / count N / error HEX (an exception in the child)
[[noreturn]] inline void PluginChild(const Settings& settings, const std::string& path,
                                     int reportFd) {
    auto say = [&](const std::string& line) {
        const std::string text = line + "\n";
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(reportFd, text.data() + done, text.size() - done);
            if (n <= 0) _exit(4);
            done += static_cast<size_t>(n);
        }
    };
    try {
        for (const auto& e : settings.environment) setenv(e.first.c_str(), e.second.c_str(), 1);
        NFSClientSetTimeoutMs(settings.timeoutSeconds * 1000);
        // The library reads no environment: the variable nasbrowse reads is passed on as nasbrowse
        // does.
        if (const char* limit = getenv("NASBROWSE_NFS_CALL_LIMIT"))
            NFSClientSetCallLimitMs(static_cast<unsigned int>(atof(limit) * 1000));
        plugin_test::Plugin plugin;
        const GuiMessage message =
            MessageEncoder().Field(TAG_NAS_INTERFACE, settings.address).Message(1);

        // Items go out as they come (a child that dies later has told them)
        // and are not kept here: this process's memory is the plug-in's.
        size_t count = 0;
        auto tell = [&](ReplyWire::Reply& reply) {
            auto& items = reply.items;
            for (const ReplyWire::ReplyItem& item : items) {
                if (count < kToldItems)
                    say("item " + std::to_string(item.isFolder ? 1 : 0) + " " +
                        std::to_string(item.size) + " " + Hex(item.name));
                else if (count % 10000 == 0)
                    say("progress " + std::to_string(count));
                ++count;
            }
            items.clear();
            items.shrink_to_fit();
        };
        nsbtest::NetworkCallOptions options;
        options.onRead = tell;
        options.idleTimeoutMs = 0;  // the parent watches the time
        const std::string request = "/" + settings.address + (path == "/" ? "" : path);
        nsbtest::NetworkReply answer =
            nsbtest::CallNetworkEntry(plugin.network, message, request.c_str(), options);
        const bool wellFormed = answer.wellFormed;
        tell(answer.reply);
        const ReplyWire::Reply& reply = answer.reply;
        for (const std::string& m : reply.messages) say("message " + Hex(m));
        say("ended " + std::to_string(reply.ended ? 1 : 0));
        say("wellformed " + std::to_string(wellFormed ? 1 : 0));
        say("count " + std::to_string(count));
        _exit(0);
    } catch (const std::exception& e) {
        say("error " + Hex(e.what()));
        _exit(3);
    }
}

inline Answer ReadPluginSummary(const std::string& text) {
    Answer answer;
    answer.ended = false;
    std::istringstream lines(text);
    std::string line;
    bool counted = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "item") {
            Item item;
            int folder = 0;
            std::string hex;
            words >> folder >> item.size >> hex;
            item.folder = folder != 0;
            item.name = Unhex(hex);
            answer.items.push_back(item);
        } else if (word == "message") {
            std::string hex;
            words >> hex;
            answer.failed = true;
            answer.failure += (answer.failure.empty() ? "" : " | ") + Unhex(hex);
        } else if (word == "ended") {
            int v = 0;
            words >> v;
            answer.ended = v != 0;
        } else if (word == "progress") {
            words >> answer.count;
        } else if (word == "count") {
            words >> answer.count;
            counted = true;
            answer.parsed = true;
        } else if (word == "error") {
            std::string hex;
            words >> hex;
            answer.note = "the child failed: " + Unhex(hex);
        }
    }
    if (!counted) answer.count = std::max(answer.count, answer.items.size());
    if (!answer.parsed && answer.note.empty()) answer.note = "the child ended before its summary";
    return answer;
}

inline ProbeRun RunPlugin(const Settings& settings, const Probe& probe) {
    ProbeRun run;
    run.probe = probe;
    run.ended = RunWatched([&](int reportFd) { PluginChild(settings, probe.path, reportFd); },
                           settings.limits);
    run.answer = ReadPluginSummary(run.ended.output);
    run.ended.output.clear();
    run.ended.output.shrink_to_fit();
    return run;
}

inline ProbeRun RunProbe(const Settings& settings, const Probe& probe) {
    return probe.kind == Kind::Plugin ? RunPlugin(settings, probe) : RunNasbrowse(settings, probe);
}

}  // namespace hostile
