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

#include "fakes/CapturingLogWriter.h"
#include "fakes/FakeNFSClient.h"
#include "host/BrowseMessageFields.h"
#include "host/Lookups.h"
#include "host/MessageBase.h"
#include "host_framework/ReplyReader.h"
#include "plumbing/EvRestoreReturn.h"

// One browse result as the tests compare them.
struct Result {
    bool folder;
    std::string name;
    long long mtime;
    long long size;
    bool operator==(const Result& o) const {
        return folder == o.folder && name == o.name && mtime == o.mtime && size == o.size;
    }
};
inline std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << (r.folder ? "D " : "F ") << r.name << " " << r.mtime << " " << r.size;
}
inline Result Folder(const std::string& name) { return Result{true, name, 0, 0}; }

inline std::vector<Result> Results(const std::vector<App::MachineBrowseItem>& items) {
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
    std::vector<Result> out;
    for (const auto& item : items)
        out.push_back(Result{item.getint64(App::ITEM_FOLDER.secondIndex, cls, App::ITEM_FOLDER.id) != 0,
                             item.getstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, cls,
                                            App::ITEM_NAME.id),
                             item.getint64(App::ITEM_MODIFY_TIME.secondIndex, cls, App::ITEM_MODIFY_TIME.id),
                             item.getint64(App::ITEM_SIZE.secondIndex, cls, App::ITEM_SIZE.id)});
    return out;
}

inline std::vector<Result> Results(const ReplyWire::Reply& reply) {
    std::vector<Result> out;
    for (const auto& item : reply.items)
        out.push_back(Result{item.isFolder, item.name, static_cast<long long>(item.modifyTime), item.size});
    return out;
}

// A connected socket pair: the plug-in writes on `ours`, the test reads `theirs`.
class ReplySocket {
public:
    ReplySocket() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair";
        ours = fds[0];
        theirs = fds[1];
    }
    ~ReplySocket() {
        close(ours);
        close(theirs);
    }
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
    int ours = -1;
    int theirs = -1;
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
    fake_nfs::Entry e;
    e.name = name;
    e.type = 1;
    e.size = size;
    e.writeTime = mtime;
    return e;
}
inline fake_nfs::Entry Dir(const std::string& name, uint64_t mtime = 0) {
    fake_nfs::Entry e;
    e.name = name;
    e.type = 2;
    e.size = 4096;
    e.writeTime = mtime;
    return e;
}
