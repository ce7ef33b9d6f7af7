// What is read from an NFSv4 reply: attributes decoded from their mask,
// checked access to a COMPOUND's results, and READDIR entries read in place.
// Reads decoded replies only; no I/O.
#pragma once

#include <cstdint>  // uint32_t, uint64_t
#include <string>   // std::string
#include <vector>   // std::vector

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs4.h>  // COMPOUND4res, fattr4

#include "nfs_client/worker/nfs4/Nfs4Xdr.h"   // v41::Compound41Res, v41::DirList
#include "nfs_client/worker/rpc/XdrReader.h"  // XdrReader

namespace nfsclient {

// Attribute numbers (RFC 7530) and their bit in the two request words.
enum : uint32_t {
    kAttrType = 1,
    kAttrSize = 4,
    kAttrFsid = 8,
    kAttrRdattrError = 11,
    kAttrFsLocations = 24,
    kAttrFilehandle = 19,
    kAttrFileid = 20,
    kAttrMode = 33,
    kAttrTimeModify = 53,
    kAttrMountedOnFileid = 55,
};
struct AttrMask {
    uint32_t word[2];
};
constexpr AttrMask MaskOf(std::initializer_list<uint32_t> attributes) {
    AttrMask mask{{0, 0}};
    for (uint32_t a : attributes) mask.word[a / 32] |= 1u << (a % 32);
    return mask;
}

// Attributes decoded from one fattr4; `has` tells which were sent.
struct Attributes {
    AttrMask has{{0, 0}};
    uint32_t type = 0;
    uint64_t size = 0;
    fsid4 fsid{0, 0};
    uint32_t rdattrError = 0;
    const char* handle = nullptr;  // points into the reply: valid during the callback only
    uint32_t handleLength = 0;
    uint64_t fileid = 0;
    uint32_t mode = 0;
    int64_t mtime = 0;
    uint64_t mountedOnFileid = 0;
    bool Has(uint32_t attribute) const {
        return (has.word[attribute / 32] >> (attribute % 32)) & 1u;
    }
};

// An fattr4 as it stands in a reply: its mask words (big-endian) and its
// values. Points into the reply.
struct RawAttributes {
    const char* mask = nullptr;
    uint32_t maskWords = 0;
    const char* values = nullptr;
    uint32_t valuesLength = 0;
};

// Decodes `attrs` in bit order. Fails (with a reason in `why`) on a bit that
// was not asked for in `asked`, on an attribute it cannot decode, and on
// truncated or surplus data.
bool DecodeAttributes(const fattr4& attrs, const AttrMask& asked, Attributes& out,
                      std::string& why);
bool DecodeAttributes(const RawAttributes& attrs, const AttrMask& asked, Attributes& out,
                      std::string& why);

// The target of a referral from its fs_locations attribute (the only one in
// `attrs`): "server:/path" of its first location, its first server, printable
// (bytes escaped) and at most kMaxReferralTargetBytes long (cut with "...").
// Fails (with `why`) on a malformed value, or when it names no location.
// Every count and length is bounded (kMaxLocations locations, kMaxLocation-
// Servers servers each, kMaxPathComponents components of each path).
constexpr uint32_t kMaxLocations = 64;
constexpr uint32_t kMaxLocationServers = 16;
constexpr uint32_t kMaxPathComponents = 256;
constexpr size_t kMaxReferralTargetBytes = 300;
bool DecodeReferralTarget(const fattr4& attrs, std::string& target, std::string& why);

// Longest entry names and file handles taken from a server; anything longer
// is a malformed reply. (Names longer than 4 KiB are then left out of a
// listing, see JudgeEntryName.)
constexpr uint32_t kMaxNameBytes = 64 * 1024;
constexpr uint32_t kMaxHandleBytes = 128;  // NFS4_FHSIZE

// Checked reading of a COMPOUND reply. The server's result array is
// untrusted: its length, its order and each result's operation are checked
// against what was sent before a result's union is read. libnfs 4.0 decodes
// the array at 4-byte alignment, so results are read by copy (the copies'
// pointers still point into the reply, valid during the callback only).
class Nfs4Reply {
public:
    // `sent` lists the operations of the request, in order. A reply
    // decoded by v41::DecodeCompound41 (what every NFSv4 handler gets) also
    // has its READDIR entries; a bare COMPOUND4res has none.
    Nfs4Reply(const v41::Compound41Res& reply, const std::vector<nfs_opnum4>& sent);
    Nfs4Reply(const COMPOUND4res& reply, const std::vector<nfs_opnum4>& sent);

    // The COMPOUND's status, and whether its results are well-formed: on
    // NFS4_OK one result per operation sent; otherwise up to the failing
    // one, which is the last and carries the status. Each result's operation
    // is the one sent at its place.
    int Status() const { return m_status; }
    bool WellFormed() const { return m_why.empty(); }
    const std::string& Why() const { return m_why; }
    // Results present.
    unsigned Count() const { return m_count; }
    // Index and status of the failing operation (a failed COMPOUND).
    unsigned FailedIndex() const { return m_count == 0 ? 0 : m_count - 1; }
    int FailedStatus() const { return m_failedStatus; }

    // Result `index` (below Count(), of a well-formed reply).
    nfs_resop4 Result(unsigned index) const;
    // The file handle of the GETFH at `index`; false (with `why`) when it is
    // longer than kMaxHandleBytes.
    bool Handle(unsigned index, std::vector<char>& handle, std::string& why) const;
    // The attributes of the GETATTR at `index`.
    const fattr4& Attrs(unsigned index, nfs_resop4& holder) const;

    // The successful READDIR at `index`: where the next page goes on, and
    // its entries (read them with Nfs4Entries).
    struct Page {
        char verifier[NFS4_VERIFIER_SIZE];
        bool eof;
        v41::DirList entries;
    };
    Page ReadDir(unsigned index) const;

private:
    const COMPOUND4res& m_reply;
    const v41::DirList* m_dirs = nullptr;  // parallel to the results
    int m_status;
    unsigned m_count = 0;
    int m_failedStatus = 0;
    std::string m_why;
};

// One entry of a READDIR result, read in place: name and attributes point
// into the reply (valid during the callback only). The name is counted: it
// may hold any byte, NUL included.
struct Nfs4Entry {
    uint64_t cookie = 0;
    const char* name = nullptr;
    uint32_t nameLength = 0;
    RawAttributes attributes;
};

// Reads a READDIR entry list entry by entry, without allocating. The list
// was checked against its bounds when the reply was decoded; every read is
// checked again, and a list that is not one (possible only for bytes that
// did not come through the decoder) ends it as Malformed().
class Nfs4Entries {
public:
    explicit Nfs4Entries(const v41::DirList& list)
        : m_in(list.entries.data, list.entries.length), m_left(list.count) {}
    // The next entry; false at the end of the list or when it is malformed,
    // and from then on.
    bool Next(Nfs4Entry& entry);
    bool Malformed() const { return m_malformed; }

private:
    XdrReader m_in;
    uint32_t m_left;  // entries the list says are left
    bool m_ended = false;
    bool m_malformed = false;
};

}  // namespace nfsclient
