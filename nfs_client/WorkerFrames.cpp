#include "nfs_client/WorkerFrames.h"

#include <cstring>  // memcpy, memchr

#include "nfs_client/ListingCore.h"  // JudgeEntryName, kMaxEntryNameBytes
#include "nfs_client/Paths.h"        // kMaxRequestPathBytes

namespace nfsclient {
namespace frames {
namespace {

constexpr size_t kMaxAddressBytes = 64;

class Out {
public:
    void U8(uint8_t v) { m_bytes.push_back(static_cast<char>(v)); }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
    }
    void U64(uint64_t v) {
        U32(static_cast<uint32_t>(v));
        U32(static_cast<uint32_t>(v >> 32));
    }
    void Text(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        m_bytes += s;
    }
    void Rest(std::string_view s) { m_bytes.append(s.data(), s.size()); }
    std::string Take() { return std::move(m_bytes); }

private:
    std::string m_bytes;
};

class In {
public:
    explicit In(std::string_view bytes) : m_bytes(bytes) {}
    bool U8(uint8_t& v) {
        if (m_bytes.size() - m_at < 1) return false;
        v = static_cast<uint8_t>(m_bytes[m_at++]);
        return true;
    }
    bool U32(uint32_t& v) {
        if (m_bytes.size() - m_at < 4) return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t{static_cast<uint8_t>(m_bytes[m_at + static_cast<size_t>(i)])} << (8 * i);
        m_at += 4;
        return true;
    }
    bool U64(uint64_t& v) {
        uint32_t low = 0, high = 0;
        if (!U32(low) || !U32(high)) return false;
        v = (uint64_t{high} << 32) | low;
        return true;
    }
    bool Text(std::string& s, size_t max) {
        uint32_t length = 0;
        if (!U32(length) || length > max || length > m_bytes.size() - m_at) return false;
        s.assign(m_bytes, m_at, length);
        m_at += length;
        return true;
    }
    std::string_view Rest() {
        std::string_view rest = m_bytes.substr(m_at);
        m_at = m_bytes.size();
        return rest;
    }
    bool AtEnd() const { return m_at == m_bytes.size(); }

private:
    std::string_view m_bytes;
    size_t m_at = 0;
};

bool HasNul(std::string_view s) { return memchr(s.data(), '\0', s.size()) != nullptr; }

// Little-endian numbers into a buffer.
char* Put32(char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) *at++ = static_cast<char>(v >> (8 * i));
    return at;
}
char* Put64(char* at, uint64_t v) {
    return Put32(Put32(at, static_cast<uint32_t>(v)), static_cast<uint32_t>(v >> 32));
}

}  // namespace

void Append(std::string& out, Type type, std::string_view payload) {
    char header[5];
    Put32(header, static_cast<uint32_t>(payload.size() + 1));
    header[4] = static_cast<char>(type);
    out.append(header, sizeof header);
    out.append(payload.data(), payload.size());
}

void AppendEntry(std::string& out, const NFSItemInfo& entry) {
    const size_t name = entry.name != nullptr ? strlen(entry.name) : 0;
    const size_t at = out.size();
    out.resize(at + 5 + 24 + name);
    char* p = &out[at];
    p = Put32(p, static_cast<uint32_t>(1 + 24 + name));
    *p++ = static_cast<char>(kEntry);
    p = Put64(Put64(Put32(Put32(p, entry.type), entry.mode), entry.size), entry.writeTime);
    if (name > 0) memcpy(p, entry.name, name);
}

std::string EncodeRequest(const Request& request) {
    Out out;
    out.U8(static_cast<uint8_t>(request.operation));
    out.U32(request.limits.stepMs);
    out.U64(request.limits.maxEntries);
    out.U64(request.limits.maxExports);
    out.Text(request.address);
    out.Text(request.path);
    const Security& security = request.security;
    out.U8(static_cast<uint8_t>(security.flavour));
    out.Text(security.serverName);
    out.Text(security.keytab);
    out.Text(security.principal);
    out.Text(security.credentialCache);
    out.Text(security.kerberosConfig);
    return out.Take();
}

std::string CheckSecurity(const Security& security) {
    const struct {
        const std::string& text;
        size_t max;
        const char* what;
    } texts[] = {{security.serverName, kMaxServerNameBytes, "the file server's host name"},
                 {security.keytab, kMaxSecurityTextBytes, "the Kerberos keytab path"},
                 {security.principal, kMaxSecurityTextBytes, "the Kerberos principal"},
                 {security.credentialCache, kMaxSecurityTextBytes, "KRB5CCNAME"},
                 {security.kerberosConfig, kMaxSecurityTextBytes, "KRB5_CONFIG"}};
    for (const auto& text : texts) {
        if (text.text.size() > text.max)
            return std::string(text.what) + " is longer than " + std::to_string(text.max) +
                   " bytes; shorten it";
        if (HasNul(text.text)) return std::string(text.what) + " holds a NUL byte";
    }
    return std::string();
}

