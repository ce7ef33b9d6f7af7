// nasbrowse_macro: the whole host program, `nasbrowse browse` of a large
// directory on the GUI road (table and JSON, output to a file), side by side
// in one run with nfs-ls and with the raw streaming floor.
//
// Must run inside scripts/netns-run.sh (scripts/bench.sh does it):
//
//   nasbrowse_macro [--runs N] [--files N] [--huge N]
//
// Serves the export /data with /data/big (N empty files, default 100000),
// /data/small (2 files) and, with --huge N (default 0: none), /data/huge.
// Each run lists big and small, in an order that rotates from run to run,
// with
//   - nfs-ls nfs://ADDR/data/DIR,
//   - the floor: this program re-executed with --child, which loads the
//     plug-in, calls its network entry, decodes the reply as it arrives and
//     writes one line per item (type, size, time, name), flushing after each
//     piece of the reply as nasbrowse does: what any host program showing a
//     streamed listing has to do, and no more,
//   - nasbrowse browse ADDR /data/DIR (a table with its header and summary),
//   - nasbrowse browse ADDR /data/DIR --format json,
// each with stdout on a file, in a process of its own (peak RSS from wait4).
// A second set of the same runs has stdout on a pipe read here, for the time
// from the spawn to the first item on stdout. The huge directory is listed
// once per program (and by the floor) for its peak RSS. One warm-up round is
// not counted. Prints medians, checks the targets, and exits 1 when one is
// missed (2 on a failed browse).
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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
#include "host/Message.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/MessageEncoder.h"

