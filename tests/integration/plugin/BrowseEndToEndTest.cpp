// The plug-in, loaded by name, browsing a real NFS server through both
// entries and the share discovery object.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "PluginTestSupport.h"
#include "host_framework/MessageXml.h"

namespace {

using namespace plugin_test;

// A sample NAS: two volumes, a home area and a clone, with a snapshot
// directory and entries of every type in the first volume.
class PluginEndToEnd : public PluginSuite<PluginEndToEnd> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol1 = server.AddExport("/vol/vol1");
        server.AddExport("/vol/vol2");
        const std::string clone = server.AddExport("/vol/archive_ORVclone");
        server.AddExport("/home");
        nfstest::MakeDir(vol1 + "/docs");
        nfstest::MakeFile(vol1 + "/docs/inner.txt", 7, 1400000000);
        nfstest::SetMtime(vol1 + "/docs", 1500000000);
        nfstest::MakeDir(vol1 + "/.snapshot");
        nfstest::MakeFile(vol1 + "/a.txt", 1234, 1600000000);
        nfstest::MakeFile(vol1 + "/bad\xff\xfename", 1, 1600000001);
        nfstest::MakeSymlink("a.txt", vol1 + "/link");
        nfstest::MakeFifo(vol1 + "/fifo");
        nfstest::MakeFile(clone + "/secret", 1, 1);
    }

protected:
    // Both roads must give the same answer; returns it.
    static std::vector<Result> Same(const std::string& path) {
        Answer network = BrowseNetwork(*plugin, server->Address(), path);
        Answer xml = BrowseXml(*plugin, server->Address(), path);
        EXPECT_TRUE(network.ended) << path;
        EXPECT_TRUE(network.messages.empty())
            << path << ": " << (network.messages.empty() ? "" : network.messages[0]);
        EXPECT_TRUE(xml.messages.empty()) << path;
        EXPECT_EQ(network.results, xml.results) << path;
        return network.results;
    }
};

TEST_F(PluginEndToEnd, FactoryGivesTheRealExportListInServerOrder) {
    CNASShareBrowseInterface* discovery = plugin->factory();
    ASSERT_NE(discovery, nullptr);
    std::list<ShareInfo> shares;
    CLumError error = discovery->GetNASShares(2, true, server->Address(), "", "", "", shares);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    std::vector<std::string> names;
    for (const ShareInfo& s : shares) names.push_back(s.m_shareName);
    EXPECT_EQ(names, (std::vector<std::string>{"/vol/vol1", "/vol/vol2", "/vol/archive_ORVclone",
                                               "/home"}));
    delete discovery;
}

TEST_F(PluginEndToEnd, RootIsTheFileServer) {
    EXPECT_EQ(Same("/"), std::vector<Result>{Folder(server->Address())});
    EXPECT_EQ(Same("\\\\"), std::vector<Result>{Folder(server->Address())});
}

TEST_F(PluginEndToEnd, TopLevelAndAboveTheExportsComeFromTheExportList) {
    EXPECT_EQ(Same("/" + server->Address()), (std::vector<Result>{Folder("home"), Folder("vol")}));
    EXPECT_EQ(Same("/" + server->Address() + "/vol"),
              (std::vector<Result>{Folder("vol1"), Folder("vol2")}));
}

TEST_F(PluginEndToEnd, AnExportIsListedLiveWithoutSnapshotsAndOtherTypes) {
    std::vector<Result> results = Sorted(Same("/" + server->Address() + "/vol/vol1/"));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], (Result{false, "a.txt", 1600000000, 1234}));
    EXPECT_EQ(results[1], (Result{false, "bad\xff\xfename", 1600000001, 1}));
    EXPECT_EQ(results[2].name, "docs");
    EXPECT_TRUE(results[2].folder);
    EXPECT_EQ(results[2].mtime, 1500000000);
}

TEST_F(PluginEndToEnd, ADirectoryInsideAnExport) {
    EXPECT_EQ(Same("/" + server->Address() + "/vol/vol1/docs"),
              (std::vector<Result>{Result{false, "inner.txt", 1400000000, 7}}));
}

TEST_F(PluginEndToEnd, CloneExportIsNeverOffered) {
    EXPECT_TRUE(Same("/" + server->Address() + "/vol/archive_ORVclone").empty());
}

