// Stands in for the RPCSEC_GSS core (GssAuth.cpp) until it is part of the
// build: the flavour names are real, a Kerberos context is refused.
#include "nfs_client/worker/rpc/GssAuth.h"

namespace nfsclient {

const char* FlavourName(Flavour flavour) {
    switch (flavour) {
    case Flavour::Auto: return "auto";
    case Flavour::Sys: return "AUTH_SYS";
    case Flavour::Krb5: return "krb5";
    case Flavour::Krb5i: return "krb5i";
    case Flavour::Krb5p: return "krb5p";
    }
    return "unknown";
}

bool EstablishGss(Connection& connection, int, int, Flavour flavour, const Security&) {
    connection.Fail(std::string("security context (") + FlavourName(flavour) + ")",
                    "Kerberos is not available in this build");
    return false;
}

void DestroyGss(Connection&, Connection::Clock::time_point) {}

}  // namespace nfsclient
