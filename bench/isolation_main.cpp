// isolation_cost: what running each call's protocol work in a worker process
// costs, side by side in one run with the same work done in the calling
// process. A browse is what the plug-in does: the export list, then the
// listing of a folder. Must run inside scripts/netns-run.sh (scripts/bench.sh
// does it):
//
//   isolation_cost [--runs N] [--files N]
//
// Serves /data/small (2 files) and /data/big (N files, default 100000) from
// a private NFS server and, alternating within each run, browses both
//   - in process: the protocol functions the worker runs, called directly;
//   - isolated: GetExports and DoNFSLiveBrowse of the library (a worker per
//     call, the server cache between the two calls).
// Prints medians of wall time and of the time to the first entry, the
// medians of the paired differences the targets are on, and CPU time per
// run (this process and its workers); exits 1 when a target is missed.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>  // usleep

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NfsTestServer.h"
#include "host/NFSClient.h"
#include "nfs_client/worker/Protocol.h"

namespace {

// Targets.
constexpr double kSmallExtraMsMax = 3.0;   // isolated minus in process, 2-entry browse
constexpr double kBigRatioMax = 1.05;      // isolated / in process, 100,000 entries
constexpr double kFirstEntryMsMax = 20.0;  // isolated, from the start of the browse

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double CpuMs() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        total += (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
                 (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    }
    return total;
}

struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    double firstMs = 0;
    size_t entries = 0;
};

struct Counter {
    Clock::time_point start;
    Clock::time_point first;
    size_t entries = 0;
    void Entry() {
        if (entries++ == 0) first = Clock::now();
    }
};

Sample InProcess(const std::string& address, const std::string& folder) {
    using namespace nfsclient;
    Sample sample;
    Counter counter;
    const double cpu = CpuMs();
    counter.start = Clock::now();
    CallLimits limits;
    Call exports(address.c_str(), AF_INET, limits);
    ReadExports(exports, [](const char*) { return true; });
    Call listing(address.c_str(), AF_INET, limits);
    listing.profile = exports.profile;
    class Receiver : public EntryReceiver {
    public:
        explicit Receiver(Counter& c) : m_counter(c) {}
        bool OnEntry(const NFSItemInfo&) override {
            m_counter.Entry();
            return true;
        }
        void OnNotice(const std::string&) override {}

    private:
        Counter& m_counter;
    } receiver(counter);
    EntryDelivery delivery(receiver, limits.maxEntries);
    ListDirectory(listing, {"data", folder}, "/data/" + folder, delivery);
    if (!exports.status.Ok() || !listing.status.Ok()) {
        fprintf(stderr, "in process: %s%s\n", exports.status.Text().c_str(),
                listing.status.Text().c_str());
        exit(2);
    }
    sample.wallMs = Ms(Clock::now() - counter.start);
    sample.cpuMs = CpuMs() - cpu;
    sample.firstMs = Ms(counter.first - counter.start);
    sample.entries = counter.entries;
    return sample;
}

Sample Isolated(const std::string& address, const std::string& folder) {
    Sample sample;
    Counter counter;
    char error[NFS_ERROR_TEXT_SIZE] = "";
    const double cpu = CpuMs();
    counter.start = Clock::now();
    const std::string path = "/data/" + folder;
    if (GetExports(
            address.c_str(), nullptr, [](void*, const char*) { return true; }, error) != 0 ||
        DoNFSLiveBrowse(
            address.c_str(), path.c_str(), &counter,
            [](void* c, void*, unsigned long long, bool, bool&) {
                static_cast<Counter*>(c)->Entry();
                return true;
            },
            0, 0, 1, error) != 0) {
        fprintf(stderr, "isolated: %s\n", error);
        exit(2);
    }
    sample.wallMs = Ms(Clock::now() - counter.start);
    sample.cpuMs = CpuMs() - cpu;
    sample.firstMs = Ms(counter.first - counter.start);
    sample.entries = counter.entries;
    return sample;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 15;
    size_t files = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--files") == 0) files = strtoul(argv[i + 1], nullptr, 10);
    }
    nfstest::NfsTestServer server;
    const std::string data = server.AddExport("/data");
    nfstest::MakeDir(data + "/small");
    nfstest::MakeManyFiles(data + "/small", 2, "s");
    nfstest::MakeDir(data + "/big");
    nfstest::MakeManyFiles(data + "/big", files, "f");
    server.Start();
    const std::string address = server.Address();

    struct Series {
        std::vector<double> wall, first;
        void Add(const Sample& s) {
            wall.push_back(s.wallMs);
            first.push_back(s.firstMs);
        }
    };
    Series small[2], big[2];  // [0] in process, [1] isolated
    double cpuTotal[2] = {0, 0};
    InProcess(address, "big");  // warm the server's caches
    // The workers' CPU time is counted when they are reaped, which the library
    // does at a later call: per browse it would land on the wrong one, so it
    // is summed over the series (the last workers reaped by one more call).
    const double isolatedCpuStart = CpuMs();
    for (int run = 0; run < runs; ++run) {
        const bool isolatedFirst = run % 2 == 1;
        for (int k = 0; k < 2; ++k) {
            const bool isolated = (k == 0) == isolatedFirst;
            const Sample s = isolated ? Isolated(address, "small") : InProcess(address, "small");
            const Sample b = isolated ? Isolated(address, "big") : InProcess(address, "big");
            small[isolated].Add(s);
            big[isolated].Add(b);
            if (!isolated) cpuTotal[0] += s.cpuMs + b.cpuMs;
        }
    }
    usleep(300 * 1000);  // past the grace of the last answered workers
    Isolated(address, "small");
    cpuTotal[1] = CpuMs() - isolatedCpuStart - cpuTotal[0];

    // Paired: each run's isolated browse against the in-process one of the
    // same run, so that the machine's slower and faster moments cancel.
    std::vector<double> extras, ratios;
    for (int run = 0; run < runs; ++run) {
        extras.push_back(small[1].wall[run] - small[0].wall[run]);
        ratios.push_back(big[1].wall[run] / big[0].wall[run]);
    }
    const std::string heading = "browse (medians of " + std::to_string(runs) + " runs)";
    printf("%-40s %10s %10s\n", heading.c_str(), "wall ms", "first ms");
    const char* names[2] = {"in process", "isolated (a worker per call)"};
    for (int k = 0; k < 2; ++k) {
        printf("2 entries, %-29s %10.2f %10.2f\n", names[k], Median(small[k].wall),
               Median(small[k].first));
        printf("%zu entries, %-24s %10.1f %10.2f\n", files, names[k], Median(big[k].wall),
               Median(big[k].first));
    }
    printf(
        "CPU ms per run (both browses, this process and its workers): in process %.1f, "
        "isolated %.1f (one more 2-entry call included)\n",
        cpuTotal[0] / runs, cpuTotal[1] / runs);
    const double extra = Median(extras);
    const double ratio = Median(ratios);
    const double first = Median(big[1].first);
    int missed = 0;
    auto check = [&](const char* what, double value, double limit, const char* unit) {
        const bool met = value <= limit;
        missed |= !met;
        printf("%-52s %8.2f%s  (target <= %.2f%s)  %s\n", what, value, unit, limit, unit,
               met ? "met" : "MISSED");
    };
    check("2-entry browse: isolated minus in process, paired", extra, kSmallExtraMsMax, " ms");
    check("100,000 entries: isolated / in process, paired", ratio, kBigRatioMax, "x");
    check("first entry, isolated, from the call", first, kFirstEntryMsMax, " ms");
    return missed;
}
