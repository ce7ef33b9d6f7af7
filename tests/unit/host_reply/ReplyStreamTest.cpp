// The reply stream written through a socket pair and read back with the
// reply reader.

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/CapturingLogWriter.h"
#include "host_framework/ReplyReader.h"
#include "host_framework/ReplyWire.h"
#include "plumbing/EvRestoreReturn.h"
#include "common/TestSupport.h"

using ReplyWire::Reply;

using nsbtest::SocketPair;

namespace {

Reply Decode(const std::string& bytes) {
    Reply reply;
    std::string error;
    EXPECT_TRUE(ReplyWire::DecodeReply(bytes.data(), bytes.size(), reply, error)) << error;
    return reply;
}

class ReplyStreamTest : public ::testing::Test {
protected:
    void TearDown() override { EvReturnData::SetSendTimeoutMs(30000); }
    SocketPair pair;
};

TEST_F(ReplyStreamTest, ItemsMessagesAndEndRoundTripWithEveryByteValue) {
    std::vector<std::string> names;
    for (int b = 1; b <= 255; ++b) names.push_back(std::string("n") + static_cast<char>(b) + "\\");
    std::string all;
    for (int b = 1; b <= 255; ++b) all += static_cast<char>(b);
    names.push_back(all);  // 255 bytes
    names.push_back("");
    {
        CLumSocket socket(pair.writer);
        EvRestoreReturn stream(77, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
        for (size_t i = 0; i < names.size(); ++i)
            ASSERT_EQ(0, stream.returnItem(i % 2, names[i].c_str(), 1000 + i,
                                           -static_cast<long long>(i), 0, 0, 0, 0));
        ASSERT_EQ(0, stream.returnItem(1, nullptr, ~0ul, INT64_MAX, ~0ul, 2, 3, ~0u));
        std::string text = "Fehler: \x01\xff%s%n";
        ASSERT_EQ(0, stream.returnMessage(&text[0]));
        ASSERT_EQ(0, stream.returnMessage(nullptr));
        ASSERT_EQ(0, stream.end(-12));
        EXPECT_FALSE(stream.failed());
    }
    const Reply reply = Decode(pair.drain());
    ASSERT_TRUE(reply.hasHeader);
    EXPECT_EQ(1004u, reply.header.returnType);
    EXPECT_EQ(77, reply.header.jobId);
    EXPECT_EQ(0x401, reply.header.kind);
    ASSERT_EQ(names.size() + 1, reply.items.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], reply.items[i].name) << "item " << i;
        EXPECT_EQ(i % 2 == 1, reply.items[i].isFolder);
        EXPECT_EQ(1000 + i, reply.items[i].modifyTime);
        EXPECT_EQ(-static_cast<int64_t>(i), reply.items[i].size);
    }
    const auto& last = reply.items.back();
    EXPECT_EQ("", last.name);
    EXPECT_EQ(UINT64_MAX, last.modifyTime);
    EXPECT_EQ(INT64_MAX, last.size);
    EXPECT_EQ(UINT64_MAX, last.extra1);
    EXPECT_EQ(2u, last.extra2);
    EXPECT_EQ(3u, last.extra3);
    EXPECT_EQ(UINT32_MAX, last.extra4);
    EXPECT_EQ((std::vector<std::string>{"Fehler: \x01\xff%s%n", ""}), reply.messages);
    EXPECT_TRUE(reply.data.empty());
    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(-12, reply.endStatus);
}

TEST_F(ReplyStreamTest, HeaderIsWrittenEvenWhenOnlyTheEndIs) {
    {
        CLumSocket socket(pair.writer);
        EvReturnData plain(5, -1, &socket, false, nullptr);
        ASSERT_EQ(0, plain.dumpBuffer(9));  // nothing yet: writes nothing
        ASSERT_EQ(0, plain.end(0));
    }
    const Reply reply = Decode(pair.drain());
    ASSERT_TRUE(reply.hasHeader);
    EXPECT_EQ(5u, reply.header.returnType);
    EXPECT_EQ(-1, reply.header.jobId);
    EXPECT_EQ(0, reply.header.kind);
    EXPECT_TRUE(reply.items.empty());
    EXPECT_TRUE(reply.ended);
}

