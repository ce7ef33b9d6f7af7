// What a client that may not use an export or a folder is told: an export
// closed to this host, one that wants a privileged source port, a folder
// whose permissions shut this user out. Each text says what to do; checked
// against the real server, as root and as an unprivileged user.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "ClientCalls.h"
#include "NfsTestServer.h"
#include "Unprivileged.h"
#include "common/TestSupport.h"

using namespace nfsclienttest;
using testing::HasSubstr;

namespace {

// Runs (a copy of) the nfs_list tool as the unprivileged user nobody (uid
// and gid 65534).
nsbtest::CommandOutcome ListAsNobody(const std::string& address, const std::string& path) {
    const std::string command = "LD_LIBRARY_PATH=" + nsbtest::UnprivilegedCopies::LibraryPath() +
                                " setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                nsbtest::UnprivilegedCopies::Of(NFS_LIST_BIN) + " -t 3000 " +
                                address + " '" + path + "' 2>&1";
    return nsbtest::RunCommand(command);
}

class Access : public testing::TestWithParam<bool> {
protected:
    bool V4Only() const { return GetParam(); }
};

TEST_P(Access, ClosedExportsPrivilegedPortsAndShutFoldersAreWorded) {
    nfstest::NfsTestServer::Options options;
    options.v4Only = V4Only();
    options.ownFileSystems = true;
    nfstest::NfsTestServer server(options);
    const std::string open = server.AddExport("/vol/open");
    server.AddExport("/vol/closed", {"", true, false});
    const std::string privileged = server.AddExport("/vol/priv", {"", false, true});
    nfstest::MakeDir(open + "/locked");
    nfstest::MakeFile(open + "/locked/inside.txt", 1, 1600000000);
    chmod((open + "/locked").c_str(), 0);
    nfstest::MakeFile(privileged + "/a.txt", 1, 1600000000);
    server.Start();
    NFSClientSetServerCacheMs(0);

    // ganesha leaves an export closed to a client out of what that client
    // sees (MOUNT's export list, the NFSv4 pseudo file system): so does the
    // answer. (A listed export that refuses the mount: faults/FaultTest.cpp.)
    const ListResult closed = List(server.Address(), "/vol/closed");
    EXPECT_NE(closed.rc, 0);
    EXPECT_THAT(
        closed.error,
        V4Only()
            ? HasSubstr("lookup of /vol/closed: no such directory (NFS4ERR_NOENT)")
            : HasSubstr("no export holds the path /vol/closed (exports: /vol/open, /vol/priv)"));

    // Root calls from a privileged port; nobody cannot.
    const ListResult asRoot = List(server.Address(), "/vol/priv");
    EXPECT_EQ(asRoot.rc, 0) << asRoot.error;
    const nsbtest::CommandOutcome priv = ListAsNobody(server.Address(), "/vol/priv");
    EXPECT_EQ(priv.status, 1) << priv.output;
    if (V4Only()) {
        EXPECT_THAT(priv.output,
                    HasSubstr("no such directory"));  // hidden from this client, as above
    } else {
        EXPECT_THAT(priv.output,
                    HasSubstr("listing of /vol/priv (page 1): the server refused the call"));
        EXPECT_THAT(priv.output,
                    HasSubstr("wants a privileged source port (below 1024; this call came from "));
        EXPECT_THAT(priv.output, HasSubstr("run as root, or allow insecure ports on the export"));
    }

    const nsbtest::CommandOutcome locked = ListAsNobody(server.Address(), "/vol/open/locked");
    EXPECT_EQ(locked.status, 1) << locked.output;
    EXPECT_THAT(locked.output,
                HasSubstr(std::string("listing of /vol/open/locked (page 1): access denied (") +
                          (V4Only() ? "NFS4ERR_ACCESS" : "NFS3ERR_ACCES") +
                          ") for uid 65534, gid 65534 (AUTH_SYS)"));
    EXPECT_THAT(locked.output, HasSubstr("browse as a user they admit"));
    const nsbtest::CommandOutcome fine = ListAsNobody(server.Address(), "/vol/open");
    EXPECT_EQ(fine.status, 0) << fine.output;
    NFSClientSetServerCacheMs(5000);
}

INSTANTIATE_TEST_SUITE_P(, Access, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "V4Only" : "V3AndV4";
                         });

}  // namespace
