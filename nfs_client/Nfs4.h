// NFSv4 requests of every minor version over one send path: a COMPOUND
// builder for the operations that are the same in 4.0 and 4.1 (PUTROOTFH,
// PUTFH, LOOKUP, GETFH, GETATTR, READDIR; none needs client state), and the
// NFSv4 service of one call (Nfs4Channel), which sends them with our own XDR
// (Nfs41Xdr.h, Nfs41Rpc.h) through libnfs's transport. libnfs's own COMPOUND
// reply decoder is never used: it trusts the server's result count.
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // uint32_t, uint64_t
#include <list>     // std::list
#include <string>   // std::string
#include <vector>   // std::vector

#include "nfs_client/Connection.h"   // Connection
#include "nfs_client/Nfs41Xdr.h"     // v41::Compound41, v41::Compound41Res
#include "nfs_client/Nfs4Reply.h"    // AttrMask, Nfs4Reply

namespace nfsclient {

struct Call;

constexpr int kNfs4Port = 2049;

// One COMPOUND of 4.0 operations being put together. Names and handles are
// copied in, so a compound may be kept (queued, sent again) after the data
// it was built from has gone. Movable, not copyable (its operations point
// into its own storage).
class Compound {
public:
    Compound() = default;
    Compound(Compound&&) = default;
    Compound& operator=(Compound&&) = default;
    Compound(const Compound&) = delete;
    Compound& operator=(const Compound&) = delete;

    void PutRootFh();
    void PutFh(const std::vector<char>& handle);
    void Lookup(const std::string& name);
    void GetFh();
    void GetAttr(const AttrMask& mask);
    void ReadDir(uint64_t cookie, const char* verifier, uint32_t maxBytes, const AttrMask& mask);
    size_t Size() const { return m_ops.size(); }
    // The operations added so far, in order (what a reply is checked against).
    std::vector<nfs_opnum4> Ops() const;
    // Appends the operations to `to`, by reference: this compound must
    // outlive the encoding of `to`.
    void AppendTo(v41::Compound41& to) const;

private:
    nfs_argop4& Add(nfs_opnum4 op);
    const char* Keep(const char* data, size_t length);
    std::vector<nfs_argop4> m_ops;
    std::list<AttrMask> m_masks;    // stable addresses for the bitmaps
    std::list<std::string> m_data;  // copies of names and handles
};

// Sends `compound` (any minor version) on `connection`, a connection to
// port 2049. `handler` gets the decoded v41::Compound41Res as its reply: well
// formed and matching the operations sent (any NFSv4 status). `compound`
// and what it references may go once this returns.
void SendNfs4(Connection& connection, const v41::Compound41& compound, Connection::Handler handler, void* arg,
              const std::string& step);

// False, with the reason on `connection`, when this libnfs cannot carry our
// COMPOUNDs (its private request layout is not the one checked for).
bool CheckNfs4Sender(Connection& connection);

// The NFSv4 service of one call, over one connection to port 2049. Sends
// COMPOUNDs of minor version 0. Handlers get the reply as a COMPOUND4res
// (libnfs's 4.0 structures, decoded after our bounded scan), so that they
// read it through Nfs4Reply alike for every minor version.
class Nfs4Channel {
public:
    Nfs4Channel(Call& call, Connection& connection);
    ~Nfs4Channel();
    Nfs4Channel(const Nfs4Channel&) = delete;
    Nfs4Channel& operator=(const Nfs4Channel&) = delete;

    Call& TheCall() { return m_call; }
    Connection& Link() { return m_link; }
    bool Ok() const { return m_link.Ok(); }
    // No request may wait beyond `limit` (see Connection::Limit).
    void Limit(Connection::Clock::time_point limit) { m_link.Limit(limit); }

    // Sends `compound`; `handler` gets a `const COMPOUND4res*` as its reply.
    // Nothing is sent once the connection has failed.
    void Send(Compound&& compound, Connection::Handler handler, void* arg, const std::string& step);
    // COMPOUNDs sent and not yet answered.
    size_t Pending() const;
    // Waits once for replies (at most 100 ms) and handles them.
    void PollOnce();
    // Waits until nothing is pending or the connection has failed.
    bool Drain();

    // How COMPOUNDs must be shaped: at most this many LOOKUPs besides a
    // PUTFH, GETFH, GETATTR and READDIR; READDIR replies of at most this
    // many bytes when `wanted` are asked for.
    size_t MaxLookups() const;
    uint32_t PageBytes(uint32_t wanted) const;

private:
    struct Sent;
    static void OnReply(Connection& connection, void* reply, void* arg);
    void Transmit(Sent& sent);

    Call& m_call;
    Connection& m_link;
    uint32_t m_minor = 0;
    std::list<Sent> m_sent;  // stable addresses: requests in flight point at them
};

}  // namespace nfsclient
