// The library's entry points and the one choice of protocol: a server's
// protocol and service ports come from the server cache when it was probed
// a moment ago, else from a probe; then the NFSv3 or NFSv4 functions do the
// work (nfs_client/Protocol.h).
#include <cstring>   // strlen

#include "host/LogWriter.h"          // NSB_LOG
#include "host/NFSClient.h"
#include "nfs_client/ErrorText.h"    // WriteError
#include "nfs_client/Paths.h"        // SplitServerPath, JoinServerPath
#include "nfs_client/Protocol.h"
#include "nfs_client/ServerCache.h"  // TheServerCache
#include "nfs_client/Settings.h"     // TimeoutMs

namespace nfsclient {
namespace {

const char kGetExports[] = "int GetExports(const char*, void*, ExportPathCallback, char*)";
const char kDoNFSLiveBrowse[] =
    "int DoNFSLiveBrowse(const char*, const char*, void*, LiveBrowseCallback, int, int, int, char*)";

CallLimits CurrentLimits() {
    CallLimits limits;
    limits.stepMs = TimeoutMs();
    return limits;
}

// Checks the address argument of an entry point; on failure writes an error
// text naming `operation` into `errorText`.
bool CheckAddress(const char* address, const char* operation, int& family, char* errorText) {
    if (address == nullptr || *address == '\0') {
        WriteError(errorText,
                   "%s: the NFS server address is empty (the file server name did not resolve to an address)",
                   operation);
        return false;
    }
    if (!ParseNumericAddress(address, family)) {
        WriteError(errorText, "%s: NFS server address \"%.200s\" is not a numeric IPv4 or IPv6 address",
                   operation, address);
        return false;
    }
    return true;
}

// Runs `attempt` with what the cache knows of the server. A failure after a
// cached start (the server may have changed: restarted on other ports, or
// now NFSv4 only) is tried once more from a probe, unless it timed out or
// `retriable` says something was already handed out. Success is remembered,
// failure forgotten. Returns the call that counts.
template <typename Attempt, typename Retriable>
Call RunCall(const char* address, int family, Attempt attempt, Retriable retriable) {
    ServerCache& cache = TheServerCache();
    Call call(address, family, CurrentLimits());
    const bool cached = cache.Find(address, call.profile);
    bool ok = attempt(call);
    if (!ok && cached && !call.timedOut && retriable()) {
        cache.Forget(address);
        call = Call(address, family, CurrentLimits());
        ok = attempt(call);
    }
    if (ok)
        cache.Store(address, call.profile);
    else
        cache.Forget(address);
    return call;
}

// Hands the entries of a listing to the host's callback.
class CallbackReceiver : public EntryReceiver {
public:
    CallbackReceiver(void* context, LiveBrowseCallback callback) : m_context(context), m_callback(callback) {}
    bool OnEntry(const NFSItemInfo& entry) override {
        bool reserved = false;
        return m_callback(m_context, const_cast<NFSItemInfo*>(&entry), 0, false, reserved);
    }
    void OnNotice(const std::string& text) override { NSB_LOG(2, kDoNFSLiveBrowse, "%s", text.c_str()); }

private:
    void* m_context;
    LiveBrowseCallback m_callback;
};

int ListExports(const char* address, void* context, ExportPathCallback callback, char* errorText) {
    int family = 0;
    if (!CheckAddress(address, "NFS export list", family, errorText)) return 1;
    if (callback == nullptr) {
        WriteError(errorText, "NFS export list of server %s: no callback given", address);
        return 1;
    }
    size_t reported = 0;
    auto attempt = [&](Call& call) {
        call.notice = [](const std::string& text) { NSB_LOG(2, kGetExports, "%s", text.c_str()); };
        const ExportVisitor visit = [&](const char* path) {
            try {
                ++reported;
                return callback(context, path);
            } catch (...) {
                call.Fail("export list", "the receiver of the export paths threw an exception");
                return false;
            }
        };
        return ReadExports(call, visit);
    };
    const Call call = RunCall(address, family, attempt, [&] { return reported == 0; });
    if (!call.error.empty()) {
        WriteError(errorText, "%s", call.error.c_str());
        return 1;
    }
    return 0;
}

int BrowseDirectory(const char* address, const char* path, void* context, LiveBrowseCallback callback,
                    char* errorText) {
    int family = 0;
    if (!CheckAddress(address, "NFS listing", family, errorText)) return 1;
    std::vector<std::string> components;
    std::string why;
    if (path != nullptr && strlen(path) > kMaxRequestPathBytes) {
        WriteError(errorText, "NFS server %s, listing of \"%.300s...\": the path is longer than %zu bytes",
                   address, path, kMaxRequestPathBytes);
        return 1;
    }
    if (!SplitServerPath(path, components, why)) {
        WriteError(errorText, "NFS server %s, listing of \"%.300s\": %s", address, path != nullptr ? path : "",
                   why.c_str());
        return 1;
    }
    const std::string directory = JoinServerPath(components);
    if (callback == nullptr) {
        WriteError(errorText, "NFS server %s, listing of %.300s: no callback given", address, directory.c_str());
        return 1;
    }
    CallbackReceiver receiver(context, callback);
    EntryDelivery delivery(receiver, CurrentLimits().maxEntries);
    auto attempt = [&](Call& call) {
        call.notice = [&](const std::string& text) { delivery.Notice(text); };
        return ListDirectory(call, components, directory, delivery);
    };
    const Call call = RunCall(address, family, attempt, [&] { return delivery.Delivered() == 0; });
    if (!call.error.empty()) {
        WriteError(errorText, "%s", call.error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace nfsclient

// Failures are values below these two; they are the last line against
// exceptions (std::bad_alloc) reaching the host.
HOST_API int GetExports(const char* address, void* context, ExportPathCallback callback, char* errorText) {
    try {
        return nfsclient::ListExports(address, context, callback, errorText);
    } catch (...) {
        nfsclient::WriteError(errorText, "NFS export list of server %.200s: internal error (out of memory?)",
                              address != nullptr ? address : "");
        return 1;
    }
}

HOST_API int DoNFSLiveBrowse(const char* address, const char* path, void* context, LiveBrowseCallback callback,
                             int, int, int, char* errorText) {
    try {
        return nfsclient::BrowseDirectory(address, path, context, callback, errorText);
    } catch (...) {
        nfsclient::WriteError(errorText, "NFS server %.200s, listing of %.300s: internal error (out of memory?)",
                              address != nullptr ? address : "", path != nullptr ? path : "");
        return 1;
    }
}
