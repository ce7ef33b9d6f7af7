// nfs_list: lists one directory through the NFS client library, for
// measurements and by hand. Prints the number of entries (with -v, one line
// per entry: type, size, mtime, name) and the wall time to stderr. With -r,
// also the peak RSS of the worker processes the call used: the spares are
// dropped and every child reaped before it is read.
//
//   nfs_list [-v] [-r] [-t TIMEOUT_MS] ADDRESS PATH
//   nfs_list -e ADDRESS          (export list)
#include <sys/resource.h>  // getrusage
#include <sys/wait.h>      // waitpid

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/NFSClient.h"

namespace {

struct Counter {
    bool verbose = false;
    unsigned long long entries = 0;
};

bool OnEntry(void* context, void* itemInfo, unsigned long long, bool, bool&) {
    auto* counter = static_cast<Counter*>(context);
    const auto* info = static_cast<const NFSItemInfo*>(itemInfo);
    ++counter->entries;
    if (counter->verbose)
        printf("%u %06o %12llu %10llu %s\n", info->type, info->mode,
               static_cast<unsigned long long>(info->size),
               static_cast<unsigned long long>(info->writeTime), info->name);
    return true;
}

bool OnExport(void*, const char* path) {
    printf("%s\n", path);
    return true;
}

int Usage() {
    fprintf(stderr,
            "usage: nfs_list [-v] [-r] [-t TIMEOUT_MS] ADDRESS PATH\n"
            "       nfs_list -e ADDRESS\n");
    return 2;
}

// The largest peak RSS of this process's children, once all have ended: the
// spare workers are dropped (killed and reaped) and the worker that answered
// is waited for; it ends by itself once its answer is read.
long WorkersPeakRssKiB() {
    NFSClientSetWorkerPath(nullptr);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    Counter counter;
    bool exports = false;
    bool workerRss = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "-v") == 0) {
            counter.verbose = true;
        } else if (strcmp(argv[i], "-e") == 0) {
            exports = true;
        } else if (strcmp(argv[i], "-r") == 0) {
            workerRss = true;
        } else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc) {
            NFSClientSetTimeoutMs(static_cast<unsigned int>(strtoul(argv[++i], nullptr, 10)));
        } else {
            return Usage();
        }
    }
    if (argc - i != (exports ? 1 : 2)) return Usage();

    char error[NFS_ERROR_TEXT_SIZE] = "";
    const auto start = std::chrono::steady_clock::now();
    const int rc = exports
                       ? GetExports(argv[i], nullptr, &OnExport, error)
                       : DoNFSLiveBrowse(argv[i], argv[i + 1], &counter, &OnEntry, 0, 0, 1, error);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0) {
        fprintf(stderr, "nfs_list: %s\n", error);
        return 1;
    }
    if (!exports) printf("%llu entries\n", counter.entries);
    fprintf(stderr, "nfs_list: %.3f s\n", seconds);
    if (workerRss) fprintf(stderr, "nfs_list: worker peak RSS %ld KiB\n", WorkersPeakRssKiB());
    return 0;
}
