// The request frame of `nasbrowse serve` (docs/SERVE-PROTOCOL.md): one GUI
// browse message with the host fields the daemon hands to the entry.
//
//   prefix (12 bytes)
//     magic        4 bytes  "NSBQ"
//     byte order   u32      0x01020304 in the sender's order; must read the
//                           same in the daemon's order
//     body length  u32      N, the bytes that follow
//   body (N bytes, every integer in the daemon's byte order)
//     sequence number  i64  } the message header
//     reserved         u32  }
//     argument count   u32  }
//     client id        u64
//     path length      u32  P, 1 .. MAX_PATH_LENGTH, no NUL byte in the path
//     area length      u32  A, 0 .. MESSAGE_ARG_AREA_SIZE
//     path             P bytes
//     argument area    A bytes, holding exactly `argument count` fields
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/Message.h"          // MESSAGE_ARG_AREA_SIZE
#include "nasbrowse/GuiMessage.h"  // GuiMessage

namespace nasbrowse {
namespace serve {

constexpr char MAGIC[4] = {'N', 'S', 'B', 'Q'};
constexpr uint32_t BYTE_ORDER_MARK = 0x01020304;
constexpr size_t PREFIX_SIZE = 12;
constexpr size_t BODY_FIXED_SIZE = 32;
constexpr size_t MAX_PATH_LENGTH = 4096;
constexpr size_t MAX_BODY_SIZE = BODY_FIXED_SIZE + MAX_PATH_LENGTH + MESSAGE_ARG_AREA_SIZE;

struct Request {
    GuiMessage message;
    uint64_t clientId = 0;
    std::string path;
};

// The frame of `request`. Throws std::length_error when the path or the
// argument area is out of bounds.
std::vector<unsigned char> EncodeFrame(const Request& request);

enum class PrefixStatus { Ok, Malformed };

// Checks the 12-byte prefix and gives the body length. `data` holds at least
// PREFIX_SIZE bytes. Malformed: wrong magic, byte order or an oversized body.
PrefixStatus DecodePrefix(const unsigned char* data, size_t& bodyLength, std::string& error);

enum class FrameStatus { Ok, Incomplete, Malformed };

// Decodes one frame at the start of `data` (`size` bytes, any content).
// Incomplete: more bytes are needed, `frameSize` then tells how many in all
// when the prefix is known (0 otherwise). Ok: `out` holds the request and
// `frameSize` the bytes the frame took. Malformed: `error` says why. Reads no
// byte past `size`.
FrameStatus DecodeFrame(const unsigned char* data, size_t size, Request& out, size_t& frameSize,
                        std::string& error);

// The file server a browse message names (the value of its last TAG_NAS_INTERFACE
// field, up to its first NUL byte); "" when it names none. The message's
// area must hold its fields whole (DecodeFrame checks that).
std::string InterfaceOf(const GuiMessage& message);

}  // namespace serve
}  // namespace nasbrowse
