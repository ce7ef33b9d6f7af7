// Shared set-up of the browse tests: a scripted file server, a reply socket
// pair, and readers of replies and XML items.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/BrowseResults.h"
#include "common/TestSupport.h"
#include "fakes/CapturingLogWriter.h"
#include "fakes/FakeNFSClient.h"
#include "host/BrowseMessageFields.h"
#include "host/Lookups.h"
#include "host/MessageBase.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/EvRestoreReturn.h"

// A connected socket pair: the plug-in writes on `ours`, the test reads `theirs`.
class ReplySocket : public nsbtest::SocketPair {
public:
    // Reads the whole reply; fails the test when it is malformed.
    ReplyWire::Reply Read() {
        ReplyWire::Reply reply;
        std::string error;
        EXPECT_TRUE(ReplyWire::ReadReply(theirs, 2000, reply, error)) << error;
        return reply;
    }
    // True when nothing at all was written.
    bool Silent() {
        char byte;
        return recv(theirs, &byte, 1, MSG_DONTWAIT) < 0;
    }
    const int ours = writer;
    const int theirs = reader;
};

// Scripted file server at 127.0.0.1, reached as "localhost".
class BrowseTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_nfs::Reset();
        ORVClient::ClearRegistry();
        CLumIPAddr::SetLookupTimeoutMs(1000);
    }
    void Serve(std::vector<std::string> exports,
               std::map<std::string, std::vector<fake_nfs::Entry>> directories = {},
               bool browseFail = false) {
        server.exports = std::move(exports);
        server.directories = std::move(directories);
        server.browseFail = browseFail;
        server.browseError = "NFS3ERR_ACCES reading the directory";
        fake_nfs::SetServer("127.0.0.1", server);
    }
    static std::vector<std::string> ListedPaths() {
        std::vector<std::string> paths;
        for (const auto& call : fake_nfs::Calls())
            if (call.function == "DoNFSLiveBrowse") paths.push_back(call.path);
        return paths;
    }

    fake_nfs::Server server;
    ScopedCapturingLog log{4};
};

inline fake_nfs::Entry File(const std::string& name, uint64_t size, uint64_t mtime) {
    return {name, 1, 0644, size, mtime};
}
inline fake_nfs::Entry Dir(const std::string& name, uint64_t mtime = 0) {
    return {name, 2, 0644, 4096, mtime};
}
