#include "nfs_client/worker/nfs4/Nfs4Reply.h"

#include <cstring>  // memcpy, memset

#include "nfs_client/ListingCore.h"           // PrintableName
#include "nfs_client/worker/rpc/XdrReader.h"  // XdrReader

namespace nfsclient {
namespace {

enum class Decoded { Ok, Short, Unknown };

// Reads attribute `bit` from `in` into `out`.
Decoded DecodeOne(uint32_t bit, XdrReader& in, Attributes& out) {
    bool ok = true;
    switch (bit) {
    case kAttrType: ok = in.U32(out.type); break;
    case kAttrSize: ok = in.U64(out.size); break;
    case kAttrFsid: ok = in.U64(out.fsid.major) && in.U64(out.fsid.minor); break;
    case kAttrRdattrError: ok = in.U32(out.rdattrError); break;
    case kAttrFilehandle: ok = in.Opaque(out.handle, out.handleLength, kMaxHandleBytes); break;
    case kAttrFileid: ok = in.U64(out.fileid); break;
    case kAttrMode: ok = in.U32(out.mode); break;
    case kAttrTimeModify: {
        uint64_t seconds = 0;
        uint32_t nanoseconds = 0;
        ok = in.U64(seconds) && in.U32(nanoseconds);
        out.mtime = static_cast<int64_t>(seconds);
        break;
    }
    case kAttrMountedOnFileid: ok = in.U64(out.mountedOnFileid); break;
    default: return Decoded::Unknown;
    }
    return ok ? Decoded::Ok : Decoded::Short;
}

// Attribute numbers end below 96 today; a longer mask, or values longer
// than any answer to our questions, is a malformed reply.
constexpr uint32_t kMaxMaskWords = 8;
constexpr uint32_t kMaxValueBytes = 64 * 1024;

bool WellSized(const fattr4& attrs) {
    const bitmap4& mask = attrs.attrmask;
    if (mask.bitmap4_len > kMaxMaskWords || (mask.bitmap4_len > 0 && mask.bitmap4_val == nullptr))
        return false;
    if (attrs.attr_vals.attrlist4_len > kMaxValueBytes) return false;
    return attrs.attr_vals.attrlist4_len == 0 || attrs.attr_vals.attrlist4_val != nullptr;
}

// Decodes the values of the attributes in `mask` (`words` host-order words),
// in bit order.
bool DecodeMasked(const uint32_t* mask, uint32_t words, XdrReader& in, const AttrMask& asked,
                  Attributes& out, std::string& why) {
    out = Attributes();
    for (uint32_t w = 2; w < words; ++w) {
        if (mask[w] != 0) {
            why = "the server sent attributes that were not asked for";
            return false;
        }
    }
    for (uint32_t word = 0; word < 2 && word < words; ++word) {
        for (uint32_t bits = mask[word]; bits != 0; bits &= bits - 1) {
            const uint32_t bit = word * 32 + static_cast<uint32_t>(__builtin_ctz(bits));
            if (((asked.word[word] >> (bit % 32)) & 1u) == 0) {
                why = "the server sent attribute " + std::to_string(bit) +
                      ", which was not asked for";
                return false;
            }
            const Decoded decoded = DecodeOne(bit, in, out);
            if (decoded == Decoded::Unknown) {
                why = "attribute " + std::to_string(bit) + " cannot be decoded";
                return false;
            }
            if (decoded == Decoded::Short) {
                why = "the attributes sent are shorter than their mask says";
                return false;
            }
            out.has.word[word] |= 1u << (bit % 32);
        }
    }
    if (!in.AtEnd()) {
        why = "the attributes sent are longer than their mask says";
        return false;
    }
    return true;
}

}  // namespace

bool DecodeAttributes(const fattr4& attrs, const AttrMask& asked, Attributes& out,
                      std::string& why) {
    if (!WellSized(attrs)) {
        out = Attributes();
        why = "the server sent a malformed attribute list";
        return false;
    }
    XdrReader in(attrs.attr_vals.attrlist4_val, attrs.attr_vals.attrlist4_len);
    return DecodeMasked(attrs.attrmask.bitmap4_val, attrs.attrmask.bitmap4_len, in, asked, out,
                        why);
}

bool DecodeAttributes(const RawAttributes& attrs, const AttrMask& asked, Attributes& out,
                      std::string& why) {
    uint32_t mask[kMaxMaskWords];
    XdrReader words(attrs.mask, size_t{4} * attrs.maskWords);
    bool ok = attrs.maskWords <= kMaxMaskWords && attrs.valuesLength <= kMaxValueBytes;
    for (uint32_t w = 0; ok && w < attrs.maskWords; ++w) ok = words.U32(mask[w]);
    if (!ok) {
        out = Attributes();
        why = "the server sent a malformed attribute list";
        return false;
    }
    XdrReader in(attrs.values, attrs.valuesLength);
    return DecodeMasked(mask, attrs.maskWords, in, asked, out, why);
}

namespace {

// A pathname4 (component4<>), as "/a/b" ("/" for none) when `out` is given.
bool ReadPathname(XdrReader& in, std::string* out) {
    uint32_t count = 0;
    if (!in.U32(count) || count > kMaxPathComponents || !in.Holds(count, 4)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const char* data = nullptr;
        uint32_t length = 0;
        if (!in.Opaque(data, length, kMaxNameBytes)) return false;
        if (out != nullptr && out->size() <= kMaxReferralTargetBytes)
            *out += "/" + PrintableName(data, length);
    }
    if (out != nullptr && out->empty()) *out = "/";
    return true;
}

}  // namespace

bool DecodeReferralTarget(const fattr4& attrs, std::string& target, std::string& why) {
    target.clear();
    why = "the server sent a malformed fs_locations attribute";
    if (!WellSized(attrs)) return false;
    const bitmap4& mask = attrs.attrmask;
    const uint32_t word = kAttrFsLocations / 32, bit = 1u << (kAttrFsLocations % 32);
    for (uint32_t w = 0; w < mask.bitmap4_len; ++w)
        if ((mask.bitmap4_val[w] & ~(w == word ? bit : 0u)) != 0) return false;
    if (mask.bitmap4_len <= word || (mask.bitmap4_val[word] & bit) == 0) {
        why = "the server sent no fs_locations for it";
        return false;
    }
    XdrReader in(attrs.attr_vals.attrlist4_val, attrs.attr_vals.attrlist4_len);
    uint32_t locations = 0;
    std::string found;
    if (!ReadPathname(in, nullptr) || !in.U32(locations) || locations > kMaxLocations ||
        !in.Holds(locations, 8))
        return false;
    for (uint32_t l = 0; l < locations; ++l) {
        uint32_t servers = 0;
        if (!in.U32(servers) || servers > kMaxLocationServers || !in.Holds(servers, 4))
            return false;
        std::string server;
        for (uint32_t s = 0; s < servers; ++s) {
            const char* data = nullptr;
            uint32_t length = 0;
            if (!in.Opaque(data, length, kMaxNameBytes)) return false;
            if (s == 0) server = PrintableName(data, length);
        }
        std::string path;
        if (!ReadPathname(in, l == 0 ? &path : nullptr)) return false;
        if (l == 0 && servers > 0) found = server + ":" + path;
    }
    if (!in.AtEnd()) return false;
    if (found.size() > kMaxReferralTargetBytes)
        found.replace(kMaxReferralTargetBytes - 3, std::string::npos, "...");
    why = found.empty() ? "the server named no location for it" : "";
    target = std::move(found);
    return !target.empty();
}

Nfs4Reply::Nfs4Reply(const v41::Compound41Res& reply, const std::vector<nfs_opnum4>& sent)
    : Nfs4Reply(reply.v40, sent) {
    m_dirs = reply.v40dirs;
}

Nfs4Reply::Nfs4Reply(const COMPOUND4res& reply, const std::vector<nfs_opnum4>& sent)
    : m_reply(reply), m_status(reply.status) {
    const u_int count = reply.resarray.resarray_len;
    if (count > sent.size() || (count > 0 && reply.resarray.resarray_val == nullptr)) {
        m_why = "the server's reply has " + std::to_string(count) + " results for " +
                std::to_string(sent.size()) + " operations";
        return;
    }
    m_count = count;
    if (m_status == NFS4_OK && count != sent.size()) {
        m_why = "the server's reply lacks operations (" + std::to_string(count) + " results for " +
                std::to_string(sent.size()) + " operations)";
        return;
    }
    for (unsigned i = 0; i < count; ++i) {
        const nfs_resop4 op = Result(i);
        if (op.resop != sent[i]) {
            m_why = "the server's reply has the result of operation " + std::to_string(op.resop) +
                    " where operation " + std::to_string(sent[i]) + "'s belongs";
            return;
        }
        // Every result starts with its nfsstat4.
        int status = 0;
        memcpy(&status, &op.nfs_resop4_u, sizeof status);
        const bool last = i + 1 == count;
        if (status != NFS4_OK && !last) {
            m_why = "the server's reply goes on after a failed operation";
            return;
        }
        if (last) m_failedStatus = status;
    }
    if (m_status != NFS4_OK && (count == 0 || m_failedStatus == NFS4_OK)) {
        // No failing result to say which operation failed: the COMPOUND's own status stands.
        m_failedStatus = m_status;
    }
}

nfs_resop4 Nfs4Reply::Result(unsigned index) const {
    nfs_resop4 op;
    memcpy(&op, reinterpret_cast<const char*>(m_reply.resarray.resarray_val) + sizeof op * index,
           sizeof op);
    return op;
}

bool Nfs4Reply::Handle(unsigned index, std::vector<char>& handle, std::string& why) const {
    const nfs_resop4 op = Result(index);
    const nfs_fh4& fh = op.nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
    if (fh.nfs_fh4_len > kMaxHandleBytes || (fh.nfs_fh4_len > 0 && fh.nfs_fh4_val == nullptr)) {
        why = "the server sent a file handle of " + std::to_string(fh.nfs_fh4_len) +
              " bytes (at most " + std::to_string(kMaxHandleBytes) + " are allowed)";
        return false;
    }
    handle.assign(fh.nfs_fh4_val, fh.nfs_fh4_val + fh.nfs_fh4_len);
    return true;
}

const fattr4& Nfs4Reply::Attrs(unsigned index, nfs_resop4& holder) const {
    holder = Result(index);
    return holder.nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
}

Nfs4Reply::Page Nfs4Reply::ReadDir(unsigned index) const {
    const nfs_resop4 op = Result(index);
    const READDIR4resok& ok = op.nfs_resop4_u.opreaddir.READDIR4res_u.resok4;
    Page page{};
    memcpy(page.verifier, ok.cookieverf, sizeof page.verifier);
    page.eof = ok.reply.eof != 0;
    if (m_dirs != nullptr) page.entries = m_dirs[index];
    return page;
}

bool Nfs4Entries::Next(Nfs4Entry& entry) {
    if (m_ended) return false;
    bool more = false;
    if (!m_in.Bool(more)) {
        m_ended = m_malformed = true;
        return false;
    }
    if (!more) {
        m_ended = true;
        m_malformed = m_left != 0 || !m_in.AtEnd();
        return false;
    }
    RawAttributes& a = entry.attributes;
    if (m_left == 0 || !m_in.U64(entry.cookie) ||
        !m_in.Opaque(entry.name, entry.nameLength, kMaxNameBytes) ||
        !m_in.Words(a.mask, a.maskWords, kMaxMaskWords) ||
        !m_in.Opaque(a.values, a.valuesLength, kMaxValueBytes)) {
        m_ended = m_malformed = true;
        return false;
    }
    --m_left;
    return true;
}

}  // namespace nfsclient
