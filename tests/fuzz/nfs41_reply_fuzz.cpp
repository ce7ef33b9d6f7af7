// The NFSv4.1 COMPOUND reply decoder on arbitrary bytes: nothing may be read
// past the input, every text, handle and entry it hands out must lie inside
// the input, and what it accepts must keep its own bounds. Seeds are replies
// recorded from ganesha (tests/unit/nfs_client/CapturedReplies.h).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <nfsc/libnfs-zdr.h>

#include "FuzzSupport.h"
#include "nfs_client/worker/nfs4/Nfs4Xdr.h"
#include "nfs_client/worker/nfs4/Nfs4Reply.h"  // Nfs4Entries, DecodeAttributes

namespace {

using namespace nfsclient::v41;

struct Input {
    const char* begin;
    size_t size;
    void Inside(const char* p, size_t length) const {
        if (length == 0) return;
        nsbfuzz::Check(p >= begin && length <= size &&
                       static_cast<size_t>(p - begin) <= size - length);
    }
};

void Touch(const Input& in, const Bytes& b) { in.Inside(b.data, b.length); }

// Every attribute the client decodes, so that any entry's get decoded.
constexpr nfsclient::AttrMask kAllAttributes = nfsclient::MaskOf(
    {nfsclient::kAttrType, nfsclient::kAttrSize, nfsclient::kAttrFsid, nfsclient::kAttrRdattrError,
     nfsclient::kAttrFilehandle, nfsclient::kAttrFileid, nfsclient::kAttrMode,
     nfsclient::kAttrTimeModify, nfsclient::kAttrMountedOnFileid});

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    static auto* res = new Compound41Res;
    ZDR zdr;
    libnfs_zdrmem_create(&zdr, &bytes[0], static_cast<uint32_t>(bytes.size()), ZDR_DECODE);
    const bool ok = DecodeCompound41(&zdr, *res);
    nsbfuzz::Check(ok == (res->malformed[0] == '\0'));
    if (ok) {
        const Input in{bytes.data(), bytes.size()};
        nsbfuzz::Check(res->count <= kMaxOps && res->v40count <= res->count);
        Touch(in, res->tag);
        uint32_t sent[kMaxOps];
        for (uint32_t i = 0; i < res->count; ++i) {
            const Result41& r = res->results[i];
            sent[i] = r.op;
            if (r.op == kOpExchangeId && r.status == NFS4_OK) {
                const ExchangeIdRes& e = r.u.exchangeId;
                nsbfuzz::Check(e.serverMajorId.length <= kMaxOpaqueBytes &&
                               e.serverScope.length <= kMaxOpaqueBytes);
                Touch(in, e.serverMajorId);
                Touch(in, e.serverScope);
                Touch(in, e.implDomain);
                Touch(in, e.implName);
            }
            if (r.op == kOpCreateSession && r.status == NFS4_OK)
                nsbfuzz::Check(r.u.createSession.fore.rdmaIrdCount <= 1 &&
                               r.u.createSession.back.rdmaIrdCount <= 1);
            if (r.v40Index < 0) continue;
            const nfs_resop4& op = res->v40ops[r.v40Index];
            nsbfuzz::Check(static_cast<uint32_t>(op.resop) == r.op);
            if (op.resop == OP_GETFH && r.status == NFS4_OK) {
                const nfs_fh4& fh = op.nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
                nsbfuzz::Check(fh.nfs_fh4_len <= kMaxFileHandleBytes);
                in.Inside(fh.nfs_fh4_val, fh.nfs_fh4_len);
            }
            if (op.resop == OP_READDIR && r.status == NFS4_OK) {
                // The entries are read in place: every one inside the
                // reply and within its bounds, the whole list readable.
                const DirList& list = res->v40dirs[r.v40Index];
                nsbfuzz::Check(list.count <= kMaxDirEntries);
                in.Inside(list.entries.data, list.entries.length);
                nfsclient::Nfs4Entries entries(list);
                uint32_t read = 0;
                for (nfsclient::Nfs4Entry e; entries.Next(e); ++read) {
                    nsbfuzz::Check(e.nameLength <= kMaxDecodedNameBytes);
                    in.Inside(e.name, e.nameLength);
                    in.Inside(e.attributes.values, e.attributes.valuesLength);
                    nfsclient::Attributes a;
                    std::string why;
                    nfsclient::DecodeAttributes(e.attributes, kAllAttributes, a, why);
                }
                nsbfuzz::Check(!entries.Malformed() && read == list.count);
            }
        }

        // A reply always matches the operations it answers.
        nsbfuzz::Check(MatchReply(sent, res->count, *res));
    }
    libnfs_zdr_destroy(&zdr);
    return 0;
}
