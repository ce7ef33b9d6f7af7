// The server's Kerberos tokens read with OpenSSL, against tokens made with
// MIT's own cryptography: every good token is read to the same message, and
// nothing altered is taken (GSSAPI then has the last word).
#include <krb5.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "common/TestSupport.h"  // nsbtest::Hex
#include "nfs_client/worker/rpc/Krb5Tokens.h"

namespace {

using nfsclient::AcceptorTokens;
using nfsclient::NFold;

TEST(Krb5Tokens, NFoldMatchesTheRfcVectors) {
    struct Case {
        const char* in;
        size_t bits;
        const char* out;
    };
    // RFC 3961, appendix A.1.
    const Case cases[] = {
        {"012345", 64, "be072631276b1955"},
        {"password", 56, "78a07b6caf85fa"},
        {"Rough Consensus, and Running Code", 64, "bb6ed30870b7f0e0"},
        {"password", 168, "59e4a8ca7c0385c3c37b3f6d2000247cb6e6bd5b3e"},
        {"MASSACHVSETTS INSTITVTE OF TECHNOLOGY", 192,
         "db3b0d8f0b061e603282b308a50841229ad798fab9540c1b"},
        {"Q", 168, "518a54a215a8452a518a54a215a8452a518a54a215"},
        {"ba", 168, "fb25d531ae8974499f52fd92ea9857c4ba24cf297e"},
        {"kerberos", 64, "6b65726265726f73"},
        {"kerberos", 128, "6b65726265726f737b9b5b2b93132b93"},
    };
    for (const Case& c : cases) EXPECT_EQ(nsbtest::Hex(NFold(c.in, c.bits / 8)), c.out) << c.in;
}

// Tokens as an acceptor makes them, with MIT's krb5 cryptography.
class Acceptor {
public:
    explicit Acceptor(krb5_enctype enctype) : m_enctype(enctype) {
        krb5_init_context(&m_context);
        size_t bytes = 0;
        krb5_c_keylengths(m_context, enctype, nullptr, &bytes);
        krb5_init_keyblock(m_context, enctype, bytes, &m_key);
        krb5_data random{0, static_cast<unsigned>(bytes), reinterpret_cast<char*>(m_key->contents)};
        krb5_c_random_make_octets(m_context, &random);
    }
    ~Acceptor() {
        krb5_free_keyblock(m_context, m_key);
        krb5_free_context(m_context);
    }
    std::string Key() const {
        return std::string(reinterpret_cast<const char*>(m_key->contents), m_key->length);
    }
    static std::string Header(unsigned char first, unsigned char flags, uint16_t ec, uint16_t rrc) {
        std::string h = {static_cast<char>(first),    0x04,
                         static_cast<char>(flags),    '\xff',
                         static_cast<char>(ec >> 8),  static_cast<char>(ec),
                         static_cast<char>(rrc >> 8), static_cast<char>(rrc)};
        return h + std::string("\x00\x00\x00\x00\x12\x34\x56\x78", 8);  // sequence number
    }
    // A sealed wrap token: usage 22, `ec` filler bytes, rotated by `rrc`.
    std::string Wrap(const std::string& message, uint16_t ec, uint16_t rrc,
                     unsigned char flags = 0x03) const {
        const std::string header = Header(0x05, flags, ec, rrc);
        std::string inner = Header(0x05, flags, ec, 0);
        std::string plain = message + std::string(ec, 'x') + inner;
        size_t length = 0;
        krb5_c_encrypt_length(m_context, m_enctype, plain.size(), &length);
        std::string sealed(length, '\0');
        krb5_data in{0, static_cast<unsigned>(plain.size()), plain.data()};
        krb5_enc_data out{};
        out.enctype = m_enctype;
        out.ciphertext = {0, static_cast<unsigned>(length), sealed.data()};
        EXPECT_EQ(krb5_c_encrypt(m_context, m_key, 22, nullptr, &in, &out), 0);
        sealed.resize(out.ciphertext.length);
        if (rrc != 0) {  // rotated right by rrc
            const size_t by = rrc % sealed.size();
            std::rotate(sealed.begin(), sealed.end() - by, sealed.end());
        }
        return header + sealed;
    }
    // A checksum token over `message`: usage 23.
    std::string Mic(const std::string& message) const {
        const std::string header = std::string("\x04\x04\x01\xff\xff\xff\xff\xff", 8) +
                                   std::string("\x00\x00\x00\x00\x00\x00\x00\x09", 8);
        std::string signedBytes = message + header;
        krb5_data in{0, static_cast<unsigned>(signedBytes.size()), signedBytes.data()};
        krb5_checksum sum{};
        EXPECT_EQ(krb5_c_make_checksum(m_context, 0, m_key, 23, &in, &sum), 0);
        std::string token = header + std::string(reinterpret_cast<char*>(sum.contents), sum.length);
        krb5_free_checksum_contents(m_context, &sum);
        return token;
    }

private:
    krb5_context m_context = nullptr;
    krb5_keyblock* m_key = nullptr;
    krb5_enctype m_enctype;
};

class Krb5TokensOfType : public testing::TestWithParam<krb5_enctype> {};

TEST_P(Krb5TokensOfType, GoodTokensReadAsMitWroteThem) {
    const Acceptor acceptor(GetParam());
    auto reader = AcceptorTokens::Make(GetParam(), acceptor.Key());
    ASSERT_NE(reader, nullptr);
    std::string message;
    for (size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1000},
                        size_t{128 * 1024 + 3}}) {
        std::string original(size, '\0');
        for (size_t i = 0; i < size; ++i) original[i] = static_cast<char>(i * 7 + size);
        for (uint16_t ec : {0, 5})
            for (uint16_t rrc : {0, 28, 65535}) {
                ASSERT_TRUE(reader->Unwrap(acceptor.Wrap(original, ec, rrc), message))
                    << size << " bytes, EC " << ec << ", RRC " << rrc;
                EXPECT_EQ(message, original);
            }
        EXPECT_TRUE(reader->Verify(original, acceptor.Mic(original))) << size;
        // With the acceptor's subkey flag: the key given reads it or not, as
        // MIT picks a token's key by that flag.
        EXPECT_TRUE(reader->Unwrap(acceptor.Wrap(original, 0, 0, 0x07), message));
    }
}

