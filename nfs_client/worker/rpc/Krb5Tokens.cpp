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
constexpr size_t kBlock = 16;  // AES
constexpr unsigned char kSentByAcceptor = 0x01;
constexpr unsigned char kSealed = 0x02;
// RFC 4121 key usages of the acceptor's tokens; RFC 3961 derivation kinds.
constexpr uint32_t kAcceptorSeal = 22;
constexpr uint32_t kAcceptorSign = 23;
constexpr unsigned char kEncryptionKey = 0xAA;
constexpr unsigned char kIntegrityKey = 0x55;
constexpr unsigned char kChecksumKey = 0x99;

// What differs between the key types read here: RFC 3962's AES with
// HMAC-SHA1 (keys derived with DK, the checksum over the plaintext) and
// RFC 8009's AES with HMAC-SHA2 (keys derived with KDF-HMAC-SHA2, the
// checksum over the ciphertext).
struct KeyType {
    int32_t enctype;
    size_t keyBytes;     // of the base key and of Ke
    size_t macKeyBytes;  // of Ki and Kc
    size_t checksum;     // bytes of the HMAC kept
    const char* digest;  // of the HMAC
    bool sha2;           // RFC 8009
    const char* name;
};
constexpr KeyType kKeyTypes[] = {
    {17, 16, 16, 12, "SHA1", false, "aes128-cts-hmac-sha1-96"},
    {18, 32, 32, 12, "SHA1", false, "aes256-cts-hmac-sha1-96"},
    {19, 16, 16, 16, "SHA256", true, "aes128-cts-hmac-sha256-128"},
    {20, 32, 24, 24, "SHA384", true, "aes256-cts-hmac-sha384-192"},
};

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
    const KeyType& type;
    EVP_CIPHER* cts = nullptr;  // AES-CBC with ciphertext stealing (RFC 3962)
    EVP_CIPHER_CTX* cipher = nullptr;
    EVP_MAC* hmac = nullptr;
    EVP_MAC_CTX* sealIntegrity = nullptr;  // the HMAC keyed with Ki of the seal usage
    EVP_MAC_CTX* signChecksum = nullptr;   // ... with Kc of the sign usage
    std::string sealKey;                   // Ke of the seal usage

    State(const CryptoApi& a, const KeyType& t) : api(a), type(t) {}
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

    // An HMAC context of the key type's digest keyed with `key`, ready for data.
    EVP_MAC_CTX* Hmac(const std::string& key) {
        EVP_MAC_CTX* made = api.EVP_MAC_CTX_new(hmac);
        if (made == nullptr) return nullptr;
        const OSSL_PARAM params[] = {api.OSSL_PARAM_construct_utf8_string(
                                         OSSL_MAC_PARAM_DIGEST, const_cast<char*>(type.digest), 0),
                                     api.OSSL_PARAM_construct_end()};
        if (api.EVP_MAC_init(made, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                             params) != 1) {
            api.EVP_MAC_CTX_free(made);
            return nullptr;
        }
        return made;
    }

    // The whole HMAC of `first` then `second` under the key `keyed`: its
    // length, 0 on a failure.
    size_t Mac(EVP_MAC_CTX* keyed, const unsigned char* first, size_t firstSize,
               const unsigned char* second, size_t secondSize, unsigned char* mac, size_t room) {
        size_t macSize = 0;
        const bool ok = api.EVP_MAC_init(keyed, nullptr, 0, nullptr) == 1 &&
                        api.EVP_MAC_update(keyed, first, firstSize) == 1 &&
                        (secondSize == 0 || api.EVP_MAC_update(keyed, second, secondSize) == 1) &&
                        api.EVP_MAC_final(keyed, mac, &macSize, room) == 1;
        return ok ? macSize : 0;
    }

    // The key type's truncated HMAC of `first` then `second` under the key
    // `keyed` is `expected`, compared in constant time.
    bool ChecksumHolds(EVP_MAC_CTX* keyed, const unsigned char* first, size_t firstSize,
                       const unsigned char* second, size_t secondSize,
                       const unsigned char* expected) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        const size_t macSize = Mac(keyed, first, firstSize, second, secondSize, mac, sizeof mac);
        return macSize >= type.checksum && api.CRYPTO_memcmp(mac, expected, type.checksum) == 0;
    }

    // The key of `bytes` bytes derived from `base` for `usage` and `kind`:
    // RFC 3961's DK for the SHA-1 types (the constant n-folded to a block
    // and encrypted under the base key, again and again, until there are
    // enough bytes), RFC 8009's KDF-HMAC-SHA2 for the others (one HMAC of
    // 1 | constant | 0 | the length in bits, under the base key).
    bool Derive(const std::string& base, uint32_t usage, unsigned char kind, size_t bytes,
                std::string& out) {
        const char constant[] = {static_cast<char>(usage >> 24), static_cast<char>(usage >> 16),
                                 static_cast<char>(usage >> 8), static_cast<char>(usage),
                                 static_cast<char>(kind)};
        out.clear();
        if (type.sha2) {
            const uint32_t bits = static_cast<uint32_t>(bytes * 8);
            const unsigned char counter[] = {0, 0, 0, 1};
            std::string input(reinterpret_cast<const char*>(counter), sizeof counter);
            input.append(constant, sizeof constant);
            input += '\0';
            for (int shift = 24; shift >= 0; shift -= 8) input += static_cast<char>(bits >> shift);
            EVP_MAC_CTX* keyed = Hmac(base);
            unsigned char mac[EVP_MAX_MD_SIZE];
            const size_t macSize =
                keyed == nullptr ? 0
                                 : Mac(keyed, reinterpret_cast<const unsigned char*>(input.data()),
                                       input.size(), nullptr, 0, mac, sizeof mac);
            api.EVP_MAC_CTX_free(keyed);
            if (macSize < bytes) return false;
            out.assign(reinterpret_cast<const char*>(mac), bytes);
            std::fill(mac, mac + sizeof mac, 0);
            return true;
        }
        std::string block = NFold(std::string(constant, sizeof constant), kBlock);
        EVP_CIPHER* ecb = api.EVP_CIPHER_fetch(
            nullptr, base.size() == 32 ? "AES-256-ECB" : "AES-128-ECB", nullptr);
        EVP_CIPHER_CTX* context = api.EVP_CIPHER_CTX_new();
        bool ok = ecb != nullptr && context != nullptr &&
                  api.EVP_CipherInit_ex2(context, ecb,
                                         reinterpret_cast<const unsigned char*>(base.data()),
                                         nullptr, 1, nullptr) == 1 &&
                  api.EVP_CIPHER_CTX_set_padding(context, 0) == 1;
        while (ok && out.size() < bytes) {
            unsigned char next[kBlock];
            int written = 0;
            ok = api.EVP_CipherUpdate(context, next, &written,
                                      reinterpret_cast<const unsigned char*>(block.data()),
                                      static_cast<int>(kBlock)) == 1 &&
                 written == static_cast<int>(kBlock);
            block.assign(reinterpret_cast<const char*>(next), kBlock);
            out += block;
        }
        out.resize(bytes);
        std::fill(block.begin(), block.end(), '\0');
        api.EVP_CIPHER_CTX_free(context);
        api.EVP_CIPHER_free(ecb);
        return ok;
    }
};

