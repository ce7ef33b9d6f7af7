#include "nfs_client/Nfs4.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include "nfs_client/RpcSession.h"

// Exported by libnfs 4.0 but declared only in its private header.
extern "C" void rpc_set_timeout(struct rpc_context* rpc, int timeoutMs);

namespace nfsclient {
namespace {

constexpr int kPollSliceMs = 100;

class Reader {
public:
    Reader(const char* data, size_t size) : m_data(data), m_size(size) {}
    bool U32(uint32_t& value) {
        if (m_size - m_at < 4) return false;
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
    bool Opaque(const char*& data, uint32_t& length) {
        if (!U32(length) || length > m_size - m_at) return false;
        data = m_data + m_at;
        const size_t padded = (static_cast<size_t>(length) + 3) & ~size_t{3};
        if (padded > m_size - m_at) return false;
        m_at += padded;
        return true;
    }
    bool AtEnd() const { return m_at == m_size; }

private:
    const char* m_data;
    size_t m_size;
    size_t m_at = 0;
};

}  // namespace

bool DecodeAttributes(const fattr4& attrs, const AttrMask& asked, Attributes& out, std::string& why) {
    out = Attributes();
    const bitmap4& mask = attrs.attrmask;
    for (u_int w = 2; w < mask.bitmap4_len; ++w) {
        if (mask.bitmap4_val[w] != 0) {
            why = "the server sent attributes that were not asked for";
            return false;
        }
    }
    Reader in(attrs.attr_vals.attrlist4_val, attrs.attr_vals.attrlist4_len);
    for (uint32_t bit = 0; bit < 64; ++bit) {
        const uint32_t word = bit / 32;
        if (word >= mask.bitmap4_len || ((mask.bitmap4_val[word] >> (bit % 32)) & 1u) == 0) continue;
        if (((asked.word[word] >> (bit % 32)) & 1u) == 0) {
            why = "the server sent attribute " + std::to_string(bit) + ", which was not asked for";
            return false;
        }
        bool ok = true;
        uint32_t ignored = 0;
        switch (bit) {
        case kAttrType: ok = in.U32(out.type); break;
        case kAttrSize: ok = in.U64(out.size); break;
        case kAttrFsid: ok = in.U64(out.fsid.major) && in.U64(out.fsid.minor); break;
        case kAttrRdattrError: ok = in.U32(out.rdattrError); break;
        case kAttrFilehandle: ok = in.Opaque(out.handle, out.handleLength); break;
        case kAttrFileid: ok = in.U64(out.fileid); break;
        case kAttrMode: ok = in.U32(out.mode); break;
        case kAttrTimeModify: {
            uint64_t seconds = 0;
            ok = in.U64(seconds) && in.U32(ignored);
            out.mtime = static_cast<int64_t>(seconds);
            break;
        }
        case kAttrMountedOnFileid: ok = in.U64(out.mountedOnFileid); break;
        default:
            why = "attribute " + std::to_string(bit) + " cannot be decoded";
            return false;
        }
        if (!ok) {
            why = "the attributes sent are shorter than their mask says";
            return false;
        }
        out.has.word[word] |= 1u << (bit % 32);
    }
    if (!in.AtEnd()) {
        why = "the attributes sent are longer than their mask says";
        return false;
    }
    return true;
}

std::string Nfs4StatusName(int status) {
    switch (status) {
    case NFS4_OK: return "NFS4_OK";
    case NFS4ERR_PERM: return "NFS4ERR_PERM";
    case NFS4ERR_NOENT: return "NFS4ERR_NOENT";
    case NFS4ERR_IO: return "NFS4ERR_IO";
    case NFS4ERR_ACCESS: return "NFS4ERR_ACCESS";
    case NFS4ERR_NOTDIR: return "NFS4ERR_NOTDIR";
    case NFS4ERR_INVAL: return "NFS4ERR_INVAL";
    case NFS4ERR_NAMETOOLONG: return "NFS4ERR_NAMETOOLONG";
    case NFS4ERR_STALE: return "NFS4ERR_STALE";
    case NFS4ERR_BADHANDLE: return "NFS4ERR_BADHANDLE";
    case NFS4ERR_BAD_COOKIE: return "NFS4ERR_BAD_COOKIE";
    case NFS4ERR_NOTSUPP: return "NFS4ERR_NOTSUPP";
    case NFS4ERR_TOOSMALL: return "NFS4ERR_TOOSMALL";
    case NFS4ERR_SERVERFAULT: return "NFS4ERR_SERVERFAULT";
    case NFS4ERR_DELAY: return "NFS4ERR_DELAY";
    case NFS4ERR_FHEXPIRED: return "NFS4ERR_FHEXPIRED";
    case NFS4ERR_WRONGSEC: return "NFS4ERR_WRONGSEC";
    case NFS4ERR_RESOURCE: return "NFS4ERR_RESOURCE";
    case NFS4ERR_MOVED: return "NFS4ERR_MOVED";
    case NFS4ERR_NOFILEHANDLE: return "NFS4ERR_NOFILEHANDLE";
    case NFS4ERR_MINOR_VERS_MISMATCH: return "NFS4ERR_MINOR_VERS_MISMATCH";
    case NFS4ERR_NOT_SAME: return "NFS4ERR_NOT_SAME";
    case NFS4ERR_SYMLINK: return "NFS4ERR_SYMLINK";
    case NFS4ERR_ATTRNOTSUPP: return "NFS4ERR_ATTRNOTSUPP";
    case NFS4ERR_BADZDR: return "NFS4ERR_BADXDR";
    case NFS4ERR_BADCHAR: return "NFS4ERR_BADCHAR";
    case NFS4ERR_BADNAME: return "NFS4ERR_BADNAME";
    case NFS4ERR_OP_ILLEGAL: return "NFS4ERR_OP_ILLEGAL";
    default: return "NFSv4 status " + std::to_string(status);
    }
}

nfs_argop4& Compound::Add(nfs_opnum4 op) {
    m_ops.emplace_back();
    nfs_argop4& added = m_ops.back();
    memset(&added, 0, sizeof added);
    added.argop = op;
    return added;
}

void Compound::PutRootFh() {
    Add(OP_PUTROOTFH);
}

void Compound::PutFh(std::vector<char>& handle) {
    PUTFH4args& args = Add(OP_PUTFH).nfs_argop4_u.opputfh;
    args.object.nfs_fh4_len = static_cast<u_int>(handle.size());
    args.object.nfs_fh4_val = handle.data();
}

void Compound::Lookup(std::string& name) {
    LOOKUP4args& args = Add(OP_LOOKUP).nfs_argop4_u.oplookup;
    args.objname.utf8string_len = static_cast<u_int>(name.size());
    args.objname.utf8string_val = &name[0];
}

void Compound::GetFh() {
    Add(OP_GETFH);
}

void Compound::GetAttr(const AttrMask& mask) {
    m_masks.push_back(mask);
    GETATTR4args& args = Add(OP_GETATTR).nfs_argop4_u.opgetattr;
    args.attr_request.bitmap4_len = 2;
    args.attr_request.bitmap4_val = m_masks.back().word;
}

void Compound::ReadDir(uint64_t cookie, const char* verifier, uint32_t maxBytes, const AttrMask& mask) {
    m_masks.push_back(mask);
    READDIR4args& args = Add(OP_READDIR).nfs_argop4_u.opreaddir;
    args.cookie = cookie;
    memcpy(args.cookieverf, verifier, NFS4_VERIFIER_SIZE);
    args.dircount = maxBytes;
    args.maxcount = maxBytes;
    args.attr_request.bitmap4_len = 2;
    args.attr_request.bitmap4_val = m_masks.back().word;
}

COMPOUND4args& Compound::Args() {
    memset(&m_args, 0, sizeof m_args);
    m_args.minorversion = 0;
    m_args.argarray.argarray_len = static_cast<u_int>(m_ops.size());
    m_args.argarray.argarray_val = m_ops.data();
    return m_args;
}

nfs_resop4 ResultOp(const COMPOUND4res& res, unsigned index) {
    nfs_resop4 op;
    memcpy(&op, reinterpret_cast<const char*>(res.resarray.resarray_val) + sizeof op * index, sizeof op);
    return op;
}

entry4 LoadEntry(const entry4* at) {
    entry4 entry;
    memcpy(&entry, at, sizeof entry);
    return entry;
}

int OperationStatus(const COMPOUND4res& res, unsigned index) {
    if (index >= res.resarray.resarray_len) return -1;
    const nfs_resop4 op = ResultOp(res, index);
    // Every result starts with its nfsstat4; read it through the matching member.
    switch (op.resop) {
    case OP_PUTROOTFH: return op.nfs_resop4_u.opputrootfh.status;
    case OP_PUTFH: return op.nfs_resop4_u.opputfh.status;
    case OP_LOOKUP: return op.nfs_resop4_u.oplookup.status;
    case OP_GETFH: return op.nfs_resop4_u.opgetfh.status;
    case OP_GETATTR: return op.nfs_resop4_u.opgetattr.status;
    case OP_READDIR: return op.nfs_resop4_u.opreaddir.status;
    default: return op.nfs_resop4_u.opillegal.status;
    }
}

Nfs4Session::Nfs4Session(const char* address, unsigned int timeoutMs)
    : m_address(address), m_timeoutMs(timeoutMs) {
    m_rpc = rpc_init_context();
    if (m_rpc == nullptr) {
        Fail("setup", "could not create an RPC context (out of memory?)");
        return;
    }
    rpc_set_timeout(m_rpc, static_cast<int>(timeoutMs));
}

Nfs4Session::~Nfs4Session() {
    m_closing = true;  // the cancel callbacks of the destroy below change nothing
    if (m_rpc != nullptr) rpc_destroy_context(m_rpc);
}

void Nfs4Session::Fail(const std::string& step, const char* causeFormat, ...) {
    if (!m_error.empty()) return;
    char cause[512];
    va_list args;
    va_start(args, causeFormat);
    vsnprintf(cause, sizeof cause, causeFormat, args);
    va_end(args);
    // Steps name paths, which may be longer than the whole error text: the
    // cause must still fit.
    constexpr size_t kStepLimit = 420;
    const std::string shortStep = step.size() <= kStepLimit ? step : step.substr(0, kStepLimit) + "...";
    m_error = "NFS server " + std::string(m_address) + ", " + shortStep + ": " + cause;
}

Nfs4Session::Request& Nfs4Session::NewRequest(Handler handler, void* arg, const std::string& step,
                                              bool connect) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    if (m_hasLimit && m_limit < deadline) deadline = m_limit;
    m_requests.push_back(Request{this, handler, arg, step, deadline, connect, false});
    ++m_inFlight;
    return m_requests.back();
}

void Nfs4Session::Connect() {
    if (!Ok()) return;
    char step[64];
    snprintf(step, sizeof step, "NFSv4 service (port %d)", kNfs4Port);
    Request& request = NewRequest(nullptr, nullptr, step, true);
    m_connecting = true;
    if (rpc_connect_port_async(m_rpc, m_address, kNfs4Port, NFS4_PROGRAM, NFS_V4, &OnReply, &request) != 0) {
        m_connecting = false;
        request.done = true;
        --m_inFlight;
        Fail(step, "could not connect: %s", rpc_get_error(m_rpc));
    }
}

void Nfs4Session::Send(Compound& compound, Handler handler, void* arg, const std::string& step) {
    if (!Ok()) return;
    Request& request = NewRequest(handler, arg, step, false);
    if (rpc_nfs4_compound_async(m_rpc, &OnReply, &compound.Args(), &request) != 0) {
        request.done = true;
        --m_inFlight;
        Fail(step, "could not send the request: %s", rpc_get_error(m_rpc));
    }
}

void Nfs4Session::OnReply(rpc_context*, int status, void* data, void* privateData) {
    auto* request = static_cast<Request*>(privateData);
    request->session->Conclude(*request, status, data);
}

void Nfs4Session::Conclude(Request& request, int status, void* data) {
    if (request.done) return;
    request.done = true;
    --m_inFlight;
    if (request.connect) {
        m_connecting = false;
        m_connected = status == RPC_STATUS_SUCCESS;
    }
    if (m_closing || !Ok()) return;
    switch (status) {
    case RPC_STATUS_SUCCESS:
        if (request.handler == nullptr) return;
        try {
            request.handler(*this, *static_cast<const COMPOUND4res*>(data), request.arg);
        } catch (const std::exception& e) {
            Fail(request.step, "internal error: %s", e.what());
        } catch (...) {
            Fail(request.step, "internal error: unknown exception");
        }
        return;
    case RPC_STATUS_TIMEOUT: Fail(request.step, "%s", TimeoutText(m_timeoutMs).c_str()); return;
    case RPC_STATUS_CANCEL: Fail(request.step, "request cancelled"); return;
    default:
        Fail(request.step, "%s",
             FailureCause(static_cast<const char*>(data), m_socketError).c_str());
        return;
    }
}

int Nfs4Session::Fd() const {
    return m_rpc != nullptr ? rpc_get_fd(m_rpc) : -1;
}

short Nfs4Session::Events() const {
    return m_rpc != nullptr ? static_cast<short>(rpc_which_events(m_rpc)) : 0;
}

void Nfs4Session::Prune() {
    for (auto it = m_requests.begin(); it != m_requests.end();)
        it = it->done ? m_requests.erase(it) : std::next(it);
}

void Nfs4Session::Service(short revents) {
    if (m_rpc == nullptr) return;
    const int fd = rpc_get_fd(m_rpc);
    if ((revents & (POLLERR | POLLHUP)) != 0 && fd >= 0) {
        // libnfs reports only "POLLHUP"; the socket knows the real cause.
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) m_socketError = error;
    }
    if (rpc_service(m_rpc, revents) < 0 && Ok() && m_inFlight > 0) {
        for (const Request& r : m_requests) {
            if (r.done) continue;
            Fail(r.step, "%s", FailureCause(rpc_get_error(m_rpc), m_socketError).c_str());
            break;
        }
    }
    const Clock::time_point now = Clock::now();
    for (const Request& r : m_requests) {
        if (!r.done && now >= r.deadline) {
            Fail(r.step, "%s", TimeoutText(m_timeoutMs).c_str());
            break;
        }
    }
    if (m_requests.size() > 64) Prune();
}

void Nfs4Session::PollOnce() {
    Clock::time_point next = Clock::now() + std::chrono::milliseconds(kPollSliceMs);
    for (const Request& r : m_requests)
        if (!r.done && r.deadline < next) next = r.deadline;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
    pollfd pfd{Fd(), Events(), 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left < 0 ? 0 : left));
    if (ready < 0 && errno != EINTR) {
        Fail("poll", "%s", strerror(errno));
        return;
    }
    Service(ready > 0 ? pfd.revents : 0);
}

bool Nfs4Session::Drain() {
    while (Ok() && m_inFlight > 0) PollOnce();
    Prune();
    return Ok();
}

}  // namespace nfsclient
