// The walker over the tagged fields of a network message.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/BrowseMessageFields.h"
#include "host/Message.h"
#include "plumbing/MessageEncoder.h"
#include "plumbing/MessageWalker.h"

namespace {

// An argument area of `size` bytes: the fields of the request encoder
// (plumbing/MessageEncoder.h), then filler. Laid out once, on first use.
class Area {
public:
    explicit Area(size_t size = MESSAGE_ARG_AREA_SIZE, bool network = false)
        : m_size(size), m_fields(network) {}
    Area& Field(uint32_t tag, const std::string& value) {
        m_fields.Field(tag, value);
        return *this;
    }
    Area& Header(uint32_t tag, uint32_t length) {
        m_fields.Header(tag, length);
        return *this;
    }
    char* data() {
        if (m_bytes.empty()) {
            m_bytes = m_fields.area();
            m_bytes.resize(m_size, '\x7e');
        }
        return m_bytes.data();
    }
    size_t size() const { return m_size; }

private:
    size_t m_size;
    MessageEncoder m_fields;
    std::vector<char> m_bytes;
};

struct Walk {
    std::vector<unsigned int> tags;
    std::vector<std::string> values;
};

Walk WalkAll(Area& area, unsigned long count, char* scratch, unsigned long scratchSize,
             bool convert = false, unsigned long areaSize = 0) {
    MessageWalker walker;
    walker.setBuffer(area.data(), areaSize ? areaSize : area.size(), scratch, scratchSize, count,
                     convert);
    Walk walk;
    unsigned int tag = 0, length = 0;
    for (char* v = walker.getFirst(&tag, &length); v; v = walker.getNext(&tag, &length)) {
        walk.tags.push_back(tag);
        walk.values.emplace_back(v, length);
    }
    return walk;
}

TEST(MessageWalker, EmptyWalkerAndZeroCountsYieldNothing) {
    MessageWalker empty;
    EXPECT_EQ(empty.getNext(nullptr, nullptr), nullptr);
    EXPECT_EQ(empty.getFirst(nullptr, nullptr), nullptr);

    Area area;
    area.Field(1, "x");
    std::vector<char> scratch(16);
    EXPECT_TRUE(WalkAll(area, 0, scratch.data(), scratch.size()).tags.empty());
    EXPECT_TRUE(WalkAll(area, 1, scratch.data(), 0).tags.empty());
}

TEST(MessageWalker, YieldsExactlyTheCountedFieldsAtAnyOffset) {
    Area area;
    area.Field(TAG_NAS_INTERFACE, "abc")
        .Field(TAG_SUBCLIENT_ID, std::string("\x05\0\0\0", 4))
        .Field(TAG_VESSACELL_INFO, "12345678")
        .Field(7, "tail");
    std::vector<char> scratch(65536);
    Walk walk = WalkAll(area, 3, scratch.data(), scratch.size());
    EXPECT_EQ(walk.tags,
              (std::vector<unsigned int>{TAG_NAS_INTERFACE, TAG_SUBCLIENT_ID, TAG_VESSACELL_INFO}));
    EXPECT_EQ(walk.values[0], "abc");
    EXPECT_EQ(walk.values[2], "12345678");

    // Restarting gives the same first field; the walk stays over after the end.
    MessageWalker walker;
    walker.setBuffer(area.data(), area.size(), scratch.data(), scratch.size(), 1, false);
    EXPECT_NE(walker.getFirst(nullptr, nullptr), nullptr);
    EXPECT_EQ(walker.getNext(nullptr, nullptr), nullptr);
    EXPECT_EQ(walker.getNext(nullptr, nullptr), nullptr);
    unsigned int tag = 0;
    EXPECT_NE(walker.getFirst(&tag, nullptr), nullptr);
    EXPECT_EQ(tag, TAG_NAS_INTERFACE);
}

TEST(MessageWalker, ConvertsHeaderWordsFromNetworkOrder) {
    Area area(MESSAGE_ARG_AREA_SIZE, true);
    area.Field(TAG_NAS_INTERFACE, "filer");
    std::vector<char> scratch(64);
    Walk walk = WalkAll(area, 1, scratch.data(), scratch.size(), true);
    ASSERT_EQ(walk.tags.size(), 1u);
    EXPECT_EQ(walk.tags[0], TAG_NAS_INTERFACE);
    EXPECT_EQ(walk.values[0], "filer");
}

TEST(MessageWalker, TerminatesValuesShorterThanTheLimitOnly) {
    for (size_t size : {4103u, 4104u}) {
        Area area;
        area.Field(1, std::string(size, 'a'));
        std::vector<char> scratch(65536, 'z');
        MessageWalker walker;
        walker.setBuffer(area.data(), area.size(), scratch.data(), scratch.size(), 1, false);
        std::fill(scratch.begin(), scratch.end(), 'z');  // make the terminator visible
        ASSERT_NE(walker.getFirst(nullptr, nullptr), nullptr);
        EXPECT_EQ(scratch[size], size < 4104 ? '\0' : 'z') << size;
    }
}

TEST(MessageWalker, ValueLongerThanTheScratchEndsTheWalk) {
    std::vector<char> scratch(65536);
    Area big(70000);
    big.Field(1, std::string(65536, 'b')).Field(2, "next");
    Walk walk = WalkAll(big, 2, scratch.data(), scratch.size(), false, big.size());
    ASSERT_EQ(walk.tags.size(), 2u);
    EXPECT_EQ(walk.values[0].size(), 65536u);

    Area bigger(70000);
    bigger.Field(1, std::string(65537, 'b')).Field(2, "next");
    MessageWalker walker;
    walker.setBuffer(bigger.data(), bigger.size(), scratch.data(), scratch.size(), 2, false);
    unsigned int tag = 0, length = 0;
    EXPECT_EQ(walker.getFirst(&tag, &length), nullptr);
    EXPECT_EQ(tag, 1u);  // the header was handed out before the walk ended
    EXPECT_EQ(length, 65537u);
}

TEST(MessageWalker, NeverReadsPastTheArea) {
    std::vector<char> scratch(65536);
    // A value that would run past the end of the area.
    Area area(64);
    area.Field(1, "ok").Header(2, 100);
    Walk walk = WalkAll(area, 5, scratch.data(), scratch.size());
    EXPECT_EQ(walk.tags, std::vector<unsigned int>{1});

    // A header cut by the end of the area: the area ends 4 bytes into it.
    Area cut(64);
    cut.Field(1, std::string(52, 'x'));
    Walk cutWalk = WalkAll(cut, 3, scratch.data(), scratch.size(), false, 64);
    EXPECT_EQ(cutWalk.tags.size(), 1u);

    // Counts far beyond what the area holds stop at its end.
    Area zeros(63536);
    std::fill(zeros.data(), zeros.data() + zeros.size(), 0);
    Walk zeroWalk = WalkAll(zeros, 0xFFFFFFFFul, scratch.data(), scratch.size());
    EXPECT_EQ(zeroWalk.tags.size(), 63536u / 8);
}

TEST(MessageWalker, SmallScratchGetsNoTerminatorPastItsEnd) {
    Area area;
    area.Field(1, "abcd");
    std::vector<char> scratch(5, 'z');
    scratch.push_back('G');  // guard byte just past the scratch
    Walk walk = WalkAll(area, 1, scratch.data(), 4);
    ASSERT_EQ(walk.values.size(), 1u);
    EXPECT_EQ(walk.values[0], "abcd");
    EXPECT_EQ(scratch[4], 'z');
}

TEST(MessageWalker, WithoutScratchValuesStayInPlace) {
    Area area;
    area.Field(1, "abc").Field(2, "de");
    MessageWalker walker;
    walker.setBuffer(area.data(), area.size(), nullptr, 65536, 2, false);
    char* first = walker.getFirst(nullptr, nullptr);
    EXPECT_EQ(first, area.data() + 8);
    EXPECT_EQ(walker.getNext(nullptr, nullptr), area.data() + 8 + 3 + 8);
}

}  // namespace
