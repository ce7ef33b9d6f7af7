// Wire format of a reply stream, shared by the writer (EvReturnData) and the
// reader (ReplyReader). docs/REPLY-STREAM.md describes the same format.
//
// A reply is a sequence of records. Every record is
//
//     tag     u32
//     length  u32    number of value bytes that follow
//     value   length bytes
//
// and every integer of the framing and of the record values below is
// little-endian, whatever the writer's byte order. Records:
//
//   TAG_HEADER  (0x52500001), 20 bytes, always the first record:
//       u32 wire version (WIRE_VERSION), u32 return type, i64 job id,
//       i32 kind
//   TAG_ITEM    (0x52500002), ITEM_FIXED_SIZE + n bytes, one browse item:
//       u64 folder flag, u64 modify time, i64 size, u64 extra1, u64 extra2,
//       u64 extra3, u32 extra4, then the n name bytes (no terminator; any
//       byte value; the record length gives n)
//   TAG_MESSAGE (0x52500003), n bytes: the text of one message to the
//       requester (no terminator)
//   TAG_END     (0x52500004), 8 bytes: i64 status; always the last record
//   any other tag: tagged data from EvReturnData::send, the value bytes
//       exactly as given (the reply trailer, tag 2323, is 4 bytes holding a
//       signed 32-bit value in the writer's byte order).
//
// Tags from TAG_RESERVED_FIRST to TAG_RESERVED_LAST belong to the framing;
// send() refuses them. No record is longer than MAX_RECORD_LENGTH.
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // uint32_t, uint64_t

namespace ReplyWire {

constexpr uint32_t WIRE_VERSION = 1;

constexpr uint32_t TAG_HEADER = 0x52500001;
constexpr uint32_t TAG_ITEM = 0x52500002;
constexpr uint32_t TAG_MESSAGE = 0x52500003;
constexpr uint32_t TAG_END = 0x52500004;
constexpr uint32_t TAG_RESERVED_FIRST = 0x52500000;
constexpr uint32_t TAG_RESERVED_LAST = 0x525000FF;

constexpr size_t RECORD_PREFIX_SIZE = 8;  // tag + length
constexpr size_t HEADER_SIZE = 20;
constexpr size_t ITEM_FIXED_SIZE = 6 * 8 + 4;  // six u64 and one u32
constexpr size_t END_SIZE = 8;
constexpr uint32_t MAX_RECORD_LENGTH = 16u << 20;  // 16 MiB

inline bool IsReservedTag(uint64_t tag) {
    return tag >= TAG_RESERVED_FIRST && tag <= TAG_RESERVED_LAST;
}

// Little-endian stores and loads of the framing integers.
inline void PutU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void PutU64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t GetU32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t GetU64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace ReplyWire
