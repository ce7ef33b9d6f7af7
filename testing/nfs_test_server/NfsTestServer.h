// A private NFS server for integration tests: nfs-ganesha (NFS v3 and v4,
// FSAL VFS) with its own rpcbind, serving a tree the test builds.
//
// The test process must run inside its own network and mount namespace:
// register the test with CTest through scripts/netns-run.sh (the integration
// CMakeLists.txt does), or run `scripts/netns-run.sh ./integration_x`. The
// constructor refuses to work in the host's network namespace.
//
// Typical use:
//
//     nfstest::NfsTestServer server;
//     const std::string vol1 = server.AddExport("/vol/vol1");  // local root
//     const std::string vol2 = server.AddExport("/vol/vol2");
//     nfstest::MakeDir(vol1 + "/docs");
//     nfstest::MakeFile(vol1 + "/docs/a.txt", 1234, 1600000000);
//     server.Start();                      // throws with ganesha's log on failure
//     GetExports(server.Address().c_str(), ...);  // "/vol/vol1", "/vol/vol2"
//     DoNFSLiveBrowse(server.Address().c_str(), "/vol/vol1/docs", ...);
//
// Everything the object started (rpcbind, ganesha, the fault listeners) is
// stopped, and the tree (a tmpfs of its own) unmounted, by the destructor,
// also when the test failed. Only one server may exist at a time in a
// process (they share port 111 and the rpcbind socket); several may be
// created one after another. Not thread-safe: use one object from the test's
// main thread; the addresses it hands out may be used from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace nfstest {

class KerberosRealm;
class ScriptedPeer;

class NfsTestServer {
public:
    // What the server speaks. The default is NFSv3 (with MOUNT) and NFSv4,
    // found through a portmapper.
    struct Options {
        // NFSv4 only, as many current file servers: no MOUNT service, and
        // the exports are found only by walking the NFSv4 pseudo file system.
        bool v4Only = false;
        // With v4Only, what answers on port 111 of Address(): nothing
        // (connects are refused), rpcbind (knowing only NFS v4, so a MOUNT
        // lookup says "not registered"), or a listener that accepts and
        // never answers.
        enum class Portmapper { None, Rpcbind, Silent };
        Portmapper portmapper = Portmapper::None;
        // NFSv4 minor versions the server accepts; empty for ganesha's
        // default (0, 1 and 2). {1, 2} makes a server this client cannot use.
        std::vector<int> minorVersions;
        // Each export on a tmpfs of its own, so that exports have distinct
        // file-system ids as on a real NAS. Always so with v4Only.
        bool ownFileSystems = false;
        // Kerberos: a realm of its own (KerberosRealm: a KDC, principals and
        // keytabs made at Start, the user's ticket in KRB5CCNAME), ganesha
        // with NFS_KRB5, and a private /etc/hosts (this mount namespace only)
        // naming Address() `hostName` and UnknownServiceHost(). Exports then
        // take secType "krb5", "krb5i", "krb5p" (or "sys", the default).
        bool kerberos = false;
        std::string hostName = "nas.test";
        // More names of the server, each at an address of its own that
        // reaches it (a delay proxy in front of it): with Options::kerberos,
        // in the private hosts file and with an nfs/<name> principal.
        struct Alias {
            std::string name;
            std::string address;
        };
        std::vector<Alias> aliases;
    };
    // How one export may be used.
    struct ExportOptions {
        // ganesha's SecType, e.g. "krb5" for an export that needs Kerberos;
        // empty for the default (sys).
        std::string secType;
        // Only a foreign client may use it: this client gets no access.
        bool foreignClientsOnly = false;
        // Only clients calling from a privileged source port (below 1024)
        // may use it, as many NAS exports are set by default.
        bool privilegedPort = false;
    };

    // Mounts a fresh tmpfs for the tree and the server's files (tmpfs has
    // the file-handle support ganesha's VFS needs). Throws std::runtime_error
    // outside a private network namespace or when the mount fails.
    NfsTestServer();
    explicit NfsTestServer(const Options& options);
    ~NfsTestServer();
    NfsTestServer(const NfsTestServer&) = delete;
    NfsTestServer& operator=(const NfsTestServer&) = delete;

