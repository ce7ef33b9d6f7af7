// The GSSAPI calls an RPCSEC_GSS context makes (its set-up, checksums,
// wraps), behind an interface: Kerberos V5 through MIT GSSAPI in the worker,
// a scripted mechanism in the unit tests.
#pragma once

#include <memory>  // std::unique_ptr
#include <string>  // std::string

#include "nfs_client/PipeTypes.h"  // Flavour, Security

namespace nfsclient {

class GssMechanism {
public:
    enum class Step { Continue, Complete, Failed };
    virtual ~GssMechanism() = default;
    // One step of the set-up: `input` is the server's last token (empty at
    // first); `output` the token to send (may be empty once Complete).
    // Continue: a token from the server is needed. Failed: `why` is the
    // worded cause.
    virtual Step Initiate(const std::string& input, std::string& output, std::string& why) = 0;
    // A checksum (MIC) of `message`, and its check.
    virtual bool Sign(const std::string& message, std::string& mic, std::string& why) = 0;
    virtual bool Verify(const std::string& message, const std::string& mic, std::string& why) = 0;
    // `message` encrypted and sealed, and back; Unwrap refuses a wrap that
    // was not encrypted.
    virtual bool Wrap(const std::string& message, std::string& wrapped, std::string& why) = 0;
    virtual bool Unwrap(const std::string& wrapped, std::string& message, std::string& why) = 0;
    // The key type's name once the server's tokens are read with OpenSSL
    // (Krb5Tokens.h) rather than GSSAPI; null before, and for a mechanism
    // that never does.
    virtual const char* ReadsWithOpenSsl() const { return nullptr; }
    // A mechanism with the same credentials and service, its set-up not
    // begun: for a context made anew when the server dropped this one. Null,
    // with `why`, when none can be had.
    virtual std::unique_ptr<GssMechanism> Fresh(std::string& why) = 0;
};

// Kerberos V5 for `flavour` with the service nfs@security.serverName, with
// the credentials `security` names: a keytab and principal, else the
// credential cache (read once, copied into this process's memory: a service
// ticket fetched from the KDC stays there). KRB5_CONFIG is taken from
// `security` before anything else. Null, with the worded cause in `why`,
// when no credentials could be had.
std::unique_ptr<GssMechanism> Krb5Mechanism(Flavour flavour, const Security& security,
                                            std::string& why);

}  // namespace nfsclient
