#include "nasbrowse/Plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace nasbrowse {

std::string ProgramDir() {
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

Plugin::Plugin(const std::string& path)
    : m_path(path.empty()
                 ? DefaultPluginPath(ProgramDir(), NASBROWSE_INSTALL_LIB_REL, NASBROWSE_PLUGIN_NAME)
                 : path) {
    // A name without a slash would make dlopen search the library path; the
    // option names a file.
    std::string file = m_path;
    if (file.find('/') == std::string::npos) file = "./" + file;
    m_handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error(
            "cannot load the plug-in " + m_path + ": " + (why ? why : "unknown reason") +
            (path.empty() ? "; reinstall nasbrowse, or give the plug-in with --plugin PATH" : ""));
    }
    try {
        // dlsym on the handle also searches the plug-in's dependencies.
        const PluginEntries entries =
            ResolveEntries([this](const char* name) { return dlsym(m_handle, name); }, m_path);
        browse = entries.browse;
        xmlBrowse = entries.xmlBrowse;
        discovery = entries.discovery;
        setNfsTimeoutMs = entries.setNfsTimeoutMs;
        getNfsTimeoutMs = entries.getNfsTimeoutMs;
        setNfsCallLimitMs =
            reinterpret_cast<SetCallLimitMsFn>(dlsym(m_handle, "NFSClientSetCallLimitMs"));
        setNfsMaxEntries =
            reinterpret_cast<SetMaxEntriesFn>(dlsym(m_handle, "NFSClientSetMaxEntries"));
        setNfsThreadMaxEntries =
            reinterpret_cast<SetMaxEntriesFn>(dlsym(m_handle, "NFSClientSetThreadMaxEntries"));
        setNfsSpareWorkers =
            reinterpret_cast<SetSpareWorkersFn>(dlsym(m_handle, "NFSClientSetSpareWorkers"));
        startNfsWorkers =
            reinterpret_cast<SetSpareWorkersFn>(dlsym(m_handle, "NFSClientStartWorkers"));
        setNfsSecurity = reinterpret_cast<SetSecurityFn>(dlsym(m_handle, "NFSClientSetSecurity"));
        setNfsKerberosKeytab =
            reinterpret_cast<SetKerberosKeytabFn>(dlsym(m_handle, "NFSClientSetKerberosKeytab"));
    } catch (...) {
        dlclose(m_handle);
        m_handle = nullptr;
        throw;
    }
}

Plugin::~Plugin() {
    // The plug-in stays mapped: threads of a daemon being shut down may still
    // be returning through it, and the process ends right after anyway.
}

}  // namespace nasbrowse
