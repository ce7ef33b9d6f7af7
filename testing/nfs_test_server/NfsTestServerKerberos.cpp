// NfsTestServer's Kerberos: the realm beside ganesha and the server's names
// in a private hosts file.
#include <sys/mount.h>

#include <fstream>
#include <stdexcept>

#include "KerberosRealm.h"
#include "NfsTestServer.h"

namespace nfstest {

KerberosRealm& NfsTestServer::Kerberos() {
    if (!m_kerberos) throw std::runtime_error("NfsTestServer::Kerberos without Options::kerberos");
    return *m_kerberos;
}

void NfsTestServer::StartKerberos() {
    // Clients reach the server by name (Kerberos names the service after
    // it): a hosts file of this mount namespace maps both names to the
    // server, and each alias to its address. The machine's /etc/hosts is
    // read, never written.
    if (!m_hostsMounted) {
        const std::string hosts = m_root + "/hosts.kerberos";
        {
            std::ifstream in("/etc/hosts");
            std::ofstream out(hosts);
            out << in.rdbuf() << "\n"
                << Address() << "\t" << m_options.hostName << " " << UnknownServiceHost() << "\n";
            for (const Options::Alias& alias : m_options.aliases)
                out << alias.address << "\t" << alias.name << "\n";
            if (!out) throw std::runtime_error("cannot write " + hosts);
        }
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("cannot bind-mount a private hosts file over /etc/hosts");
        m_hostsMounted = true;
    }
    const bool made = !m_kerberos;
    if (made) {
        std::vector<std::string> names{m_options.hostName};
        for (const Options::Alias& alias : m_options.aliases) names.push_back(alias.name);
        m_kerberos = std::make_unique<KerberosRealm>(m_root + "/krb5", std::move(names));
        m_kerberos->Start();
    } else
        m_kerberos->StartKdc();
}

void NfsTestServer::StopKerberos() {
    m_kerberos.reset();
    if (m_hostsMounted) umount2("/etc/hosts", MNT_DETACH);
    m_hostsMounted = false;
}

}  // namespace nfstest
