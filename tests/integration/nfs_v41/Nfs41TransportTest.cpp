// SendCompound41 against a stand-in NFSv4 service on port 2049: what goes
// on the wire after libnfs's call header, and how replies a real server
// would not send reach the callback (worded errors, never a crash), and a
// server that does not answer.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Nfs41Driver.h"
#include "ScriptedPeer.h"

namespace {

using namespace nfsclient::v41;
using nfstest::Nfs41Driver;
using Outcome = Nfs41Driver::Outcome;
using testing::HasSubstr;
using testing::StartsWith;

constexpr char kAddress[] = "127.0.0.3";

std::string Word(uint32_t v) { return nfstest::XdrU32(v); }

// A stand-in NFSv4 service: NULL is answered; each COMPOUND's arguments
// (after the call header) are kept and answered with what `body` returns
// for them ("" for no answer at all).
class FakeNfs4 {
public:
    using Body = std::function<std::string(const std::string& arguments)>;
    explicit FakeNfs4(Body body) : m_body(std::move(body)) {
        auto answer = [this](const nfstest::RpcCall& call, std::string& reply) {
            std::string result;
            if (call.procedure != 0) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_calls.push_back(call.Arguments());
                }
                result = m_body(call.Arguments());
                if (result.empty()) return true;
            }
            reply = nfstest::AcceptedReply(call, result);
            return true;
        };
        m_server = std::make_unique<nfstest::ScriptedPeer>(
            std::vector<int>{nfstest::Listen(kAddress, 2049, 8)},
            std::vector<nfstest::ScriptedPeer::Service>{{0, 0, answer}});
    }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    Body m_body;
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::unique_ptr<nfstest::ScriptedPeer> m_server;
};

std::string Reply(int32_t status, const std::vector<std::string>& results) {
    std::string r =
        Word(static_cast<uint32_t>(status)) + Word(0) + Word(static_cast<uint32_t>(results.size()));
    for (const std::string& result : results) r += result;
    return r;
}

std::string StatusOnly(uint32_t op, int32_t status = NFS4_OK) {
    return Word(op) + Word(static_cast<uint32_t>(status));
}

void Connect(Nfs41Driver& driver) {
    std::string error;
    ASSERT_TRUE(driver.Connect(error)) << error;
}

TEST(Nfs41Transport, TheCallCarriesOurEncodingAfterLibnfsCallHeader) {
    FakeNfs4 fake([](const std::string&) { return Reply(NFS4ERR_SERVERFAULT, {}); });
    Nfs41Driver driver(kAddress);
    Connect(driver);
    SessionId id;
    memset(id, 0x42, sizeof id);
    Compound41 first(1);
    first.SetTag("t1");
    first.DestroySession(id);
    Compound41 second(2);
    second.PutRootFh();
    second.Lookup("name", 4);
    second.GetAttr({1, 2});
    driver.CallAll({&first, &second});
    const std::vector<std::string> calls = fake.Calls();
    ASSERT_EQ(calls.size(), 2u);
    std::vector<char> expected;
    std::string why;
    ASSERT_TRUE(first.Encode(expected, why));
    EXPECT_EQ(calls[0], std::string(expected.begin(), expected.end()));
    ASSERT_TRUE(second.Encode(expected, why));
    EXPECT_EQ(calls[1], std::string(expected.begin(), expected.end()));
}

TEST(Nfs41Transport, RepliesThatAreNotWellFormedAreWordedErrors) {
    std::atomic<int> which{0};
    FakeNfs4 fake([&which](const std::string&) -> std::string {
        switch (which.load()) {
        case 0: return Reply(NFS4_OK, {StatusOnly(kOpDestroySession)}).substr(0, 16);  // cut short
        case 1: return Reply(NFS4_OK, {StatusOnly(kOpDestroyClientId)});  // another operation
        case 2:
            return Reply(NFS4_OK, {StatusOnly(kOpDestroySession), StatusOnly(kOpDestroySession)});
        case 3: return Reply(NFS4_OK, {StatusOnly(kOpDestroySession)}) + Word(0);  // trailing bytes
        default: return Reply(NFS4_OK, {StatusOnly(kOpDestroySession)});
        }
    });
    Nfs41Driver driver(kAddress);
    Connect(driver);
    SessionId id{};
    Compound41 destroy(1);
    destroy.DestroySession(id);
    const char* expected[] = {
        "malformed NFSv4 reply: result 1: status: the reply is cut short",
        ("malformed NFSv4 reply: result 1 is for DESTROY_CLIENTID, but the operation sent there "
         "was DESTROY_SESSION"),
        "malformed NFSv4 reply: 2 results for 1 operations",
        "malformed NFSv4 reply: 4 bytes after the last result",
    };
    for (int i = 0; i < 4; ++i) {
        which = i;
        const Outcome o = driver.Call(destroy);
        EXPECT_EQ(o.rpcStatus, RPC_STATUS_ERROR) << i;
        EXPECT_EQ(o.error, expected[i]);
    }
    which = 4;
    EXPECT_TRUE(driver.Call(destroy).Ok()) << "the connection is still usable";
}

// A READDIR page whose entry list never ends, from a hostile server (the
// reply ends first: libnfs takes no reply over 1 MiB on this road, too few
// bytes for more than kMaxDirEntries entries): refused before libnfs's
// recursive decoder sees it.
TEST(Nfs41Transport, EndlessEntryListIsRefusedBeforeLibnfsDecodesIt) {
    FakeNfs4 fake([](const std::string&) {
        std::string readdir = Word(OP_READDIR) + Word(0) + std::string(8, 'v');
        for (uint32_t i = 0; i < 30000; ++i)
            readdir += Word(1) + Word(0) + Word(i + 1) + Word(1) + std::string("n\0\0\0", 4) +
                       Word(0) + Word(0);
        return Reply(NFS4_OK, {StatusOnly(OP_PUTROOTFH), readdir});
    });
    Nfs41Driver driver(kAddress);
    Connect(driver);
    Compound41 list(1);
    list.PutRootFh();
    list.ReadDir(0, "\0\0\0\0\0\0\0\0", 1 << 20, 1 << 20, {1, 0});
    const Outcome o = driver.Call(list);
    EXPECT_EQ(o.rpcStatus, RPC_STATUS_ERROR);
    EXPECT_EQ(o.error,
              "malformed NFSv4 reply: result 2 (READDIR): entry list: the reply is cut short");
}

TEST(Nfs41Transport, SilentServerTimesOutThroughLibnfs) {
    FakeNfs4 fake([](const std::string&) { return std::string(); });
    Nfs41Driver driver(kAddress, 300);
    Connect(driver);
    Compound41 root(1);
    root.PutRootFh();
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = driver.Call(root);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(o.rpcStatus, RPC_STATUS_TIMEOUT);
    EXPECT_GE(ms, 290.0);
    EXPECT_LT(ms, 1000.0);
}

}  // namespace
