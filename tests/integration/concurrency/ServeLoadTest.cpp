// Load on the host daemon: `nasbrowse serve` answering 32 concurrent clients
// that make 50 browses each over loopback (frames of docs/SERVE-PROTOCOL.md,
// encoded here from that description). No browse may fail, the daemon's open
// descriptors after the run must equal those before it, and its RSS, taken
// after a first warm-up round, may grow by at most 1 MiB (not checked when
// the daemon is built with a sanitizer, whose own bookkeeping grows).
// Skipped when the host program is not built.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "NfsTestServer.h"
#include "ProcessUsage.h"
#include "common/TestSupport.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/MessageEncoder.h"

namespace {

constexpr int kClients = 32;
// Browses per client and round: 50, fewer in a sanitized build
// (NSB_TIME_FACTOR), which checks memory, not load.
constexpr long kRssGrowthKiB = 1024;
int BrowsesPerClient() { return std::max(10, static_cast<int>(50 / nsbtest::TimeFactor())); }

std::string DaemonProgram() {
    if (const char* env = getenv("NASBROWSE_BIN")) return env;
    const char* plugin = getenv("NSB_PLUGIN");
    if (plugin == nullptr) return "";
    std::string dir = plugin;
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/tools/nasbrowse";
}

// One serve frame, in this host's byte order (the daemon's): the GUI's
// browse message, framed as docs/SERVE-PROTOCOL.md says.
std::string Frame(const std::string& server, const std::string& path, int64_t sequence) {
    const GuiMessage message = MakeGuiBrowseMessage(sequence, server, 2);
    const std::string area(message.arguments.begin(), message.arguments.end());

    std::string body;
    auto put = [&](const void* p, size_t n) { body.append(static_cast<const char*>(p), n); };
    const uint32_t reserved = 0, count = message.argumentCount,
                   pathLength = static_cast<uint32_t>(path.size()),
                   areaLength = static_cast<uint32_t>(area.size());
    const uint64_t clientId = 2;
    put(&sequence, 8);
    put(&reserved, 4);
    put(&count, 4);
    put(&clientId, 8);
    put(&pathLength, 4);
    put(&areaLength, 4);
    body += path;
    body += area;
    std::string frame = "NSBQ";
    const uint32_t mark = 0x01020304, bodyLength = static_cast<uint32_t>(body.size());
    frame.append(reinterpret_cast<const char*>(&mark), 4);
    frame.append(reinterpret_cast<const char*>(&bodyLength), 4);
    return frame + body;
}

// Sends one request; the reply's item count, or -1 with `error` set.
long Request(uint16_t port, const std::string& frame, std::string& error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = std::string("connect: ") + strerror(errno);
        close(fd);
        return -1;
    }
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        error = "send";
        close(fd);
        return -1;
    }
    ReplyWire::Reply reply;
    const bool read = ReplyWire::ReadReply(fd, 30000, reply, error);
    close(fd);
    if (!read) return -1;
    if (!reply.ended || reply.endStatus != 0 || !reply.messages.empty()) {
        error = reply.messages.empty() ? "no end marker" : reply.messages[0];
        return -1;
    }
    return static_cast<long>(reply.items.size());
}

TEST(ServeLoad, ThirtyTwoClientsFiftyBrowsesEachWithoutFailureOrGrowth) {
    const std::string program = DaemonProgram();
    if (program.empty() || access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no host program at " << program;

    nfstest::NfsTestServer server;
    const std::string vol = server.AddExport("/vol/vol1");
    server.AddExport("/home");
    nfstest::MakeDir(vol + "/docs");
    nfstest::MakeManyFiles(vol + "/docs", 100);
    server.Start();

    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        close(err[1]);
        execl(program.c_str(), program.c_str(), "serve", "--listen", "127.0.0.1:0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    FILE* log = fdopen(err[0], "r");
    uint16_t port = 0;
    char line[512];
    while (port == 0 && fgets(line, sizeof line, log) != nullptr) {
        const std::string text = line;
        if (text.rfind("listening on ", 0) == 0)
            port = static_cast<uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
    }
    std::thread drain([log] {
        char buffer[4096];
        while (fread(buffer, 1, sizeof buffer, log) > 0) {
        }
    });
    ASSERT_NE(port, 0) << "the daemon did not start";

    const std::string address = server.Address();
    const std::vector<std::pair<std::string, long>> browses = {
        {"/" + address + "/vol/vol1/docs", 100},
        {"/" + address, 2},
        {"/" + address + "/vol", 1},
        {"/", 1}};
    std::atomic<int> failures{0}, done{0};
    std::string firstFailure;
    std::mutex failureMutex;
    auto round = [&](int perClient) {
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back([&, c] {
                for (int i = 0; i < perClient; ++i) {
                    const auto& browse = browses[(c + i) % browses.size()];
                    std::string error;
                    const long items =
                        Request(port, Frame(address, browse.first, c * 1000 + i), error);
                    ++done;
                    if (items != browse.second) {
                        if (failures++ == 0) {
                            std::lock_guard<std::mutex> lock(failureMutex);
                            firstFailure = browse.first + ": " +
                                           (items < 0 ? error : std::to_string(items) + " items");
                        }
                    }
                }
            });
        for (std::thread& t : clients) t.join();
    };
    // The daemon closes a connection after the entry has returned: let it settle.
    auto settledFds = [&](int target) {
        int fds = nfstest::OpenFds(pid);
        for (int i = 0; i < 100 && fds != target; ++i) {
            usleep(20000);
            fds = nfstest::OpenFds(pid);
        }
        return fds;
    };

    // A whole round first: the allocator settles (its per-thread arenas)
    // under the same concurrency as the measured round.
    const int browsesPerClient = BrowsesPerClient();
    round(browsesPerClient);
    const int fdsBefore = settledFds(-1);
    long rssBefore = nfstest::RssKiB(pid);
    const auto start = std::chrono::steady_clock::now();
    round(browsesPerClient);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int fdsAfter = settledFds(fdsBefore);
    long rssAfter = nfstest::RssKiB(pid);
    int rounds = 2;
    // The allocator may still take a step (a thread's new arena) in the
    // measured round; a leak grows again in the next one, a step does not.
    if (rssAfter - rssBefore > kRssGrowthKiB && browsesPerClient == 50) {
        std::cout << "RSS " << rssBefore << " -> " << rssAfter << " KiB; one more round"
                  << std::endl;
        rssBefore = rssAfter;
        round(browsesPerClient);
        ++rounds;
        rssAfter = nfstest::RssKiB(pid);
    }

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    drain.join();
    fclose(log);

    std::cout << kClients << " x " << browsesPerClient << " browses in " << seconds
              << " s, failures " << failures.load() << ", daemon fds " << fdsBefore << " -> "
              << fdsAfter << ", RSS " << rssBefore << " -> " << rssAfter << " KiB" << std::endl;
    EXPECT_EQ(failures.load(), 0) << firstFailure;
    EXPECT_EQ(done.load(), kClients * rounds * browsesPerClient);
    EXPECT_EQ(fdsAfter, fdsBefore);
#ifndef NSB_SANITIZED
    // (fewer browses are too few for the allocator to settle in the warm-up)
    if (browsesPerClient == 50) {
        EXPECT_LE(rssAfter - rssBefore, kRssGrowthKiB);
    }
#endif
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "daemon status " << status;
}

}  // namespace
