// The server's protected replies read with OpenSSL instead of GSSAPI, for a
// Kerberos context whose key is AES with HMAC-SHA1 (aes128- and
// aes256-cts-hmac-sha1-96, what nearly every KDC hands out) or HMAC-SHA2
// (aes128-cts-hmac-sha256-128, aes256-cts-hmac-sha384-192, where a realm is
// set up for them): the wrap tokens of krb5p results and the checksums of
// krb5i results and reply verifiers (RFC 4121 tokens over RFC 3961, 3962
// and 8009 cryptography).
//
// Why: MIT's own AES and SHA-1 use none of the CPU's instructions for them.
// On the machine of docs/PERFORMANCE.md they read 230 MB/s where OpenSSL
// reads 1.5 GB/s, and a krb5p listing spent as long decrypting as the server
// spent serving it. What this client sends is still protected by GSSAPI.
//
// A token this reader does not take (another key type, a token it cannot
// read, a checksum that does not hold) is left to GSSAPI, whose answer
// stands: the reader can only make a good token cheaper, never turn a bad
// one good nor a good one bad.
#pragma once

#include <cstddef>  // size_t
#include <cstdint>  // int32_t
#include <memory>   // std::unique_ptr
#include <string>   // std::string
#include <vector>   // std::vector

namespace nfsclient {

class AcceptorTokens {
public:
    // For a context whose key (GSS_C_INQ_SSPI_SESSION_KEY: the acceptor's
    // subkey when it sent one) is `key`, of Kerberos key type `enctype`.
    // Null when the type is not one of the four AES types, the key's length
    // is not the type's, or OpenSSL (libcrypto.so.3) cannot be loaded.
    static std::unique_ptr<AcceptorTokens> Make(int32_t enctype, const std::string& key);
    ~AcceptorTokens();
    AcceptorTokens(const AcceptorTokens&) = delete;
    AcceptorTokens& operator=(const AcceptorTokens&) = delete;

    // A sealed wrap token the acceptor sent: true, with the message, when it
    // decrypts and its checksum and header hold. False, with `message`
    // unspecified, for anything else.
    bool Unwrap(const std::string& token, std::string& message);
    // A checksum token the acceptor sent over `message`: true when it holds.
    bool Verify(const std::string& message, const std::string& mic);
    // The key type's name, "aes256-cts-hmac-sha1-96" say.
    const char* TypeName() const;

    struct State;

private:
    explicit AcceptorTokens(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
    std::vector<unsigned char> m_scratch;  // a token's body, rotated, and its plaintext
};

// RFC 3961's n-fold of `in` to `outBytes` bytes (a key derivation's
// constant stretched to one cipher block).
std::string NFold(const std::string& in, size_t outBytes);

}  // namespace nfsclient