TEST_F(ReplyStreamTest, TrailerIsSentOnlyWhenNotZero) {
    for (int32_t trailer : {0, 7, -5}) {
        SocketPair p;
        {
            CLumSocket socket(p.writer);
            EvRestoreReturn stream(1, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
            stream.returnItem(1, "a", 0, 0, 0, 0, 0, 0);
            stream.m_trailerValue = trailer;
            ASSERT_EQ(0, stream.end(0));
        }
        const Reply reply = Decode(p.drain());
        ASSERT_EQ(1u, reply.items.size());
        EXPECT_TRUE(reply.ended);
        if (trailer == 0) {
            EXPECT_TRUE(reply.data.empty());
            continue;
        }
        ASSERT_EQ(1u, reply.data.size()) << trailer;
        EXPECT_EQ(2323u, reply.data[0].tag);
        ASSERT_EQ(4u, reply.data[0].value.size());
        int32_t sent;
        memcpy(&sent, reply.data[0].value.data(), 4);
        EXPECT_EQ(trailer, sent);
    }
}

TEST_F(ReplyStreamTest, WritesAfterEndAndReservedTagsAreRefused) {
    ScopedCapturingLog log(0);
    {
        CLumSocket socket(pair.writer);
        EvRestoreReturn stream(3, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
        const uint32_t value = 1;
        EXPECT_EQ(-1, stream.send(ReplyWire::TAG_END, &value, 4));
        EXPECT_EQ(-1, stream.send(1ul << 32, &value, 4));
        EXPECT_EQ(-1, stream.send(12, nullptr, 4));
        EXPECT_EQ(0, stream.send(12, &value, 4));
        ASSERT_EQ(0, stream.end(0));
        EXPECT_EQ(-1, stream.returnItem(1, "late", 0, 0, 0, 0, 0, 0));
        EXPECT_EQ(-1, stream.returnMessage(nullptr));
        EXPECT_EQ(-1, stream.send(12, &value, 4));
        EXPECT_EQ(-1, stream.end(0));
        EXPECT_FALSE(stream.failed());
    }
    const Reply reply = Decode(pair.drain());  // nothing after the end marker
    ASSERT_EQ(1u, reply.data.size());
    EXPECT_EQ(12u, reply.data[0].tag);
    EXPECT_TRUE(reply.items.empty());
    size_t late = 0, refused = 0;
    for (const std::string& line : log->Messages(LOG_ERROR)) {
        late += line.find("after the end of the reply") != std::string::npos;
        refused += line.find("refused") != std::string::npos;
    }
    EXPECT_EQ(4u, late);
    EXPECT_EQ(3u, refused);
}

TEST_F(ReplyStreamTest, NoSocketFailsAtTheFirstFlush) {
    CLumSocket closed(-1);
    for (const CLumSocket* socket :
         {static_cast<const CLumSocket*>(&closed), static_cast<const CLumSocket*>(nullptr)}) {
        EvRestoreReturn stream(1, RETURN_KIND_NAS_BROWSE, true, socket, nullptr);
        EXPECT_EQ(0, stream.returnItem(1, "a", 0, 0, 0, 0, 0, 0));  // buffered
        EXPECT_EQ(-1, stream.end(0));
        EXPECT_TRUE(stream.failed());
        EXPECT_NE(std::string::npos, stream.failureText().find("not open")) << stream.failureText();
    }
}

// SIGPIPE keeps its default action in this process: a write that raised it
// would kill the test.
TEST_F(ReplyStreamTest, PeerClosingMidStreamFailsTheStreamWithoutSignal) {
    CLumSocket socket(pair.writer);
    EvRestoreReturn stream(1, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
    const std::string name(200, 'x');
    ASSERT_EQ(0, stream.returnItem(1, name.c_str(), 0, 0, 0, 0, 0, 0));
    ASSERT_EQ(0, stream.dumpBuffer(9));
    pair.closeReader();
    int result = 0;
    for (int i = 0; i < 2000 && result == 0; ++i)
        result = stream.returnItem(0, name.c_str(), 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(-1, stream.end(0));
    EXPECT_TRUE(stream.failed());
    EXPECT_NE(std::string::npos, stream.failureText().find("writing to the reply socket failed"))
        << stream.failureText();
}

TEST_F(ReplyStreamTest, PeerThatStopsReadingTimesOut) {
    EvReturnData::SetSendTimeoutMs(150);
    CLumSocket socket(pair.writer);
    EvRestoreReturn stream(1, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
    const std::string name(1000, 'y');
    const auto start = std::chrono::steady_clock::now();
    int result = 0;
    for (int i = 0; i < 100000 && result == 0; ++i)
        result = stream.returnItem(0, name.c_str(), 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(-1, stream.end(0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(stream.failed());
    EXPECT_NE(std::string::npos, stream.failureText().find("150 ms")) << stream.failureText();
}

TEST_F(ReplyStreamTest, HundredThousandItemsThroughAReaderThread) {
    constexpr int count = 100000;
    Reply reply;
    std::string error;
    bool ok = false;
    std::thread reader([&] { ok = ReplyWire::ReadReply(pair.reader, 10000, reply, error); });
    {
        CLumSocket socket(pair.writer);
        EvRestoreReturn stream(9, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
        for (int i = 0; i < count; ++i) {
            const std::string name = "entry-" + std::to_string(i) + static_cast<char>(1 + i % 255);
            stream.returnItem(i % 3 == 0, name.c_str(), i, i * 4096LL, 0, 0, 0, 0);
        }
        EXPECT_EQ(0, stream.end(0));
    }
    reader.join();
    ASSERT_TRUE(ok) << error;
    ASSERT_EQ(static_cast<size_t>(count), reply.items.size());
    for (int i = 0; i < count; ++i) {
        const auto& item = reply.items[static_cast<size_t>(i)];
        ASSERT_EQ("entry-" + std::to_string(i) + static_cast<char>(1 + i % 255), item.name);
        ASSERT_EQ(i % 3 == 0, item.isFolder);
        ASSERT_EQ(static_cast<uint64_t>(i), item.modifyTime);
        ASSERT_EQ(i * 4096LL, item.size);
    }
    EXPECT_TRUE(reply.ended);
}

TEST(SourcePath, IsCutToItsCapacityAndNullIsEmpty) {
    EvRestoreReturn stream(1, RETURN_KIND_NAS_BROWSE, true, nullptr, nullptr);
    EXPECT_STREQ("", stream.m_sourcePath);
    for (size_t length : {1023u, 1024u, 5000u}) {
        const std::string path(length, 'p');
        stream.setSourcePath(path.c_str());
        EXPECT_EQ(std::min<size_t>(length, 1023), strlen(stream.m_sourcePath)) << length;
        EXPECT_EQ(0, memcmp(stream.m_sourcePath, path.data(), strlen(stream.m_sourcePath)));
    }
    stream.setSourcePath(nullptr);
    EXPECT_STREQ("", stream.m_sourcePath);
}

TEST(EvEventTest, WordsMessagesWithoutTreatingArgumentsAsFormats) {
    std::string text;
    EvEvent failure;
    failure << "filer1"
            << "RPC timed out";
    EXPECT_EQ(0, failure.evPrintf(EV_MSG_NAS_SHARE_LIST_FAILED, text, 4));
    EXPECT_EQ("The shares of NAS file server [filer1] could not be listed: RPC timed out", text);

    EvEvent tricky;
    tricky << "%2 %s %n" << nullptr;
    EXPECT_EQ(0, tricky.evPrintf(EV_MSG_NAS_SHARE_LIST_FAILED, text, 0));
    EXPECT_EQ("The shares of NAS file server [%2 %s %n] could not be listed: ", text);

    EXPECT_EQ(-1, tricky.evPrintf(0x1234, text, 7));  // unknown id: generic text with the arguments
    EXPECT_EQ("Message 0x00001234 of job 7: [%2 %s %n] []", text);
}

}  // namespace