namespace {

constexpr double kWallRatioMax = 1.15;    // nasbrowse / floor
constexpr double kRssGrowthMaxMiB = 8.0;  // big (and huge) minus the 2-entry browse
constexpr double kFirstItemMaxMs = 20.0;  // spawn to the first item on stdout

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---------------------------------------------------------------------------
// The floor (child side).

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("write: ") + strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Writes the items as lines to stdout, through `out`.
void Print(const std::vector<ReplyWire::ReplyItem>& items, std::string& out) {
    for (const ReplyWire::ReplyItem& item : items) {
        char digits[48];
        out += item.isFolder ? "d " : "- ";
        out.append(digits, std::to_chars(digits, digits + sizeof digits, item.size).ptr);
        out += ' ';
        out.append(digits, std::to_chars(digits, digits + sizeof digits, item.modifyTime).ptr);
        out += ' ';
        out += item.name;
        out += '\n';
        if (out.size() >= 64 * 1024) {
            WriteAll(STDOUT_FILENO, out.data(), out.size());
            out.clear();
        }
    }
    WriteAll(STDOUT_FILENO, out.data(), out.size());
    out.clear();
}

int ChildFloor(const char* plugin, const std::string& server, const std::string& path) {
    void* handle = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto entry = reinterpret_cast<nsbtest::NetworkEntry>(dlsym(handle, "NASShareBrowse"));
    if (entry == nullptr) throw std::runtime_error("NASShareBrowse is missing");

    std::string out;
    out.reserve(64 * 1024);
    std::string failure;
    nsbtest::NetworkCallOptions options;
    // On the harness's reader thread: a write that fails is told after the call.
    options.onRead = [&](ReplyWire::Reply& reply) {
        if (failure.empty()) {
            try {
                Print(reply.items, out);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (!reply.messages.empty() && failure.empty()) failure = reply.messages.front();
        }
        reply.items.clear();
    };
    const nsbtest::NetworkReply r =
        nsbtest::CallNetworkEntry(entry, MakeGuiBrowseMessage(1, server, 2), path.c_str(), options);
    if (failure.empty() && !r.wellFormed) failure = r.error;
    if (!failure.empty()) throw std::runtime_error("floor: " + failure);
    return 0;
}

// ---------------------------------------------------------------------------
// Parent side.

enum class FirstMark { FirstByte, SecondLine, JsonItem };

struct Sample {
    double wallMs = 0;   // spawn to exit
    double rssMiB = 0;   // peak RSS of the child
    double cpuMs = 0;    // user + system time of the child
    double firstMs = 0;  // spawn to the first item on stdout (pipe runs)
};

// Runs argv with stdout on `outFile`, or (empty) on a pipe read here.
Sample Spawn(const std::vector<std::string>& args, const std::string& outFile, FirstMark mark) {
    int out[2] = {-1, -1};
    if (outFile.empty() && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const int64_t startNs = NowNs();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int fd =
            outFile.empty() ? out[1] : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        perror(argv[0]);
        _exit(127);
    }
    int64_t firstNs = 0;
    if (outFile.empty()) {
        close(out[1]);
        std::vector<char> buffer(1 << 16);
        std::string head;  // the start of the output, until the first item shows
        for (;;) {
            const ssize_t n = read(out[0], buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (firstNs != 0) continue;
            head.append(buffer.data(), static_cast<size_t>(n));
            const bool seen = mark == FirstMark::FirstByte ? true
                              : mark == FirstMark::SecondLine
                                  ? std::count(head.begin(), head.end(), '\n') >= 2
                                  : head.find("{\"name\":") != std::string::npos;
            if (seen) firstNs = NowNs();
        }
        close(out[0]);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4");
    const int64_t endNs = NowNs();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " ... " + args.back() + " failed (status " +
                                 std::to_string(status) + ")");
    Sample s;
    s.wallMs = (endNs - startNs) / 1e6;
    s.rssMiB = usage.ru_maxrss / 1024.0;
    s.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    s.firstMs = firstNs ? (firstNs - startNs) / 1e6 : s.wallMs;
    return s;
}

uint64_t CountLines(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(1 << 16);
    uint64_t lines = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        lines +=
            static_cast<uint64_t>(std::count(buffer.data(), buffer.data() + in.gcount(), '\n'));
    return lines;
}

uint64_t CountJsonItems(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    uint64_t items = 0;
    for (size_t at = text.find("{\"name\":"); at != std::string::npos;
         at = text.find("{\"name\":", at + 1))
        ++items;
    return items;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int Usage() {
    fprintf(stderr,
            "usage: nasbrowse_macro [--runs N] [--files N] [--huge N]   (inside "
            "scripts/netns-run.sh)\n");
    return 2;
}

struct Case {
    std::string key;  // tool + " " + dir
    std::string label;
    std::vector<std::string> args;
    FirstMark mark;
    uint64_t items;  // expected
    bool json;
};

int Main(int argc, char** argv) {
    const char* plugin = getenv("NSB_PLUGIN");
    if (plugin == nullptr) plugin = NSB_PLUGIN_DEFAULT;
    const char* nasbrowse = getenv("NASBROWSE_BIN");
    if (nasbrowse == nullptr) nasbrowse = NASBROWSE_BIN_DEFAULT;

    if (argc == 5 && strcmp(argv[1], "--child") == 0 && strcmp(argv[2], "floor") == 0)
        return ChildFloor(plugin, argv[3], argv[4]);

    int runs = 7;
    size_t files = 100000, huge = 0;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return Usage();
        if (strcmp(argv[i], "--runs") == 0)
            runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--files") == 0)
            files = strtoull(argv[i + 1], nullptr, 10);
        else if (strcmp(argv[i], "--huge") == 0)
            huge = strtoull(argv[i + 1], nullptr, 10);
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
    if (huge > 0) {
        nfstest::MakeDir(data + "/huge");
        nfstest::MakeManyFiles(data + "/huge", huge);
    }
    server.Start();
    const std::string addr = server.Address();
    const std::string out = server.Root() + "/listing.out";
    // nasbrowse's log file goes with the server's files.
    setenv("XDG_STATE_HOME", (server.Root() + "/state").c_str(), 1);

    char exe[4096];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len <= 0) throw std::runtime_error("readlink /proc/self/exe");
    exe[len] = '\0';

    auto casesFor = [&](const std::string& dir, uint64_t count) {
        const std::string suffix = dir == "big"     ? ""
                                   : dir == "small" ? ", 2 entries"
                                                    : ", " + std::to_string(count) + " entries";
        return std::vector<Case>{
            {"nfs-ls " + dir,
             "nfs-ls" + suffix,
             {"nfs-ls", "nfs://" + addr + "/data/" + dir},
             FirstMark::FirstByte,
             count,
             false},
            {"floor " + dir,
             "floor: entry, decode, a line each" + suffix,
             {exe, "--child", "floor", addr, "/" + addr + "/data/" + dir},
             FirstMark::FirstByte,
             count,
             false},
            {"table " + dir,
             "nasbrowse browse (table)" + suffix,
             {nasbrowse, "browse", addr, "/data/" + dir},
             FirstMark::SecondLine,
             count,
             false},
            {"json " + dir,
             "nasbrowse browse --format json" + suffix,
             {nasbrowse, "browse", addr, "/data/" + dir, "--format", "json"},
             FirstMark::JsonItem,
             count,
             true},
        };
    };
    std::vector<Case> cases = casesFor("big", files);
    for (const Case& c : casesFor("small", 2)) cases.push_back(c);

    // The listing must be whole: every item, in the format asked for.
    auto check = [&](const Case& c) {
        uint64_t got = c.json ? CountJsonItems(out) : CountLines(out);
        if (c.key.rfind("table", 0) == 0) got -= 2;  // header and summary
        const bool ok = c.key.rfind("nfs-ls", 0) == 0 ? got >= c.items : got == c.items;
        if (!ok) {
            fprintf(stderr, "nasbrowse_macro: %s gave %llu items, expected %llu\n", c.key.c_str(),
                    static_cast<unsigned long long>(got), static_cast<unsigned long long>(c.items));
            exit(2);
        }
    };

    for (const Case& c : cases) {  // warm-up: the server's caches, the page cache of the binaries
        Spawn(c.args, out, c.mark);
        check(c);
    }
    std::map<std::string, std::vector<Sample>> toFile, toPipe;
    for (int run = 0; run < runs; ++run) {
        for (size_t k = 0; k < cases.size(); ++k) {
            const Case& c = cases[(k + static_cast<size_t>(run)) % cases.size()];
            toFile[c.key].push_back(Spawn(c.args, out, c.mark));
            check(c);
        }
        for (size_t k = 0; k < cases.size(); ++k) {
            const Case& c = cases[(k + static_cast<size_t>(run) + 1) % cases.size()];
            toPipe[c.key].push_back(Spawn(c.args, std::string(), c.mark));
        }
    }
    std::map<std::string, Sample> hugeRuns;
    std::vector<Case> hugeCases;
    if (huge > 0) {
        for (const Case& c : casesFor("huge", huge))
            if (c.key.rfind("nfs-ls", 0) != 0)
                hugeCases.push_back(c);  // nfs-ls holds it all: slow and big
        for (const Case& c : hugeCases) {
            hugeRuns[c.key] = Spawn(c.args, out, c.mark);
            check(c);
        }
    }
    unlink(out.c_str());

    struct Row {
        double wall, cpu, rss, first;
    };
    auto row = [&](const std::string& key) {
        std::vector<double> wall, cpu, rss, first;
        for (const Sample& s : toFile[key]) {
            wall.push_back(s.wallMs);
            cpu.push_back(s.cpuMs);
            rss.push_back(s.rssMiB);
        }
        for (const Sample& s : toPipe[key]) first.push_back(s.firstMs);
        return Row{Median(wall), Median(cpu), Median(rss), Median(first)};
    };

    printf(
        "\nnasbrowse browse of a directory of %zu entries (and of 2), GUI road, output to a file; "
        "median of %d runs, alternating\n\n",
        files, runs);
    printf("| %-52s | %9s | %8s | %14s | %23s |\n", "browse", "wall (ms)", "CPU (ms)",
           "peak RSS (MiB)", "first item (ms, spawn)");
    printf("|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(11, '-').c_str(),
           std::string(10, '-').c_str(), std::string(16, '-').c_str(),
           std::string(25, '-').c_str());
    std::map<std::string, Row> rows;
    for (const Case& c : cases) {
        const Row r = row(c.key);
        rows[c.key] = r;
        printf("| %-52s | %9.1f | %8.1f | %14.1f | %23.1f |\n", c.label.c_str(), r.wall, r.cpu,
               r.rss, r.first);
    }
    for (const Case& c : hugeCases) {
        const Sample& s = hugeRuns[c.key];
        printf("| %-52s | %9.1f | %8.1f | %14.1f | %23s |\n", c.label.c_str(), s.wallMs, s.cpuMs,
               s.rssMiB, "-");
    }

    bool allMet = true;
    auto target = [&](const std::string& what, double value, const char* unit, double limit) {
        const bool met = value <= limit;
        allMet = allMet && met;
        printf("%-58s %8.2f%s  (target <= %.2f%s)  %s\n", what.c_str(), value, unit, limit, unit,
               met ? "met" : "MISSED");
    };
    printf("\n");
    for (const char* tool : {"table", "json"}) {
        const std::string name = std::string("nasbrowse ") + tool;
        target(name + " wall / floor wall",
               rows[std::string(tool) + " big"].wall / rows["floor big"].wall, "", kWallRatioMax);
        target(name + " peak RSS, big minus 2-entry browse",
               rows[std::string(tool) + " big"].rss - rows[std::string(tool) + " small"].rss,
               " MiB", kRssGrowthMaxMiB);
        if (huge > 0)
            target(name + " peak RSS, " + std::to_string(huge) + " entries minus 2",
                   hugeRuns[std::string(tool) + " huge"].rssMiB -
                       rows[std::string(tool) + " small"].rss,
                   " MiB", kRssGrowthMaxMiB);
        target(name + " first item after the spawn", rows[std::string(tool) + " big"].first, " ms",
               kFirstItemMaxMs);
    }
    printf(
        "(for reference: nfs-ls wall / floor wall %.2f; nasbrowse table wall / nfs-ls wall %.2f)\n",
        rows["nfs-ls big"].wall / rows["floor big"].wall,
        rows["table big"].wall / rows["nfs-ls big"].wall);
    return allMet ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "nasbrowse_macro: %s\n", e.what());
        return 2;
    }
}
