// Decoding of reply streams.

#include "host_framework/ReplyReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "host_framework/ReplyWire.h"

namespace ReplyWire {

namespace {

std::string At(uint64_t offset) { return " at byte " + std::to_string(offset); }

}  // namespace

std::string TagName(uint32_t tag) {
    switch (tag) {
    case TAG_HEADER: return "header";
    case TAG_ITEM: return "item";
    case TAG_MESSAGE: return "message";
    case TAG_END: return "end";
    default: return "tag " + std::to_string(tag);
    }
}

ReplyDecoder::ReplyDecoder() {}

void ReplyDecoder::setError(const std::string& text) {
    if (m_error.empty()) m_error = text;
}

bool ReplyDecoder::feed(const void* data, size_t size) {
    if (failed()) return false;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (size == 0) return true;
    if (m_reply.ended) {
        setError("data after the end marker" + At(m_consumed));
        return false;
    }
    if (!m_pending.empty()) {
        // Complete the record begun in an earlier feed.
        if (m_pending.size() < RECORD_PREFIX_SIZE) {
            const size_t take = std::min(size, RECORD_PREFIX_SIZE - m_pending.size());
            m_pending.append(reinterpret_cast<const char*>(p), take);
            p += take;
            size -= take;
            if (m_pending.size() < RECORD_PREFIX_SIZE) return true;
        }
        const auto* prefix = reinterpret_cast<const unsigned char*>(m_pending.data());
        const uint32_t length = GetU32(prefix + 4);
        if (length > MAX_RECORD_LENGTH) {
            setError(TagName(GetU32(prefix)) + " record" + At(m_consumed) + " declares " +
                     std::to_string(length) + " bytes, more than the limit of " +
                     std::to_string(MAX_RECORD_LENGTH));
            return false;
        }
        const size_t total = RECORD_PREFIX_SIZE + length;
        const size_t take = std::min(size, total - m_pending.size());
        m_pending.append(reinterpret_cast<const char*>(p), take);
        p += take;
        size -= take;
        if (m_pending.size() < total) return true;
        decode(reinterpret_cast<const unsigned char*>(m_pending.data()), m_pending.size());
        m_pending.clear();
        if (failed()) return false;
        if (size != 0 && m_reply.ended) {
            setError("data after the end marker" + At(m_consumed));
            return false;
        }
    }
    const size_t used = decode(p, size);
    if (failed()) return false;
    m_pending.assign(reinterpret_cast<const char*>(p + used), size - used);
    return true;
}

size_t ReplyDecoder::decode(const unsigned char* data, size_t size) {
    size_t pos = 0;
    while (size - pos >= RECORD_PREFIX_SIZE) {
        const uint32_t tag = GetU32(data + pos);
        const uint32_t length = GetU32(data + pos + 4);
        if (length > MAX_RECORD_LENGTH) {
            setError(TagName(tag) + " record" + At(m_consumed) + " declares " +
                     std::to_string(length) + " bytes, more than the limit of " +
                     std::to_string(MAX_RECORD_LENGTH));
            return pos;
        }
        if (size - pos - RECORD_PREFIX_SIZE < length) break;  // incomplete
        if (!record(tag, data + pos + RECORD_PREFIX_SIZE, length)) return pos;
        pos += RECORD_PREFIX_SIZE + length;
        m_consumed += RECORD_PREFIX_SIZE + length;
        if (m_reply.ended && pos < size) {
            setError("data after the end marker" + At(m_consumed));
            return pos;
        }
    }
    return pos;
}

bool ReplyDecoder::record(uint32_t tag, const unsigned char* value, uint32_t length) {
    const auto wrongLength = [&](const char* expected) {
        setError(TagName(tag) + " record" + At(m_consumed) + " has length " +
                 std::to_string(length) + ", expected " + expected);
        return false;
    };
    if (!m_reply.hasHeader && tag != TAG_HEADER) {
        setError("expected the header record" + At(m_consumed) + ", found " + TagName(tag) +
                 " record");
        return false;
    }
    switch (tag) {
    case TAG_HEADER: {
        if (m_reply.hasHeader) {
            setError("second header record" + At(m_consumed));
            return false;
        }
        if (length != HEADER_SIZE) return wrongLength("20");
        ReplyHeader& h = m_reply.header;
        h.version = GetU32(value);
        if (h.version != WIRE_VERSION) {
            setError("unsupported wire version " + std::to_string(h.version) + At(m_consumed));
            return false;
        }
        h.returnType = GetU32(value + 4);
        h.jobId = static_cast<int64_t>(GetU64(value + 8));
        h.kind = static_cast<int32_t>(GetU32(value + 16));
        m_reply.hasHeader = true;
        return true;
    }
    case TAG_ITEM: {
        if (length < ITEM_FIXED_SIZE) return wrongLength("at least 52");
        ReplyItem item;
        item.folderFlag = GetU64(value);
        item.isFolder = item.folderFlag != 0;
        item.modifyTime = GetU64(value + 8);
        item.size = static_cast<int64_t>(GetU64(value + 16));
        item.extra1 = GetU64(value + 24);
        item.extra2 = GetU64(value + 32);
        item.extra3 = GetU64(value + 40);
        item.extra4 = GetU32(value + 48);
        item.name.assign(reinterpret_cast<const char*>(value + ITEM_FIXED_SIZE),
                         length - ITEM_FIXED_SIZE);
        m_reply.items.push_back(std::move(item));
        return true;
    }
    case TAG_MESSAGE:
        m_reply.messages.emplace_back(reinterpret_cast<const char*>(value), length);
        return true;
    case TAG_END:
        if (length != END_SIZE) return wrongLength("8");
        m_reply.endStatus = static_cast<int64_t>(GetU64(value));
        m_reply.ended = true;
        return true;
    default:
        if (IsReservedTag(tag)) {
            setError("unknown framing tag " + std::to_string(tag) + At(m_consumed));
            return false;
        }
        m_reply.data.push_back(
            ReplyDatum{tag, std::string(reinterpret_cast<const char*>(value), length)});
        return true;
    }
}

bool ReplyDecoder::finish() {
    if (failed()) return false;
    if (m_pending.empty()) return true;
    if (m_pending.size() < RECORD_PREFIX_SIZE) {
        setError("truncated record prefix" + At(m_consumed) + ": " +
                 std::to_string(m_pending.size()) + " of 8 bytes");
        return false;
    }
    const auto* prefix = reinterpret_cast<const unsigned char*>(m_pending.data());
    setError("truncated " + TagName(GetU32(prefix)) + " record" + At(m_consumed) + ": " +
             std::to_string(GetU32(prefix + 4)) + " value bytes declared, " +
             std::to_string(m_pending.size() - RECORD_PREFIX_SIZE) + " present");
    return false;
}

bool DecodeReply(const void* data, size_t size, Reply& out, std::string& error) {
    ReplyDecoder decoder;
    const bool ok = decoder.feed(data, size) && decoder.finish();
    out = std::move(decoder.reply());
    error = decoder.error();
    return ok;
}

bool ReadReply(int fd, unsigned int idleTimeoutMs, Reply& out, std::string& error) {
    ReplyDecoder decoder;
    std::vector<char> buffer(64 * 1024);
    bool ok = true;
    error.clear();
    while (ok && !decoder.reply().ended) {
        pollfd pfd{fd, POLLIN, 0};
        const int r =
            ::poll(&pfd, 1, static_cast<int>(std::min<unsigned int>(idleTimeoutMs, INT32_MAX)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            error = std::string("waiting for the reply failed: ") + strerror(errno);
            ok = false;
            break;
        }
        if (r == 0) {
            error = "no reply data for " + std::to_string(idleTimeoutMs) + " ms after byte " +
                    std::to_string(decoder.consumed());
            ok = false;
            break;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("reading the reply failed: ") + strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;  // end of input
        ok = decoder.feed(buffer.data(), static_cast<size_t>(n));
    }
    if (ok) ok = decoder.finish();
    if (error.empty()) error = decoder.error();
    out = std::move(decoder.reply());
    return ok;
}

}  // namespace ReplyWire
