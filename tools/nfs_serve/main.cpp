// nfs_serve: starts a private NFS test server and runs a command while it
// serves, for measurements and demonstrations. Must run inside
// scripts/netns-run.sh; the command runs in the same namespace.
//
//   nfs_serve [--files N] [--v4-only | --nfs41-only] COMMAND [ARGS...]
//
// Exports /big (N empty files, default 100000) and /small (two files),
// over NFSv3 and NFSv4, or with --v4-only over NFSv4 alone (no portmapper,
// no MOUNT), or with --nfs41-only over NFSv4.1 and 4.2 alone (4.0 refused
// as well). The
// command sees NFS_TEST_ADDRESS (the server's address) and NFS_TEST_ROOT
// (the local directory of the served tree). Exits with the command's status.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "NfsTestServer.h"

int main(int argc, char** argv) {
    size_t files = 100000;
    int i = 1;
    nfstest::NfsTestServer::Options options;
    for (;;) {
        if (i + 1 < argc && strcmp(argv[i], "--files") == 0) {
            files = strtoull(argv[i + 1], nullptr, 10);
            i += 2;
        } else if (i < argc && strcmp(argv[i], "--v4-only") == 0) {
            options.v4Only = true;
            ++i;
        } else if (i < argc && strcmp(argv[i], "--nfs41-only") == 0) {
            options.v4Only = true;
            options.minorVersions = {1, 2};
            ++i;
        } else {
            break;
        }
    }
    if (i >= argc) {
        fprintf(stderr,
                "usage: nfs_serve [--files N] [--v4-only | --nfs41-only] COMMAND [ARGS...]\n");
        return 2;
    }
    try {
        nfstest::NfsTestServer server(options);
        const std::string big = server.AddExport("/big");
        const std::string small = server.AddExport("/small");
        nfstest::MakeManyFiles(big, files);
        nfstest::MakeFile(small + "/one", 1);
        nfstest::MakeFile(small + "/two", 2);
        server.Start();
        setenv("NFS_TEST_ADDRESS", server.Address().c_str(), 1);
        setenv("NFS_TEST_ROOT", server.Root().c_str(), 1);
        const pid_t child = fork();
        if (child == 0) {
            execvp(argv[i], argv + i);
            perror(argv[i]);
            _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) return 1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "nfs_serve: %s\n", e.what());
        return 1;
    }
}
