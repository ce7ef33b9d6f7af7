#include "KerberosRealm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace nfstest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kToolLimit = std::chrono::seconds(5);
constexpr auto kKdcStartLimit = std::chrono::seconds(3);
constexpr auto kKdcStopLimit = std::chrono::seconds(2);
// The realm's tolerance of clock differences (libdefaults clockskew), small
// so that an expired ticket is refused seconds after it expired.
constexpr int kClockSkewSeconds = 3;
constexpr const char* kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

[[noreturn]] void Throw(const std::string& what) { throw std::runtime_error(what); }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Throw("cannot write " + path);
}

std::string FindTool(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        const std::string path = dir + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    Throw("not installed: " + name +
          " (krb5-kdc, krb5-admin-server, krb5-user: see "
          "scripts/install-deps.sh)");
}

// Starts `argv` (the first element a tool name) with this process's
// environment plus `extraEnv`, stdin from `input` ("" for /dev/null),
// stdout and stderr into `output`.
pid_t SpawnTool(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                const std::string& input, const std::string& output) {
    const std::string program = FindTool(argv[0]);
    std::vector<char*> args{const_cast<char*>(program.c_str())};
    for (size_t i = 1; i < argv.size(); ++i) args.push_back(const_cast<char*>(argv[i].c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    for (const std::string& e : extraEnv) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) Throw("cannot start " + program + ": " + strerror(error));
    return pid;
}

// Waits for `pid` until `limit`; then kills it. The exit status, or -1.
int WaitBounded(pid_t pid, Clock::duration limit) {
    const Clock::time_point end = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        poll(nullptr, 0, 2);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool KdcAnswersTcp() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(88);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    if (fd >= 0) close(fd);
    return up;
}

}  // namespace

KerberosRealm::KerberosRealm(const std::string& folder, std::vector<std::string> serviceHosts)
    : m_folder(folder), m_serviceHosts(std::move(serviceHosts)), m_config(folder + "/krb5.conf") {}

KerberosRealm::~KerberosRealm() {
    StopKdc();
    for (const SavedVariable& v : m_saved) {
        if (v.set)
            setenv(v.name.c_str(), v.value.c_str(), 1);
        else
            unsetenv(v.name.c_str());
    }
}

void KerberosRealm::Start() {
    if (mkdir(m_folder.c_str(), 0700) != 0 && errno != EEXIST)
        Throw("mkdir " + m_folder + ": " + strerror(errno));
    // Names are taken as given (no DNS, no reverse lookup), so the service
    // is nfs/<the name the client used>. ganesha asks for "nfs" on this
    // machine's host name; ignore_acceptor_hostname lets it accept any
    // nfs/<host> its keytab holds, so the namespace keeps the host's name.
    WriteText(m_config, std::string("[libdefaults]\n"
                                    "  default_realm = ") +
                            kRealm +
                            "\n"
                            "  dns_lookup_kdc = false\n  dns_lookup_realm = false\n"
                            "  rdns = false\n  dns_canonicalize_hostname = false\n"
                            "  ignore_acceptor_hostname = true\n"
                            "  udp_preference_limit = 1\n  clockskew = " +
                            std::to_string(kClockSkewSeconds) +
                            "\n"
                            "[realms]\n  " +
                            kRealm +
                            " = {\n    kdc = 127.0.0.1:88\n  }\n"
                            "[domain_realm]\n  .test = " +
                            kRealm + "\n  test = " + kRealm + "\n");
    WriteText(m_folder + "/kdc.conf",
              "[kdcdefaults]\n"
              "  kdc_listen = 127.0.0.1:88\n"
              "  kdc_tcp_listen = 127.0.0.1:88\n"
              "[realms]\n  " +
                  std::string(kRealm) +
                  " = {\n"
                  "    database_name = " +
                  m_folder +
                  "/principal\n"
                  "    key_stash_file = " +
                  m_folder +
                  "/stash\n"
                  "    acl_file = " +
                  m_folder +
                  "/kadm5.acl\n"
                  "    max_life = 10h\n    max_renewable_life = 0\n"
                  "  }\n"
                  "[logging]\n  kdc = FILE:" +
                  m_folder + "/kdc.log\n");
    const std::pair<const char*, std::string> variables[] = {
        {"KRB5_CONFIG", m_config},
        {"KRB5_KDC_PROFILE", m_folder + "/kdc.conf"},
        {"KRB5CCNAME", CredentialCache()}};
    if (m_saved.empty()) {
        for (const auto& v : variables) {
            const char* old = getenv(v.first);
            m_saved.push_back({v.first, old != nullptr, old != nullptr ? old : ""});
        }
    }
    for (const auto& v : variables) setenv(v.first, v.second.c_str(), 1);

    RunOrThrow({"kdb5_util", "create", "-s", "-r", kRealm, "-P", "test-master-key"});
    Admin("addprinc -pw " + UserPassword() + " " + UserPrincipal());
    Admin("addprinc -randkey " + ClientPrincipal());
    Admin("ktadd -k " + ClientKeytab() + " " + ClientPrincipal());
    for (const std::string& host : m_serviceHosts) {
        Admin("addprinc -randkey nfs/" + host);
        Admin("ktadd -k " + ServiceKeytab() + " nfs/" + host);
    }
    StartKdc();
    Kinit();
}

