#include "NfsTestServer.h"

#include "KerberosRealm.h"
#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs4.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace nfstest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNfsPort = 2049;
constexpr int kMountPort = 20048;
constexpr auto kStartLimit = std::chrono::seconds(10);

[[noreturn]] void Throw(const std::string& what) { throw std::runtime_error(what); }

[[noreturn]] void ThrowErrno(const std::string& what, const std::string& path) {
    Throw(what + " " + path + ": " + strerror(errno));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ino_t NamespaceInode(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? st.st_ino : 0;
}

int ListenUnix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0 ||
        listen(fd, 64) != 0)
        ThrowErrno("listen on", path);
    chmod(path.c_str(), 0666);
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
    close(fd);
    return high;
}

// A UDP socket bound to address:port on a descriptor >= 100, as Listen.
int BindDatagram(const std::string& address, int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        ThrowErrno("bind UDP", address + ":" + std::to_string(port));
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
    close(fd);
    return high;
}

// Starts `argv` with stdout and stderr into `output`. `inherit` descriptors
// become 3, 4, ... in the child, announced as socket-activation descriptors.
// Between fork and exec only async-signal-safe calls are made.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& output,
            const std::vector<int>& inherit) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "LISTEN_", 7) != 0) envText.emplace_back(*e);
    if (!inherit.empty()) envText.push_back("LISTEN_FDS=" + std::to_string(inherit.size()));
    std::vector<char*> env;
    for (std::string& e : envText) env.push_back(&e[0]);
    char listenPid[32] = "LISTEN_PID=";
    if (!inherit.empty()) env.push_back(listenPid);
    env.push_back(nullptr);

    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) ThrowErrno("create", output);
    const pid_t pid = fork();
    if (pid == 0) {
        // LISTEN_PID must name this process, which exec keeps.
        char digits[16];
        int n = 0;
        for (pid_t self = getpid(); self > 0; self /= 10)
            digits[n++] = static_cast<char>('0' + self % 10);
        char* p = listenPid + strlen("LISTEN_PID=");
        while (n > 0) *p++ = digits[--n];
        *p = '\0';
        dup2(out, 1);
        dup2(out, 2);
        for (size_t i = 0; i < inherit.size(); ++i) dup2(inherit[i], static_cast<int>(3 + i));
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    const int error = errno;
    close(out);
    if (pid < 0) {
        errno = error;
        ThrowErrno("fork for", argv[0]);
    }
    return pid;
}

void Terminate(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        poll(nullptr, 0, 2);
    }
    pid = -1;
}

// Whether `pid` has exited; its status text then goes to `how`.
bool Exited(pid_t pid, std::string& how) {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) return false;
    how = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                            : "killed by signal " + std::to_string(WTERMSIG(status));
    return true;
}

std::string FindProgram(const std::vector<std::string>& candidates) {
    for (const std::string& c : candidates)
        if (access(c.c_str(), X_OK) == 0) return c;
    Throw("not installed: " + candidates.front() + " (see scripts/install-deps.sh)");
}

