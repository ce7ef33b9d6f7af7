#include "FuzzSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <boost/make_shared.hpp>

#include "fakes/FakeNFSClient.h"
#include "fakes/FakeResolver.h"
#include "host/LogWriter.h"
#include "host/Lookups.h"
#include "plumbing/EvRestoreReturn.h"

namespace nsbfuzz {
namespace {

// Formats like a real writer (so every format and value is exercised) and
// keeps nothing.
class FormattingNullWriter : public CLogWriterInterface {
public:
    void WriteLog(int, const char* function, int, int, int, const char* format, ...) override {
        char text[4096];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        sink ^= static_cast<unsigned char>(text[0]) ^ static_cast<unsigned char>(function[0]);
    }
    int GetLogLevel() override { return 4; }
    volatile unsigned char sink = 0;
};

fake_nfs::Entry Make(const std::string& name, uint32_t type, uint64_t size, uint64_t mtime) {
    fake_nfs::Entry e;
    e.name = name;
    e.type = type;
    e.size = size;
    e.writeTime = mtime;
    return e;
}

void ScriptServers() {
    fake_nfs::Server server;
    server.exports = {"/vol/vol1", "/vol/vol1/.snapshot", "/vol/vol1_clone", "/home", "/a/b/c/d",
                      "/"};
    server.directories["/vol/vol1"] = {Make("docs", 2, 0, 1600000000),
                                       Make("a.txt", 1, 1234, 1500000000),
                                       Make("%s%n%x%p", 1, 1, 1),
                                       Make("ctl\x01\x1f\x7f", 1, 2, 2),
                                       Make("bad\xff\xfe\xc0\xaf", 1, 3, 3),
                                       Make(".snapshot", 2, 0, 0),
                                       Make("link", 5, 0, 0),
                                       Make("", 1, 0, 0),
                                       Make(std::string(300, 'n'), 2, UINT64_MAX, UINT64_MAX)};
    server.directories["/vol/vol1/docs"] = {Make("inner", 1, 5, 5)};
    server.directories["/home"] = {Make("user", 2, 0, 0)};
    fake_nfs::SetServer("127.0.0.1", server);
    fake_nfs::Server failing = server;
    failing.exportsFail = true;
    failing.browseFail = true;
    failing.browseError = "listing failed: %s%n \xff";
    fake_nfs::SetServer("::1", failing);
}

}  // namespace

void SetUpOnce() {
    static bool done = false;
    static unsigned long inputs = 0;
    // The fake records every call: start afresh now and then.
    if (done && ++inputs % 4096 != 0) return;
    if (!done) {
        g_ptrLogWriter = boost::make_shared<FormattingNullWriter>();
        // An address text is parsed as usual; a host name is answered
        // "unknown" at once. The fuzz targets run outside any network
        // namespace and must never ask a resolver, nor wait for one.
        fake_resolver::Install();
        CLumIPAddr::SetLookupTimeoutMs(100);
        EvReturnData::SetSendTimeoutMs(2000);
        done = true;
    }
    fake_nfs::Reset();
    ScriptServers();
}

}  // namespace nsbfuzz
