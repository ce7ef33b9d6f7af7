// Scripted fake of the NFS client library, linked into unit tests in place
// of the real one. Tests script export lists and directory entries per
// server address, inject failures, and read back every call that was made.
// Thread-safe; Reset() between tests.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake_nfs {

struct Entry {
    std::string name;
    uint32_t type = 1;
    uint32_t mode = 0644;
    uint64_t size = 0;
    uint64_t writeTime = 0;
};

struct Server {
    std::vector<std::string> exports;
    bool exportsFail = false;  // fail after reporting every export
    std::string exportsError = "export list failed";
    std::map<std::string, std::vector<Entry>> directories;  // full path -> entries
    bool browseFail = false;  // fail after reporting the directory's entries
    std::string browseError = "listing failed";
};

struct Call {
    std::string function;  // "GetExports" or "DoNFSLiveBrowse"
    std::string address;
    std::string path;  // DoNFSLiveBrowse only
    int reserved1 = -1, reserved2 = -1, reserved3 = -1;
    bool errorTextWasEmpty = false;  // first byte of the error buffer on entry was 0
    unsigned callbackResultsFalse = 0;
};

void Reset();
void SetServer(const std::string& address, const Server& server);
std::vector<Call> Calls();
// Export paths handed to the callback may be null when scripted so.
void ReportNullExportPath(bool on);

}  // namespace fake_nfs
