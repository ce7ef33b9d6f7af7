// nsb-sample-nas: starts a sample NAS file server on the private NFS test
// server, runs a command while it is up, and stops it.
//
//   scripts/netns-run.sh nsb-sample-nas [--nfs41-only] COMMAND [ARGS...]
//
// --nfs41-only serves the same tree over NFSv4 minor versions 1 and 2 only:
// no portmapper, no MOUNT, and NFSv4.0 refused (NFS4ERR_MINOR_VERS_MISMATCH).
// Must run inside a private network and mount namespace (netns-run.sh). The
// command sees NAS_SERVER (the server's name, "nas1" when it could be added
// to a private /etc/hosts, else its address) and NAS_ADDRESS. The exit
// status is the command's.
//
// The export /vol/secure takes Kerberos with privacy only (krb5p): the NAS
// has a realm of its own (TEST.REALM, its KDC inside the namespace) and the
// command runs with the user alice's ticket (KRB5CCNAME, KRB5_CONFIG set).
// /vol/vol1/moved is an NFSv4 referral to nas2:/vol/archive (NFSv3 clients
// see an empty folder).
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "KerberosRealm.h"
#include "NfsTestServer.h"

namespace {

using nfstest::MakeDir;
using nfstest::MakeFile;

// Deterministic, so every run shows the same NAS.
class Random {
public:
    uint64_t Next() {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return m_state >> 33;
    }
    uint64_t Below(uint64_t n) { return Next() % n; }

private:
    uint64_t m_state = 0x5eed;
};

Random g_random;

// A time between 2015 and the end of 2024.
time_t SomeTime() { return 1420070400 + static_cast<time_t>(g_random.Below(10ull * 365 * 86400)); }

uint64_t SomeSize(uint64_t low, uint64_t high) { return low + g_random.Below(high - low + 1); }

void FillVol1(const std::string& root) {
    MakeFile(root + "/README.txt", 2214, 1700000000);
    MakeDir(root + "/docs");
    const char* docs[] = {"budget-2023.xlsx",     "budget-2024.xlsx", "handbook.pdf",
                          "minutes-2024-03.docx", "org chart.png",    "policy.md"};
    for (const char* name : docs)
        MakeFile(root + "/docs/" + name, SomeSize(4000, 9000000), SomeTime());
    MakeDir(root + "/docs/contracts");
    for (int i = 1; i <= 24; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/docs/contracts/contract-%04d.pdf", 1000 + i);
        MakeFile(root + name, SomeSize(50000, 3000000), SomeTime());
    }
    nfstest::SetMtime(root + "/docs/contracts", 1716200000);
    MakeDir(root + "/projects");
    for (const char* project : {"alpha", "beta", "gamma"}) {
        const std::string dir = root + "/projects/" + project;
        MakeDir(dir);
        MakeDir(dir + "/src");
        for (int i = 0; i < 14; ++i)
            MakeFile(dir + "/src/module" + std::to_string(i) + (i % 3 ? ".cpp" : ".h"),
                     SomeSize(300, 60000), SomeTime());
        MakeFile(dir + "/Makefile", SomeSize(200, 4000), SomeTime());
        nfstest::SetMtime(dir, SomeTime());
    }
    MakeDir(root + "/media");
    MakeDir(root + "/media/photos");
    for (int i = 0; i < 80; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/media/photos/IMG_%04d.jpg", 2100 + i * 7);
        MakeFile(root + name, SomeSize(800000, 12000000), SomeTime());
    }
    MakeFile(root + "/media/holiday.mp4", 3221225472ull, 1690000000);
    MakeDir(root + "/logs");
    for (int i = 0; i < 120; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/logs/backup-%03d.log", i);
        MakeFile(root + name, SomeSize(0, 250000), 1704067200 + i * 86400);
    }
    // The snapshot area is never offered by the browse.
    MakeDir(root + "/.snapshot");
    MakeDir(root + "/.snapshot/hourly.0");
    MakeDir(root + "/.snapshot/nightly.0");
    MakeFile(root + "/.snapshot/hourly.0/README.txt", 2214, 1700000000);
    nfstest::MakeSymlink("docs/handbook.pdf", root + "/handbook-link");
    nfstest::MakeFifo(root + "/status.fifo");
    nfstest::MakeSocketNode(root + "/agent.sock");
    nfstest::SetMtime(root + "/projects", 1712000000);
    nfstest::SetMtime(root + "/docs", 1717000000);
    nfstest::SetMtime(root + "/media", 1690000000);
    nfstest::SetMtime(root + "/logs", 1714348800);
}

void FillVol2(const std::string& root) {
    MakeDir(root + "/archive");
    for (int year = 2019; year <= 2023; ++year) {
        const std::string dir = root + "/archive/" + std::to_string(year);
        MakeDir(dir);
        for (int month = 1; month <= 12; ++month) {
            char name[64];
            snprintf(name, sizeof name, "/ledger-%d-%02d.csv", year, month);
            MakeFile(dir + name, SomeSize(10000, 900000), SomeTime());
        }
        nfstest::SetMtime(dir, 1577836800 + (year - 2019) * 31536000l + 86400 * 40);
    }
    nfstest::SetMtime(root + "/archive", 1680000000);
    MakeFile(root + "/INDEX", 512, 1650000000);
}

void FillHome(const std::string& root, const std::string& user) {
    MakeDir(root + "/Documents");
    MakeDir(root + "/Pictures");
    MakeFile(root + "/.profile", 807, 1600000000);
    MakeFile(root + "/notes.txt", SomeSize(100, 9000), SomeTime());
    for (int i = 0; i < 12; ++i)
        MakeFile(root + "/Documents/" + user + "-letter-" + std::to_string(i) + ".odt",
                 SomeSize(9000, 90000), SomeTime());
    for (int i = 0; i < 10; ++i)
        MakeFile(root + "/Pictures/pic" + std::to_string(i) + ".png", SomeSize(90000, 4000000),
                 SomeTime());
    nfstest::SetMtime(root + "/Documents", SomeTime());
    nfstest::SetMtime(root + "/Pictures", SomeTime());
}

void FillSecure(const std::string& root) {
    MakeDir(root + "/payroll");
    for (int month = 1; month <= 12; ++month) {
        char name[64];
        snprintf(name, sizeof name, "/payroll/payroll-2024-%02d.pdf", month);
        MakeFile(root + name, SomeSize(40000, 400000), 1704067200 + (month - 1) * 2629800);
    }
    nfstest::SetMtime(root + "/payroll", 1733000000);
    MakeFile(root + "/audit-2024.xlsx", 182733, 1730000000);
}

// Names the server "nas1" in a private /etc/hosts (the mount namespace is
// this process's own). False when that is not possible.
bool NameServer(const std::string& scratch, const std::string& address) {
    const std::string hosts = scratch + "/hosts";
    {
        std::ifstream in("/etc/hosts");
        std::ofstream out(hosts);
        out << in.rdbuf();
        out << "\n" << address << "\tnas1.sample.test nas1\n";
        if (!out) return false;
    }
    return mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    nfstest::NfsTestServer::Options options;
    options.kerberos = true;
    options.hostName = "nas1";
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "--nfs41-only") {
        options.v4Only = true;
        options.minorVersions = {1, 2};
        first = 2;
    }
    if (argc <= first) {
        fprintf(stderr,
                "usage: %s [--nfs41-only] COMMAND [ARGS...]  (inside scripts/netns-run.sh)\n",
                argv[0]);
        return 2;
    }
    int status = 1;
    try {
        nfstest::NfsTestServer server(options);
        const std::string vol1 = server.AddExport("/vol/vol1");
        FillVol1(vol1);
        MakeDir(vol1 + "/moved", 1718000000);
        nfstest::MakeReferral(vol1 + "/moved", "nas2:/vol/archive");
        FillVol2(server.AddExport("/vol/vol2"));
        const std::string clone = server.AddExport("/vol/vol1_ORVclone");
        MakeDir(clone + "/docs");
        MakeFile(clone + "/README.txt", 2214, 1700000000);
        FillHome(server.AddExport("/home/alice"), "alice");
        const std::string bob = server.AddExport("/home/bob");
        FillHome(bob, "bob");
        // A Latin-1 name: not valid UTF-8.
        MakeFile(bob + "/Documents/caf\xe9-menu.txt", 1234, 1600000000);
        MakeFile(bob + "/Documents/r\xc3\xa9sum\xc3\xa9.pdf", 54321, 1610000000);
        nfstest::SetMtime(bob + "/Documents", 1700500000);
        FillSecure(server.AddExport("/vol/secure", {"krb5p"}));
        server.Start();

        const std::string address = server.Address();
        const bool named = NameServer(server.Root(), address);
        setenv("NAS_ADDRESS", address.c_str(), 1);
        setenv("NAS_SERVER", named ? "nas1" : address.c_str(), 1);
        fprintf(stderr, "sample NAS up at %s%s%s; Kerberos realm %s, user %s\n", address.c_str(),
                named ? " (nas1)" : "", options.v4Only ? ", NFSv4.1 and 4.2 only" : "",
                nfstest::KerberosRealm::kRealm, server.Kerberos().UserPrincipal().c_str());

        const pid_t child = fork();
        if (child == 0) {
            execvp(argv[first], argv + first);
            perror(argv[first]);
            _exit(127);
        }
        int wstatus = 0;
        while (child > 0 && waitpid(child, &wstatus, 0) < 0) {
        }
        status = child < 0            ? 1
                 : WIFEXITED(wstatus) ? WEXITSTATUS(wstatus)
                                      : 128 + WTERMSIG(wstatus);
        server.Stop();
        if (named) umount("/etc/hosts");
    } catch (const std::exception& e) {
        fprintf(stderr, "nsb-sample-nas: %s\n", e.what());
        return 1;
    }
    return status;
}
