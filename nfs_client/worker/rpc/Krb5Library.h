// MIT GSSAPI and krb5, loaded when a call first needs Kerberos rather than
// linked: nearly every call is AUTH_SYS, and a worker starts for each one
// (the libraries and their dependencies, linked, cost every start about 2 ms
// of CPU; docs/PERFORMANCE.md). The headers give the types; the functions are
// reached through one table filled with dlsym.
#pragma once

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>   // gss_acquire_cred_from
#include <gssapi/gssapi_krb5.h>  // gss_mech_krb5, GSS_KRB5_NT_PRINCIPAL_NAME
#include <krb5.h>

#include <string>  // std::string

// The functions the worker calls, by library: X(name) for each.
#define NSB_GSSAPI_FUNCTIONS(X)       \
    X(gss_acquire_cred_from)          \
    X(gss_delete_sec_context)         \
    X(gss_display_status)             \
    X(gss_get_mic)                    \
    X(gss_import_name)                \
    X(gss_init_sec_context)           \
    X(gss_inquire_sec_context_by_oid) \
    X(gss_release_buffer)             \
    X(gss_release_buffer_set)         \
    X(gss_release_cred)               \
    X(gss_release_name)               \
    X(gss_unwrap)                     \
    X(gss_verify_mic)                 \
    X(gss_wrap)
#define NSB_KRB5_FUNCTIONS(X)  \
    X(krb5_cc_close)           \
    X(krb5_cc_copy_creds)      \
    X(krb5_cc_default)         \
    X(krb5_cc_get_name)        \
    X(krb5_cc_get_principal)   \
    X(krb5_cc_initialize)      \
    X(krb5_cc_new_unique)      \
    X(krb5_cc_resolve)         \
    X(krb5_free_context)       \
    X(krb5_free_error_message) \
    X(krb5_free_principal)     \
    X(krb5_get_error_message)  \
    X(krb5_init_context)

namespace nfsclient {

struct Krb5Api {
#define NSB_KRB5_API_MEMBER(name) decltype(&::name) name = nullptr;
    NSB_GSSAPI_FUNCTIONS(NSB_KRB5_API_MEMBER)
    NSB_KRB5_FUNCTIONS(NSB_KRB5_API_MEMBER)
#undef NSB_KRB5_API_MEMBER
    // The library's own OIDs (its exported gss_mech_krb5,
    // GSS_C_NT_HOSTBASED_SERVICE and GSS_KRB5_NT_PRINCIPAL_NAME).
    gss_OID mechKrb5 = GSS_C_NO_OID;
    gss_OID hostbasedService = GSS_C_NO_OID;
    gss_OID krb5PrincipalName = GSS_C_NO_OID;
};

// The table from libgssapi_krb5.so.2 and libkrb5.so.3, loaded the first time
// it is asked for and kept for the life of the process (never unloaded); a
// failure is kept too. Null, with the worded cause and what to do in `why`,
// when a library or one of its functions is missing.
const Krb5Api* Krb5Library(std::string& why);

// The same from the libraries named (dlopen's names), loaded anew: for the
// tests. A library that lacks a function is closed again.
bool LoadKrb5Api(const char* gssapiLibrary, const char* krb5Library, Krb5Api& api,
                 std::string& why);

}  // namespace nfsclient
