// NFSv4.1 and 4.2 COMPOUNDs over libnfs 4.0, whose XDR knows only NFSv4.0.
//
// Encoders and decoders of our own for the session operations (EXCHANGE_ID,
// CREATE_SESSION, SEQUENCE, RECLAIM_COMPLETE, DESTROY_SESSION,
// DESTROY_CLIENTID), written with libnfs's ZDR primitives, and a COMPOUND
// codec for minor versions 1 and 2 that hands the operations that are the
// same as in 4.0 (PUTROOTFH, PUTFH, LOOKUP, GETFH, GETATTR, READDIR) to
// libnfs's own zdr_nfs_argop4 / zdr_nfs_resop4. Their results therefore come
// out as the nfs_resop4 structs the NFSv4.0 code already reads; see
// Compound41Res::v40. The one exception is a READDIR's entry list, which is
// left in place (Compound41Res::v40dirs) and read entry by entry.
//
// Everything the server sends is checked before it is used: every length and
// count is bounded (the k* limits below), no read goes past the reply, and
// the results of the 4.0 operations are scanned with these bounds before
// libnfs decodes them (libnfs 4.0's own decoders trust lengths; see
// docs/NFSV41.md). Sending is in Nfs4Compound.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <type_traits>
#include <vector>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs4.h>

