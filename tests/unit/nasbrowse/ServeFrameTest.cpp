// The serve request frame codec and the GUI message builder.
#include <cstring>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "host/BrowseMessageFields.h"  // TAG_*
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/ServeProtocol.h"
#include "plumbing/MessageWalker.h"  // MessageWalker

namespace nasbrowse {
namespace {

using serve::FrameStatus;

serve::Request SampleRequest() {
    serve::Request request;
    request.message = MakeGuiBrowseMessage(77, "nas1", 5);
    request.clientId = 9;
    request.path = "/nas1/vol/vol1";
    return request;
}

FrameStatus Decode(const std::vector<unsigned char>& frame, serve::Request& out,
                   std::string& error) {
    size_t size = 0;
    return serve::DecodeFrame(frame.data(), frame.size(), out, size, error);
}

void Put32(std::vector<unsigned char>& frame, size_t at, uint32_t value) {
    memcpy(&frame[at], &value, 4);
}

TEST(GuiMessage, TheEntryWalksTheFieldsItWasGiven) {
    const GuiMessage message = MakeGuiBrowseMessage(1, "nas1", 0x01020304);
    auto info = std::make_unique<MessageInfo>();
    FillMessageInfo(message, 42, *info);
    EXPECT_EQ(info->m_socket.GetFd(), 42);
    EXPECT_EQ(info->m_message.m_argumentCount, 2u);

    OrvBuffer scratch(VALUE_SCRATCH_SIZE);
    MessageWalker walker;
    walker.setBuffer(info->m_message.m_arguments, MESSAGE_ARG_AREA_SIZE, scratch,
                     static_cast<unsigned long>(scratch.getSize()), 2, false);
    unsigned int tag = 0, length = 0;
    char* value = walker.getFirst(&tag, &length);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(tag, TAG_NAS_INTERFACE);
    EXPECT_STREQ(value, "nas1");
    value = walker.getNext(&tag, &length);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(tag, TAG_VESSACELL_INFO);
    ASSERT_EQ(length, 8u);
    uint32_t words[2];
    memcpy(words, value, 8);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 0x01020304u);
}

TEST(GuiMessage, RequestPath) {
    EXPECT_EQ(GuiRequestPath("nas1", "/", false), "/nas1");
    EXPECT_EQ(GuiRequestPath("nas1", "/vol/vol1", false), "/nas1/vol/vol1");
    EXPECT_EQ(GuiRequestPath("nas1", "vol", false), "/nas1/vol");
    EXPECT_EQ(GuiRequestPath("nas1", "\\\\", true), "\\\\");
}

// The example of docs/SERVE-PROTOCOL.md, byte for byte: the frame the
// daemon's tests send is the one the description gives.
TEST(ServeFrame, TheDocumentedExampleIsWhatTheEncoderWrites) {
    const uint32_t probe = 1;
    unsigned char first;
    memcpy(&first, &probe, 1);
    if (first != 1) GTEST_SKIP() << "the example is written for a little-endian daemon";
    serve::Request request;
    request.message = MakeGuiBrowseMessage(7, "nas1", 2);
    request.clientId = 2;
    request.path = "/nas1/vol";
    const std::vector<unsigned char> expected = {
        0x4e, 0x53, 0x42, 0x51, 0x04, 0x03, 0x02, 0x01, 0x46, 0x00, 0x00, 0x00, 0x07, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
        0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x1d, 0x00,
        0x00, 0x00, 0x2f, 0x6e, 0x61, 0x73, 0x31, 0x2f, 0x76, 0x6f, 0x6c, 0x58, 0x26, 0x00,
        0x00, 0x05, 0x00, 0x00, 0x00, 0x6e, 0x61, 0x73, 0x31, 0x00, 0x10, 0x09, 0x00, 0x00,
        0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(serve::EncodeFrame(request), expected);
}

TEST(ServeFrame, RoundTripAndEveryTruncationIsIncomplete) {
    const serve::Request request = SampleRequest();
    const std::vector<unsigned char> frame = serve::EncodeFrame(request);
    serve::Request out;
    std::string error;
    size_t size = 0;
    ASSERT_EQ(serve::DecodeFrame(frame.data(), frame.size(), out, size, error), FrameStatus::Ok)
        << error;
    EXPECT_EQ(size, frame.size());
    EXPECT_EQ(out.path, request.path);
    EXPECT_EQ(out.clientId, 9u);
    EXPECT_EQ(out.message.sequenceNumber, 77);
    EXPECT_EQ(out.message.argumentCount, 2u);
    EXPECT_EQ(out.message.arguments, request.message.arguments);

    for (size_t cut = 0; cut < frame.size(); ++cut) {
        // A copy of exactly `cut` bytes, so that a read past it is caught by ASan.
        std::vector<unsigned char> part(frame.begin(), frame.begin() + cut);
        EXPECT_EQ(serve::DecodeFrame(part.data(), part.size(), out, size, error),
                  FrameStatus::Incomplete)
            << cut;
    }
    // Bytes after the frame belong to no one: the frame still decodes.
    std::vector<unsigned char> longer = frame;
    longer.push_back(0xAA);
    EXPECT_EQ(serve::DecodeFrame(longer.data(), longer.size(), out, size, error), FrameStatus::Ok);
    EXPECT_EQ(size, frame.size());
}

TEST(ServeFrame, MalformedFramesAreRefused) {
    const std::vector<unsigned char> good = serve::EncodeFrame(SampleRequest());
    const size_t body = serve::PREFIX_SIZE;
    const size_t pathAt = body + serve::BODY_FIXED_SIZE;
    struct Case {
        const char* what;
        std::function<void(std::vector<unsigned char>&)> spoil;
    };
    const Case cases[] = {
        {"magic", [](auto& f) { f[0] = 'X'; }},
        {"byte order", [](auto& f) { Put32(f, 4, 0x04030201); }},
        {"body too short", [](auto& f) { Put32(f, 8, serve::BODY_FIXED_SIZE - 1); }},
        {"body too long", [](auto& f) { Put32(f, 8, serve::MAX_BODY_SIZE + 1); }},
        {"no path", [&](auto& f) { Put32(f, body + 24, 0); }},
        {"path too long", [&](auto& f) { Put32(f, body + 24, serve::MAX_PATH_LENGTH + 1); }},
        {"area too long", [&](auto& f) { Put32(f, body + 28, MESSAGE_ARG_AREA_SIZE + 1); }},
        {"lengths disagree", [&](auto& f) { Put32(f, body + 24, 3); }},
        {"huge lengths that wrap",
         [&](auto& f) {
             Put32(f, body + 24, 0xFFFFFFFF);
             Put32(f, body + 28, 0xFFFFFFFF);
         }},
        {"NUL in path", [&](auto& f) { f[pathAt + 2] = 0; }},
        {"more fields than the area holds", [&](auto& f) { Put32(f, body + 12, 3); }},
        {"field longer than the area", [&](auto& f) { Put32(f, pathAt + 14 + 4, 1000); }},
        {"absurd field count", [&](auto& f) { Put32(f, body + 12, 0xFFFFFFFF); }},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> frame = good;
        c.spoil(frame);
        serve::Request out;
        std::string error;
        EXPECT_EQ(Decode(frame, out, error), FrameStatus::Malformed) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    // A wrong start is refused before the prefix is complete.
    const unsigned char http[] = {'G', 'E'};
    serve::Request out;
    std::string error;
    size_t size = 0;
    EXPECT_EQ(serve::DecodeFrame(http, sizeof http, out, size, error), FrameStatus::Malformed);
}

TEST(ServeFrame, TheServerNamedByTheMessageForTheAccessLog) {
    EXPECT_EQ(serve::InterfaceOf(MakeGuiBrowseMessage(1, "nas1", 2)), "nas1");
    GuiMessage none;
    EXPECT_EQ(serve::InterfaceOf(none), "");
    // The last field of the tag wins, as in the entry; a value is cut at its NUL.
    GuiMessage two = MakeGuiBrowseMessage(1, "first", 2);
    const GuiMessage second = MakeGuiBrowseMessage(1, "second", 2);
    two.arguments.insert(two.arguments.end(), second.arguments.begin(), second.arguments.end());
    two.argumentCount = 4;
    EXPECT_EQ(serve::InterfaceOf(two), "second");
    // More fields claimed than the area holds: the walk stops at its end.
    GuiMessage claims = MakeGuiBrowseMessage(1, "nas2", 2);
    claims.argumentCount = 1000;
    EXPECT_EQ(serve::InterfaceOf(claims), "nas2");
}

TEST(ServeFrame, EncoderRefusesWhatTheDecoderWould) {
    serve::Request request = SampleRequest();
    request.path = std::string("a\0b", 3);
    EXPECT_THROW(serve::EncodeFrame(request), std::length_error);
    request.path = std::string(serve::MAX_PATH_LENGTH + 1, 'p');
    EXPECT_THROW(serve::EncodeFrame(request), std::length_error);
    request.path.clear();
    EXPECT_THROW(serve::EncodeFrame(request), std::length_error);
}

}  // namespace
}  // namespace nasbrowse
