// NFSv4 referrals (a folder the NAS moved to another server): listed as a
// folder in its parent, its target logged; a browse into it, or into an
// export that is one, is one worded failure naming the target, on both of
// the plug-in's roads. Never followed. Over NFSv3 the same folder is an
// ordinary one.
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ScriptedNfs4Peer.h"
#include "common/TestSupport.h"
#include "fakes/CapturingLogWriter.h"
#include "integration/nfs_client/ClientCalls.h"
#include "integration/plugin/PluginTestSupport.h"

using namespace nfsclienttest;
using testing::Contains;
using testing::HasSubstr;

namespace {

enum class ServerKind { V3, V4Only, V41Only };
std::string KindName(const testing::TestParamInfo<ServerKind>& info) {
    return info.param == ServerKind::V3 ? "V3" : info.param == ServerKind::V4Only ? "V40" : "V41";
}

const char* const kMovedTarget = "nas2.test:/vol/archive";
const char* const kExportTarget = "nas3.test:/exports/far";

class Referral : public testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        nfstest::NfsTestServer::Options options;
        options.v4Only = GetParam() != ServerKind::V3;
        options.ownFileSystems = true;
        if (GetParam() == ServerKind::V41Only) options.minorVersions = {1, 2};
        server = std::make_unique<nfstest::NfsTestServer>(options);
        const std::string vol1 = server->AddExport("/vol/vol1");
        const std::string far = server->AddExport("/vol/far");
        nfstest::MakeDir(vol1 + "/docs", 1500000000);
        nfstest::MakeFile(vol1 + "/a.txt", 5, 1600000000);
        nfstest::MakeReferral(vol1 + "/moved", kMovedTarget);
        nfstest::MakeDir(vol1 + "/many");
        for (int i = 0; i < 20; ++i)  // more than the targets read per listing
            nfstest::MakeReferral(vol1 + "/many/r" + std::to_string(i),
                                  "nas4.test:/r" + std::to_string(i));
        nfstest::MakeReferral(far, kExportTarget);
        server->Start();
    }
    bool V4() const { return GetParam() != ServerKind::V3; }

    std::unique_ptr<nfstest::NfsTestServer> server;
};

TEST_P(Referral, IsListedAsAFolderWithItsTargetLogged) {
    ScopedCapturingLog log(2);
    const ListResult listed = List(server->Address(), "/vol/vol1");
    ASSERT_EQ(listed.rc, 0) << listed.error;
    EXPECT_THAT(Names(listed), testing::UnorderedElementsAre("docs", "a.txt", "moved", "many"));
    for (const Entry& e : listed.entries) {
        if (e.name != "moved") continue;
        EXPECT_EQ(e.type, static_cast<uint32_t>(ITEM_TYPE_DIRECTORY));
        if (V4()) {
            EXPECT_EQ(e.writeTime, 0u);
        }
    }
    const std::string notice = "NFS server " + server->Address() +
                               ", folder /vol/vol1: entry [moved] is a referral to " + kMovedTarget;
    if (V4())
        EXPECT_THAT(log->Messages(2), Contains(notice));
    else
        EXPECT_THAT(log->Messages(2), testing::Not(Contains(HasSubstr("referral"))));

    // Many referrals: every one listed, the first targets read, the rest noticed.
    log->Clear();
    const ListResult many = List(server->Address(), "/vol/vol1/many");
    ASSERT_EQ(many.rc, 0) << many.error;
    EXPECT_EQ(many.entries.size(), 20u);
    if (!V4()) return;
    size_t withTarget = 0, without = 0;
    for (const std::string& line : log->Messages(2)) {
        withTarget += line.find(" is a referral to nas4.test:/r") != std::string::npos;
        without += line.find("target not read") != std::string::npos;
    }
    EXPECT_EQ(withTarget, 16u);
    EXPECT_EQ(without, 4u);
}

