// NFSv4.0 over libnfs's raw COMPOUND call: a connection with several
// requests in flight, a COMPOUND builder and the attribute decoder. No client
// state (no SETCLIENTID): only PUTROOTFH, PUTFH, LOOKUP, GETFH, GETATTR and
// READDIR are used, which need none.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs4.h>

namespace nfsclient {

constexpr int kNfs4Port = 2049;

// Attribute numbers (RFC 7530) and their bit in the two request words.
enum : uint32_t {
    kAttrType = 1,
    kAttrSize = 4,
    kAttrFsid = 8,
    kAttrRdattrError = 11,
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
    bool Has(uint32_t attribute) const { return (has.word[attribute / 32] >> (attribute % 32)) & 1u; }
};

// Decodes `attrs` in bit order. Fails (with a reason in `why`) on a bit that
// was not asked for in `asked`, on an attribute it cannot decode, and on
// truncated or surplus data.
bool DecodeAttributes(const fattr4& attrs, const AttrMask& asked, Attributes& out, std::string& why);

// "NFS4ERR_NOENT" and the like; the number for statuses without a name here.
std::string Nfs4StatusName(int status);

// One COMPOUND request being put together. Names and handles passed in are
// referenced, not copied: they must stay unchanged until the request is sent.
class Compound {
public:
    void PutRootFh();
    void PutFh(std::vector<char>& handle);
    void Lookup(std::string& name);
    void GetFh();
    void GetAttr(const AttrMask& mask);
    void ReadDir(uint64_t cookie, const char* verifier, uint32_t maxBytes, const AttrMask& mask);
    size_t Size() const { return m_ops.size(); }
    COMPOUND4args& Args();

private:
    nfs_argop4& Add(nfs_opnum4 op);
    std::vector<nfs_argop4> m_ops;
    std::list<AttrMask> m_masks;  // stable addresses for the bitmaps
    COMPOUND4args m_args{};
};

// Status of operation `index` of a reply (the first field of every result).
int OperationStatus(const COMPOUND4res& res, unsigned index);

// libnfs 4.0 decodes result arrays and list nodes at 4-byte alignment, so
// they are read by copy (the copies' pointers still point into the reply).
// `index` must be below resarray_len.
nfs_resop4 ResultOp(const COMPOUND4res& res, unsigned index);
entry4 LoadEntry(const entry4* at);

// One TCP connection to the NFSv4 service (port 2049) of a server, driven by
// the calling thread, with any number of COMPOUNDs in flight. Each request
// has its own deadline (the timeout setting from when it was sent, never
// later than an overall limit set with LimitTotal). The first failure wins
// and the session stays failed; replies arriving after it are dropped.
// Error texts read "NFS server <address>, <step>: <cause>", as on the v3 road.
class Nfs4Session {
public:
    using Clock = std::chrono::steady_clock;
    // Called with a reply whose RPC succeeded (the COMPOUND status may be
    // anything). Exceptions are caught at the libnfs boundary.
    using Handler = void (*)(Nfs4Session& session, const COMPOUND4res& reply, void* arg);

    Nfs4Session(const char* address, unsigned int timeoutMs);
    ~Nfs4Session();
    Nfs4Session(const Nfs4Session&) = delete;
    Nfs4Session& operator=(const Nfs4Session&) = delete;

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    const char* Address() const { return m_address; }
    unsigned int TimeoutMs() const { return m_timeoutMs; }
    void LimitTotal(Clock::time_point limit) { m_hasLimit = true; m_limit = limit; }

    // Starts the TCP connect and the NULL call (no portmapper).
    void Connect();
    bool Connecting() const { return m_connecting; }
    bool Connected() const { return m_connected; }
    // Sends a COMPOUND (minor version 0); `step` names it in error texts.
    void Send(Compound& compound, Handler handler, void* arg, const std::string& step);
    size_t InFlight() const { return m_inFlight; }

    // Fails the session at `step` with a cause (printf format); the first failure wins.
    void Fail(const std::string& step, const char* causeFormat, ...) __attribute__((format(printf, 3, 4)));

    // For polling together with another context.
    int Fd() const;
    short Events() const;
    // Hands poll's events to libnfs, then checks the deadlines.
    void Service(short revents);
    // One poll of at most 100 ms (less when a deadline comes sooner), then Service.
    void PollOnce();
    // Polls until nothing is in flight or the session failed.
    bool Drain();

private:
    struct Request {
        Nfs4Session* session;
        Handler handler;
        void* arg;
        std::string step;
        Clock::time_point deadline;
        bool connect;
        bool done;
    };
    static void OnReply(rpc_context* rpc, int status, void* data, void* privateData);
    void Conclude(Request& request, int status, void* data);
    Request& NewRequest(Handler handler, void* arg, const std::string& step, bool connect);
    void Prune();

    rpc_context* m_rpc = nullptr;
    const char* m_address;
    unsigned int m_timeoutMs;
    bool m_hasLimit = false;
    Clock::time_point m_limit;
    std::list<Request> m_requests;  // outlive rpc_destroy_context's cancel callbacks
    size_t m_inFlight = 0;
    bool m_connecting = false;
    bool m_connected = false;
    bool m_closing = false;
    int m_socketError = 0;
    std::string m_error;
};

}  // namespace nfsclient
