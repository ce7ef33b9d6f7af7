// The security flavour of an NFSv4 call: an explicit Kerberos flavour from
// the start; otherwise AUTH_SYS until the walk meets NFS4ERR_WRONGSEC, then
// what SECINFO (4.0) or SECINFO_NO_NAME (4.1) names for the refusing
// component, and the walk again.
#pragma once

#include <cstddef>  // size_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "nfs_client/worker/rpc/Connection.h"  // Connection

namespace nfsclient {

struct Call;
class Nfs4Channel;

// Sets up an explicit Kerberos flavour on the channel's connection, before
// anything else is sent on it; nothing for the others. False, with the
// failure on the call or the connection, when it could not.
bool Nfs4StartSecurity(Call& call, Nfs4Channel& channel);

// The walk's hook: NFS4ERR_WRONGSEC came for the first `depth` components
// of the path (the last of them the one refused). True when the flavour
// will be negotiated (the walk then stops without failing); false when it
// was negotiated already, or the root itself refuses (the walk then fails
// as with any status).
bool NoteWrongSecurity(Call& call, size_t depth);

// After NoteWrongSecurity: asks the server which flavours the refusing
// component takes, chooses one (CallSecurity.h) and sets it up. True when
// the walk may start again; false with the failure worded on the call or
// the connection.
bool Nfs4Renegotiate(Call& call, Nfs4Channel& channel, const std::vector<std::string>& components);

// Ends the call's security context, if any, by `deadline`.
void Nfs4EndSecurity(const Call& call, Connection& connection,
                     Connection::Clock::time_point deadline);

}  // namespace nfsclient