namespace nfsclient {
namespace v41 {

// Operation numbers beyond libnfs 4.0's nfs_opnum4.
enum : uint32_t {
    kOpExchangeId = 42,
    kOpCreateSession = 43,
    kOpDestroySession = 44,
    kOpSequence = 53,
    kOpDestroyClientId = 57,
    kOpReclaimComplete = 58,
    kOpIllegal = 10044,
    // The security negotiation (nfs4/Nfs4Security.cpp): SECINFO is 4.0's,
    // SECINFO_NO_NAME 4.1's.
    kOpSecinfo = 33,
    kOpSecinfoNoName = 52,
};
// secinfo_style4 of SECINFO_NO_NAME.
constexpr uint32_t kSecinfoStyleCurrentFh = 0;

// Statuses new in minor versions 1 and 2 (libnfs 4.0's nfsstat4 ends at 10048).
enum : int32_t {
    kErrBadSession = 10052,
    kErrBadSlot = 10053,
    kErrCompleteAlready = 10054,
    kErrConnNotBoundToSession = 10055,
    kErrSeqMisordered = 10063,
    kErrSequencePos = 10064,
    kErrReqTooBig = 10065,
    kErrRepTooBig = 10066,
    kErrRepTooBigToCache = 10067,
    kErrRetryUncachedRep = 10068,
    kErrTooManyOps = 10070,
    kErrOpNotInSession = 10071,
    kErrClientIdBusy = 10074,
    kErrSeqFalseRetry = 10076,
    kErrBadHighSlot = 10077,
    kErrDeadSession = 10078,
    kErrNotOnlyOp = 10081,
    kErrWrongCred = 10082,
};

// EXCHANGE_ID flags.
constexpr uint32_t kExchgIdSuppMovedRefer = 0x00000001;
constexpr uint32_t kExchgIdSuppMovedMigr = 0x00000002;
constexpr uint32_t kExchgIdBindPrincStateid = 0x00000100;
constexpr uint32_t kExchgIdUseNonPnfs = 0x00010000;
constexpr uint32_t kExchgIdUsePnfsMds = 0x00020000;
constexpr uint32_t kExchgIdUsePnfsDs = 0x00040000;
constexpr uint32_t kExchgIdUpdConfirmedRecA = 0x40000000;
constexpr uint32_t kExchgIdConfirmedR = 0x80000000;
// state_protect_how4.
constexpr uint32_t kStateProtectNone = 0;
// CREATE_SESSION flags.
constexpr uint32_t kCreateSessionPersist = 0x1;
constexpr uint32_t kCreateSessionConnBackChan = 0x2;
constexpr uint32_t kCreateSessionConnRdma = 0x4;
// SEQUENCE status flags (sr_status_flags), the first of them.
constexpr uint32_t kSeqStatusCbPathDown = 0x1;

constexpr size_t kSessionIdSize = 16;
constexpr size_t kVerifierSize = 8;

// Bounds. A COMPOUND carries at most kMaxOps operations, sent or received.
constexpr uint32_t kMaxOps = 64;
// Tag, server owner major id, server scope, implementation id texts, client
// owner id (NFS4_OPAQUE_LIMIT).
constexpr uint32_t kMaxOpaqueBytes = 1024;
constexpr uint32_t kMaxFileHandleBytes = 128;  // NFS4_FHSIZE
constexpr uint32_t kMaxBitmapWords = 8;
constexpr uint32_t kMaxAttrBytes = 64 * 1024;  // one object's attribute values
constexpr uint32_t kMaxNameBytes = 4096;       // a name sent in a LOOKUP
// A READDIR entry's name is decoded up to this length; the listing leaves
// out one longer than 4 KiB (and any other it cannot use) and goes on.
constexpr uint32_t kMaxDecodedNameBytes = 64 * 1024;
// Entries of one READDIR result: more than a 1 MiB page, the most the
// listing asks for, can hold (43,690 entries of the shortest names, with no
// attributes). They are read in place, one by one.
constexpr uint32_t kMaxDirEntries = 65536;
// Entries of one SECINFO result, and the bytes of each entry's mechanism OID.
constexpr uint32_t kMaxSecinfoEntries = 16;
constexpr uint32_t kMaxOidBytes = 64;

using SessionId = char[kSessionIdSize];

// Bytes of a reply: point into libnfs's receive buffer, valid during the
// reply callback only.
struct Bytes {
    const char* data;
    uint32_t length;
};

struct ChannelAttrs {
    uint32_t headerPadSize;
    uint32_t maxRequestSize;
    uint32_t maxResponseSize;
    uint32_t maxResponseSizeCached;
    uint32_t maxOperations;
    uint32_t maxRequests;   // slots
    uint32_t rdmaIrdCount;  // 0 or 1
    uint32_t rdmaIrd;
};

// What a browsing client asks for: `slots` fore-channel slots, requests and
// replies up to 1 MiB (libnfs 4.0 drops replies above 1 MiB + 4 KiB), up to
// kMaxOps operations per COMPOUND, nothing cached (sa_cachethis is false).
ChannelAttrs DefaultForeChannel(uint32_t slots);
// The smallest back channel ganesha accepts (one slot, two operations, 256
// bytes each way); callbacks are never asked for.
ChannelAttrs DefaultBackChannel();

struct ExchangeIdArgs {
    char verifier[kVerifierSize] = {};  // co_verifier
    std::string ownerId;                // co_ownerid, at most kMaxOpaqueBytes
    // Not a pNFS client; takes referrals (listed, reported, never followed).
    uint32_t flags = kExchgIdUseNonPnfs | kExchgIdSuppMovedRefer;
    // SP4_NONE and no implementation id are always sent.
};

struct CreateSessionArgs {
    uint64_t clientId = 0;
    uint32_t sequence = 0;  // eir_sequenceid of the EXCHANGE_ID reply
    uint32_t flags = 0;     // no persistence, no back channel on this connection
    ChannelAttrs fore = DefaultForeChannel(8);
    ChannelAttrs back = DefaultBackChannel();
    uint32_t callbackProgram = 0x40000000;  // NFS4_CALLBACK; unused without a back channel
    // Callback security: one AUTH_NONE entry, or none at all.
    bool authNoneCallback = true;
};

struct SequenceArgs {
    SessionId sessionId;
    uint32_t sequenceId;
    uint32_t slotId;
    uint32_t highestSlotId;
    bool cacheThis;
};

// A client owner for EXCHANGE_ID: the verifier is random and the same for
// the whole process (the only state kept between calls); the id is unique to
// this process and call (host name, process id, the verifier, 64 random bits
// of the call's own), so that calls running at the same time never share a
// client id and each may destroy its own. `prefix` starts the id (e.g. the
// product's short name).
ExchangeIdArgs NewClientOwner(const std::string& prefix);
void ProcessVerifier(char out[kVerifierSize]);

// One COMPOUND of minor version 1 or 2 being put together. The session
// operations' arguments are copied. The 4.0 operations reference their data
// as nfsclient::Compound does: handles and names must stay unchanged until
// the COMPOUND has been encoded (SendCompound41 encodes before it returns).
// Any minor version may be set, so that servers can be probed with 0 or 3.
class Compound41 {
public:
    explicit Compound41(uint32_t minorVersion = 1) : m_minorVersion(minorVersion) {}

