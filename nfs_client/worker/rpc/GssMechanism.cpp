#include "nfs_client/worker/rpc/GssMechanism.h"

#include "nfs_client/worker/rpc/Krb5Library.h"  // Krb5Api, Krb5Library
#include "nfs_client/worker/rpc/Krb5Tokens.h"   // AcceptorTokens

#include <algorithm>  // std::fill
#include <cstdlib>    // setenv
#include <cstring>    // memcmp
#include <memory>     // std::shared_ptr

namespace nfsclient {
namespace {

// What the worded causes below add: the library's own text, for the record.
std::string StatusText(const Krb5Api& api, OM_uint32 code, int type) {
    std::string text;
    OM_uint32 context = 0;
    for (int i = 0; i < 4; ++i) {
        OM_uint32 minor = 0;
        gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
        if (GSS_ERROR(api.gss_display_status(&minor, code, type, api.mechKrb5, &context, &buffer)))
            break;
        if (!text.empty()) text += "; ";
        text.append(static_cast<const char*>(buffer.value), buffer.length);
        api.gss_release_buffer(&minor, &buffer);
        if (context == 0) break;
    }
    return text;
}

// A worded cause, with what to do, for a GSSAPI failure of `what`.
std::string Word(const Krb5Api& api, const char* what, OM_uint32 major, OM_uint32 minor,
                 const std::string& host) {
    const std::string detail = minor != 0 ? StatusText(api, minor, GSS_C_MECH_CODE)
                                          : StatusText(api, major, GSS_C_GSS_CODE);
    std::string cause;
    switch (static_cast<krb5_error_code>(minor)) {
    case KRB5_FCC_NOFILE:
    case KRB5_CC_NOTFOUND:
    case KRB5_CC_BADNAME:
    case KRB5_CC_NOSUPP:
        cause = "no Kerberos ticket for this user; run kinit, or give a keytab";
        break;
    case KRB5KRB_AP_ERR_TKT_EXPIRED:
        cause = "the Kerberos ticket has expired; run kinit again (or give a keytab)";
        break;
    case KRB5KRB_AP_ERR_SKEW:
        cause =
            "this machine's clock and the KDC's or the file server's differ by more than "
            "Kerberos allows (5 minutes); set the clocks right (NTP)";
        break;
    case KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN:
        cause = "the KDC has no principal nfs/" + host +
                "; add it to the KDC and the file server's keytab, or give the server by the "
                "name it has there";
        break;
    case KRB5_KDC_UNREACH:
    case KRB5_REALM_CANT_RESOLVE:
    case KRB5_REALM_UNKNOWN:
        cause =
            "the KDC cannot be reached; check the kdc entries of krb5.conf and the network "
            "(a cached service ticket for nfs/" +
            host + " would do without it)";
        break;
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
        cause =
            "the KDC does not know the client principal; check the principal given with the "
            "keytab";
        break;
    case KRB5_KT_NOTFOUND:
    case KRB5_KT_END:
        cause = "the keytab holds no key of the client principal; check the keytab and principal";
        break;
    case KRB5_KT_BADNAME:
    case KRB5_KT_NOWRITE:
        cause = "the keytab cannot be read; check its path and permissions";
        break;
    case KRB5KDC_ERR_PREAUTH_FAILED:
    case KRB5KRB_AP_ERR_BAD_INTEGRITY:
        cause = "the KDC refused the keytab's key (outdated?); make the keytab anew";
        break;
    default:
        if (GSS_ROUTINE_ERROR(major) == GSS_S_NO_CRED)
            cause = "no Kerberos ticket for this user; run kinit, or give a keytab";
        else if (GSS_ROUTINE_ERROR(major) == GSS_S_CREDENTIALS_EXPIRED)
            cause = "the Kerberos ticket has expired; run kinit again (or give a keytab)";
        else
            cause = std::string("Kerberos failed at ") + what;
    }
    return detail.empty() ? cause : cause + " (Kerberos: " + detail + ")";
}

std::string KrbText(const Krb5Api& api, krb5_context context, krb5_error_code code) {
    const char* text = api.krb5_get_error_message(context, code);
    std::string copy = text != nullptr ? text : "unknown error";
    api.krb5_free_error_message(context, text);
    return copy;
}

class Buffer {
public:
    explicit Buffer(const Krb5Api& api) : m_api(api) {}
    ~Buffer() {
        OM_uint32 minor = 0;
        m_api.gss_release_buffer(&minor, &m_buffer);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    gss_buffer_t operator&() { return &m_buffer; }
    std::string Text() const { return {static_cast<const char*>(m_buffer.value), m_buffer.length}; }

private:
    const Krb5Api& m_api;
    gss_buffer_desc m_buffer = GSS_C_EMPTY_BUFFER;
};

gss_buffer_desc View(const std::string& bytes) {
    return gss_buffer_desc{bytes.size(), const_cast<char*>(bytes.data())};
}

// The credentials and the service's name, shared by a context and any made
// anew in its place.
struct Krb5Identity {
    const Krb5Api& api;
    gss_cred_id_t credential;
    gss_name_t target;
    Krb5Identity(const Krb5Api& a, gss_cred_id_t c, gss_name_t t)
        : api(a), credential(c), target(t) {}
    ~Krb5Identity() {
        OM_uint32 minor = 0;
        api.gss_release_cred(&minor, &credential);
        api.gss_release_name(&minor, &target);
    }
    Krb5Identity(const Krb5Identity&) = delete;
    Krb5Identity& operator=(const Krb5Identity&) = delete;
};

class Krb5 final : public GssMechanism {
public:
    Krb5(std::shared_ptr<Krb5Identity> identity, OM_uint32 flags, std::string host)
        : m_api(identity->api),
          m_identity(std::move(identity)),
          m_flags(flags),
          m_host(std::move(host)) {}
    ~Krb5() override {
        OM_uint32 minor = 0;
        if (m_context != GSS_C_NO_CONTEXT)
            m_api.gss_delete_sec_context(&minor, &m_context, GSS_C_NO_BUFFER);
    }
    Krb5(const Krb5&) = delete;
    Krb5& operator=(const Krb5&) = delete;

