// The choice of a call's security flavour among those an export takes (the
// MOUNT reply's list over NFSv3, SECINFO's over NFSv4), and its set-up on a
// connection. Texts name the flavours and say what to do.
#pragma once

#include <cstdint>  // uint32_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "nfs_client/PipeTypes.h"              // Flavour
#include "nfs_client/worker/rpc/Connection.h"  // Connection

namespace nfsclient {

struct Call;

// One flavour an export takes, in the server's order.
struct OfferedFlavour {
    Flavour flavour = Flavour::Auto;  // Auto: one this client does not speak
    std::string name;                 // for texts: "krb5p", "AUTH_SYS", "flavour 3"...
};

// A flavour number of MOUNT's auth_flavors (RPCSEC_GSS alone names no
// service: not one this client can take).
OfferedFlavour FromMountFlavour(uint32_t wire);
// A SECINFO entry: the flavour number and, for RPCSEC_GSS, whether its
// mechanism is Kerberos V5 and its service (1 none, 2 integrity, 3 privacy).
OfferedFlavour FromSecinfo(uint32_t wire, bool kerberos, uint32_t service);

// The flavour a call asking for `wanted` takes among `offered`: Auto takes
// the first this client speaks, any other the one asked for when the
// export takes it. An empty list takes what is asked for (AUTH_SYS for
// Auto). Flavour::Auto, with `refusal` worded (what the export takes, what
// to do), when none fits.
Flavour ChooseFlavour(Flavour wanted, const std::vector<OfferedFlavour>& offered,
                      std::string& refusal);

// Kerberos needs the file server's host name. False, with the call failed
// at `step` and the cause worded, when `flavour` is a Kerberos one and the
// caller gave the server as an address.
bool HaveServerName(Call& call, Flavour flavour, const std::string& step);

// Makes `flavour` the one the calls of `program` and `version` on
// `connection` carry: nothing for AUTH_SYS; for a Kerberos flavour a
// security context, which needs the file server's host name. False, with
// the connection (or, without the name, the call) failed and the cause
// worded, when it could not.
bool UseFlavour(Call& call, Connection& connection, int program, int version, Flavour flavour);

// The most bytes a directory page may ask for (dircount and maxcount),
// `wanted` being the protocol's own choice (or the most the server takes):
// at most 1 MiB from a near server, 4 MiB from a far one (`roundTripUs`,
// the least round trip seen on the connection, 0 when unknown, at least
// 2 ms), and at most 128 KiB from a near server when each reply is checked
// or unwrapped whole (`resultsProtected`, krb5i and krb5p), 1 MiB from a far
// one.
uint32_t ListingPageBytes(bool resultsProtected, uint32_t roundTripUs, uint32_t wanted);
// The same for the pages of a listing on `connection`, the protocol's own
// choice being `nearWanted` from a near server and `farWanted` from a far
// one.
uint32_t ListingPageBytes(const Connection& connection, uint32_t nearWanted, uint32_t farWanted);

// Ends the context UseFlavour made on `connection`, if any, waiting no
// longer than a short cap from now and `deadline`.
void EndFlavour(const Call& call, Connection& connection, Connection::Clock::time_point deadline);

}  // namespace nfsclient
