// Reading a reply stream (format in host_framework/ReplyWire.h): for the host
// program that receives replies, and for tests.
//
// ReplyDecoder decodes incrementally: feed it the bytes as they arrive, in
// pieces of any size, and read the records decoded so far from reply().
// Decoding is linear in the input. A malformed stream stops the decoder with
// an error text naming the byte offset; nothing past the bytes fed is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/Platform.h"  // HOST_API

namespace ReplyWire {

struct ReplyHeader {
    uint32_t version = 0;
    uint32_t returnType = 0;
    int64_t jobId = 0;
    int32_t kind = 0;
};

struct ReplyItem {
    bool isFolder = false;    // folder flag not 0
    uint64_t folderFlag = 0;  // the flag as written
    std::string name;         // the name bytes, any values
    uint64_t modifyTime = 0;
    int64_t size = 0;
    uint64_t extra1 = 0, extra2 = 0, extra3 = 0;
    uint32_t extra4 = 0;
};

// A datum written with EvReturnData::send (for example the trailer).
struct ReplyDatum {
    uint32_t tag = 0;
    std::string value;
};

struct Reply {
    bool hasHeader = false;
    ReplyHeader header;
    std::vector<ReplyItem> items;
    std::vector<std::string> messages;
    std::vector<ReplyDatum> data;
    bool ended = false;     // the end marker was seen
    int64_t endStatus = 0;  // valid when ended
};

class HOST_API ReplyDecoder {
public:
    ReplyDecoder();

    // Decodes every complete record in what was fed so far. Returns false
    // once the stream is found malformed (error() says why); later calls
    // then do nothing and return false.
    bool feed(const void* data, size_t size);

    // Declares the input complete. Returns false when the stream is
    // malformed or stops inside a record ("truncated item record at byte
    // N ..."). A stream without the end marker is not an error here: see
    // reply().ended.
    bool finish();

    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }

    // The records decoded so far. The caller may take items out between
    // feeds; the decoder only appends.
    Reply& reply() { return m_reply; }
    const Reply& reply() const { return m_reply; }

    // Bytes consumed by complete records.
    uint64_t consumed() const { return m_consumed; }

private:
    size_t decode(const unsigned char* data, size_t size);  // bytes used
    bool record(uint32_t tag, const unsigned char* value, uint32_t length);
    void setError(const std::string& text);

    Reply m_reply;
    std::string m_pending;  // the start of an incomplete record
    uint64_t m_consumed = 0;
    std::string m_error;
};

// Decodes a whole reply held in memory. Returns false with `error` set when
// it is malformed or truncated.
HOST_API bool DecodeReply(const void* data, size_t size, Reply& out, std::string& error);

// Reads a reply from `fd` until the end marker or end of input and decodes
// it. Gives up with an error when no byte arrives for `idleTimeoutMs`.
// Returns as soon as the end marker has arrived; bytes that arrived with it
// after it make the stream malformed. Does not close `fd`.
HOST_API bool ReadReply(int fd, unsigned int idleTimeoutMs, Reply& out, std::string& error);

// Name of a record tag for error texts ("item", "end", "tag 2323").
HOST_API std::string TagName(uint32_t tag);

}  // namespace ReplyWire