    void SetTag(const std::string& tag) { m_tag = tag; }
    const std::string& Tag() const { return m_tag; }
    uint32_t MinorVersion() const { return m_minorVersion; }

    void ExchangeId(const ExchangeIdArgs& args);
    void CreateSession(const CreateSessionArgs& args);
    void Sequence(const SequenceArgs& args);
    void ReclaimComplete(bool oneFs = false);
    void DestroySession(const SessionId sessionId);
    void DestroyClientId(uint64_t clientId);
    // The security negotiation's operations (the name is copied).
    void Secinfo(const std::string& name);
    void SecinfoNoName(uint32_t style);

    // The operations that are the same as in 4.0, encoded by libnfs.
    void PutRootFh();
    void PutFh(const char* handle, uint32_t length);
    void Lookup(const char* name, uint32_t length);
    void GetFh();
    void GetAttr(const std::vector<uint32_t>& mask);
    void ReadDir(uint64_t cookie, const char verifier[NFS4_VERIFIER_SIZE], uint32_t dirCount,
                 uint32_t maxCount, const std::vector<uint32_t>& mask);
    // One 4.0 operation as nfs_argop4 (one of the six above), or all of a
    // 4.0 COMPOUND's (e.g. nfsclient::Compound::Args()), referenced as above.
    void Add40(const nfs_argop4& op);
    void Append40(const COMPOUND4args& args);

    size_t Size() const { return m_ops.size(); }
    uint32_t OpAt(size_t index) const { return m_ops[index].op; }

    // Most bytes Encode writes (header and operations); 0 when the COMPOUND
    // cannot be encoded (see Encode).
    size_t EncodedSizeBound() const;
    // Writes the COMPOUND4args (tag, minor version, operation count, each
    // operation) at the ZDR's position. Fails, with a reason, without writing
    // past the ZDR's end: on more than kMaxOps operations, a 4.0 operation
    // other than the six above, a text over its bound, or too little room
    // (less than EncodedSizeBound()).
    bool Encode(ZDR* zdr, std::string& why) const;
    // The same into a buffer of its own (tests, captures).
    bool Encode(std::vector<char>& out, std::string& why) const;

private:
    struct Op {
        uint32_t op = 0;
        ExchangeIdArgs exchangeId;
        CreateSessionArgs createSession;
        SequenceArgs sequence{};
        bool oneFs = false;
        SessionId sessionId{};
        uint64_t clientId = 0;
        std::string name;    // SECINFO
        uint32_t style = 0;  // SECINFO_NO_NAME
        nfs_argop4 v40{};
    };
    Op& Add(uint32_t op);
    Op& Add40Op(nfs_opnum4 op);

