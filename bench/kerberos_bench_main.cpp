// kerberos_bench: what Kerberos costs a listing, side by side in one run
// with AUTH_SYS on the same tree. Must run inside scripts/netns-run.sh
// (scripts/bench.sh does it):
//
//   kerberos_bench [--runs N] [--files N] [--round-trips-only]
//
// For an NFSv3 server and then an NFSv4.1-only server, both with a Kerberos
// realm of their own (NfsTestServer's Kerberos option), serves one export
// /data that takes sys, krb5, krb5i and krb5p, with /data/big (N files,
// default 100000) and /data/small (2 files), and measures through the
// library (DoNFSLiveBrowse, a worker process per call, the flavour forced
// with NFSClientSetSecurity, the user's ticket cached):
//   - the listing of /data/big under each flavour, the flavours in rotating
//     order within each run; the ratio of each flavour to AUTH_SYS is taken
//     per run (paired) and its median checked; beside it the server's
//     (ganesha's) CPU time during each listing, to tell its share from ours;
//   - peak RSS of a listing of /data/big beside one of /data/small, each in
//     a process of its own (this program re-executed with --child): the
//     calling (host) process's own peak and its worker's (RUSAGE_CHILDREN
//     once the worker is reaped), and that worker's CPU time;
//   - the round trips of a browse of /data/small with the service ticket
//     cached, through the delay proxy (testing/delay_proxy, RTT 10 ms) in
//     front of the server at an address and name of its own (proxy.test,
//     a service principal of the realm): the proxy's rounds, round trips
//     and connects, and the wall time, per flavour (medians of the runs);
//     the calls of each flavour's last run beside them.
// --round-trips-only skips the listings of /data/big and the RSS.
// Prints the tables and the targets; exits 1 when a target is missed, 2 when
// a listing fails.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KerberosRealm.h"
#include "NfsTestServer.h"
#include "delay_proxy/DelayProxy.h"
#include "host/Lookups.h"
#include "host/NFSClient.h"

namespace {

const char* const kFlavours[] = {"sys", "krb5", "krb5i", "krb5p"};
constexpr int kFlavourCount = 4;
// Listing of the big folder, flavour / AUTH_SYS (index as kFlavours).
constexpr double kRatioMax[kFlavourCount] = {1.0, 1.05, 1.2, 1.5};
constexpr double kRssGrowthMaxMiB = 8.0;  // big listing minus 2-entry listing
// The delay proxy in front of the server: its address, the name it has in
// the realm, its one-way delay (RTT twice that).
const char* const kProxyAddress = "127.0.0.20";
const char* const kProxyHost = "proxy.test";
constexpr double kProxyDelayMs = 5.0;
constexpr double kExtraRoundTripsMax = 1;  // Kerberos beyond AUTH_SYS (the context's set-up)

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "kerberos_bench: %s\n", what.c_str());
    exit(2);
}

// The address of `host` as the host program finds it: the library takes
// the server's name (which Kerberos needs) from this lookup.
std::string Resolve(const std::string& host) {
    CLumIPAddr address;
    CLumString text;
    if (CLumIPAddr::GetByName(host.c_str(), address, CLumIPAddr::IP_FAMILY_V4).IsError() ||
        address.GetAddressString(text).IsError())
        Fail("cannot resolve " + host);
    return text.m_text;
}

// Lists `path` on `host` under `flavour`; returns the entries, exits 2 on a
// failure.
size_t List(const std::string& host, const char* flavour, const std::string& path) {
    if (NFSClientSetSecurity(flavour) != 0) Fail(std::string("no flavour ") + flavour);
    const std::string address = Resolve(host);
    size_t entries = 0;
    char error[NFS_ERROR_TEXT_SIZE] = "";
    if (DoNFSLiveBrowse(
            address.c_str(), path.c_str(), &entries,
            [](void* c, void*, unsigned long long, bool, bool&) {
                ++*static_cast<size_t*>(c);
                return true;
            },
            0, 0, 1, error) != 0)
        Fail(std::string(flavour) + " listing of " + host + ":" + path + ": " + error);
    return entries;
}