// Services `rpc` until `done` or `limit` has passed, then destroys it with
// `done` set, so that callbacks cancelled by the destroy change nothing.
void ServeThenDestroy(rpc_context* rpc, bool& done, std::chrono::milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (!done && Clock::now() < end) {
        pollfd pfd{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
        if (poll(&pfd, 1, 20) < 0 && errno != EINTR) break;
        if (rpc_service(rpc, pfd.revents) < 0) break;
    }
    done = true;
    rpc_destroy_context(rpc);
}

// One EXPORT request through libnfs, bounded by `limit`: true when the server
// answered with at least one export. Independent of the library under test.
bool ProbeExportList(const char* address, std::chrono::milliseconds limit) {
    struct Probe {
        bool done = false;
        bool answered = false;
    } probe;
    rpc_context* rpc = rpc_init_context();
    if (rpc == nullptr) return false;
    auto onConnect = [](rpc_context* rpc, int status, void*, void* p) {
        auto* probe = static_cast<Probe*>(p);
        if (probe->done) return;
        if (status != RPC_STATUS_SUCCESS) {
            probe->done = true;
            return;
        }
        auto onExports = [](rpc_context*, int status, void* data, void* p) {
            auto* probe = static_cast<Probe*>(p);
            if (probe->done) return;
            probe->done = true;
            probe->answered =
                status == RPC_STATUS_SUCCESS && *static_cast<exports*>(data) != nullptr;
        };
        if (rpc_mount3_export_async(rpc, onExports, p) != 0) probe->done = true;
    };
    if (rpc_connect_program_async(rpc, address, MOUNT_PROGRAM, MOUNT_V3, onConnect, &probe) != 0)
        probe.done = true;
    ServeThenDestroy(rpc, probe.done, limit);
    return probe.answered;
}

// One NFSv4 COMPOUND (PUTROOTFH) to port 2049, bounded by `limit`: true when
// any COMPOUND reply came back (a server refusing minor version 0 counts).
bool ProbeNfs4(const char* address, std::chrono::milliseconds limit) {
    struct Probe {
        bool done = false;
        bool answered = false;
    } probe;
    rpc_context* rpc = rpc_init_context();
    if (rpc == nullptr) return false;
    auto onConnect = [](rpc_context* rpc, int status, void*, void* p) {
        auto* probe = static_cast<Probe*>(p);
        if (probe->done) return;
        if (status != RPC_STATUS_SUCCESS) {
            probe->done = true;
            return;
        }
        auto onRoot = [](rpc_context*, int status, void*, void* p) {
            auto* probe = static_cast<Probe*>(p);
            if (probe->done) return;
            probe->done = true;
            probe->answered = status == RPC_STATUS_SUCCESS;
        };
        nfs_argop4 op;
        memset(&op, 0, sizeof op);
        op.argop = OP_PUTROOTFH;
        COMPOUND4args args;
        memset(&args, 0, sizeof args);
        args.argarray.argarray_len = 1;
        args.argarray.argarray_val = &op;
        if (rpc_nfs4_compound_async(rpc, onRoot, &args, p) != 0) probe->done = true;
    };
    if (rpc_connect_port_async(rpc, address, kNfsPort, NFS4_PROGRAM, NFS_V4, onConnect, &probe) !=
        0)
        probe.done = true;
    ServeThenDestroy(rpc, probe.done, limit);
    return probe.answered;
}

// A portmapper that knows no programs: NULL answers, every other procedure
// (GETPORT, GETADDR) answers 0 / the empty address.
bool AnswerNoProgram(const RpcCall& call, std::string& reply) {
    reply = AcceptedReply(call, call.procedure == 0 ? "" : XdrU32(0));
    return true;
}

}  // namespace

NfsTestServer::NfsTestServer() : NfsTestServer(Options()) {}

