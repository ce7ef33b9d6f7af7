#include "nasbrowse/Plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace nasbrowse {
namespace {

std::string ExecutableDir() {
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void* Symbol(void* handle, const char* name, const std::string& path) {
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error("plug-in " + path + " has no entry " + name +
                                 (why ? std::string(": ") + why : std::string()));
    }
    return symbol;
}

}  // namespace

std::string DefaultPluginPath() {
    const std::string dir = ExecutableDir();
    const std::vector<std::string> candidates = {
        dir + "/" NASBROWSE_INSTALL_LIB_REL "/" NASBROWSE_PLUGIN_NAME,  // installed
        dir + "/" NASBROWSE_PLUGIN_NAME,                                  // beside the binary
        NASBROWSE_BUILD_PLUGIN,                                           // this build tree
    };
    for (const std::string& candidate : candidates)
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
    return candidates.front();
}

Plugin::Plugin(const std::string& path) : m_path(path.empty() ? DefaultPluginPath() : path) {
    // A name without a slash would make dlopen search the library path; the
    // option names a file.
    std::string file = m_path;
    if (file.find('/') == std::string::npos) file = "./" + file;
    m_handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plug-in " + m_path + ": " +
                                 (why ? why : "unknown reason"));
    }
    try {
        // A data pointer turned into a function pointer, as POSIX allows for dlsym.
        browse = reinterpret_cast<NASShareBrowseFn>(Symbol(m_handle, "NASShareBrowse", m_path));
        xmlBrowse =
            reinterpret_cast<NASShareXMLBrowseFn>(Symbol(m_handle, "NASShareXMLBrowse", m_path));
        discovery =
            reinterpret_cast<GetNASShareBrowseFNFn>(Symbol(m_handle, "GetNASShareBrowseFN", m_path));
        // dlsym on the handle also searches the plug-in's dependencies.
        setNfsTimeoutMs =
            reinterpret_cast<SetTimeoutMsFn>(dlsym(m_handle, "NFSClientSetTimeoutMs"));
        getNfsTimeoutMs =
            reinterpret_cast<GetTimeoutMsFn>(dlsym(m_handle, "NFSClientGetTimeoutMs"));
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