AcceptorTokens::AcceptorTokens(std::unique_ptr<State> state) : m_state(std::move(state)) {}
AcceptorTokens::~AcceptorTokens() = default;

std::unique_ptr<AcceptorTokens> AcceptorTokens::Make(int32_t enctype, const std::string& key) {
    const KeyType* type = nullptr;
    for (const KeyType& known : kKeyTypes)
        if (known.enctype == enctype) type = &known;
    if (type == nullptr || key.size() != type->keyBytes) return nullptr;
    const CryptoApi* api = CryptoLibrary();
    if (api == nullptr) return nullptr;
    auto state = std::make_unique<State>(*api, *type);
    State& s = *state;
    s.cts = api->EVP_CIPHER_fetch(
        nullptr, type->keyBytes == 32 ? "AES-256-CBC-CTS" : "AES-128-CBC-CTS", nullptr);
    s.cipher = api->EVP_CIPHER_CTX_new();
    s.hmac = api->EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (s.cts == nullptr || s.cipher == nullptr || s.hmac == nullptr) return nullptr;
    std::string integrity;
    std::string checksum;
    const bool derived =
        s.Derive(key, kAcceptorSeal, kEncryptionKey, type->keyBytes, s.sealKey) &&
        s.Derive(key, kAcceptorSeal, kIntegrityKey, type->macKeyBytes, integrity) &&
        s.Derive(key, kAcceptorSign, kChecksumKey, type->macKeyBytes, checksum);
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
    // header | E(Ke, confounder | message | EC filler | header) | HMAC,
    // the part after the header rotated right by RRC bytes. The HMAC is of
    // the plaintext (SHA-1 types), or of 16 zero bytes and the ciphertext
    // (SHA-2 types).
    const KeyType& type = m_state->type;
    if (token.size() < kHeader + kBlock + kHeader + type.checksum) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(token.data());
    if (header[0] != 0x05 || header[1] != 0x04 || header[3] != 0xFF) return false;
    if ((header[2] & kSentByAcceptor) == 0 || (header[2] & kSealed) == 0) return false;
    const size_t filler = Be16(header + 4);
    const size_t body = token.size() - kHeader;
    const size_t rotation = Be16(header + 6) % body;
    const size_t sealed = body - type.checksum;  // the encrypted part
    if (sealed < kBlock + filler + kHeader || sealed > size_t{INT_MAX}) return false;
    const CryptoApi& api = m_state->api;
    m_scratch.resize(kBlock + body + sealed);
    // The zero block before the ciphertext is the SHA-2 types' HMAC input.
    std::fill(m_scratch.begin(), m_scratch.begin() + kBlock, 0);
    unsigned char* rotated = m_scratch.data() + kBlock;
    unsigned char* plain = rotated + body;
    std::memcpy(rotated, token.data() + kHeader, body);
    if (rotation != 0) std::rotate(rotated, rotated + rotation, rotated + body);
    if (type.sha2 && !m_state->ChecksumHolds(m_state->sealIntegrity, m_scratch.data(),
                                             kBlock + sealed, nullptr, 0, rotated + sealed))
        return false;
    char mode[] = "CS3";  // Kerberos's stealing: the last two blocks always swapped
    const OSSL_PARAM params[] = {
        api.OSSL_PARAM_construct_utf8_string(OSSL_CIPHER_PARAM_CTS_MODE, mode, 0),
        api.OSSL_PARAM_construct_end()};
    int written = 0;
    if (api.EVP_CipherInit_ex2(m_state->cipher, m_state->cts,
                               reinterpret_cast<const unsigned char*>(m_state->sealKey.data()),
                               m_scratch.data() /* the zero block: IV */, 0, params) != 1 ||
        api.EVP_CipherUpdate(m_state->cipher, plain, &written, rotated, static_cast<int>(sealed)) !=
            1 ||
        static_cast<size_t>(written) != sealed)
        return false;
    if (!type.sha2 && !m_state->ChecksumHolds(m_state->sealIntegrity, plain, sealed, nullptr, 0,
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

const char* AcceptorTokens::TypeName() const { return m_state->type.name; }

bool AcceptorTokens::Verify(const std::string& message, const std::string& mic) {
    // header (04 04, flags, five FF, sequence number) | HMAC of message | header.
    if (mic.size() != kHeader + m_state->type.checksum) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(mic.data());
    if (header[0] != 0x04 || header[1] != 0x04 || (header[2] & kSentByAcceptor) == 0) return false;
    for (size_t i = 3; i < 8; ++i)
        if (header[i] != 0xFF) return false;
    return m_state->ChecksumHolds(m_state->signChecksum,
                                  reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size(), header, kHeader, header + kHeader);
}

}  // namespace nfsclient
