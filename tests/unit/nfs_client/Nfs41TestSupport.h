// Helpers of the NFSv4.1 codec tests (and of the NFSv4.1 integration tests):
// hex, an XDR writer for hand-made replies, and a decoded reply that keeps
// its bytes and ZDR alive.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <nfsc/libnfs-zdr.h>

#include "common/TestSupport.h"
#include "nfs_client/worker/nfs4/Nfs4Xdr.h"

namespace nfs41test {

inline std::string FromHex(const char* hex) { return nsbtest::Unhex(hex); }
inline std::string ToHex(const std::string& bytes) { return nsbtest::Hex(bytes); }

// XDR, big-endian, for replies made by hand.
class Xdr {
public:
    Xdr& U32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            m_bytes += static_cast<char>((v >> shift) & 0xff);
        return *this;
    }
    Xdr& U64(uint64_t v) {
        return U32(static_cast<uint32_t>(v >> 32)).U32(static_cast<uint32_t>(v));
    }
    Xdr& Fixed(const std::string& bytes) {
        m_bytes += bytes;
        m_bytes.append((4 - bytes.size() % 4) % 4, '\0');
        return *this;
    }
    Xdr& Opaque(const std::string& bytes) {
        return U32(static_cast<uint32_t>(bytes.size())).Fixed(bytes);
    }
    Xdr& Raw(const std::string& bytes) {
        m_bytes += bytes;
        return *this;
    }
    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

// A reply decoded from its own copy of the bytes; the READDIR entry lists
// libnfs allocates live until this goes.
class Decoded {
public:
    explicit Decoded(std::string bytes)
        : m_bytes(std::move(bytes)), m_res(new nfsclient::v41::Compound41Res) {
        libnfs_zdrmem_create(&m_zdr, &m_bytes[0], static_cast<uint32_t>(m_bytes.size()),
                             ZDR_DECODE);
        m_ok = nfsclient::v41::DecodeCompound41(&m_zdr, *m_res);
    }
    ~Decoded() { libnfs_zdr_destroy(&m_zdr); }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;

    bool Ok() const { return m_ok; }
    std::string Why() const { return m_res->malformed; }
    nfsclient::v41::Compound41Res& Res() { return *m_res; }
    const nfsclient::v41::Compound41Res& Res() const { return *m_res; }
    // The 4.0 result at `index` of the 4.0 view (0: the first after SEQUENCE).
    const nfs_resop4& Op40(size_t index) const { return m_res->v40ops[index]; }
    const nfsclient::v41::Result41& At(size_t i) const { return m_res->results[i]; }
    // Offset of a pointer into the reply, e.g. of a decoded text.
    size_t OffsetOf(const char* p) const { return static_cast<size_t>(p - m_bytes.data()); }

private:
    std::string m_bytes;
    ZDR m_zdr;
    std::unique_ptr<nfsclient::v41::Compound41Res> m_res;
    bool m_ok = false;
};

inline std::string Text(const nfsclient::v41::Bytes& b) { return std::string(b.data, b.length); }

// Writes a big-endian word into bytes at `offset`.
inline std::string Patched(std::string bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes.at(offset + i) = static_cast<char>((value >> (24 - 8 * i)) & 0xff);
    return bytes;
}

inline uint32_t WordAt(const std::string& bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + i));
    return v;
}

}  // namespace nfs41test
