#include "nfs_client/worker/rpc/Krb5Tokens.h"

#include <openssl/core_names.h>  // OSSL_CIPHER_PARAM_CTS_MODE, OSSL_MAC_PARAM_DIGEST
#include <openssl/crypto.h>      // OPENSSL_init_crypto, CRYPTO_memcmp
#include <openssl/evp.h>         // EVP_CIPHER_*, EVP_MAC_*
#include <openssl/params.h>      // OSSL_PARAM_construct_*

#include <dlfcn.h>  // dlopen, dlsym

#include <algorithm>  // std::rotate
#include <climits>    // INT_MAX
#include <cstring>    // memcpy

// libcrypto is loaded the first time a context can use it, as MIT's libraries
// are (Krb5Library.h): linked, it would cost every worker's start, and nearly
// every call is AUTH_SYS.
#define NSB_CRYPTO_FUNCTIONS(X)         \
    X(OPENSSL_init_crypto)              \
    X(CRYPTO_memcmp)                    \
    X(EVP_CIPHER_fetch)                 \
    X(EVP_CIPHER_free)                  \
    X(EVP_CIPHER_CTX_new)               \
    X(EVP_CIPHER_CTX_free)              \
    X(EVP_CIPHER_CTX_set_padding)       \
    X(EVP_CipherInit_ex2)               \
    X(EVP_CipherUpdate)                 \
    X(EVP_MAC_fetch)                    \
    X(EVP_MAC_free)                     \
    X(EVP_MAC_CTX_new)                  \
    X(EVP_MAC_CTX_free)                 \
    X(EVP_MAC_init)                     \
    X(EVP_MAC_update)                   \
    X(EVP_MAC_final)                    \
    X(OSSL_PARAM_construct_utf8_string) \
    X(OSSL_PARAM_construct_end)