TEST_P(Krb5TokensOfType, AnythingAlteredOrUnexpectedIsLeftToGssapi) {
    const Acceptor acceptor(GetParam());
    auto reader = AcceptorTokens::Make(GetParam(), acceptor.Key());
    ASSERT_NE(reader, nullptr);
    const std::string original(3000, 'm');
    const std::string good = acceptor.Wrap(original, 0, 0);
    std::string message;
    auto flipped = [](std::string token, size_t at) {
        token[at] = static_cast<char>(token[at] ^ 0x01);
        return token;
    };
    EXPECT_FALSE(reader->Unwrap(flipped(good, 20), message)) << "ciphertext";
    EXPECT_FALSE(reader->Unwrap(flipped(good, good.size() - 1), message)) << "checksum";
    EXPECT_FALSE(reader->Unwrap(flipped(good, 15), message)) << "sequence number";
    EXPECT_FALSE(reader->Unwrap(flipped(good, 6), message)) << "rotation";
    EXPECT_FALSE(reader->Unwrap(flipped(good, 0), message)) << "token id";
    EXPECT_FALSE(reader->Unwrap(good.substr(0, good.size() - 1), message)) << "cut short";
    EXPECT_FALSE(reader->Unwrap(good.substr(0, 40), message)) << "too short for a token";
    EXPECT_FALSE(reader->Unwrap(acceptor.Wrap(original, 0, 0, 0x01), message)) << "not sealed";
    EXPECT_FALSE(reader->Unwrap(acceptor.Wrap(original, 0, 0, 0x02), message)) << "initiator's";
    // A filler longer than the token holds.
    std::string filler = good;
    filler[4] = '\x7f';
    EXPECT_FALSE(reader->Unwrap(filler, message));
    // Another key: nothing decrypts.
    const Acceptor other(GetParam());
    EXPECT_FALSE(reader->Unwrap(other.Wrap(original, 0, 0), message));

    const std::string mic = acceptor.Mic(original);
    EXPECT_FALSE(reader->Verify(original + "x", mic));
    EXPECT_FALSE(reader->Verify(original, flipped(mic, mic.size() - 1)));
    EXPECT_FALSE(reader->Verify(original, flipped(mic, 12)));
    EXPECT_FALSE(reader->Verify(original, mic.substr(0, mic.size() - 1)));
    EXPECT_FALSE(reader->Verify(original, other.Mic(original)));
}

INSTANTIATE_TEST_SUITE_P(Aes, Krb5TokensOfType,
                         testing::Values(ENCTYPE_AES128_CTS_HMAC_SHA1_96,
                                         ENCTYPE_AES256_CTS_HMAC_SHA1_96,
                                         ENCTYPE_AES128_CTS_HMAC_SHA256_128,
                                         ENCTYPE_AES256_CTS_HMAC_SHA384_192));

TEST(Krb5Tokens, OtherKeyTypesAreLeftToGssapi) {
    EXPECT_EQ(AcceptorTokens::Make(ENCTYPE_CAMELLIA256_CTS_CMAC, std::string(32, 'k')), nullptr);
    EXPECT_EQ(AcceptorTokens::Make(ENCTYPE_ARCFOUR_HMAC, std::string(16, 'k')), nullptr);
    EXPECT_EQ(AcceptorTokens::Make(ENCTYPE_AES256_CTS_HMAC_SHA384_192, std::string(24, 'k')),
              nullptr);
    EXPECT_EQ(AcceptorTokens::Make(ENCTYPE_AES256_CTS_HMAC_SHA1_96, std::string(16, 'k')), nullptr);
    const auto aes128 = AcceptorTokens::Make(ENCTYPE_AES128_CTS_HMAC_SHA1_96, std::string(16, 'k'));
    ASSERT_NE(aes128, nullptr);
    EXPECT_STREQ(aes128->TypeName(), "aes128-cts-hmac-sha1-96");
}

}  // namespace
