#include "nfs_client/Nfs4.h"

#include <cstring>   // memcpy, memset

#include "nfs_client/Nfs41Rpc.h"   // v41::SendCompound41, v41::Nfs41Usable
#include "nfs_client/Protocol.h"   // Call

namespace nfsclient {
namespace {

// Most operations in one COMPOUND, as the codec allows.
constexpr size_t kMaxCompoundOps = v41::kMaxOps;

}  // namespace

nfs_argop4& Compound::Add(nfs_opnum4 op) {
    m_ops.emplace_back();
    nfs_argop4& added = m_ops.back();
    memset(&added, 0, sizeof added);
    added.argop = op;
    return added;
}

const char* Compound::Keep(const char* data, size_t length) {
    m_data.emplace_back(data, length);
    return m_data.back().data();
}

void Compound::PutRootFh() {
    Add(OP_PUTROOTFH);
}

void Compound::PutFh(const std::vector<char>& handle) {
    const char* kept = Keep(handle.data(), handle.size());
    PUTFH4args& args = Add(OP_PUTFH).nfs_argop4_u.opputfh;
    args.object.nfs_fh4_len = static_cast<u_int>(handle.size());
    args.object.nfs_fh4_val = const_cast<char*>(kept);
}

void Compound::Lookup(const std::string& name) {
    const char* kept = Keep(name.data(), name.size());
    LOOKUP4args& args = Add(OP_LOOKUP).nfs_argop4_u.oplookup;
    args.objname.utf8string_len = static_cast<u_int>(name.size());
    args.objname.utf8string_val = const_cast<char*>(kept);
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

std::vector<nfs_opnum4> Compound::Ops() const {
    std::vector<nfs_opnum4> ops;
    ops.reserve(m_ops.size());
    for (const nfs_argop4& op : m_ops) ops.push_back(op.argop);
    return ops;
}

void Compound::AppendTo(v41::Compound41& to) const {
    for (const nfs_argop4& op : m_ops) to.Add40(op);
}

void SendNfs4(Connection& connection, const v41::Compound41& compound, Connection::Handler handler, void* arg,
              const std::string& step) {
    connection.Send(step, handler, arg, [&](Connection::Callback cb, void* data) {
        return v41::SendCompound41(connection.Context(), compound, cb, data);
    });
}

bool CheckNfs4Sender(Connection& connection) {
    if (!connection.Ok()) return false;
    std::string why;
    if (v41::Nfs41Usable(connection.Context(), why)) return true;
    connection.Fail("NFSv4 service (port 2049)", "%s", why.c_str());
    return false;
}

// ---------------------------------------------------------------------------
// Nfs4Channel

struct Nfs4Channel::Sent {
    Nfs4Channel* channel;
    Compound compound;
    Connection::Handler handler;
    void* arg;
    std::string step;
    std::list<Sent>::iterator self;
};

Nfs4Channel::Nfs4Channel(Call& call, Connection& connection) : m_call(call), m_link(connection) {}

Nfs4Channel::~Nfs4Channel() = default;

void Nfs4Channel::Send(Compound&& compound, Connection::Handler handler, void* arg, const std::string& step) {
    if (!Ok()) return;
    m_sent.push_back(Sent{this, std::move(compound), handler, arg, step, {}});
    m_sent.back().self = std::prev(m_sent.end());
    Transmit(m_sent.back());
}

void Nfs4Channel::Transmit(Sent& sent) {
    v41::Compound41 compound(m_minor);
    sent.compound.AppendTo(compound);
    SendNfs4(m_link, compound, &OnReply, &sent, sent.step);
}

// The reply of a COMPOUND sent on the channel: handed to its handler as the
// 4.0 view of the results.
void Nfs4Channel::OnReply(Connection& connection, void* reply, void* arg) {
    Sent& sent = *static_cast<Sent*>(arg);
    Nfs4Channel& channel = *sent.channel;
    auto& res = *static_cast<v41::Compound41Res*>(reply);
    const Connection::Handler handler = sent.handler;
    void* const handlerArg = sent.arg;
    channel.m_sent.erase(sent.self);
    handler(connection, &res.v40, handlerArg);
}

size_t Nfs4Channel::Pending() const {
    return m_link.InFlight();
}

void Nfs4Channel::PollOnce() {
    Connection* polled = &m_link;
    Connection::PollOnce(&polled, 1);
}

bool Nfs4Channel::Drain() {
    while (Ok() && Pending() > 0) PollOnce();
    return Ok();
}

size_t Nfs4Channel::MaxLookups() const {
    return kMaxCompoundOps - 4;
}

uint32_t Nfs4Channel::PageBytes(uint32_t wanted) const {
    return wanted;
}

}  // namespace nfsclient