    uint32_t m_minorVersion;
    std::string m_tag;
    std::vector<Op> m_ops;
    std::list<std::vector<uint32_t>> m_masks;  // stable addresses for the bitmaps
};

// Results of the session operations (for status NFS4_OK; zero otherwise).
struct ExchangeIdRes {
    uint64_t clientId;
    uint32_t sequenceId;
    uint32_t flags;
    uint32_t stateProtect;  // always kStateProtectNone (others are refused)
    uint64_t serverMinorId;
    Bytes serverMajorId;
    Bytes serverScope;
    uint32_t implIdCount;  // 0 or 1
    Bytes implDomain;
    Bytes implName;
    int64_t implDateSeconds;
    uint32_t implDateNseconds;
};

struct CreateSessionRes {
    SessionId sessionId;
    uint32_t sequence;
    uint32_t flags;
    ChannelAttrs fore;
    ChannelAttrs back;
};

struct SequenceRes {
    SessionId sessionId;
    uint32_t sequenceId;
    uint32_t slotId;
    uint32_t highestSlotId;
    uint32_t targetHighestSlotId;
    uint32_t statusFlags;
};

// A SECINFO or SECINFO_NO_NAME result: the flavours in the server's order;
// for RPCSEC_GSS, whether the mechanism is Kerberos V5 and the service
// (1 none, 2 integrity, 3 privacy).
struct SecinfoEntry {
    uint32_t flavour;
    uint32_t service;
    bool kerberos;
};
struct SecinfoRes {
    uint32_t count;
    SecinfoEntry entries[kMaxSecinfoEntries];
};

// A READDIR result's entry list, in place: from the first value-follows
// marker through the one that ends the list. Every entry in it was checked
// against the bounds above when the reply was decoded.
struct DirList {
    Bytes entries;
    uint32_t count;       // entries in the list
    uint64_t lastCookie;  // the last entry's cookie (0 without entries)
};

struct Result41 {
    uint32_t op;     // the result's operation number
    int32_t status;  // its nfsstat4
    // Index into Compound41Res::v40ops for a 4.0 operation, else -1.
    int32_t v40Index;
    union {
        ExchangeIdRes exchangeId;
        CreateSessionRes createSession;
        SequenceRes sequence;
        SecinfoRes secinfo;  // SECINFO, SECINFO_NO_NAME
    } u;
};

// A decoded COMPOUND reply. Plain data: libnfs hands the decoder a zeroed
// buffer of sizeof(Compound41Res). Everything it points at (texts, handles,
// READDIR entries) lives in libnfs's receive buffers and is valid during the
// reply callback only: copy what you keep.
struct Compound41Res {
    int32_t status;
    Bytes tag;
    uint32_t count;  // results, at most kMaxOps
    Result41 results[kMaxOps];
    // The 4.0 operations' results, decoded by libnfs, in order. A
    // successful READDIR's holds its cookie verifier and eof but no entries
    // (reply.entries is null): they are in v40dirs.
    nfs_resop4 v40ops[kMaxOps];
    uint32_t v40count;
    // The entry list of each successful READDIR, at its index in v40ops;
    // empty for the other results. Read it with Nfs4Entries (Nfs4Reply.h):
    // no entry is allocated or copied.
    DirList v40dirs[kMaxOps];
    // The 4.0 operations' results as a 4.0 COMPOUND reply, for the 4.0 reply
    // handlers: status is the COMPOUND's, resarray holds only the 4.0
    // operations' results (for SEQUENCE + PUTROOTFH + GETATTR, index 0 is
    // PUTROOTFH). Handle a failed SEQUENCE before looking at it: then it
    // holds no results.
    COMPOUND4res v40;
    // The reply's COMPOUND4res bytes, as received (for captures and logs).
    Bytes raw;
    // Empty when the reply was well formed; else why it was not. Nothing
    // else in the struct may be used then.
    char malformed[192];
};
static_assert(std::is_trivially_copyable<Compound41Res>::value &&
                  std::is_standard_layout<Compound41Res>::value,
              "libnfs hands the decoder raw zeroed memory");

// Decodes a COMPOUND4res from the ZDR's position to its end (extra bytes
// after the last result are refused). Always fills `res` from scratch;
// false, with res.malformed set, when the reply breaks a bound, is cut short,
// carries an operation this client does not send, or its statuses disagree
// (a result other than the last failed, or the COMPOUND status is not the
// last result's). What libnfs allocates in the ZDR for the 4.0 results
// (zdr_malloc: handles, attribute values) lives until zdr_destroy (libnfs
// destroys its reply ZDR right after the reply callback).
bool DecodeCompound41(ZDR* zdr, Compound41Res& res);

// Checks a decoded reply against the operations sent: no more results than
// operations, each for the operation sent at its place (or OP_ILLEGAL as the
// last, with NFS4ERR_OP_ILLEGAL), all of them when the status is NFS4_OK.
// False, with res.malformed set, when not.
bool MatchReply(const uint32_t* sentOps, uint32_t sentCount, Compound41Res& res);

// Checks a successful SEQUENCE result against its arguments: the session,
// slot and sequence id sent. False, with a reason, when not. (The highest
// slot ids are the server's to lower at any time: clamp to them.)
bool CheckSequence(const SequenceArgs& sent, const SequenceRes& got, std::string& why);

// "EXCHANGE_ID" and the like for the operations new in minor versions 1 and
// 2; nullptr for others. (Status names, of every minor version, are
// ListingCore's Nfs4StatusName.)
const char* Nfs41OpName(uint32_t op);

}  // namespace v41
}  // namespace nfsclient
