// NFSv4.0 requests over libnfs's raw COMPOUND call: a COMPOUND builder and
// its sending. No client state (no SETCLIENTID): only PUTROOTFH, PUTFH,
// LOOKUP, GETFH, GETATTR and READDIR are used, which need none.
#pragma once

#include <list>     // std::list
#include <string>   // std::string
#include <vector>   // std::vector

#include "nfs_client/Connection.h"   // Connection
#include "nfs_client/Nfs4Reply.h"    // AttrMask, Nfs4Reply

namespace nfsclient {

constexpr int kNfs4Port = 2049;

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
    // The operations added so far, in order (what a reply is checked against).
    std::vector<nfs_opnum4> Ops() const;
    COMPOUND4args& Args();

private:
    nfs_argop4& Add(nfs_opnum4 op);
    std::vector<nfs_argop4> m_ops;
    std::list<AttrMask> m_masks;  // stable addresses for the bitmaps
    COMPOUND4args m_args{};
};

// Sends `compound` (minor version 0) on `connection`; `handler` gets the
// COMPOUND4res as its reply. `compound` may be destroyed once this returns.
void SendCompound(Connection& connection, Compound& compound, Connection::Handler handler, void* arg,
                  const std::string& step);

}  // namespace nfsclient
