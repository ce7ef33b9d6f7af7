#include "nfs_client/Nfs4.h"

#include <cstring>   // memcpy, memset

namespace nfsclient {

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

std::vector<nfs_opnum4> Compound::Ops() const {
    std::vector<nfs_opnum4> ops;
    ops.reserve(m_ops.size());
    for (const nfs_argop4& op : m_ops) ops.push_back(op.argop);
    return ops;
}

void SendCompound(Connection& connection, Compound& compound, Connection::Handler handler, void* arg,
                  const std::string& step) {
    connection.Send(step, handler, arg, [&](Connection::Callback cb, void* data) {
        return rpc_nfs4_compound_async(connection.Context(), cb, &compound.Args(), data);
    });
}

}  // namespace nfsclient
