// browse_macro: end-to-end browse of a large directory served by a private NFS
// server, through the plug-in's two entries, side by side with nfs-ls.
//
// Must run inside scripts/netns-run.sh (scripts/bench.sh does it):
//
//   browse_macro [--runs N] [--files N]
//
// Serves the export /data with /data/big (N empty files, default 100000) and
// /data/small (2 files), then, in alternating order within each run, lists
// both directories with
//   - nfs-ls nfs://ADDR/data/DIR (stdout read through a pipe),
//   - the network entry (reply read and decoded by a thread while the entry
//     writes it),
//   - the XML entry, with the response written as XML text to a file.
// Every browse runs in a process of its own (this program re-executed with
// --child), so its peak RSS is that process's alone (wait4 rusage). Prints
// medians of wall time, peak RSS and time to the first item, the ratios, and
// exits 1 when a target is missed (2 on a failed browse).
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NfsTestServer.h"
#include "common/NetworkEntryCall.h"
#include "common/XmlEntryCall.h"
#include "host/BrowseMessageFields.h"
#include "host/Message.h"
#include "host/MessageBase.h"
#include "host_framework/MessageXml.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/MessageEncoder.h"

namespace {

// Targets checked at the end.
constexpr double kNetworkWallRatioMax = 0.5;  // network entry / nfs-ls
constexpr double kXmlWallRatioMax = 1.0;      // XML entry (XML written) / nfs-ls
constexpr double kRssGrowthMaxMiB = 8.0;      // network entry, big minus small
constexpr double kFirstItemMaxMs = 20.0;      // network entry, from the call

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---------------------------------------------------------------------------
// Child side: one browse through the plug-in, then one line on stdout:
// "items call_ns first_ns end_ns" (absolute CLOCK_MONOTONIC).

using nsbtest::XmlEntry;

void* OpenPlugin(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    return handle;
}

// The network entry through the tests' harness (tests/common): the reply
// read and decoded while the entry writes it, and the decoded items dropped
// (counted), as a requester showing them would: the memory measured is the
// entry's. Notes when the first item was decoded.
int ChildNetwork(const char* plugin, const std::string& server, const std::string& path) {
    void* handle = OpenPlugin(plugin);
    auto entry = reinterpret_cast<nsbtest::NetworkEntry>(dlsym(handle, "NASShareBrowse"));
    if (entry == nullptr) throw std::runtime_error("NASShareBrowse is missing");
    const GuiMessage message = MessageEncoder()
                                   .Field(TAG_NAS_INTERFACE, server)   // interface name
                                   .Words(TAG_VESSACELL_INFO, {0, 2})  // cell id 2
                                   .Message(1001);

    uint64_t items = 0;
    int64_t firstNs = 0;
    std::string failure;
    nsbtest::NetworkCallOptions options;
    options.onRead = [&](ReplyWire::Reply& reply) {
        if (!reply.items.empty()) {
            if (firstNs == 0) firstNs = NowNs();
            items += reply.items.size();
            reply.items.clear();
        }
        if (!reply.messages.empty() && failure.empty())
            failure = "failure message: " + reply.messages.front();
    };
    const int64_t callNs = NowNs();
    const nsbtest::NetworkReply r =
        nsbtest::CallNetworkEntry(entry, message, path.c_str(), options);
    const int64_t endNs = NowNs();
    if (failure.empty() && !r.wellFormed) failure = r.error;
    if (failure.empty() && !r.reply.ended) failure = "the reply stopped before its end marker";
    if (!failure.empty()) throw std::runtime_error("network reply: " + failure);
    printf("%llu %lld %lld %lld\n", static_cast<unsigned long long>(items),
           static_cast<long long>(callNs), static_cast<long long>(firstNs ? firstNs : endNs),
           static_cast<long long>(endNs));
    return 0;
}

int ChildXml(const char* plugin, const std::string& server, const std::string& path,
             const std::string& out) {
    void* handle = OpenPlugin(plugin);
    auto entry = reinterpret_cast<XmlEntry>(dlsym(handle, "NASShareXMLBrowse"));
    if (entry == nullptr) throw std::runtime_error("NASShareXMLBrowse is missing");

    App::MachineBrowseReq request = nsbtest::MakeXmlBrowseRequest(server, path);
    App::MachineBrowseResp response;
    App::GenericResp generic;
    const int64_t callNs = NowNs();
    entry(&request, &response, &generic);
    std::string failure;
    if (nsbtest::FailureOf(generic, failure))
        throw std::runtime_error("XML failure message: " + failure);
    const size_t items = response.getBrowseItems()->size();
    const int64_t listedNs = NowNs();
    {
        const std::string xml = MessageXml::WriteMachineBrowseResp(response);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) throw std::runtime_error("open " + out + ": " + strerror(errno));
        for (size_t done = 0; done < xml.size();) {
            const ssize_t n = write(fd, xml.data() + done, xml.size() - done);
            if (n <= 0) throw std::runtime_error("write " + out + ": " + strerror(errno));
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    // The requester gets its first item with the whole response.
    const int64_t endNs = NowNs();
    if (getenv("BROWSE_MACRO_PHASES") != nullptr) {
        response = App::MachineBrowseResp();
        fprintf(stderr, "xml phases (ms): entry %.1f, XML text and file %.1f, release %.1f\n",
                (listedNs - callNs) / 1e6, (endNs - listedNs) / 1e6, (NowNs() - endNs) / 1e6);
    }
    printf("%zu %lld %lld %lld\n", items, static_cast<long long>(callNs),
           static_cast<long long>(endNs), static_cast<long long>(endNs));
    return 0;
}

// ---------------------------------------------------------------------------
// Parent side.

struct Sample {
    double wallMs = 0;        // spawn to exit
    double rssMiB = 0;        // peak RSS of the child
    double cpuMs = 0;         // user + system time of the child
    double serverCpuMs = 0;   // user + system time the NFS server spent meanwhile
    double firstMs = 0;       // spawn to first item (nfs-ls: first output byte)
    double firstCallMs = -1;  // entry call to first item (entries only)
    uint64_t items = 0;       // items, or output lines for nfs-ls
};

// Runs argv with stdout on a pipe read here; measures the process.
Sample Spawn(const std::vector<std::string>& args, bool child) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const int64_t startNs = NowNs();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        perror(argv[0]);
        _exit(127);
    }
    close(out[1]);
    int64_t firstByteNs = 0;
    uint64_t lines = 0;
    std::string text;  // the child's report (entries only)
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(out[0], buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (firstByteNs == 0) firstByteNs = NowNs();
        lines += static_cast<uint64_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
        if (child) text.append(buffer.data(), static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4");
    const int64_t endNs = NowNs();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " " + args.back() + " failed (status " +
                                 std::to_string(status) + ")");

    Sample s;
    s.wallMs = (endNs - startNs) / 1e6;
    s.rssMiB = usage.ru_maxrss / 1024.0;
    s.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    if (child) {
        unsigned long long items = 0;
        long long callNs = 0, firstNs = 0, doneNs = 0;
        if (sscanf(text.c_str(), "%llu %lld %lld %lld", &items, &callNs, &firstNs, &doneNs) != 4)
            throw std::runtime_error("unreadable child report: " + text);
        s.items = items;
        s.firstMs = (firstNs - startNs) / 1e6;
        s.firstCallMs = (firstNs - callNs) / 1e6;
    } else {
        s.items = lines;
        s.firstMs = firstByteNs ? (firstByteNs - startNs) / 1e6 : s.wallMs;
    }
    return s;
}

// User + system CPU time of process `pid` so far, in ms (0 when unreadable).
double ProcessCpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    // Fields after the command: state is field 3; utime and stime are 14 and 15.
    std::vector<std::string> fields;
    size_t at = paren + 2;
    while (at < text.size() && fields.size() < 13) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space - at));
        if (space == std::string::npos) break;
        at = space + 1;
    }
    if (fields.size() < 13) return 0;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (strtod(fields[11].c_str(), nullptr) + strtod(fields[12].c_str(), nullptr)) * 1000.0 /
           ticks;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Medians {
    double wallMs, cpuMs, serverCpuMs, rssMiB, firstMs, firstCallMs;
};

