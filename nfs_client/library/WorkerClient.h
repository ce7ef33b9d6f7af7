// Runs one call of the library in an NFS client worker process
// (nfs_client/worker/) and hands what it finds to the caller's functions,
// on the calling thread, during the call, in the order the worker found it.
//
// A worker that dies, exceeds a limit, stops making progress, or breaks the
// framing of its answer ends the call with an error text, and nothing more:
// the calling process sees no signal, no hang and no memory the server
// chose. The worker is killed at the latest when the call's time is up.
//
// The process itself is WorkerProcess.h, the spares WorkerPool.h; this file
// is the call session.
#pragma once

#include <functional>  // std::function
#include <string>      // std::string

#include "host/NFSClient.h"           // NFSItemInfo
#include "nfs_client/Status.h"        // Status
#include "nfs_client/WorkerFrames.h"  // frames::Request

namespace nfsclient {

// Where and how workers run; from the library's settings.
struct WorkerSettings {
    std::string path;                  // the worker program
    unsigned long memoryMiB = 256;     // its address space
    unsigned int callLimitMs = 60000;  // the longest a whole call may take
    unsigned int graceMs = 1000;       // beyond the step timeout before a silent worker is stopped
    unsigned int spares = 2;           // workers started ahead of calls (0: none)
};

struct WorkerCall {
    frames::Request request;
    ServerProfile hints;  // what the cache knows; Protocol::Unknown for nothing
    // An export path; false: no more wanted (not a failure).
    std::function<bool(const char* path)> onExport;
    // An entry; false, with the cause, stops the listing, which then fails.
    std::function<bool(const NFSItemInfo& entry, std::string& cause)> onEntry;
    // A line for the host's log.
    std::function<void(const std::string& text)> onNotice;

    // The outcome.
    Status status;  // ok, or the failure text for the caller (and whether it timed out)
    unsigned long long delivered = 0;  // entries or export paths handed out
    ServerProfile learned;  // what the worker learned of the server (on success, or a path answer)
};

// Runs the call; true on success.
bool RunInWorker(WorkerCall& call, const WorkerSettings& settings);

// Ends the workers started ahead of calls (they are started again as calls
// come): for when their settings change.
void DropSpareWorkers();
// Starts `count` workers now for the calls about to be made
// (NFSClientStartWorkers).
void StartSpareWorkers(const WorkerSettings& settings, unsigned int count);

}  // namespace nfsclient
