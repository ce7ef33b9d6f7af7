// Scripted fake of the NFS client library (see FakeNFSClient.h).
#include "fakes/FakeNFSClient.h"

#include <mutex>

#include "host/NFSClient.h"
#include "host/Platform.h"

namespace fake_nfs {
namespace {

std::mutex g_mutex;
std::map<std::string, Server> g_servers;
std::vector<Call> g_calls;
bool g_nullPath = false;
unsigned int g_timeoutMs = 10000;

void SetError(char* errorText, const std::string& text) {
    if (errorText)
        BoundedCopy(errorText, NFS_ERROR_TEXT_SIZE, text.c_str(), NFS_ERROR_TEXT_SIZE - 1);
}

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_servers.clear();
    g_calls.clear();
    g_nullPath = false;
}

void SetServer(const std::string& address, const Server& server) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_servers[address] = server;
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

void ReportNullExportPath(bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nullPath = on;
}

}  // namespace fake_nfs

using namespace fake_nfs;

int GetExports(const char* address, void* context, ExportPathCallback callback, char* errorText) {
    Call call;
    call.function = "GetExports";
    call.address = address ? address : "";
    call.errorTextWasEmpty = errorText && errorText[0] == '\0';
    Server server;
    bool known;
    bool nullPath;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_servers.find(call.address);
        known = it != g_servers.end();
        if (known) server = it->second;
        nullPath = g_nullPath;
    }
    int result = 0;
    if (!known) {
        SetError(errorText, "no server at [" + call.address + "]: connection refused");
        result = -1;
    } else {
        if (nullPath && !callback(context, nullptr)) ++call.callbackResultsFalse;
        for (const std::string& path : server.exports)
            if (!callback(context, path.c_str())) ++call.callbackResultsFalse;
        if (server.exportsFail) {
            SetError(errorText, server.exportsError);
            result = -1;
        }
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(call);
    return result;
}

int DoNFSLiveBrowse(const char* address, const char* path, void* context,
                    LiveBrowseCallback callback, int reserved1, int reserved2, int reserved3,
                    char* errorText) {
    Call call;
    call.function = "DoNFSLiveBrowse";
    call.address = address ? address : "";
    call.path = path ? path : "";
    call.reserved1 = reserved1;
    call.reserved2 = reserved2;
    call.reserved3 = reserved3;
    call.errorTextWasEmpty = errorText && errorText[0] == '\0';
    Server server;
    bool known;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_servers.find(call.address);
        known = it != g_servers.end();
        if (known) server = it->second;
    }
    int result = 0;
    auto dir = known ? server.directories.find(call.path) : server.directories.end();
    if (!known) {
        SetError(errorText, "no server at [" + call.address + "]: connection refused");
        result = -1;
    } else if (dir == server.directories.end()) {
        SetError(errorText, "no such directory [" + call.path + "]");
        result = -1;
    } else {
        for (const Entry& e : dir->second) {
            NFSItemInfo info = {};
            info.name = e.name.c_str();
            info.type = e.type;
            info.mode = e.mode;
            info.size = e.size;
            info.writeTime = e.writeTime;
            bool flag = false;
            if (!callback(context, &info, 0, false, flag)) ++call.callbackResultsFalse;
        }
        if (server.browseFail) {
            SetError(errorText, server.browseError);
            result = -1;
        }
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(call);
    return result;
}

void NFSClientSetTimeoutMs(unsigned int ms) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_timeoutMs = ms;
}

unsigned int NFSClientGetTimeoutMs() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_timeoutMs;
}