// CPU time (user and system, ms) that process `pid` has used so far, 0 when
// it cannot be read; the kernel counts it in clock ticks (10 ms).
double CpuMs(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) return 0;
    char text[1024] = "";
    const size_t got = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[got] = '\0';
    // Fields after the command (which may hold spaces): state is the 3rd,
    // utime the 14th, stime the 15th.
    const char* rest = strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    if (rest == nullptr || sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                  &user, &system) != 2)
        return 0;
    return (user + system) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// --child FLAVOUR HOST PATH: one listing, then this process's peak RSS and
// its worker's (KiB), once the worker has ended and been reaped here.
int Child(const char* flavour, const std::string& host, const std::string& path) {
    NFSClientSetSpareWorkers(0);
    const size_t entries = List(host, flavour, path);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(-1, &status, WNOHANG);
        if (done < 0 && errno == ECHILD) break;
        if (done == 0 && Clock::now() > until) Fail("the worker did not end within 5 s");
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    const double childrenCpuMs = (children.ru_utime.tv_sec + children.ru_stime.tv_sec) * 1e3 +
                                 (children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e3;
    printf("%zu %ld %ld %.1f\n", entries, self.ru_maxrss, children.ru_maxrss, childrenCpuMs);
    return 0;
}

struct Rss {
    double hostMiB = 0;
    double workerMiB = 0;
    double workerCpuMs = 0;  // the worker's CPU time (user and system)
};

Rss ChildRss(const char* flavour, const std::string& host, const std::string& path,
             size_t expected) {
    const std::string command =
        "/proc/self/exe --child " + std::string(flavour) + " " + host + " " + path;
    std::vector<std::string> args{"/proc/self/exe", "--child", flavour, host, path};
    int out[2];
    if (pipe(out) != 0) Fail("pipe");
    const pid_t pid = fork();
    if (pid < 0) Fail("fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    size_t entries = 0;
    long selfKiB = 0, workerKiB = 0;
    double workerCpuMs = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        sscanf(text.c_str(), "%zu %ld %ld %lf", &entries, &selfKiB, &workerKiB, &workerCpuMs) != 4)
        Fail(command + " failed (status " + std::to_string(status) + ")");
    if (entries != expected)
        Fail(command + " listed " + std::to_string(entries) + " entries, not " +
             std::to_string(expected));
    return {selfKiB / 1024.0, workerKiB / 1024.0, workerCpuMs};
}

int missed = 0;

void Check(const std::string& what, double value, const char* unit, double limit) {
    const bool met = value <= limit;
    missed |= !met;
    printf("%-58s %8.2f%s  (target <= %.2f%s)  %s\n", what.c_str(), value, unit, limit, unit,
           met ? "met" : "MISSED");
}

// The listing of /data/big under each flavour and the peak RSS.
void Listings(nfstest::NfsTestServer& server, const char* kind, int runs, size_t files) {
    const std::string host = server.HostName();
    // Each flavour once: the service ticket into the cache, the server warm.
    for (const char* flavour : kFlavours) List(host, flavour, "/data/big");
    std::vector<double> ms[kFlavourCount], ratio[kFlavourCount], serverMs[kFlavourCount];
    for (int run = 0; run < runs; ++run) {
        double runMs[kFlavourCount];
        for (int k = 0; k < kFlavourCount; ++k) {
            const int f = (k + run) % kFlavourCount;
            const double serverBefore = CpuMs(server.ServerPid());
            const Clock::time_point start = Clock::now();
            const size_t entries = List(host, kFlavours[f], "/data/big");
            runMs[f] = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            serverMs[f].push_back(CpuMs(server.ServerPid()) - serverBefore);
            if (entries != files)
                Fail(std::string(kFlavours[f]) + " listed " + std::to_string(entries) +
                     " entries, not " + std::to_string(files));
            ms[f].push_back(runMs[f]);
        }
        for (int f = 0; f < kFlavourCount; ++f) ratio[f].push_back(runMs[f] / runMs[0]);
    }

    Rss big[kFlavourCount], small[kFlavourCount];
    for (int f = 0; f < kFlavourCount; ++f) {
        big[f] = ChildRss(kFlavours[f], host, "/data/big", files);
        small[f] = ChildRss(kFlavours[f], host, "/data/small", 2);
    }

    NFSClientSetSecurity("auto");

    printf("\n== %s: %zu entries, medians of %d runs\n", kind, files, runs);
    printf("%-8s %10s %7s %11s %11s %13s %12s %15s %14s\n", "flavour", "listing ms", "x sys",
           "server CPU", "worker CPU", "host RSS MiB", "host growth", "worker RSS MiB",
           "worker growth");
    for (int f = 0; f < kFlavourCount; ++f)
        printf("%-8s %10.1f %7.3f %11.0f %11.0f %13.1f %12.1f %15.1f %14.1f\n", kFlavours[f],
               Median(ms[f]), Median(ratio[f]), Median(serverMs[f]), big[f].workerCpuMs,
               big[f].hostMiB, big[f].hostMiB - small[f].hostMiB, big[f].workerMiB,
               big[f].workerMiB - small[f].workerMiB);
    printf(
        "(server CPU: ganesha's CPU ms during each listing, median; worker CPU: the CPU ms\n"
        " of the worker of one listing in a process of its own, as RSS; RSS: peak of the\n"
        " listing of %zu entries; growth: minus the 2-entry listing's)\n",
        files);
    for (int f = 1; f < kFlavourCount; ++f) {
        const std::string prefix = std::string(kind) + ", " + kFlavours[f];
        Check(prefix + " / sys, paired", Median(ratio[f]), "x", kRatioMax[f]);
        Check(prefix + " host RSS growth", big[f].hostMiB - small[f].hostMiB, " MiB",
              kRssGrowthMaxMiB);
        Check(prefix + " worker RSS growth", big[f].workerMiB - small[f].workerMiB, " MiB",
              kRssGrowthMaxMiB);
    }
    Check(std::string(kind) + ", sys host RSS growth", big[0].hostMiB - small[0].hostMiB, " MiB",
          kRssGrowthMaxMiB);
}

// The number of calls in a proxy report whose key ends with `suffix`.
int CallsEndingWith(const nlohmann::json& calls, const std::string& suffix) {
    int count = 0;
    for (const auto& [key, value] : calls.items())
        if (key.size() >= suffix.size() &&
            key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0)
            count += value.get<int>();
    return count;
}

// The browse of /data/small (2 entries) through the delay proxy under each
// flavour, `runs` times in rotating order, the service tickets cached.
// The context's end (RPCSEC_GSS_DESTROY) is sent once every other call is
// answered and its reply is not waited for (Connection::Farewell): the
// proxy counts it as a round of its own, which the client does not wait
// through; it is counted apart and taken off the round trips compared.
void RoundTrips(nfstest::NfsTestServer& server, const char* kind, int runs) {
    // The proxy's messages (a client's connection reset at its close...)
    // go to a file of the server's tmpfs.
    testproxy::DelayProxy proxy(kProxyAddress, server.Address(), kProxyDelayMs, "",
                                server.Root() + "/delay-proxy.err");
    server.Kerberos().GetServiceTicket(kProxyHost);
    // Each flavour once: the server warm, the proxy's ports open.
    for (const char* flavour : kFlavours) List(kProxyHost, flavour, "/data/small");
    std::vector<double> rounds[kFlavourCount], trips[kFlavourCount], unwaited[kFlavourCount],
        connects[kFlavourCount], ms[kFlavourCount];
    nlohmann::json calls[kFlavourCount];
    for (int run = 0; run < runs; ++run) {
        for (int k = 0; k < kFlavourCount; ++k) {
            const int f = (k + run) % kFlavourCount;
            proxy.Reset();
            const Clock::time_point start = Clock::now();
            const size_t entries = List(kProxyHost, kFlavours[f], "/data/small");
            ms[f].push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            if (entries != 2)
                Fail(std::string(kFlavours[f]) + " listed " + std::to_string(entries) +
                     " entries of /data/small through the proxy, not 2");
            // What the worker writes after the call concluded (the end of
            // the context over NFSv3) reaches the proxy's count as well.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(static_cast<int>(10 * kProxyDelayMs)));
            const nlohmann::json report = proxy.Report();
            rounds[f].push_back(report.at("rounds").get<double>());
            trips[f].push_back(report.at("round_trips").get<double>());
            connects[f].push_back(report.at("connects").get<double>());
            calls[f] = report.at("calls");
            unwaited[f].push_back(CallsEndingWith(calls[f], ".GSS_DESTROY"));
        }
    }
    NFSClientSetSecurity("auto");

    printf("\n== %s: a 2-entry browse through the delay proxy (RTT %.0f ms), medians of %d runs\n",
           kind, 2 * kProxyDelayMs, runs);
    std::vector<double> beyondMs[kFlavourCount];  // wall minus the same run's sys wall
    for (int f = 0; f < kFlavourCount; ++f)
        for (size_t i = 0; i < ms[f].size(); ++i) beyondMs[f].push_back(ms[f][i] - ms[0][i]);
    printf("%-8s %7s %12s %10s %9s %8s %8s  %s\n", "flavour", "rounds", "round trips", "not waited",
           "connects", "wall ms", "- sys", "calls (last run)");
    for (int f = 0; f < kFlavourCount; ++f)
        printf("%-8s %7.0f %12.0f %10.0f %9.0f %8.1f %8.1f  %s\n", kFlavours[f], Median(rounds[f]),
               Median(trips[f]), Median(unwaited[f]), Median(connects[f]), Median(ms[f]),
               Median(beyondMs[f]), calls[f].dump().c_str());
    printf(
        "(rounds: the proxy's busy periods with a call outstanding; round trips: counting\n"
        " connection handshakes as well; not waited: of these, the context's end, whose reply\n"
        " the client does not wait for; wall: the whole call, the worker's start included;\n"
        " - sys: minus the AUTH_SYS browse of the same run)\n");
    std::vector<double> waited[kFlavourCount];
    for (int f = 0; f < kFlavourCount; ++f)
        for (size_t i = 0; i < trips[f].size(); ++i)
            waited[f].push_back(trips[f][i] - unwaited[f][i]);
    for (int f = 1; f < kFlavourCount; ++f)
        Check(std::string(kind) + ", " + kFlavours[f] + " round trips waited beyond sys",
              Median(waited[f]) - Median(waited[0]), "", kExtraRoundTripsMax);
}

void Measure(bool v41Only, int runs, size_t files, bool listings) {
    nfstest::NfsTestServer::Options options;
    options.kerberos = true;
    options.v4Only = v41Only;
    if (v41Only) options.minorVersions = {1, 2};
    options.aliases = {{kProxyHost, kProxyAddress}};
    nfstest::NfsTestServer server(options);
    const std::string data = server.AddExport("/data", {"sys, krb5, krb5i, krb5p"});
    nfstest::MakeDir(data + "/small");
    nfstest::MakeManyFiles(data + "/small", 2, "s");
    nfstest::MakeDir(data + "/big");
    if (listings) nfstest::MakeManyFiles(data + "/big", files, "f");
    server.Start();
    server.Kerberos().Kinit();
    const char* kind = v41Only ? "NFSv4.1-only server" : "NFSv3 server";
    if (listings) Listings(server, kind, runs, files);
    RoundTrips(server, kind, runs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--child") == 0) return Child(argv[2], argv[3], argv[4]);
    int runs = 5;
    size_t files = 100000;
    bool listings = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--round-trips-only") == 0) listings = false;
        if (i + 1 < argc && strcmp(argv[i], "--runs") == 0) runs = atoi(argv[++i]);
        if (i + 1 < argc && strcmp(argv[i], "--files") == 0)
            files = strtoul(argv[++i], nullptr, 10);
    }
    if (runs < 1) runs = 1;
    try {
        Measure(false, runs, files, listings);
        Measure(true, runs, files, listings);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    return missed;
}