Medians Summarise(const std::vector<Sample>& samples) {
    std::vector<double> wall, cpu, serverCpu, rss, first, firstCall;
    for (const Sample& s : samples) {
        wall.push_back(s.wallMs);
        cpu.push_back(s.cpuMs);
        serverCpu.push_back(s.serverCpuMs);
        rss.push_back(s.rssMiB);
        first.push_back(s.firstMs);
        firstCall.push_back(s.firstCallMs);
    }
    return Medians{Median(wall), Median(cpu),   Median(serverCpu),
                   Median(rss),  Median(first), Median(firstCall)};
}

int Usage() {
    fprintf(stderr, "usage: browse_macro [--runs N] [--files N]   (inside scripts/netns-run.sh)\n");
    return 2;
}

int Main(int argc, char** argv) {
    const char* plugin = getenv("NSB_PLUGIN");
    if (plugin == nullptr) plugin = NSB_PLUGIN_DEFAULT;

    if (argc >= 5 && strcmp(argv[1], "--child") == 0) {
        const std::string mode = argv[2];
        if (mode == "network") return ChildNetwork(plugin, argv[3], argv[4]);
        if (mode == "xml" && argc >= 6) return ChildXml(plugin, argv[3], argv[4], argv[5]);
        return Usage();
    }

    int runs = 7;
    size_t files = 100000;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return Usage();
        if (strcmp(argv[i], "--runs") == 0)
            runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--files") == 0)
            files = strtoull(argv[i + 1], nullptr, 10);
        else
            return Usage();
    }
    if (runs < 1 || files < 1) return Usage();

    nfstest::NfsTestServer server;
    const std::string data = server.AddExport("/data");
    nfstest::MakeDir(data + "/big");
    nfstest::MakeManyFiles(data + "/big", files);
    nfstest::MakeDir(data + "/small");
    nfstest::MakeFile(data + "/small/one", 1);
    nfstest::MakeFile(data + "/small/two", 2);
    server.Start();
    const std::string addr = server.Address();
    const std::string self = "/proc/self/exe";
    const std::string xmlOut = server.Root() + "/response.xml";
    pid_t ganesha = 0;  // the server's process, for its CPU time
    std::ifstream(server.Root() + "/ganesha.pid") >> ganesha;

    struct Case {
        std::string name;  // tool-dir
        std::vector<std::string> args;
        bool child;
        uint64_t expected;  // items (entries) or at least this many lines (nfs-ls)
    };
    std::vector<Case> cases;
    for (const std::string dir : {"big", "small"}) {
        const uint64_t count = dir == "big" ? files : 2;
        const std::string path = "/" + addr + "/data/" + dir;
        // readlink: the child must be this same binary even after a rebuild.
        char exe[4096];
        const ssize_t len = readlink(self.c_str(), exe, sizeof exe - 1);
        if (len <= 0) throw std::runtime_error("readlink /proc/self/exe");
        exe[len] = '\0';
        cases.push_back(
            {"nfs-ls " + dir, {"nfs-ls", "nfs://" + addr + "/data/" + dir}, false, count});
        cases.push_back({"network " + dir, {exe, "--child", "network", addr, path}, true, count});
        cases.push_back({"xml " + dir, {exe, "--child", "xml", addr, path, xmlOut}, true, count});
    }

    // One warm-up browse of each kind (the server's caches, the page cache
    // of the binaries), not counted.
    for (const Case& c : cases) Spawn(c.args, c.child);

    std::map<std::string, std::vector<Sample>> samples;
    for (int run = 0; run < runs; ++run) {
        // Alternate: each run starts with a different case.
        for (size_t k = 0; k < cases.size(); ++k) {
            const Case& c = cases[(k + static_cast<size_t>(run)) % cases.size()];
            const double serverBefore = ProcessCpuMs(ganesha);
            Sample s = Spawn(c.args, c.child);
            s.serverCpuMs = ProcessCpuMs(ganesha) - serverBefore;
            const bool ok = c.child ? s.items == c.expected : s.items >= c.expected;
            if (!ok) {
                fprintf(stderr, "browse_macro: %s gave %llu items, expected %llu\n", c.name.c_str(),
                        static_cast<unsigned long long>(s.items),
                        static_cast<unsigned long long>(c.expected));
                return 2;
            }
            samples[c.name].push_back(s);
        }
    }

    std::map<std::string, Medians> m;
    for (const auto& [name, list] : samples) m[name] = Summarise(list);

    printf(
        "\nbrowse of a directory of %zu entries (and of 2 entries), median of %d runs, "
        "alternating\n\n",
        files, runs);
    printf("| %-28s | %9s | %8s | %15s | %14s | %22s | %21s |\n", "browse", "wall (ms)", "CPU (ms)",
           "server CPU (ms)", "peak RSS (MiB)", "first item (ms, spawn)", "first item (ms, call)");
    printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(11, '-').c_str(),
           std::string(10, '-').c_str(), std::string(17, '-').c_str(), std::string(16, '-').c_str(),
           std::string(24, '-').c_str(), std::string(23, '-').c_str());
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"nfs-ls big", "nfs-ls"},
        {"network big", "network entry, reply decoded"},
        {"xml big", "XML entry, XML written"},
        {"nfs-ls small", "nfs-ls, 2 entries"},
        {"network small", "network entry, 2 entries"},
        {"xml small", "XML entry, 2 entries"},
    };
    for (const auto& [key, label] : rows) {
        const Medians& r = m[key];
        char call[32] = "-";
        if (r.firstCallMs >= 0) snprintf(call, sizeof call, "%.1f", r.firstCallMs);
        printf("| %-28s | %9.1f | %8.1f | %15.0f | %14.1f | %22.1f | %21s |\n", label.c_str(),
               r.wallMs, r.cpuMs, r.serverCpuMs, r.rssMiB, r.firstMs, call);
    }

    const double networkRatio = m["network big"].wallMs / m["nfs-ls big"].wallMs;
    const double xmlRatio = m["xml big"].wallMs / m["nfs-ls big"].wallMs;
    const double rssGrowth = m["network big"].rssMiB - m["network small"].rssMiB;
    const double firstCall = m["network big"].firstCallMs;
    bool allMet = true;
    auto check = [&](const char* what, double value, const char* unit, const char* op,
                     double limit) {
        const bool met = value <= limit;
        allMet = allMet && met;
        printf("%-52s %8.2f%s  (target %s %.2f%s)  %s\n", what, value, unit, op, limit, unit,
               met ? "met" : "MISSED");
    };
    printf("\n");
    check("network entry wall / nfs-ls wall", networkRatio, "", "<=", kNetworkWallRatioMax);
    check("network entry peak RSS, big minus 2-entry browse", rssGrowth, " MiB",
          "<=", kRssGrowthMaxMiB);
    check("network entry first live item after the call", firstCall, " ms", "<=", kFirstItemMaxMs);
    check("XML entry (XML written) wall / nfs-ls wall", xmlRatio, "", "<=", kXmlWallRatioMax);
    printf(
        "(for reference: XML entry peak RSS, big minus 2-entry browse %.1f MiB; nfs-ls %.1f MiB)\n",
        m["xml big"].rssMiB - m["xml small"].rssMiB,
        m["nfs-ls big"].rssMiB - m["nfs-ls small"].rssMiB);
    return allMet ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "browse_macro: %s\n", e.what());
        return 2;
    }
}
