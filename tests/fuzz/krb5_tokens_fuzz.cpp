// The reader of the server's Kerberos tokens (AcceptorTokens) on tokens made
// with MIT's cryptography from fuzzed parts, so that mutations get past the
// checksum: any flags, filler count (EC) against the filler really there,
// rotation (RRC), message, and one byte flipped or none. Also the input
// itself as a wrap token and as a checksum token. Nothing may crash or read
// past its input; a good token reads to its message; a token read is never
// longer than its carrier.
//
// Input: byte 0 bits 0-1 the key type (AES 128 or 256 with SHA-1, SHA-256 or
// SHA-384), byte 1 the token's
// flags, bytes 2-3 EC, 4-5 RRC, byte 6 the filler's real length, byte 7 the
// byte to flip (0: none, else its index mod the token's length), the rest
// the message.
#include <krb5.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "nfs_client/worker/rpc/Krb5Tokens.h"

namespace {

using nfsclient::AcceptorTokens;

struct Keyed {
    krb5_context context = nullptr;
    krb5_keyblock* key = nullptr;
    std::unique_ptr<AcceptorTokens> reader;
    Keyed(krb5_enctype enctype, size_t bytes) {
        krb5_init_context(&context);
        krb5_init_keyblock(context, enctype, bytes, &key);
        for (size_t i = 0; i < bytes; ++i) key->contents[i] = static_cast<krb5_octet>(i * 13 + 1);
        reader = AcceptorTokens::Make(
            enctype, std::string(reinterpret_cast<const char*>(key->contents), bytes));
        nsbfuzz::Check(reader != nullptr);
    }
};

std::string Header(unsigned char id, uint8_t flags, uint16_t ec, uint16_t rrc) {
    return std::string{static_cast<char>(id),       0x04,
                       static_cast<char>(flags),    '\xff',
                       static_cast<char>(ec >> 8),  static_cast<char>(ec),
                       static_cast<char>(rrc >> 8), static_cast<char>(rrc)} +
           std::string("\0\0\0\0\0\0\0\x2a", 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Keyed types[] = {{ENCTYPE_AES128_CTS_HMAC_SHA1_96, 16},
                            {ENCTYPE_AES256_CTS_HMAC_SHA1_96, 32},
                            {ENCTYPE_AES128_CTS_HMAC_SHA256_128, 16},
                            {ENCTYPE_AES256_CTS_HMAC_SHA384_192, 32}};
    const std::string raw(reinterpret_cast<const char*>(data), size);
    std::string message;
    for (Keyed& keyed : types) {
        if (keyed.reader->Unwrap(raw, message)) nsbfuzz::Check(message.size() < raw.size());
        keyed.reader->Verify(raw.substr(0, size / 2), raw.substr(size / 2));
    }
    if (size < 8) return 0;
    Keyed& keyed = types[data[0] & 3];
    const krb5_enctype enctype = keyed.key->enctype;
    const uint8_t flags = data[1];
    const uint16_t ec = static_cast<uint16_t>((data[2] << 8) | data[3]);
    const uint16_t rrc = static_cast<uint16_t>((data[4] << 8) | data[5]);
    const size_t filler = data[6];
    const uint8_t flip = data[7];
    const std::string original = raw.substr(8);

    // A wrap token: header | E(confounder | message | filler | header with RRC 0) | HMAC.
    std::string plain = original + std::string(filler, 'f') + Header(0x05, flags, ec, 0);
    size_t length = 0;
    krb5_c_encrypt_length(keyed.context, enctype, plain.size(), &length);
    std::string sealed(length, '\0');
    krb5_data in{0, static_cast<unsigned>(plain.size()), plain.data()};
    krb5_enc_data out{};
    out.enctype = enctype;
    out.ciphertext = {0, static_cast<unsigned>(length), sealed.data()};
    nsbfuzz::Check(krb5_c_encrypt(keyed.context, keyed.key, 22, nullptr, &in, &out) == 0);
    std::rotate(sealed.begin(), sealed.end() - rrc % sealed.size(), sealed.end());
    std::string token = Header(0x05, flags, ec, rrc) + sealed;
    if (flip != 0) token[flip % token.size()] ^= 0x5a;
    const bool read = keyed.reader->Unwrap(token, message);
    if (read) nsbfuzz::Check(message.size() < token.size());
    const bool good = (flags & 0x03) == 0x03 && ec == filler && flip == 0;
    if (good) nsbfuzz::Check(read && message == original);

    // A checksum token over the message.
    const std::string header = std::string{0x04, 0x04, static_cast<char>(flags)} +
                               std::string(5, '\xff') + std::string("\0\0\0\0\0\0\0\x07", 8);
    std::string signedBytes = original + header;
    krb5_data toSign{0, static_cast<unsigned>(signedBytes.size()), signedBytes.data()};
    krb5_checksum sum{};
    nsbfuzz::Check(krb5_c_make_checksum(keyed.context, 0, keyed.key, 23, &toSign, &sum) == 0);
    std::string mic = header + std::string(reinterpret_cast<char*>(sum.contents), sum.length);
    krb5_free_checksum_contents(keyed.context, &sum);
    if (flip != 0) mic[flip % mic.size()] ^= 0x5a;
    const bool holds = keyed.reader->Verify(original, mic);
    if ((flags & 0x01) != 0 && flip == 0) nsbfuzz::Check(holds);
    if (flip != 0) nsbfuzz::Check(!holds);
    return 0;
}