// An export that is a referral is listed among the exports; a browse into it
// fails as into any referral.
TEST_P(Referral, BrowseIntoItOrAnExportThatIsOneIsOneWordedFailureOnBothRoads) {
    const ExportsResult exports = ListExports(server->Address());
    ASSERT_EQ(exports.rc, 0) << exports.error;
    EXPECT_THAT(exports.paths, testing::UnorderedElementsAre("/vol/vol1", "/vol/far"));
    plugin_test::Plugin plugin;
    const std::string address = server->Address();
    // The parent, on both roads: the referral is a folder.
    const plugin_test::Answer parent =
        plugin_test::BrowseNetwork(plugin, address, "/" + address + "/vol/vol1");
    EXPECT_TRUE(parent.messages.empty());
    EXPECT_THAT(parent.results, Contains(Result{true, "moved", 0, 0}));
    EXPECT_EQ(plugin_test::BrowseXml(plugin, address, "/" + address + "/vol/vol1").results,
              parent.results);
    if (!V4()) {  // an ordinary, empty folder
        const plugin_test::Answer moved =
            plugin_test::BrowseNetwork(plugin, address, "/" + address + "/vol/vol1/moved");
        EXPECT_TRUE(moved.messages.empty() && moved.results.empty() && moved.ended);
        return;
    }
    for (const auto& [path, target] :
         {std::pair{"/vol/vol1/moved", kMovedTarget}, std::pair{"/vol/far", kExportTarget}}) {
        SCOPED_TRACE(path);
        const std::string sentence = std::string("the folder [") + path + "] is a referral to " +
                                     target + "; browse that file server";
        const auto start = std::chrono::steady_clock::now();
        const plugin_test::Answer network =
            plugin_test::BrowseNetwork(plugin, address, "/" + address + path);
        const plugin_test::Answer xml =
            plugin_test::BrowseXml(plugin, address, "/" + address + path);
        EXPECT_LT(nsbtest::MsSince(start), NFSClientGetTimeoutMs() + 2000);
        EXPECT_TRUE(network.ended);
        EXPECT_TRUE(network.results.empty());
        ASSERT_EQ(network.messages.size(), 1u);
        EXPECT_THAT(network.messages[0], HasSubstr(sentence));
        EXPECT_EQ(xml.messages, network.messages);
        EXPECT_TRUE(xml.results.empty());
    }
}

// A server that answers as RFC 7530 describes a referral: the folder
// /vol/vol1/docs gives NFS4ERR_MOVED to every operation on it or below it
// but a GETATTR of fs_locations. The walk meets it at a GETFH, or at the
// LOOKUP of a component below it; either way the folder is named.
TEST(ReferralOfAStricterServer, MetAtGetfhOrBelowIsTheFolderItself) {
    using Peer = nfstest::ScriptedNfs4Peer;
    const auto script = [](const Peer::Request& r, Peer& p) {
        size_t docs = r.ops.size();
        for (size_t i = 0; i < r.ops.size(); ++i)
            if (r.ops[i].op == Peer::kLookup && r.ops[i].data == "docs") docs = i;
        if (docs + 1 >= r.ops.size()) return Peer::Action{};
        Peer::Request upTo = r;
        upTo.ops.resize(docs + 1);
        const std::string done = p.Process(upTo).substr(12);  // status, empty tag, count
        const Peer::Op& next = r.ops[docs + 1];
        const uint32_t count = static_cast<uint32_t>(docs + 2);
        if (next.op == Peer::kGetAttr && next.mask[0] == 1u << 24) {
            const std::string locations = Peer::U32(1) + Peer::Opaque("docs") + Peer::U32(1) +
                                          Peer::U32(1) + Peer::Opaque("far.test") + Peer::U32(2) +
                                          Peer::Opaque("moved") + Peer::Opaque("docs");
            return Peer::Answer(Peer::U32(0) + Peer::U32(0) + Peer::U32(count) + done +
                                Peer::U32(Peer::kGetAttr) + Peer::U32(0) + Peer::U32(1) +
                                Peer::U32(1u << 24) + Peer::Opaque(locations));
        }
        const int32_t moved = 10019;
        return Peer::Answer(Peer::U32(moved) + Peer::U32(0) + Peer::U32(count) + done +
                            Peer::StatusOnly(next.op, moved));
    };
    for (const std::vector<uint32_t>& minors : {std::vector<uint32_t>{0}, {1, 2}}) {
        NFSClientSetServerCacheMs(0);
        Peer::Options options;
        options.minors = minors;
        Peer peer(options);
        peer.SetScript(script);
        for (const char* path : {"/vol/vol1/docs", "/vol/vol1/docs/x/y"}) {
            SCOPED_TRACE(path);
            ExpectFailed(List(peer.Address(), path),
                         {"the folder [/vol/vol1/docs] is a referral to far.test:/moved/docs; "
                          "browse that file server"});
        }
    }
    NFSClientSetServerCacheMs(5000);
}

INSTANTIATE_TEST_SUITE_P(, Referral,
                         testing::Values(ServerKind::V3, ServerKind::V4Only, ServerKind::V41Only),
                         KindName);

}  // namespace
