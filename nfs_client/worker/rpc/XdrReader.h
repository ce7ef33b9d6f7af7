// A bounded reader of XDR (big-endian, 4-byte aligned) over bytes a server
// sent. Every read checks what is left first; a length is compared with a
// limit of the caller's before it is used. Nothing recurses. Also the two
// writers our own small messages need (Put32, PutOpaque).
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // uint32_t, uint64_t
#include <string>   // std::string

namespace nfsclient {

// Appends `value` as an XDR unsigned int.
inline void Put32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

// Appends `bytes` as an XDR opaque or string: length, bytes, padding to 4.
inline void PutOpaque(std::string& out, const std::string& bytes) {
    Put32(out, static_cast<uint32_t>(bytes.size()));
    out += bytes;
    out.append((4 - bytes.size() % 4) % 4, '\0');
}

class XdrReader {
public:
    XdrReader(const char* data, size_t size) : m_data(data), m_size(size) {}

    bool U32(uint32_t& value) {
        if (m_size - m_at < 4) return Fail();
        const auto* p = reinterpret_cast<const unsigned char*>(m_data + m_at);
        value = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        m_at += 4;
        return true;
    }
    bool U64(uint64_t& value) {
        uint32_t high = 0, low = 0;
        if (!U32(high) || !U32(low)) return false;
        value = (uint64_t{high} << 32) | low;
        return true;
    }
    // An XDR bool: 0 or 1, nothing else.
    bool Bool(bool& value) {
        uint32_t word = 0;
        if (!U32(word) || word > 1) return Fail();
        value = word == 1;
        return true;
    }
    // Skips `count` bytes, padded to 4.
    bool Skip(size_t count) {
        const size_t padded = (count + 3) & ~size_t{3};
        if (padded < count || m_size - m_at < padded) return Fail();
        m_at += padded;
        return true;
    }
    // A counted opaque or string of at most `max` bytes: points into the data.
    bool Opaque(const char*& data, uint32_t& length, uint32_t max) {
        if (!U32(length) || length > max) return Fail();
        data = m_data + m_at;
        return Skip(length);
    }
    // A counted array of at most `max` 32-bit words (a bitmap): points into
    // the data.
    bool Words(const char*& data, uint32_t& count, uint32_t max) {
        if (!U32(count) || count > max) return Fail();
        data = m_data + m_at;
        return Skip(size_t{count} * 4);
    }
    // `count` items, each at least `least` bytes: fails at once when the
    // rest cannot hold them.
    bool Holds(uint32_t count, size_t least) {
        if (least > 0 && count > (m_size - m_at) / least) return Fail();
        return true;
    }
    bool AtEnd() const { return m_at == m_size; }
    // How many bytes have been read.
    size_t At() const { return m_at; }
    bool Ok() const { return m_ok; }

private:
    bool Fail() {
        m_ok = false;
        return false;
    }
    const char* m_data;
    size_t m_size;
    size_t m_at = 0;
    bool m_ok = true;
};

}  // namespace nfsclient
