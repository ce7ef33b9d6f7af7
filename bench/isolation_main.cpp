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
// Prints medians of wall time, CPU time (this process and its workers), and
// the time to the first entry; exits 1 when a target is missed.
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NfsTestServer.h"
#include "host/NFSClient.h"
#include "nfs_client/Protocol.h"

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
    if (!exports.error.empty() || !listing.error.empty()) {
        fprintf(stderr, "in process: %s%s\n", exports.error.c_str(), listing.error.c_str());
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
        std::vector<double> wall, cpu, first;
        void Add(const Sample& s) {
            wall.push_back(s.wallMs);
            cpu.push_back(s.cpuMs);
            first.push_back(s.firstMs);
        }
    };
    Series small[2], big[2];    // [0] in process, [1] isolated
    InProcess(address, "big");  // warm the server's caches
    for (int run = 0; run < runs; ++run) {
        const bool isolatedFirst = run % 2 == 1;
        for (int k = 0; k < 2; ++k) {
            const bool isolated = (k == 0) == isolatedFirst;
            small[isolated].Add(isolated ? Isolated(address, "small")
                                         : InProcess(address, "small"));
            big[isolated].Add(isolated ? Isolated(address, "big") : InProcess(address, "big"));
        }
    }
    const std::string heading = "browse (medians of " + std::to_string(runs) + " runs)";
    printf("%-34s %12s %12s %12s\n", heading.c_str(), "wall ms", "CPU ms", "first ms");
    const char* names[2] = {"in process", "isolated (a worker per call)"};
    for (int k = 0; k < 2; ++k) {
        printf("2 entries, %-23s %12.2f %12.2f %12.2f\n", names[k], Median(small[k].wall),
               Median(small[k].cpu), Median(small[k].first));
        printf("%zu entries, %-18s %12.1f %12.1f %12.2f\n", files, names[k], Median(big[k].wall),
               Median(big[k].cpu), Median(big[k].first));
    }
    const double extra = Median(small[1].wall) - Median(small[0].wall);
    const double ratio = Median(big[1].wall) / Median(big[0].wall);
    const double first = Median(big[1].first);
    int missed = 0;
    auto check = [&](const char* what, double value, double limit, const char* unit) {
        const bool met = value <= limit;
        missed |= !met;
        printf("%-52s %8.2f%s  (target <= %.2f%s)  %s\n", what, value, unit, limit, unit,
               met ? "met" : "MISSED");
    };
    check("2-entry browse: isolated minus in process", extra, kSmallExtraMsMax, " ms");
    check("100,000 entries: isolated / in process", ratio, kBigRatioMax, "x");
    check("first entry, isolated, from the call", first, kFirstEntryMsMax, " ms");
    return missed;
}