void KerberosRealm::StartKdc(int skewSeconds) {
    if (m_kdc > 0) return;
    std::vector<std::string> env;
    if (skewSeconds != 0) {
        if (access(kFakeTime, R_OK) != 0)
            Throw(std::string("not installed: ") + kFakeTime +
                  " (faketime: see scripts/install-deps.sh)");
        env = {std::string("LD_PRELOAD=") + kFakeTime,
               "FAKETIME=" + std::string(skewSeconds > 0 ? "+" : "") + std::to_string(skewSeconds),
               "FAKETIME_DONT_FAKE_MONOTONIC=1"};
    }
    m_kdc = SpawnTool({"krb5kdc", "-n"}, env, "", m_folder + "/krb5kdc.out");
    const Clock::time_point end = Clock::now() + kKdcStartLimit;
    while (!KdcAnswersTcp()) {
        int status = 0;
        if (waitpid(m_kdc, &status, WNOHANG) == m_kdc) {
            m_kdc = -1;
            Throw("krb5kdc exited at start: " + ReadText(m_folder + "/krb5kdc.out") + KdcLog());
        }
        if (Clock::now() > end) {
            StopKdc();
            Throw("krb5kdc did not listen on 127.0.0.1:88 within 3 s: " + KdcLog());
        }
        poll(nullptr, 0, 2);
    }
}

void KerberosRealm::StopKdc() {
    if (m_kdc <= 0) return;
    kill(m_kdc, SIGTERM);
    WaitBounded(m_kdc, kKdcStopLimit);
    m_kdc = -1;
}

void KerberosRealm::Kinit(int lifetimeSeconds) {
    std::vector<std::string> argv{"kinit"};
    if (lifetimeSeconds > 0) argv.insert(argv.end(), {"-l", std::to_string(lifetimeSeconds) + "s"});
    argv.push_back(UserPrincipal());
    RunOrThrow(argv, UserPassword() + "\n");
}

void KerberosRealm::KinitExpired() {
    Kinit(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500 + 1000 * kClockSkewSeconds));
}

void KerberosRealm::Kdestroy() { Run({"kdestroy"}); }

void KerberosRealm::GetServiceTicket(const std::string& host) {
    RunOrThrow({"kvno", "nfs/" + host});
}

std::string KerberosRealm::KdcLog() const { return ReadText(m_folder + "/kdc.log"); }

int KerberosRealm::Run(const std::vector<std::string>& argv, std::string* output,
                       const std::string& input) const {
    if (mkdir(m_folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    const std::string in = m_folder + "/tool.in";
    const std::string out = m_folder + "/tool.out";
    if (!input.empty()) WriteText(in, input);
    const int status = WaitBounded(SpawnTool(argv, {}, input.empty() ? "" : in, out), kToolLimit);
    if (output != nullptr) *output = ReadText(out);
    return status;
}

void KerberosRealm::RunOrThrow(const std::vector<std::string>& argv,
                               const std::string& input) const {
    std::string output;
    const int status = Run(argv, &output, input);
    if (status != 0) {
        std::string command;
        for (const std::string& a : argv) command += (command.empty() ? "" : " ") + a;
        Throw("Kerberos test realm: `" + command + "` failed (" +
              (status < 0 ? std::string("killed after 5 s") : "status " + std::to_string(status)) +
              "): " + output + "--- KDC log ---\n" + KdcLog());
    }
}

void KerberosRealm::Admin(const std::string& command) const {
    RunOrThrow({"kadmin.local", "-r", kRealm, "-q", command});
}

}  // namespace nfstest