bool DecodeRequest(std::string_view payload, Request& request) {
    In in(payload);
    uint8_t operation = 0;
    uint64_t maxEntries = 0;
    uint64_t maxExports = 0;
    if (!in.U8(operation) || !in.U32(request.limits.stepMs) || !in.U64(maxEntries) ||
        !in.U64(maxExports) || !in.Text(request.address, kMaxAddressBytes) ||
        !in.Text(request.path, kMaxRequestPathBytes))
        return false;
    Security& security = request.security;
    uint8_t flavour = 0;
    if (!in.U8(flavour) || flavour > static_cast<uint8_t>(kLastFlavour) ||
        !in.Text(security.serverName, kMaxServerNameBytes) ||
        !in.Text(security.keytab, kMaxSecurityTextBytes) ||
        !in.Text(security.principal, kMaxSecurityTextBytes) ||
        !in.Text(security.credentialCache, kMaxSecurityTextBytes) ||
        !in.Text(security.kerberosConfig, kMaxSecurityTextBytes) || !in.AtEnd() ||
        !CheckSecurity(security).empty())
        return false;
    security.flavour = static_cast<Flavour>(flavour);
    if (operation != static_cast<uint8_t>(Operation::Exports) &&
        operation != static_cast<uint8_t>(Operation::List))
        return false;
    request.operation = static_cast<Operation>(operation);
    request.limits.maxEntries = maxEntries;
    request.limits.maxExports = static_cast<size_t>(maxExports);
    return request.limits.stepMs > 0 && !HasNul(request.address) && !HasNul(request.path);
}

std::string EncodeHints(const ServerProfile& profile) {
    Out out;
    out.U8(static_cast<uint8_t>(profile.protocol));
    out.U32(static_cast<uint32_t>(profile.mountPort));
    out.U32(static_cast<uint32_t>(profile.nfsPort));
    out.U8(profile.hasExports ? 1 : 0);
    out.U32(profile.nfs4Minor);
    out.U32(static_cast<uint32_t>(profile.mountUdpPort));
    return out.Take();
}

bool DecodeHints(std::string_view payload, ServerProfile& profile) {
    In in(payload);
    uint8_t protocol = 0, hasExports = 0;
    uint32_t mountPort = 0, nfsPort = 0, minor = 0, mountUdpPort = 0;
    if (!in.U8(protocol) || !in.U32(mountPort) || !in.U32(nfsPort) || !in.U8(hasExports) ||
        !in.U32(minor) || !in.U32(mountUdpPort) || !in.AtEnd())
        return false;
    if (protocol > static_cast<uint8_t>(kLastProtocol) || mountPort > 65535 || nfsPort > 65535 ||
        hasExports > 1 || minor > 2 || mountUdpPort > 65535)
        return false;
    profile.mountUdpPort = static_cast<int>(mountUdpPort);
    profile.nfs4Minor = minor;
    profile.protocol = static_cast<Protocol>(protocol);
    profile.mountPort = static_cast<int>(mountPort);
    profile.nfsPort = static_cast<int>(nfsPort);
    profile.hasExports = hasExports == 1;
    return true;
}

std::string EncodeEntry(const NFSItemInfo& entry) {
    std::string frame;
    AppendEntry(frame, entry);
    return frame.substr(5);
}

bool DecodeEntry(std::string_view payload, EntryView& entry) {
    In in(payload);
    if (!in.U32(entry.type) || !in.U32(entry.mode) || !in.U64(entry.size) ||
        !in.U64(entry.writeTime))
        return false;
    entry.name = in.Rest();
    return entry.name.size() <= kMaxEntryNameBytes &&
           JudgeEntryName(entry.name.data(), entry.name.size()) == NameVerdict::Usable;
}

std::string EncodeOutcome(const Outcome& outcome) {
    Out out;
    out.U8(outcome.ok ? 1 : 0);
    out.U8(outcome.timedOut ? 1 : 0);
    out.Rest(outcome.error);
    return out.Take();
}

bool DecodeOutcome(std::string_view payload, Outcome& outcome) {
    In in(payload);
    uint8_t ok = 0, timedOut = 0;
    if (!in.U8(ok) || !in.U8(timedOut) || ok > 1 || timedOut > 1) return false;
    outcome.ok = ok == 1;
    outcome.timedOut = timedOut == 1;
    outcome.error = std::string(in.Rest());
    // A failure says why; a success says nothing.
    return !HasNul(outcome.error) && outcome.error.size() < 4096 &&
           outcome.ok == outcome.error.empty();
}

bool FromWorker(uint8_t type) {
    switch (type) {
    case kExport:
    case kEntry:
    case kNotice:
    case kProgress:
    case kProfile:
    case kLearnedExport:
    case kDone: return true;
    default: return false;
    }
}

bool FromLibrary(uint8_t type) {
    return type == kRequest || type == kHints || type == kHintExport || type == kGo;
}

void Reader::Feed(const char* data, size_t size) {
    if (Broken()) return;
    if (m_at > 0 && m_at == m_buffer.size()) {
        m_buffer.clear();
        m_at = 0;
    } else if (m_at > 64 * 1024) {
        m_buffer.erase(0, m_at);
        m_at = 0;
    }
    m_buffer.append(data, size);
}

bool Reader::Next(Type& type, std::string_view& payload) {
    if (Broken() || m_buffer.size() - m_at < 5) return false;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= uint32_t{static_cast<uint8_t>(m_buffer[m_at + static_cast<size_t>(i)])}
                  << (8 * i);
    const uint8_t kind = static_cast<uint8_t>(m_buffer[m_at + 4]);
    if (length == 0 || length - 1 > kMaxPayload) {
        m_why = "a frame of " + std::to_string(length) + " bytes";
        return false;
    }
    if (!FromWorker(kind) && !FromLibrary(kind)) {
        m_why = "a frame of unknown type " + std::to_string(kind);
        return false;
    }
    if (m_buffer.size() - m_at - 4 < length) return false;
    type = static_cast<Type>(kind);
    payload = std::string_view(m_buffer.data() + m_at + 5, length - 1);
    m_at += 4 + length;
    return true;
}

}  // namespace frames
}  // namespace nfsclient
