// The whole browse through both plug-in entries, from the root to a live
// listing: an NFSv4-only server answers exactly as the same tree over NFSv3.
#include <gtest/gtest.h>

#include <map>

#include "integration/plugin/PluginTestSupport.h"

namespace {

using namespace plugin_test;

// A small NAS; the same tree is built for each server.
void BuildTree(nfstest::NfsTestServer& server) {
    const std::string vol1 = server.AddExport("/vol/vol1");
    server.AddExport("/vol/vol2");
    const std::string home = server.AddExport("/home/users");
    nfstest::MakeDir(vol1 + "/docs");
    nfstest::MakeFile(vol1 + "/docs/inner.txt", 7, 1400000000);
    nfstest::MakeFile(vol1 + "/a.txt", 1234, 1600000000);
    nfstest::MakeFile(vol1 + "/bad\xff\xfename", 1, 1600000001);
    nfstest::MakeSymlink("a.txt", vol1 + "/link");
    nfstest::MakeFifo(vol1 + "/fifo");
    nfstest::MakeDir(vol1 + "/many");
    nfstest::MakeManyFiles(vol1 + "/many", 3000);
    nfstest::MakeFile(home + "/profile", 42, 1650000000);
    // Fixed times: the two trees are built at different moments.
    for (int i = 0; i < 3000; ++i)
        nfstest::SetMtime(vol1 + "/many/f" + std::to_string(i), 1700000000 + i);
    nfstest::SetMtime(vol1 + "/many", 1500000001);
    nfstest::SetMtime(vol1 + "/docs", 1500000000);
}

// Every path browsed, with what each entry answered.
std::map<std::string, std::vector<Result>> BrowseAll(const Plugin& plugin,
                                                     const std::string& address) {
    const std::string top = "/" + address;
    std::map<std::string, std::vector<Result>> answers;
    for (const std::string& path :
         {std::string("/"), top, top + "/vol", top + "/home", top + "/vol/vol1",
          top + "/vol/vol1/docs", top + "/vol/vol1/many", top + "/vol/vol2", top + "/home/users",
          top + "/vol/vol1/missing"}) {
        Answer network = BrowseNetwork(plugin, address, path);
        Answer xml = BrowseXml(plugin, address, path);
        EXPECT_TRUE(network.ended) << path;
        EXPECT_EQ(network.results, xml.results) << path;
        EXPECT_EQ(network.messages.empty(), xml.messages.empty()) << path;
        std::sort(network.results.begin(), network.results.end(),
                  [](const Result& a, const Result& b) { return a.name < b.name; });
        answers[path] = network.results;
    }
    return answers;
}

TEST(V4Plugin, WholeBrowseOfAnNfsV4OnlyServerEqualsTheSameTreeOverNfsV3) {
    Plugin plugin;
    auto browseAll = [&plugin](bool v4Only) {
        nfstest::NfsTestServer::Options options;
        options.v4Only = v4Only;
        options.ownFileSystems = true;  // over NFSv3 too: the mount layout of the v4-only server
        nfstest::NfsTestServer server(options);
        BuildTree(server);
        server.Start();
        return BrowseAll(plugin, server.Address());
    };
    const std::map<std::string, std::vector<Result>> overV3 = browseAll(false);
    std::map<std::string, std::vector<Result>> overV4 = browseAll(true);
    ASSERT_EQ(overV3.size(), overV4.size());
    for (const auto& [path, results] : overV3) {
        SCOPED_TRACE(path);
        EXPECT_EQ(overV4[path], results);
    }
    const std::string top = "/127.0.0.1";
    EXPECT_EQ(overV4[top].size(), 2u);
    EXPECT_EQ(overV4[top + "/vol/vol1/many"].size(), 3000u);
    EXPECT_EQ(overV4[top + "/vol/vol1/docs"],
              (std::vector<Result>{Result{false, "inner.txt", 1400000000, 7}}));
}

}  // namespace