    std::unique_ptr<GssMechanism> Fresh(std::string&) override {
        return std::make_unique<Krb5>(m_identity, m_flags, m_host);
    }
    Step Initiate(const std::string& input, std::string& output, std::string& why) override {
        OM_uint32 minor = 0;
        OM_uint32 granted = 0;
        gss_buffer_desc in = View(input);
        Buffer out(m_api);
        const OM_uint32 major = m_api.gss_init_sec_context(
            &minor, m_identity->credential, &m_context, m_identity->target, m_api.mechKrb5, m_flags,
            0, GSS_C_NO_CHANNEL_BINDINGS, input.empty() ? GSS_C_NO_BUFFER : &in, nullptr, &out,
            &granted, nullptr);
        if (GSS_ERROR(major)) {
            why = Word(m_api, "the context's set-up", major, minor, m_host);
            return Step::Failed;
        }
        output = out.Text();
        if (major & GSS_S_CONTINUE_NEEDED) return Step::Continue;
        if ((granted & m_flags) != m_flags) {
            why =
                "the Kerberos context lacks the protection asked for (mutual authentication, "
                "integrity or privacy)";
            return Step::Failed;
        }
        return Step::Complete;
    }
    bool Sign(const std::string& message, std::string& mic, std::string& why) override {
        OM_uint32 minor = 0;
        gss_buffer_desc in = View(message);
        Buffer out(m_api);
        const OM_uint32 major = m_api.gss_get_mic(&minor, m_context, GSS_C_QOP_DEFAULT, &in, &out);
        if (GSS_ERROR(major)) {
            why = Word(m_api, "a checksum", major, minor, m_host);
            return false;
        }
        mic = out.Text();
        return true;
    }
    bool Verify(const std::string& message, const std::string& mic, std::string& why) override {
        if (ServerTokens(message.size()) && m_tokens->Verify(message, mic)) return true;
        OM_uint32 minor = 0;
        gss_buffer_desc in = View(message);
        gss_buffer_desc token = View(mic);
        const OM_uint32 major = m_api.gss_verify_mic(&minor, m_context, &in, &token, nullptr);
        if (GSS_ERROR(major)) {
            why = StatusText(m_api, major, GSS_C_GSS_CODE);
            return false;
        }
        return true;
    }
    bool Wrap(const std::string& message, std::string& wrapped, std::string& why) override {
        OM_uint32 minor = 0;
        int encrypted = 0;
        gss_buffer_desc in = View(message);
        Buffer out(m_api);
        const OM_uint32 major =
            m_api.gss_wrap(&minor, m_context, 1, GSS_C_QOP_DEFAULT, &in, &encrypted, &out);
        if (GSS_ERROR(major) || encrypted == 0) {
            why = GSS_ERROR(major) ? Word(m_api, "a wrap", major, minor, m_host) : "not encrypted";
            return false;
        }
        wrapped = out.Text();
        return true;
    }
    bool Unwrap(const std::string& wrapped, std::string& message, std::string& why) override {
        if (ServerTokens(wrapped.size()) && m_tokens->Unwrap(wrapped, message)) return true;
        OM_uint32 minor = 0;
        int encrypted = 0;
        gss_buffer_desc in = View(wrapped);
        Buffer out(m_api);
        const OM_uint32 major = m_api.gss_unwrap(&minor, m_context, &in, &out, &encrypted, nullptr);
        if (GSS_ERROR(major) || encrypted == 0) {
            why = GSS_ERROR(major) ? StatusText(m_api, major, GSS_C_GSS_CODE) : "not encrypted";
            return false;
        }
        message = out.Text();
        return true;
    }