    // Declares an export listed by MOUNT under `pseudoPath` (e.g. "/vol/vol1")
    // and returns the local directory that is its root, to be filled by the
    // test (before or after Start). Call before Start(). An export below
    // another one ("/vol/vol1/nested" under "/vol/vol1") gets its junction
    // directory made in the parent's tree. Exports are listed in the order
    // they were added.
    std::string AddExport(const std::string& pseudoPath);
    std::string AddExport(const std::string& pseudoPath, const ExportOptions& options);

    // Starts rpcbind and ganesha and returns once the export list is
    // answered (bounded wait, typically 30 ms); with Options::v4Only, once
    // an NFSv4 request is answered. Throws std::runtime_error
    // carrying ganesha's log when a process exits or the server does not
    // answer within 10 s; the log is also printed to stderr.
    void Start();
    // Stops ganesha and rpcbind (SIGTERM, then SIGKILL). Idempotent.
    void Stop();

    // The server's address, "127.0.0.1".
    std::string Address() const;
    // ganesha's log so far.
    std::string Log() const;
    // Local directory of the whole tmpfs (tree, config, logs).
    const std::string& Root() const { return m_root; }

    // With Options::kerberos: the realm (valid after Start), the server's
    // name (its nfs/<name> principal exists), and a name of the same server
    // whose nfs/ principal the KDC does not know.
    KerberosRealm& Kerberos();
    const std::string& HostName() const { return m_options.hostName; }
    static std::string UnknownServiceHost() { return "unknown.test"; }
    // ganesha's process id once started (-1 before), e.g. for its CPU time.
    pid_t ServerPid() const { return m_ganesha; }

    // Addresses for fault tests; each is ready when returned and lives until
    // the object is destroyed. Independent of Start().
    // Nothing listens on port 111 there: connects are refused.
    static std::string RefusedAddress() { return "127.0.0.2"; }
    // A TCP listener on port 111 that completes connects and never answers.
    std::string SilentAddress();
    // A portmapper on port 111 that answers every lookup with "not
    // registered" (port 0), so no MOUNT or NFS service can be found.
    std::string NoMountAddress();

private:
    struct Export {
        std::string pseudo;
        std::string local;
        ExportOptions options;
    };
    void WriteConfig() const;
    void AllowBindAddress() const;
    bool ExportListAnswered() const;
    std::string Describe(const std::string& what) const;
    void StartKerberos();
    void StopKerberos();

    Options m_options;
    std::string m_root;
    std::vector<Export> m_exports;
    pid_t m_rpcbind = -1;
    pid_t m_ganesha = -1;
    int m_silentFd = -1;
    int m_silentHereFd = -1;
    std::unique_ptr<ScriptedPeer> m_noMount;
    std::unique_ptr<KerberosRealm> m_kerberos;
    bool m_hostsMounted = false;
};

// Tree building on local paths (usually below an AddExport() root). Each
// throws std::runtime_error naming the path when the system call fails.
// `mtime` 0 leaves the time as created.
void MakeDir(const std::string& path, time_t mtime = 0);
// A regular file of `size` bytes (sparse, zeros).
void MakeFile(const std::string& path, uint64_t size = 0, time_t mtime = 0);
void MakeSymlink(const std::string& target, const std::string& path);
void MakeFifo(const std::string& path);
// A UNIX socket node (bound, then the socket closed; the node stays).
void MakeSocketNode(const std::string& path);
// A character (`block` false) or block device node.
void MakeDevice(const std::string& path, bool block);
// Sets the modification (and access) time of `path` without following a link.
void SetMtime(const std::string& path, time_t mtime);
// `count` empty files named prefix + decimal index (0 .. count-1), fast.
void MakeManyFiles(const std::string& dir, size_t count, const std::string& prefix = "f");
// Makes directory `path` (made if absent; an export's root may be given) an
// NFSv4 referral to `target` ("server:/path"), as ganesha's VFS reads one:
// mode 1644 (the sticky bit) and the extended attribute user.fs_location.
void MakeReferral(const std::string& path, const std::string& target);

}  // namespace nfstest
