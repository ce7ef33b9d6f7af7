// The library's entry points. Each call checks its arguments, then runs in
// an NFS client worker process of its own (nfs_client/library/WorkerClient.h) with
// what the server cache knows of the server, and hands what the worker
// finds to the caller's callback on the calling thread. The host process
// itself never reads a byte a server sent.
#include <chrono>   // seconds
#include <cstring>  // strlen

#include "host_framework/CallSite.h"  // NSB_LOG_HERE
#include "host/NFSClient.h"
#include "nfs_client/library/ErrorText.h"    // WriteError
#include "nfs_client/Paths.h"                // ParseNumericAddress, SplitServerPath, JoinServerPath
#include "nfs_client/Status.h"               // ServerText
#include "nfs_client/library/ServerCache.h"  // TheServerCache
#include "nfs_client/library/Settings.h"     // CurrentLimits, CurrentWorkerSettings
#include "nfs_client/library/WorkerClient.h"  // RunInWorker

namespace nfsclient {
namespace {

// How long an export list read from the server counts as its answer of a
// moment ago (see RunCall).
constexpr std::chrono::seconds kFreshExports{2};

// Checks the address argument of an entry point; on failure writes an error
// text naming `operation` into `errorText`.
bool CheckAddress(const char* address, const char* operation, char* errorText) {
    int family = 0;
    if (address == nullptr || *address == '\0') {
        WriteError(errorText,
                   "%s: the NFS server address is empty (the file server name did not resolve to "
                   "an address)",
                   operation);
        return false;
    }
    if (!ParseNumericAddress(address, family)) {
        WriteError(errorText,
                   "%s: NFS server address \"%.200s\" is not a numeric IPv4 or IPv6 address",
                   operation, address);
        return false;
    }
    return true;
}

// Fills the request's security from the settings and the caller's
// environment; false, with the error text written, when it cannot be sent.
bool TakeSecurity(frames::Request& request, const std::string& step, char* errorText) {
    request.security = CurrentSecurity(request.address.c_str());
    const std::string why = frames::CheckSecurity(request.security);
    if (why.empty()) return true;
    WriteError(errorText, ServerText(request.address, step, why));
    return false;
}

// Runs `call` in a worker with what the cache knows of the server. A
// failure after a cached start (the server may have changed: restarted on
// other ports, now NFSv4 only, or with other exports) is tried once more,
// unless it timed out or something was already handed out: from a probe,
// or, when the server answered about the path itself (no such folder: the
// worker then sends what it used), with the protocol kept and only a cached
// export list read again. What a call learned is remembered; a failure
// without it forgets the server.
bool RunCall(WorkerCall& call) {
    ServerCache& cache = TheServerCache();
    const WorkerSettings settings = CurrentWorkerSettings();
    ServerCache::Clock::duration age{};
    const bool cached =
        cache.Find(call.request.address, call.hints, ServerCache::Clock::now(), &age);
    // A cached export list may be stale when the server answers that the
    // path is not there; one read moments ago (the export list call before
    // a browse) is the server's own answer.
    const bool staleExports = call.hints.hasExports && age >= kFreshExports;
    bool ok = RunInWorker(call, settings);
    const auto learned = [&call] { return call.learned.protocol != Protocol::Unknown; };
    const bool pathAnswer = !ok && learned();
    if (!ok && cached && !call.status.TimedOut() && call.delivered == 0 &&
        (!pathAnswer || staleExports)) {
        cache.Forget(call.request.address);
        ServerProfile kept;
        if (pathAnswer) {
            kept = call.hints;
            kept.hasExports = false;
            kept.exports.clear();
        }
        call.hints = kept;
        call.status = Status();
        call.learned = ServerProfile();
        ok = RunInWorker(call, settings);
    }
    if (ok || learned())
        cache.Store(call.request.address, call.learned);
    else
        cache.Forget(call.request.address);
    return ok;
}

int ListExports(const char* address, void* context, ExportPathCallback callback, char* errorText) {
    if (!CheckAddress(address, "NFS export list", errorText)) return 1;
    if (callback == nullptr) {
        WriteError(errorText, "NFS export list of server %s: no callback given", address);
        return 1;
    }
    WorkerCall call;
    call.request.operation = frames::Operation::Exports;
    call.request.limits = CurrentLimits();
    call.request.address = address;
    if (!TakeSecurity(call.request, "export list", errorText)) return 1;
    bool threw = false;
    call.onExport = [&](const char* path) {
        try {
            return callback(context, path);
        } catch (...) {
            threw = true;
            return false;
        }
    };
    call.onNotice = [](const std::string& text) { NSB_LOG_HERE(2, "%s", text.c_str()); };
    const bool ok = RunCall(call);
    if (threw) {
        WriteError(errorText, ServerText(address, "export list",
                                         "the receiver of the export paths threw an exception"));
        return 1;
    }
    if (!ok) {
        WriteError(errorText, call.status.Text());
        return 1;
    }
    return 0;
}

int BrowseDirectory(const char* address, const char* path, void* context,
                    LiveBrowseCallback callback, char* errorText) {
    if (!CheckAddress(address, "NFS listing", errorText)) return 1;
    std::vector<std::string> components;
    std::string why;
    if (path != nullptr && strlen(path) > kMaxRequestPathBytes) {
        WriteError(errorText,
                   ServerText(address, "listing of \"" + std::string(path).substr(0, 300) + "...\"",
                              "the path is longer than " + std::to_string(kMaxRequestPathBytes) +
                                  " bytes"));
        return 1;
    }
    if (!SplitServerPath(path, components, why)) {
        WriteError(errorText,
                   ServerText(address,
                              "listing of \"" +
                                  std::string(path != nullptr ? path : "").substr(0, 300) + "\"",
                              why));
        return 1;
    }
    const std::string directory = JoinServerPath(components);
    if (callback == nullptr) {
        WriteError(errorText, ServerText(address, "listing of " + directory.substr(0, 300),
                                         "no callback given"));
        return 1;
    }
    WorkerCall call;
    call.request.operation = frames::Operation::List;
    call.request.limits = CurrentLimits();
    call.request.address = address;
    call.request.path = directory;
    if (!TakeSecurity(call.request, "listing of " + directory.substr(0, 300), errorText)) return 1;
    call.onEntry = [&](const NFSItemInfo& entry, std::string& cause) {
        bool reserved = false;
        bool more = false;
        try {
            more = callback(context, const_cast<NFSItemInfo*>(&entry), 0, false, reserved);
        } catch (...) {
            cause = "the receiver of the entries threw an exception after " +
                    std::to_string(call.delivered) + " entries; listing stopped";
            return false;
        }
        if (!more)
            cause = "listing stopped by the receiver after " + std::to_string(call.delivered) +
                    " entries";
        return more;
    };
    call.onNotice = [](const std::string& text) { NSB_LOG_HERE(2, "%s", text.c_str()); };
    if (!RunCall(call)) {
        WriteError(errorText, call.status.Text());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace nfsclient

// Failures are values below these two; they are the last line against
// exceptions (std::bad_alloc) reaching the host.
HOST_API int GetExports(const char* address, void* context, ExportPathCallback callback,
                        char* errorText) {
    try {
        return nfsclient::ListExports(address, context, callback, errorText);
    } catch (...) {
        nfsclient::WriteError(errorText,
                              "NFS export list of server %.200s: internal error (out of memory?)",
                              address != nullptr ? address : "");
        return 1;
    }
}

HOST_API int DoNFSLiveBrowse(const char* address, const char* path, void* context,
                             LiveBrowseCallback callback, int, int, int, char* errorText) {
    try {
        return nfsclient::BrowseDirectory(address, path, context, callback, errorText);
    } catch (...) {
        nfsclient::WriteError(
            errorText, "NFS server %.200s, listing of %.300s: internal error (out of memory?)",
            address != nullptr ? address : "", path != nullptr ? path : "");
        return 1;
    }
}
