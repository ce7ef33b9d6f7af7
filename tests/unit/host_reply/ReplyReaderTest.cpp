// The reply reader on malformed, truncated and piecewise input.

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "host_framework/ReplyReader.h"
#include "host_framework/ReplyWire.h"
#include "plumbing/EvRestoreReturn.h"

using ReplyWire::Reply;

using nsbtest::SocketPair;

namespace {

// A reply of a header, three items, a message, a trailer and the end.
std::string SampleReply() {
    SocketPair pair;
    {
        CLumSocket socket(pair.writer);
        EvRestoreReturn stream(42, RETURN_KIND_NAS_BROWSE, true, &socket, nullptr);
        stream.returnItem(1, "vol", 0, 0, 0, 0, 0, 0);
        stream.returnItem(0, "file\x01\xfe", 123, 456, 0, 0, 0, 0);
        stream.returnItem(1, "", 0, 0, 0, 0, 0, 0);
        std::string text = "note";
        stream.returnMessage(&text[0]);
        stream.m_trailerValue = 3;
        stream.end(0);
    }
    return pair.drain();
}

std::string Record(uint32_t tag, const std::string& value) {
    unsigned char prefix[8];
    ReplyWire::PutU32(prefix, tag);
    ReplyWire::PutU32(prefix + 4, static_cast<uint32_t>(value.size()));
    return std::string(reinterpret_cast<char*>(prefix), 8) + value;
}

std::string Header() {
    unsigned char value[20] = {};
    ReplyWire::PutU32(value, ReplyWire::WIRE_VERSION);
    ReplyWire::PutU32(value + 4, 1004);
    return Record(ReplyWire::TAG_HEADER, std::string(reinterpret_cast<char*>(value), 20));
}

std::string DecodeError(const std::string& bytes) {
    Reply reply;
    std::string error;
    EXPECT_FALSE(ReplyWire::DecodeReply(bytes.data(), bytes.size(), reply, error));
    return error;
}

TEST(ReplyReader, EveryCutIsEitherARecordBoundaryOrReportedAsTruncated) {
    const std::string full = SampleReply();
    Reply whole;
    std::string error;
    ASSERT_TRUE(ReplyWire::DecodeReply(full.data(), full.size(), whole, error)) << error;
    ASSERT_EQ(3u, whole.items.size());
    ASSERT_TRUE(whole.ended);

    size_t boundaries = 0;
    for (size_t cut = 0; cut < full.size(); ++cut) {
        Reply reply;
        // A copy of exactly `cut` bytes, so that reading past it is caught
        // by the address sanitizer builds.
        std::string piece = full.substr(0, cut);
        piece.shrink_to_fit();
        if (ReplyWire::DecodeReply(piece.data(), piece.size(), reply, error)) {
            ++boundaries;
            EXPECT_FALSE(reply.ended);
        } else {
            EXPECT_EQ(0u, error.find("truncated ")) << error;
        }
    }
    EXPECT_EQ(7u, boundaries);  // nothing, header, 3 items, message, trailer
    const size_t itemStart = 8 + 20;
    EXPECT_EQ("truncated item record at byte 28: 55 value bytes declared, 10 present",
              DecodeError(full.substr(0, itemStart + 18)));
    EXPECT_EQ("truncated record prefix at byte 28: 3 of 8 bytes",
              DecodeError(full.substr(0, itemStart + 3)));
}

TEST(ReplyReader, BytewiseFeedingGivesTheSameReply) {
    const std::string full = SampleReply();
    ReplyWire::ReplyDecoder decoder;
    for (char c : full) ASSERT_TRUE(decoder.feed(&c, 1)) << decoder.error();
    ASSERT_TRUE(decoder.finish());
    const Reply& reply = decoder.reply();
    ASSERT_EQ(3u, reply.items.size());
    EXPECT_EQ("file\x01\xfe", reply.items[1].name);
    EXPECT_EQ(123u, reply.items[1].modifyTime);
    EXPECT_EQ(456, reply.items[1].size);
    EXPECT_EQ(std::vector<std::string>{"note"}, reply.messages);
    ASSERT_EQ(1u, reply.data.size());
    EXPECT_EQ(2323u, reply.data[0].tag);
    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(full.size(), decoder.consumed());
}

TEST(ReplyReader, RejectsMalformedStreams) {
    const std::string header = Header();
    const std::string end = Record(ReplyWire::TAG_END, std::string(8, '\0'));
    EXPECT_EQ("expected the header record at byte 0, found item record",
              DecodeError(Record(ReplyWire::TAG_ITEM, std::string(52, 'x'))));
    EXPECT_EQ("header record at byte 0 has length 19, expected 20",
              DecodeError(Record(ReplyWire::TAG_HEADER, std::string(19, '\0'))));
    EXPECT_EQ("second header record at byte 28", DecodeError(header + header));
    EXPECT_EQ("item record at byte 28 has length 51, expected at least 52",
              DecodeError(header + Record(ReplyWire::TAG_ITEM, std::string(51, '\0'))));
    EXPECT_EQ("end record at byte 28 has length 4, expected 8",
              DecodeError(header + Record(ReplyWire::TAG_END, std::string(4, '\0'))));
    EXPECT_EQ("data after the end marker at byte 44", DecodeError(header + end + "x"));
    EXPECT_NE(
        std::string::npos,
        DecodeError(header + Record(ReplyWire::TAG_RESERVED_LAST, "")).find("unknown framing tag"));
    // A length beyond the limit is refused before its bytes arrive.
    std::string huge = header + Record(ReplyWire::TAG_MESSAGE, "").substr(0, 4) +
                       std::string("\xff\xff\xff\x7f", 4);
    ReplyWire::ReplyDecoder decoder;
    EXPECT_FALSE(decoder.feed(huge.data(), huge.size()));
    EXPECT_NE(std::string::npos, decoder.error().find("more than the limit")) << decoder.error();
}

TEST(ReplyReader, RandomGarbageIsRejectedWithoutReadingPastTheInput) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(1 + random() % 300, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        if (round % 2 == 0) bytes = Header() + bytes;  // garbage after a valid start
        bytes.shrink_to_fit();
        Reply reply;
        std::string error;
        if (!ReplyWire::DecodeReply(bytes.data(), bytes.size(), reply, error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(ReplyReader, ReadReplyGivesUpOnASilentPeer) {
    SocketPair pair;
    const std::string header = Header();
    ASSERT_EQ(static_cast<ssize_t>(header.size()),
              write(pair.writer, header.data(), header.size()));
    Reply reply;
    std::string error;
    EXPECT_FALSE(ReplyWire::ReadReply(pair.reader, 100, reply, error));
    EXPECT_EQ("no reply data for 100 ms after byte 28", error);
    EXPECT_TRUE(reply.hasHeader);

    pair.closeWriter();  // end of input without the end marker is no error
    EXPECT_TRUE(ReplyWire::ReadReply(pair.reader, 100, reply, error)) << error;
    EXPECT_FALSE(reply.ended);
}

}  // namespace
