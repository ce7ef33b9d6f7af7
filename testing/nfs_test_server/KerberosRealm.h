// A private Kerberos realm for the test NFS server: a KDC of its own (MIT
// krb5kdc from Debian's krb5-kdc), its database, principals and keytabs made
// per run in a temporary folder, and a user's credential cache. Used by
// NfsTestServer with Options::kerberos; tests reach it through
// NfsTestServer::Kerberos() to put the client in the states it must survive
// (KDC stopped, no ticket, an expired ticket, a skewed KDC clock).
//
// Everything lives below `folder` (the server's tmpfs): krb5.conf and
// kdc.conf are named by KRB5_CONFIG and KRB5_KDC_PROFILE, never the
// machine's /etc. The realm is TEST.REALM, the KDC listens on port 88 of
// 127.0.0.1 in the private network namespace. Start() sets KRB5_CONFIG and
// KRB5CCNAME in this process's environment (so ganesha, the library under
// test and every program the test starts use the private realm and the
// user's cache); the destructor stops the KDC (by pid) and puts both
// variables back as they were.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nfstest {

class KerberosRealm {
public:
    static constexpr const char* kRealm = "TEST.REALM";

    // `serviceHosts`: the host names that get an nfs/<name> principal in the
    // server's keytab (the names clients give for the server).
    KerberosRealm(const std::string& folder, std::vector<std::string> serviceHosts);
    ~KerberosRealm();
    KerberosRealm(const KerberosRealm&) = delete;
    KerberosRealm& operator=(const KerberosRealm&) = delete;

    // Creates the database and the principals, starts the KDC and gets the
    // user a ticket (kinit into the FILE: cache). Bounded (about 5 s at most);
    // throws std::runtime_error with the tool's output on failure.
    void Start();

    // The KDC: stopped (SIGTERM by pid, SIGKILL after 2 s), started again
    // (optionally with its clock `skewSeconds` ahead of the machine's, through
    // libfaketime: a client with a ticket-granting ticket then gets "clock
    // skew too great" when it asks for a service ticket). Idempotent.
    void StopKdc();
    void StartKdc(int skewSeconds = 0);
    bool KdcRunning() const { return m_kdc > 0; }

    // The user's cache: a fresh ticket-granting ticket (kinit with the
    // password), valid `lifetimeSeconds` (0: the realm's default of 10 h;
    // 5 makes a ticket that has expired 5 s later), or the cache destroyed
    // (kdestroy). A service ticket (kvno nfs/HOST), as a browse leaves it.
    void Kinit(int lifetimeSeconds = 0);
    // A ticket that has expired, also by the KDC's and the server's
    // tolerance (clockskew, 3 s): kinit with a 1 s life, then 4.5 s of wait.
    void KinitExpired();
    void Kdestroy();
    void GetServiceTicket(const std::string& host);

    const std::string& ConfigFile() const { return m_config; }  // krb5.conf
    std::string CredentialCache() const { return "FILE:" + m_folder + "/user.ccache"; }
    std::string UserPrincipal() const { return std::string("alice@") + kRealm; }
    std::string UserPassword() const { return "alice-secret"; }
    // A client principal with a keytab of its own, for a daemon or a host
    // service that has no user's cache.
    std::string ClientPrincipal() const { return std::string("backupd@") + kRealm; }
    std::string ClientKeytab() const { return m_folder + "/backupd.keytab"; }
    // The server's keytab (nfs/<host> for every service host), for ganesha.
    std::string ServiceKeytab() const { return m_folder + "/nfs.keytab"; }
    std::string KdcLog() const;

    // Runs a Kerberos tool (kinit, klist, kvno...) with the realm's
    // environment, `input` on its stdin; returns its exit status (-1 when
    // it did not exit within 5 s: killed) and its output in `output`.
    int Run(const std::vector<std::string>& argv, std::string* output = nullptr,
            const std::string& input = "") const;

private:
    void RunOrThrow(const std::vector<std::string>& argv, const std::string& input = "") const;
    void Admin(const std::string& command) const;

    std::string m_folder;
    std::vector<std::string> m_serviceHosts;
    std::string m_config;
    pid_t m_kdc = -1;
    struct SavedVariable {
        std::string name;
        bool set = false;
        std::string value;
    };
    std::vector<SavedVariable> m_saved;
};

}  // namespace nfstest
