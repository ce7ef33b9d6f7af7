// Hostile requests and hostile names against a real NFS server, through the
// plug-in as the host loads it: long and climbing paths, an empty path,
// argument counts and lengths beyond the area, and entry names holding
// format directives, control bytes and invalid UTF-8. Every request ends
// with a reply; nothing outside the export is ever listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "../plugin/PluginTestSupport.h"
#include "common/TestSupport.h"

namespace {

using namespace plugin_test;

const std::string kFormatName = "%s%n%x%p";
const std::string kControlName = std::string("ctl\x01\x1f\x7f", 6);
const std::string kInvalidUtf8Name = "bad\xff\xfe\xc0\xaf";

class BadInput : public PluginSuite<BadInput> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol = server.AddExport("/vol/vol1");
        server.AddExport("/home");
        nfstest::MakeDir(vol + "/docs");
        nfstest::MakeFile(vol + "/" + kFormatName, 1, 1600000000);
        nfstest::MakeFile(vol + "/" + kControlName, 2, 1600000001);
        nfstest::MakeFile(vol + "/" + kInvalidUtf8Name, 3, 1600000002);
        top = "/" + server.Address();
    }

protected:
    // Both entries answer `path`, end, and agree; returns the answer.
    static Answer Both(const std::string& path) {
        const Answer network = BrowseNetwork(*plugin, server->Address(), path);
        const Answer xml = BrowseXml(*plugin, server->Address(), path);
        EXPECT_TRUE(network.ended) << path.substr(0, 80);
        EXPECT_EQ(Sorted(network.results), Sorted(xml.results)) << path.substr(0, 80);
        EXPECT_EQ(network.messages, xml.messages) << path.substr(0, 80);
        return network;
    }

    static inline std::string top;
};

TEST_F(BadInput, NamesWithFormatsControlBytesAndInvalidUtf8ArriveByteForByte) {
    const Answer answer = Both(top + "/vol/vol1");
    std::set<std::string> names;
    for (const Result& r : answer.results) names.insert(r.name);
    EXPECT_EQ(names, (std::set<std::string>{"docs", kFormatName, kControlName, kInvalidUtf8Name}));
}

// Inside an export such a path cannot be listed: one worded failure. A
// server name of 10,000 bytes names no file server: nothing to offer.
TEST_F(BadInput, TenThousandBytePathsEndWithNothingListed) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& path :
         {top + "/vol/vol1/" + std::string(9980, 'x'),
          top + "/vol/vol1/" + std::string(4000, 'y') + "/" + std::string(5980, 'z'),
          "/" + std::string(10000, 'n')}) {
        ASSERT_GE(path.size(), 9990u);
        const Answer answer = Both(path);
        EXPECT_TRUE(answer.results.empty()) << path.size();
        if (path[1] != 'n') {
            ASSERT_EQ(answer.messages.size(), 1u) << path.size();
            EXPECT_NE(answer.messages[0].find("could not be listed: "), std::string::npos)
                << answer.messages[0];
        }
    }
    EXPECT_LT(nsbtest::SecondsSince(start), 5.0);
}

TEST_F(BadInput, DotDotPathsNeverClimbOutOfTheExport) {
    for (const std::string& path :
         {top + "/vol/vol1/..", top + "/vol/vol1/../../..", top + "/vol/vol1/docs/../../../etc",
          top + "/vol/vol1/../home", top + "/home/../../../../"}) {
        const Answer answer = Both(path);
        for (const Result& r : answer.results)
            EXPECT_TRUE(r.name == "vol1" || r.name == "docs" || r.name == "home" || r.name == "vol")
                << path << ": " << r;
    }
}

TEST_F(BadInput, EmptyPathIsTheTopLevelThroughBothEntries) {
    const Answer answer = Both("");
    EXPECT_EQ(Sorted(answer.results), (std::vector<Result>{Folder("home"), Folder("vol")}));
}

// A message whose fields claim more than the area holds: the fields before
// the bad one are still used, and the request is answered.
TEST_F(BadInput, ArgumentCountAndLengthBeyondTheAreaAreStillAnswered) {
    const std::string address = server->Address();
    for (int variant = 0; variant < 3; ++variant) {
        MessageEncoder fields;
        fields.Field(TAG_NAS_INTERFACE, address);
        GuiMessage message;
        switch (variant) {
        case 0:  // count far past the area
            message = fields.Message(0);
            message.argumentCount = 0xffffffffu;
            break;
        case 1:  // a value longer than the area
            message = fields.Header(TAG_VESSACELL_INFO, 0xfffffff0u).Message(0);
            break;
        case 2: {  // a header that straddles the end of the area
            const size_t used = fields.area().size();
            fields.Header(
                1, static_cast<uint32_t>(MESSAGE_ARG_AREA_SIZE - 4 - used - 8));  // tag 1, skipped
            message = fields.Message(0);
            message.arguments.resize(MESSAGE_ARG_AREA_SIZE - 4, '\0');
            const uint32_t tag = TAG_VESSACELL_INFO;
            message.arguments.insert(message.arguments.end(), reinterpret_cast<const char*>(&tag),
                                     reinterpret_cast<const char*>(&tag) + 4);
            message.argumentCount = 3;
            break;
        }
        }
        nsbtest::NetworkCallOptions options;
        options.idleTimeoutMs = 10000;
        const nsbtest::NetworkReply r =
            nsbtest::CallNetworkEntry(plugin->network, message, ("/" + address).c_str(), options);
        ASSERT_TRUE(r.wellFormed) << variant << ": " << r.error;
        EXPECT_TRUE(r.reply.ended) << variant;
        EXPECT_TRUE(r.reply.messages.empty()) << variant;
        std::set<std::string> names;
        for (const auto& item : r.reply.items) names.insert(item.name);
        EXPECT_EQ(names, (std::set<std::string>{"home", "vol"})) << variant;
    }
}

}  // namespace
