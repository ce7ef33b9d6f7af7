#include "nfs_client/worker/rpc/Krb5Library.h"

#include <dlfcn.h>  // dlopen, dlsym, dlerror, dlclose

namespace nfsclient {
namespace {

// What to do, after each cause below.
constexpr const char* kInstall =
    "; install Debian's libgssapi-krb5-2 (MIT Kerberos 1.11 or later, with libkrb5-3)";

// dlerror's text, bounded (it may repeat a long path).
std::string LoaderText() {
    constexpr size_t kMaxText = 200;
    const char* text = dlerror();
    std::string copy = text != nullptr ? text : "no reason given";
    if (copy.size() > kMaxText) copy = copy.substr(0, kMaxText) + "...";
    return copy;
}

void* Open(const char* library, std::string& why) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        why = std::string("the Kerberos libraries of MIT cannot be loaded (") + LoaderText() + ")" +
              kInstall;
    return handle;
}

template <typename Slot>
bool Bind(void* handle, const char* library, const char* name, Slot& slot, std::string& why) {
    dlerror();
    void* found = dlsym(handle, name);
    if (found == nullptr) {
        why = std::string("the Kerberos library ") + library + " has no " + name + " (" +
              LoaderText() + ")" + kInstall;
        return false;
    }
    slot = reinterpret_cast<Slot>(found);
    return true;
}

// An exported OID variable: its value.
bool BindOid(void* handle, const char* library, const char* name, gss_OID& oid, std::string& why) {
    const gss_OID* variable = nullptr;
    if (!Bind(handle, library, name, variable, why)) return false;
    oid = *variable;
    return true;
}

}  // namespace

bool LoadKrb5Api(const char* gssapiLibrary, const char* krb5Library, Krb5Api& api,
                 std::string& why) {
    void* gssapi = Open(gssapiLibrary, why);
    if (gssapi == nullptr) return false;
    void* krb5 = Open(krb5Library, why);
    bool bound = krb5 != nullptr;
#define NSB_BIND_GSSAPI(name) bound = bound && Bind(gssapi, gssapiLibrary, #name, api.name, why);
#define NSB_BIND_KRB5(name) bound = bound && Bind(krb5, krb5Library, #name, api.name, why);
    NSB_GSSAPI_FUNCTIONS(NSB_BIND_GSSAPI)
    NSB_KRB5_FUNCTIONS(NSB_BIND_KRB5)
#undef NSB_BIND_GSSAPI
#undef NSB_BIND_KRB5
    bound =
        bound && BindOid(gssapi, gssapiLibrary, "gss_mech_krb5", api.mechKrb5, why) &&
        BindOid(gssapi, gssapiLibrary, "GSS_C_NT_HOSTBASED_SERVICE", api.hostbasedService, why) &&
        BindOid(gssapi, gssapiLibrary, "GSS_KRB5_NT_PRINCIPAL_NAME", api.krb5PrincipalName, why);
    if (!bound) {
        if (krb5 != nullptr) dlclose(krb5);
        dlclose(gssapi);
        api = Krb5Api();
    }
    return bound;
}

const Krb5Api* Krb5Library(std::string& why) {
    struct Loaded {
        Krb5Api api;
        std::string why;
        bool ok = false;
    };
    static const Loaded loaded = [] {
        Loaded result;
        result.ok = LoadKrb5Api("libgssapi_krb5.so.2", "libkrb5.so.3", result.api, result.why);
        return result;
    }();
    if (!loaded.ok) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace nfsclient