TEST_F(PluginEndToEnd, AFolderThatCannotBeListedIsOneWordedFailureOnBothRoads) {
    const struct {
        const char* path;
        const char* words;
    } cases[] = {
        {"/vol/vol1/nope", "no such directory"},
        {"/vol/vol1/a.txt", "not a directory (a regular file)"},
        {"/vol/vol1/link", "not a directory (a symbolic link (not followed))"},
        {"/vol/vol1/fifo", "not a directory (a FIFO)"},
    };
    for (const auto& c : cases) {
        const std::string path = "/" + server->Address() + c.path;
        Answer network = BrowseNetwork(*plugin, server->Address(), path);
        Answer xml = BrowseXml(*plugin, server->Address(), path);
        EXPECT_TRUE(network.results.empty()) << c.path;
        EXPECT_TRUE(network.ended) << c.path;
        ASSERT_EQ(network.messages.size(), 1u) << c.path;
        EXPECT_EQ(network.messages[0].rfind(std::string("The folder [") + c.path +
                                                "] of NAS file server [" + server->Address() +
                                                "] could not be listed: ",
                                            0),
                  0u)
            << network.messages[0];
        EXPECT_NE(network.messages[0].find(c.words), std::string::npos) << network.messages[0];
        EXPECT_EQ(xml.messages, network.messages) << c.path;
        EXPECT_TRUE(xml.results.empty()) << c.path;
    }
}

TEST_F(PluginEndToEnd, RefusedServerGetsOneWordedFailure) {
    const std::string refused = nfstest::NfsTestServer::RefusedAddress();
    Answer network = BrowseNetwork(*plugin, refused, "/" + refused + "/vol");
    EXPECT_TRUE(network.results.empty());
    ASSERT_EQ(network.messages.size(), 1u);
    EXPECT_NE(network.messages[0].find(refused), std::string::npos) << network.messages[0];
    EXPECT_NE(network.messages[0].find("refused"), std::string::npos) << network.messages[0];
    EXPECT_TRUE(network.ended);

    App::GenericResp generic;
    Answer xml = BrowseXml(*plugin, refused, "/" + refused + "/vol", &generic);
    EXPECT_TRUE(xml.results.empty());
    ASSERT_EQ(xml.messages.size(), 1u);
    EXPECT_EQ(xml.messages[0], network.messages[0]);
    EXPECT_EQ(generic.getint64(App::GENERIC_ERROR_CODE.secondIndex, App::CLASS_GENERIC_RESP,
                               App::GENERIC_ERROR_CODE.id),
              1359);
}

TEST_F(PluginEndToEnd, XmlRequestFileIsAnsweredWithWellFormedXml) {
    App::MachineBrowseReq request;
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_REQ;
    request.setstring(App::REQ_PATH.field, App::REQ_PATH.secondIndex,
                      "/" + server->Address() + "/vol/vol1", cls, App::REQ_PATH.id);
    request.setstring(App::REQ_INTERFACE_NAME.field, App::REQ_INTERFACE_NAME.secondIndex,
                      server->Address(), cls, App::REQ_INTERFACE_NAME.id);
    const std::string dir = server->Root();
    { std::ofstream(dir + "/request.xml") << MessageXml::WriteMachineBrowseReq(request); }

    std::ifstream in(dir + "/request.xml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    App::MachineBrowseReq parsed;
    std::string error;
    ASSERT_TRUE(MessageXml::ReadMachineBrowseReq(text, parsed, error)) << error;
    App::MachineBrowseResp response;
    App::GenericResp generic;
    plugin->xml(&parsed, &response, &generic);
    const std::string xml = MessageXml::WriteMachineBrowseResp(response);
    { std::ofstream(dir + "/response.xml") << xml; }
    EXPECT_EQ(system(("xmllint --noout " + dir + "/response.xml").c_str()), 0) << xml;

    App::MachineBrowseResp back;
    ASSERT_TRUE(MessageXml::ReadMachineBrowseResp(xml, back, error)) << error;
    ASSERT_EQ(back.getBrowseItems()->size(), response.getBrowseItems()->size());
    EXPECT_EQ(back.getBrowseItems()->size(), 3u);
    bool sawBadName = false;
    for (const auto& item : *back.getBrowseItems())
        sawBadName |=
            item.getstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex,
                           App::CLASS_MACHINE_BROWSE_ITEM, App::ITEM_NAME.id) == "bad\xff\xfename";
    EXPECT_TRUE(sawBadName);
}

}  // namespace