    const char* ReadsWithOpenSsl() const override {
        return m_tokens != nullptr ? m_tokens->TypeName() : nullptr;
    }

private:
    // Whether the server's token of `bytes` is read with OpenSSL
    // (Krb5Tokens.h): from the token that brings the server's tokens of this
    // context to kOpenSslAfter bytes on, when the context's key allows.
    // Loading libcrypto and deriving the keys cost about 6 ms
    // (docs/PERFORMANCE.md), as much as MIT's own AES spends on some 1.7 MB:
    // a small browse never pays it, a long listing pays it once. What this
    // client sends still goes through GSSAPI, which ends the call when the
    // context has expired.
    bool ServerTokens(size_t bytes) {
        constexpr size_t kOpenSslAfter = 1 << 20;
        if (m_tokens == nullptr && !m_tokensTried && (m_gssBytes += bytes) >= kOpenSslAfter) {
            m_tokensTried = true;
            m_tokens = ReaderOfServerTokens();
        }
        return m_tokens != nullptr;
    }
    std::unique_ptr<AcceptorTokens> ReaderOfServerTokens() {
        // GSS_C_INQ_SSPI_SESSION_KEY: the key the acceptor's tokens use, then
        // the key type as an OID under 1.2.840.113554.1.2.2.4.
        static const char kKeyOid[] = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02\x05\x05";
        static const char kTypePrefix[] = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02\x04";
        gss_OID_desc oid{sizeof kKeyOid - 1, const_cast<char*>(kKeyOid)};
        OM_uint32 minor = 0;
        gss_buffer_set_t found = GSS_C_NO_BUFFER_SET;
        if (GSS_ERROR(m_api.gss_inquire_sec_context_by_oid(&minor, m_context, &oid, &found)) ||
            found == GSS_C_NO_BUFFER_SET)
            return nullptr;
        std::unique_ptr<AcceptorTokens> reader;
        if (found->count >= 2) {
            const gss_buffer_desc& key = found->elements[0];
            const gss_buffer_desc& type = found->elements[1];
            // Key types below 128 take one byte of the OID.
            constexpr size_t kPrefix = sizeof kTypePrefix - 1;
            if (type.length == kPrefix + 1 && std::memcmp(type.value, kTypePrefix, kPrefix) == 0) {
                std::string bytes(static_cast<const char*>(key.value), key.length);
                const auto enctype = static_cast<const unsigned char*>(type.value)[kPrefix];
                if (enctype < 0x80) reader = AcceptorTokens::Make(enctype, bytes);
                std::fill(bytes.begin(), bytes.end(), '\0');
            }
        }
        m_api.gss_release_buffer_set(&minor, &found);
        return reader;
    }