namespace nfsclient {
namespace {

struct CryptoApi {
#define NSB_CRYPTO_MEMBER(name) decltype(&::name) name = nullptr;
    NSB_CRYPTO_FUNCTIONS(NSB_CRYPTO_MEMBER)
#undef NSB_CRYPTO_MEMBER
};

// The table, loaded once for the life of the process (never unloaded); null
// when OpenSSL 3 is missing or lacks a function.
const CryptoApi* CryptoLibrary() {
    static const CryptoApi* const loaded = []() -> const CryptoApi* {
        void* handle = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return nullptr;
        static CryptoApi api;
        bool bound = true;
#define NSB_CRYPTO_BIND(name)                                   \
    if (bound) {                                                \
        void* found = dlsym(handle, #name);                     \
        bound = found != nullptr;                               \
        api.name = reinterpret_cast<decltype(api.name)>(found); \
    }
        NSB_CRYPTO_FUNCTIONS(NSB_CRYPTO_BIND)
#undef NSB_CRYPTO_BIND
        // No configuration file: the worker has no use for one, and its
        // sandbox should not have to read it.
        if (!bound || api.OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
            dlclose(handle);
            return nullptr;
        }
        return &api;
    }();
    return loaded;
}

// RFC 4121 token layout.
constexpr size_t kHeader = 16;
constexpr size_t kBlock = 16;     // AES
constexpr size_t kChecksum = 12;  // HMAC-SHA1-96
constexpr unsigned char kSentByAcceptor = 0x01;
constexpr unsigned char kSealed = 0x02;
// RFC 4121 key usages of the acceptor's tokens; RFC 3961 derivation kinds.
constexpr uint32_t kAcceptorSeal = 22;
constexpr uint32_t kAcceptorSign = 23;
constexpr unsigned char kEncryptionKey = 0xAA;
constexpr unsigned char kIntegrityKey = 0x55;
constexpr unsigned char kChecksumKey = 0x99;
constexpr int32_t kAes128Sha1 = 17;
constexpr int32_t kAes256Sha1 = 18;

uint16_t Be16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

std::string NFold(const std::string& in, size_t outBytes) {
    std::string out(outBytes, '\0');
    const size_t inBytes = in.size();
    if (inBytes == 0 || outBytes == 0) return out;
    size_t a = inBytes;
    size_t b = outBytes;
    while (b != 0) {
        const size_t r = a % b;
        a = b;
        b = r;
    }
    const size_t total = inBytes / a * outBytes;  // lcm(inBytes, outBytes)
    const size_t bits = inBytes * 8;
    // The input repeated to `total` bytes, copy c rotated right by 13 * c
    // bits, added up in outBytes-long chunks with ones' complement addition
    // (the carry out of the top byte comes back in at the bottom).
    std::vector<unsigned> sum(outBytes, 0);
    for (size_t copy = 0; copy < total / inBytes; ++copy) {
        const size_t rotation = 13 * copy % bits;
        for (size_t byte = 0; byte < inBytes; ++byte) {
            unsigned value = 0;
            for (size_t bit = 0; bit < 8; ++bit) {
                const size_t from = (byte * 8 + bit + bits - rotation) % bits;
                const unsigned set =
                    (static_cast<unsigned char>(in[from / 8]) >> (7 - from % 8)) & 1u;
                value = (value << 1) | set;
            }
            sum[(copy * inBytes + byte) % outBytes] += value;
        }
    }
    unsigned carry = 0;
    do {
        for (size_t i = outBytes; i-- > 0;) {
            sum[i] += carry;
            carry = sum[i] >> 8;
            sum[i] &= 0xFF;
        }
    } while (carry != 0);
    for (size_t i = 0; i < outBytes; ++i) out[i] = static_cast<char>(sum[i]);
    return out;
}

struct AcceptorTokens::State {
    const CryptoApi& api;
    EVP_CIPHER* cts = nullptr;  // AES-CBC with ciphertext stealing (RFC 3962)
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC* hmac = nullptr;
    EVP_MAC_CTX* sealIntegrity = nullptr;  // HMAC-SHA1 keyed with Ki of the seal usage
    EVP_MAC_CTX* signChecksum = nullptr;   // ... with Kc of the sign usage
    std::string sealKey;                   // Ke of the seal usage

    explicit State(const CryptoApi& a) : api(a) {}
    ~State() {
        api.EVP_MAC_CTX_free(signChecksum);
        api.EVP_MAC_CTX_free(sealIntegrity);
        api.EVP_MAC_free(hmac);
        api.EVP_CIPHER_CTX_free(cipher);
        api.EVP_CIPHER_free(cts);
        std::fill(sealKey.begin(), sealKey.end(), '\0');
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // An HMAC-SHA1 context keyed with `key`, ready for data.
    EVP_MAC_CTX* Hmac(const std::string& key) {
        EVP_MAC_CTX* made = api.EVP_MAC_CTX_new(hmac);
        if (made == nullptr) return nullptr;
        char digest[] = "SHA1";
        const OSSL_PARAM params[] = {
            api.OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
            api.OSSL_PARAM_construct_end()};
        if (api.EVP_MAC_init(made, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                             params) != 1) {
            api.EVP_MAC_CTX_free(made);
            return nullptr;
        }
        return made;
    }

    // The first 96 bits of the HMAC of `first` then `second` under the key
    // `keyed` holds, compared with `expected` in constant time.
    bool ChecksumHolds(EVP_MAC_CTX* keyed, const unsigned char* first, size_t firstSize,
                       const unsigned char* second, size_t secondSize,
                       const unsigned char* expected) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        size_t macSize = 0;
        return api.EVP_MAC_init(keyed, nullptr, 0, nullptr) == 1 &&
               api.EVP_MAC_update(keyed, first, firstSize) == 1 &&
               (secondSize == 0 || api.EVP_MAC_update(keyed, second, secondSize) == 1) &&
               api.EVP_MAC_final(keyed, mac, &macSize, sizeof mac) == 1 && macSize >= kChecksum &&
               api.CRYPTO_memcmp(mac, expected, kChecksum) == 0;
    }

    // RFC 3961's DK(base, usage | kind) for AES: the constant n-folded to a
    // block and encrypted under the base key, again and again, until there
    // are as many bytes as the key has.
    bool Derive(const std::string& base, uint32_t usage, unsigned char kind, std::string& out) {
        const char constant[] = {static_cast<char>(usage >> 24), static_cast<char>(usage >> 16),
                                 static_cast<char>(usage >> 8), static_cast<char>(usage),
                                 static_cast<char>(kind)};
        std::string block = NFold(std::string(constant, sizeof constant), kBlock);
        EVP_CIPHER* ecb = api.EVP_CIPHER_fetch(
            nullptr, base.size() == 32 ? "AES-256-ECB" : "AES-128-ECB", nullptr);
        EVP_CIPHER_CTX* context = api.EVP_CIPHER_CTX_new();
        bool ok = ecb != nullptr && context != nullptr &&
                  api.EVP_CipherInit_ex2(context, ecb,
                                         reinterpret_cast<const unsigned char*>(base.data()),
                                         nullptr, 1, nullptr) == 1 &&
                  api.EVP_CIPHER_CTX_set_padding(context, 0) == 1;
        out.clear();
        while (ok && out.size() < base.size()) {
            unsigned char next[kBlock];
            int written = 0;
            ok = api.EVP_CipherUpdate(context, next, &written,
                                      reinterpret_cast<const unsigned char*>(block.data()),
                                      static_cast<int>(kBlock)) == 1 &&
                 written == static_cast<int>(kBlock);
            block.assign(reinterpret_cast<const char*>(next), kBlock);
            out += block;
        }
        out.resize(base.size());
        std::fill(block.begin(), block.end(), '\0');
        api.EVP_CIPHER_CTX_free(context);
        api.EVP_CIPHER_free(ecb);
        return ok;
    }
};

AcceptorTokens::AcceptorTokens(std::unique_ptr<State> state) : m_state(std::move(state)) {}
AcceptorTokens::~AcceptorTokens() = default;

std::unique_ptr<AcceptorTokens> AcceptorTokens::Make(int32_t enctype, const std::string& key) {
    const size_t keyBytes = enctype == kAes256Sha1 ? 32 : enctype == kAes128Sha1 ? 16 : 0;
    if (keyBytes == 0 || key.size() != keyBytes) return nullptr;
    const CryptoApi* api = CryptoLibrary();
    if (api == nullptr) return nullptr;
    auto state = std::make_unique<State>(*api);
    State& s = *state;
    s.cts = api->EVP_CIPHER_fetch(nullptr, keyBytes == 32 ? "AES-256-CBC-CTS" : "AES-128-CBC-CTS",
                                  nullptr);
    s.cipher = api->EVP_CIPHER_CTX_new();
    s.hmac = api->EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (s.cts == nullptr || s.cipher == nullptr || s.hmac == nullptr) return nullptr;
    std::string integrity;
    std::string checksum;
    const bool derived = s.Derive(key, kAcceptorSeal, kEncryptionKey, s.sealKey) &&
                         s.Derive(key, kAcceptorSeal, kIntegrityKey, integrity) &&
                         s.Derive(key, kAcceptorSign, kChecksumKey, checksum);
    if (derived) {
        s.sealIntegrity = s.Hmac(integrity);
        s.signChecksum = s.Hmac(checksum);
    }
    std::fill(integrity.begin(), integrity.end(), '\0');
    std::fill(checksum.begin(), checksum.end(), '\0');
    if (!derived || s.sealIntegrity == nullptr || s.signChecksum == nullptr) return nullptr;
    return std::unique_ptr<AcceptorTokens>(new AcceptorTokens(std::move(state)));
}

bool AcceptorTokens::Unwrap(const std::string& token, std::string& message) {
    // header | E(Ke, confounder | message | EC filler | header) | HMAC-96,
    // the part after the header rotated right by RRC bytes.
    if (token.size() < kHeader + kBlock + kHeader + kChecksum) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(token.data());
    if (header[0] != 0x05 || header[1] != 0x04 || header[3] != 0xFF) return false;
    if ((header[2] & kSentByAcceptor) == 0 || (header[2] & kSealed) == 0) return false;
    const size_t filler = Be16(header + 4);
    const size_t body = token.size() - kHeader;
    const size_t rotation = Be16(header + 6) % body;
    const size_t sealed = body - kChecksum;  // the encrypted part
    if (sealed < kBlock + filler + kHeader || sealed > size_t{INT_MAX}) return false;
    const CryptoApi& api = m_state->api;
    m_scratch.resize(body + sealed);
    unsigned char* rotated = m_scratch.data();
    unsigned char* plain = m_scratch.data() + body;
    std::memcpy(rotated, token.data() + kHeader, body);
    if (rotation != 0) std::rotate(rotated, rotated + rotation, rotated + body);
    char mode[] = "CS3";  // Kerberos's stealing: the last two blocks always swapped
    const OSSL_PARAM params[] = {
        api.OSSL_PARAM_construct_utf8_string(OSSL_CIPHER_PARAM_CTS_MODE, mode, 0),
        api.OSSL_PARAM_construct_end()};
    static const unsigned char kZeroIv[kBlock] = {};
    int written = 0;
    if (api.EVP_CipherInit_ex2(m_state->cipher, m_state->cts,
                               reinterpret_cast<const unsigned char*>(m_state->sealKey.data()),
                               kZeroIv, 0, params) != 1 ||
        api.EVP_CipherUpdate(m_state->cipher, plain, &written, rotated, static_cast<int>(sealed)) !=
            1 ||
        static_cast<size_t>(written) != sealed)
        return false;
    if (!m_state->ChecksumHolds(m_state->sealIntegrity, plain, sealed, nullptr, 0,
                                rotated + sealed))
        return false;
    // The header's copy inside: the same token, flags and sequence number (its
    // EC and RRC fields are not compared, as MIT's own reader does not).
    const unsigned char* copy = plain + sealed - kHeader;
    if (std::memcmp(copy, header, 4) != 0 || std::memcmp(copy + 8, header + 8, 8) != 0)
        return false;
    message.assign(reinterpret_cast<const char*>(plain) + kBlock,
                   sealed - kBlock - filler - kHeader);
    return true;
}

bool AcceptorTokens::Verify(const std::string& message, const std::string& mic) {
    // header (04 04, flags, five FF, sequence number) | HMAC-96 of message | header.
    if (mic.size() != kHeader + kChecksum) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(mic.data());
    if (header[0] != 0x04 || header[1] != 0x04 || (header[2] & kSentByAcceptor) == 0) return false;
    for (size_t i = 3; i < 8; ++i)
        if (header[i] != 0xFF) return false;
    return m_state->ChecksumHolds(m_state->signChecksum,
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size(), header, kHeader, header + kHeader);
}

}  // namespace nfsclient