NfsTestServer::NfsTestServer(const Options& options) : m_options(options) {
    if (m_options.v4Only) m_options.ownFileSystems = true;
    if (NamespaceInode("/proc/self/ns/net") == NamespaceInode("/proc/1/ns/net"))
        Throw(
            "NfsTestServer needs a private network namespace: run the test through "
            "scripts/netns-run.sh");
    char dir[] = "/run/nfstest.XXXXXX";
    if (mkdtemp(dir) == nullptr) ThrowErrno("create", "/run/nfstest.XXXXXX");
    m_root = dir;
    if (mount("nfstest", m_root.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        rmdir(m_root.c_str());
        ThrowErrno("mount a tmpfs on", m_root);
    }
    MakeDir(m_root + "/exports");
    MakeDir(m_root + "/recovery");
}

NfsTestServer::~NfsTestServer() {
    Stop();
    StopKerberos();
    m_noMount.reset();
    if (m_silentFd >= 0) close(m_silentFd);
    if (m_silentHereFd >= 0) close(m_silentHereFd);
    if (umount2(m_root.c_str(), MNT_DETACH) == 0) rmdir(m_root.c_str());
}

std::string NfsTestServer::AddExport(const std::string& pseudoPath) {
    return AddExport(pseudoPath, ExportOptions());
}

std::string NfsTestServer::AddExport(const std::string& pseudoPath, const ExportOptions& options) {
    if (m_ganesha > 0) Throw("AddExport after Start: " + pseudoPath);
    if (pseudoPath.empty() || pseudoPath[0] != '/')
        Throw("pseudo path not absolute: " + pseudoPath);
    const std::string local = m_root + "/exports/" + std::to_string(m_exports.size() + 1);
    MakeDir(local);
    if (m_options.ownFileSystems &&
        mount("nfstest-export", local.c_str(), "tmpfs", 0, "mode=0755") != 0)
        ThrowErrno("mount a tmpfs on", local);
    // ganesha mounts a nested export on a directory of its parent export.
    const Export* parent = nullptr;
    for (const Export& e : m_exports) {
        const std::string prefix = e.pseudo == "/" ? "/" : e.pseudo + "/";
        if (pseudoPath.compare(0, prefix.size(), prefix) == 0 &&
            (parent == nullptr || e.pseudo.size() > parent->pseudo.size()))
            parent = &e;
    }
    if (parent != nullptr) {
        std::string junction = parent->local;
        std::stringstream rest(pseudoPath.substr(parent->pseudo.size()));
        std::string part;
        while (std::getline(rest, part, '/')) {
            if (part.empty()) continue;
            junction += "/" + part;
            if (mkdir(junction.c_str(), 0755) != 0 && errno != EEXIST)
                ThrowErrno("mkdir", junction);
        }
    }
    m_exports.push_back({pseudoPath, local, options});
    return local;
}

void NfsTestServer::WriteConfig() const {
    // ganesha 4.3 serving NFSv4 only keeps running when it cannot register
    // with a portmapper (it logs "Cannot register NFS V4 on TCP"). MOUNT
    // takes datagrams too, as a NAS's does (Enable_UDP = mount: NFS itself
    // stays on TCP); the client asks the export list both ways.
    const char* protocols = m_options.v4Only ? "4" : "3, 4";
    std::string minor;
    for (int v : m_options.minorVersions) minor += (minor.empty() ? "" : ", ") + std::to_string(v);
    std::ofstream conf(m_root + "/ganesha.conf");
    conf << "NFS_CORE_PARAM {\n"
            "  NFS_Port = "
         << kNfsPort
         << ";\n"
            "  MNT_Port = "
         << kMountPort
         << ";\n"
            "  NLM_Port = 32803;\n  Rquota_Port = 875;\n"
            "  Enable_NLM = false;\n  Enable_RQUOTA = false;\n  Enable_UDP = mount;\n"
            "  Mount_Path_Pseudo = true;\n  Protocols = "
         << protocols << ";\n"
         << "  Bind_addr = " << Address() << ";\n}\n"
         << (m_options.kerberos ? "NFS_KRB5 { PrincipalName = nfs; KeytabPath = \"" + m_root +
                                      "/krb5/nfs.keytab\"; Active_krb5 = true; }\n"
                                      "LOG { COMPONENTS { DISPATCH = INFO; } }\n"
                                : std::string("NFS_KRB5 { Active_krb5 = false; }\n"))
         << "NFSV4 { Graceless = true; RecoveryRoot = \"" << m_root << "/recovery\";"
         << (minor.empty() ? "" : " Minor_Versions = " + minor + ";") << " }\n";
    int id = 1;
    for (const Export& e : m_exports) {
        const bool foreign = e.options.foreignClientsOnly;
        conf << "EXPORT {\n  Export_Id = " << id++ << ";\n  Path = \"" << e.local
             << "\";\n  Pseudo = \"" << e.pseudo
             << "\";\n"
                "  Protocols = "
             << protocols << ";\n  Transports = TCP;\n  Access_Type = " << (foreign ? "None" : "RW")
             << ";\n"
             << (e.options.secType.empty() ? "" : "  SecType = " + e.options.secType + ";\n")
             << (e.options.privilegedPort ? "  PrivilegedPort = true;\n" : "")
             << "  Squash = No_Root_Squash;\n  FSAL { Name = VFS; }\n"
                "  CLIENT { Clients = "
             << (foreign ? "192.0.2.1" : "*") << "; Access_Type = RW; }\n}\n";
    }
    if (!conf) Throw("cannot write " + m_root + "/ganesha.conf");
}

void NfsTestServer::Start() {
    if (m_ganesha > 0) return;
    if (m_exports.empty()) Throw("NfsTestServer::Start without an export");
    WriteConfig();
    AllowBindAddress();
    if (m_options.kerberos) StartKerberos();
    const std::string rpcbind = FindProgram({"/usr/sbin/rpcbind", "/sbin/rpcbind"});
    const std::string ganesha = FindProgram({"/usr/bin/ganesha.nfsd", "/usr/sbin/ganesha.nfsd"});

    // rpcbind on 127.0.0.1 only (socket activation), TCP and UDP as a NAS
    // has it, so that the other loopback addresses stay free for the fault
    // listeners.
    if (!m_options.v4Only || m_options.portmapper == Options::Portmapper::Rpcbind) {
        mkdir("/run/rpcbind", 0755);
        const int tcp = Listen(Address(), 111);
        const int udp = BindDatagram(Address(), 111);
        const int local = ListenUnix("/run/rpcbind.sock");
        try {
            m_rpcbind = Spawn({rpcbind, "-f", "-w"}, m_root + "/rpcbind.out", {tcp, udp, local});
        } catch (...) {
            close(tcp);
            close(udp);
            close(local);
            throw;
        }
        close(tcp);
        close(udp);
        close(local);
    } else {
        unlink("/run/rpcbind.sock");  // left by an earlier server: no registration may reach it
        if (m_options.portmapper == Options::Portmapper::Silent && m_silentHereFd < 0)
            m_silentHereFd =
                Listen(Address(), 111);  // never accepted: the backlog completes connects
    }
    // ganesha registers through the sockets above, which queue until rpcbind serves.
    m_ganesha = Spawn({ganesha, "-F", "-f", m_root + "/ganesha.conf", "-L", m_root + "/ganesha.log",
                       "-p", m_root + "/ganesha.pid", "-N", "NIV_EVENT"},
                      m_root + "/ganesha.out", {});

    const Clock::time_point limit = Clock::now() + kStartLimit;
    for (;;) {
        std::string how;
        if (Exited(m_rpcbind, how)) {
            m_rpcbind = -1;
            Throw(Describe("rpcbind " + how));
        }
        if (Exited(m_ganesha, how)) {
            m_ganesha = -1;
            Throw(Describe("ganesha " + how));
        }
        if (m_options.v4Only ? ProbeNfs4(Address().c_str(), std::chrono::milliseconds(500))
                             : ExportListAnswered())
            return;
        if (Clock::now() > limit) Throw(Describe("the server did not answer within 10 s"));
        poll(nullptr, 0, 5);  // retry pace while ganesha registers
    }
}

// ganesha reads Bind_addr with getaddrinfo(AI_ADDRCONFIG | AI_V4MAPPED),
// which finds nothing while the namespace has only loopback addresses; one
// more IPv6 address on lo (reachable from this namespace only) lets it bind
// to 127.0.0.1 alone. Without the bind it would listen on every loopback
// address, and the fault addresses would find an NFSv4 server on port 2049.
// With that IPv6 address alone, AI_ADDRCONFIG would drop the IPv4 answers
// of other lookups (MIT krb5's of the KDC, 127.0.0.1): one more IPv4
// address (a documentation address, also of this namespace only) keeps
// both families.
void NfsTestServer::AllowBindAddress() const {
    const std::string ip = FindProgram({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip"});
    for (const char* address : {"fd00:6e66:7374::1/128", "192.0.2.254/32"}) {
        const pid_t pid =
            Spawn({ip, "addr", "replace", address, "dev", "lo"}, m_root + "/ip.out", {});
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            Throw(std::string("could not add the address ") + address +
                  " to lo: " + ReadFile(m_root + "/ip.out"));
    }
}

bool NfsTestServer::ExportListAnswered() const {
    return ProbeExportList(Address().c_str(), std::chrono::milliseconds(500));
}

std::string NfsTestServer::Describe(const std::string& what) const {
    std::string text = "NFS test server did not start: " + what + "\n--- ganesha log ---\n" +
                       Log() + "--- ganesha output ---\n" + ReadFile(m_root + "/ganesha.out") +
                       "--- rpcbind output ---\n" + ReadFile(m_root + "/rpcbind.out");
    std::cerr << text << std::endl;
    // The half-started processes go now; the destructor does the rest.
    const_cast<NfsTestServer*>(this)->Stop();
    return text;
}

void NfsTestServer::Stop() {
    Terminate(m_ganesha);
    Terminate(m_rpcbind);
}

std::string NfsTestServer::Address() const { return "127.0.0.1"; }

std::string NfsTestServer::Log() const { return ReadFile(m_root + "/ganesha.log"); }

std::string NfsTestServer::SilentAddress() {
    const std::string address = "127.0.0.3";
    if (m_silentFd < 0)
        m_silentFd = Listen(address, 111);  // never accepted: the backlog completes connects
    return address;
}

std::string NfsTestServer::NoMountAddress() {
    const std::string address = "127.0.0.4";
    if (!m_noMount)
        m_noMount = std::make_unique<ScriptedPeer>(
            std::vector<int>{Listen(address, 111)},
            std::vector<ScriptedPeer::Service>{{0, 0, AnswerNoProgram}});
    return address;
}

void MakeDir(const std::string& path, time_t mtime) {
    if (mkdir(path.c_str(), 0755) != 0) ThrowErrno("mkdir", path);
    if (mtime != 0) SetMtime(path, mtime);
}

void MakeFile(const std::string& path, uint64_t size, time_t mtime) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) ThrowErrno("create", path);
    const bool sized = size == 0 || ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    if (!sized) ThrowErrno("resize", path);
    if (mtime != 0) SetMtime(path, mtime);
}

void MakeSymlink(const std::string& target, const std::string& path) {
    if (symlink(target.c_str(), path.c_str()) != 0) ThrowErrno("symlink", path);
}

void MakeFifo(const std::string& path) {
    if (mkfifo(path.c_str(), 0644) != 0) ThrowErrno("mkfifo", path);
}

void MakeSocketNode(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (path.size() >= sizeof sun.sun_path) Throw("socket path too long: " + path);
    memcpy(sun.sun_path, path.c_str(), path.size() + 1);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
    const int error = errno;
    if (fd >= 0) close(fd);
    errno = error;
    if (!bound) ThrowErrno("bind socket", path);
}

void MakeDevice(const std::string& path, bool block) {
    if (mknod(path.c_str(), (block ? S_IFBLK : S_IFCHR) | 0600, makedev(1, 3)) != 0)
        ThrowErrno("mknod", path);
}

void SetMtime(const std::string& path, time_t mtime) {
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        ThrowErrno("utimensat", path);
}

void MakeManyFiles(const std::string& dir, size_t count, const std::string& prefix) {
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) ThrowErrno("open", dir);
    for (size_t i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i);
        const int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            close(dirFd);
            errno = error;
            ThrowErrno("create", dir + "/" + name);
        }
        close(fd);
    }
    close(dirFd);
}

void MakeReferral(const std::string& path, const std::string& target) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) ThrowErrno("mkdir", path);
    if (chmod(path.c_str(), 01644) != 0) ThrowErrno("chmod", path);
    if (setxattr(path.c_str(), "user.fs_location", target.data(), target.size(), 0) != 0)
        ThrowErrno("setxattr user.fs_location on", path);
}

}  // namespace nfstest