    const Krb5Api& m_api;
    std::shared_ptr<Krb5Identity> m_identity;
    std::unique_ptr<AcceptorTokens> m_tokens;
    bool m_tokensTried = false;
    size_t m_gssBytes = 0;  // of the server's tokens GSSAPI read
    gss_ctx_id_t m_context = GSS_C_NO_CONTEXT;
    OM_uint32 m_flags;
    std::string m_host;
};

// The caller's credential cache copied into a MEMORY cache of this process,
// whose name goes to `memoryName`: the user's cache is only read.
bool CopyCache(const Krb5Api& api, const std::string& cacheName, std::string& memoryName,
               std::string& why) {
    krb5_context context = nullptr;
    krb5_error_code code = api.krb5_init_context(&context);
    if (code != 0) {
        why = "the Kerberos configuration cannot be read; check krb5.conf (KRB5_CONFIG)";
        return false;
    }
    krb5_ccache source = nullptr;
    krb5_ccache memory = nullptr;
    krb5_principal client = nullptr;
    code = cacheName.empty() ? api.krb5_cc_default(context, &source)
                             : api.krb5_cc_resolve(context, cacheName.c_str(), &source);
    if (code == 0) code = api.krb5_cc_get_principal(context, source, &client);
    if (code != 0) {
        why = "no Kerberos ticket for this user; run kinit, or give a keytab (Kerberos: " +
              KrbText(api, context, code) + ")";
    } else {
        code = api.krb5_cc_new_unique(context, "MEMORY", nullptr, &memory);
        if (code == 0) code = api.krb5_cc_initialize(context, memory, client);
        if (code == 0) code = api.krb5_cc_copy_creds(context, source, memory);
        if (code == 0)
            memoryName = std::string("MEMORY:") + api.krb5_cc_get_name(context, memory);
        else
            why = "the Kerberos credential cache cannot be read (Kerberos: " +
                  KrbText(api, context, code) + "); run kinit again";
    }
    if (client != nullptr) api.krb5_free_principal(context, client);
    // A MEMORY cache outlives its handle: gss_acquire_cred_from finds it by name.
    if (memory != nullptr) api.krb5_cc_close(context, memory);
    if (source != nullptr) api.krb5_cc_close(context, source);
    api.krb5_free_context(context);
    return code == 0;
}

}  // namespace

std::unique_ptr<GssMechanism> Krb5Mechanism(Flavour flavour, const Security& security,
                                            std::string& why) {
    // The worker is single-threaded when it gets here, and makes no krb5
    // call before: the library reads its configuration from the environment.
    if (!security.kerberosConfig.empty()) setenv("KRB5_CONFIG", security.kerberosConfig.c_str(), 1);
    // Loaded here, the first time a call needs Kerberos: after the sandbox's
    // filter, which lets the loader read and map the libraries.
    const Krb5Api* loaded = Krb5Library(why);
    if (loaded == nullptr) return nullptr;
    const Krb5Api& api = *loaded;
    const std::string host = security.serverName;
    std::string cache;
    gss_key_value_element_desc elements[2];
    gss_key_value_set_desc store{0, elements};
    OM_uint32 minor = 0;
    gss_name_t client = GSS_C_NO_NAME;
    if (!security.keytab.empty()) {
        elements[store.count++] = {"client_keytab", security.keytab.c_str()};
        elements[store.count++] = {"ccache", "MEMORY:nasbrowse-keytab"};
        if (!security.principal.empty()) {
            gss_buffer_desc name = View(security.principal);
            const OM_uint32 major =
                api.gss_import_name(&minor, &name, api.krb5PrincipalName, &client);
            if (GSS_ERROR(major)) {
                why = "the principal \"" + security.principal +
                      "\" is not a Kerberos principal name; give one as user@REALM";
                return nullptr;
            }
        }
    } else {
        if (!CopyCache(api, security.credentialCache, cache, why)) return nullptr;
        elements[store.count++] = {"ccache", cache.c_str()};
    }
    gss_OID_set_desc mechanisms{1, api.mechKrb5};
    gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
    OM_uint32 major =
        api.gss_acquire_cred_from(&minor, client, GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE,
                                  &store, &credential, nullptr, nullptr);
    api.gss_release_name(&minor, &client);
    if (GSS_ERROR(major)) {
        why = Word(api, "its credentials", major, minor, host);
        return nullptr;
    }
    const std::string service = "nfs@" + host;
    gss_buffer_desc serviceName = View(service);
    gss_name_t target = GSS_C_NO_NAME;
    major = api.gss_import_name(&minor, &serviceName, api.hostbasedService, &target);
    if (GSS_ERROR(major)) {
        api.gss_release_cred(&minor, &credential);
        why = "the service name " + service + " cannot be made (" +
              StatusText(api, major, GSS_C_GSS_CODE) + ")";
        return nullptr;
    }
    OM_uint32 flags = GSS_C_MUTUAL_FLAG | GSS_C_INTEG_FLAG;
    if (flavour == Flavour::Krb5p) flags |= GSS_C_CONF_FLAG;
    return std::make_unique<Krb5>(std::make_shared<Krb5Identity>(api, credential, target), flags,
                                  host);
}

}  // namespace nfsclient
