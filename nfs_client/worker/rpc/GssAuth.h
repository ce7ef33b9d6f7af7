// RPCSEC_GSS version 1 (RFC 2203) with Kerberos V5 through GSSAPI: the
// CallAuth variant of the three Kerberos flavours (krb5, krb5i, krb5p) and
// the set-up and end of its security context on one connection.
#pragma once

#include <cstdint>     // uint32_t
#include <functional>  // std::function
#include <memory>      // std::unique_ptr
#include <string>      // std::string

#include "nfs_client/PipeTypes.h"                // Flavour, Security
#include "nfs_client/worker/rpc/Connection.h"    // Connection
#include "nfs_client/worker/rpc/GssMechanism.h"  // GssMechanism

namespace nfsclient {

// Flavour numbers as MOUNT's auth_flavors and NFSv4's SECINFO carry them
// (RFC 2623: the Kerberos pseudo-flavours; SECINFO names RPCSEC_GSS with an
// OID and a service instead).
constexpr uint32_t kWireAuthSys = 1;
constexpr uint32_t kWireRpcsecGss = 6;
constexpr uint32_t kWireKrb5 = 390003;
constexpr uint32_t kWireKrb5i = 390004;
constexpr uint32_t kWireKrb5p = 390005;

// "krb5p", "AUTH_SYS"... for texts; "auto" for Flavour::Auto.
const char* FlavourName(Flavour flavour);
// True for the three Kerberos flavours.
inline bool IsKerberos(Flavour flavour) {
    return flavour == Flavour::Krb5 || flavour == Flavour::Krb5i || flavour == Flavour::Krb5p;
}

// Establishes a security context of `flavour` (a Kerberos one) with the
// service nfs@security.serverName for the calls of `program` and `version`
// on `connection`: RPCSEC_GSS_INIT and CONTINUE_INIT as NULL calls on that
// connection, each bounded as any of its requests. From then on every call
// the connection sends carries the context's credential (sealed header,
// arguments with a checksum or wrapped, every reply's verifier checked and
// its result unwrapped), and a context the server drops is made anew once.
// False, with the connection failed and its error the worded cause ("no
// Kerberos ticket for this user; run kinit, or give a keytab", "the KDC has
// no principal nfs/HOST", ...), when no context could be made.
// `notice` takes what the host's log should hear of the context's life (a
// context the server dropped, made anew); it may be empty.
using GssNotice = std::function<void(const std::string&)>;
bool EstablishGss(Connection& connection, int program, int version, Flavour flavour,
                  const Security& security, const GssNotice& notice = {});

// The same with `mechanism` for the service nfs@`host` instead of Kerberos V5
// with `security`'s credentials (the tests' scripted mechanism).
bool EstablishGss(Connection& connection, int program, int version, Flavour flavour,
                  const std::string& host, std::unique_ptr<GssMechanism> mechanism,
                  const GssNotice& notice = {});

// Ends the connection's context, if it has one (RPCSEC_GSS_DESTROY): sent,
// also after a failure, and written by `deadline`, its reply not waited
// for; nothing else is sent on the connection after it.
void DestroyGss(Connection& connection, Connection::Clock::time_point deadline);

}  // namespace nfsclient
