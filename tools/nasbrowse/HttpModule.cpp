// Loading the HTTP module of `serve --http` (HttpServe.h).
#include <dlfcn.h>
#include <sys/stat.h>

#include <stdexcept>

#include "nasbrowse/HttpServe.h"

namespace nasbrowse {

std::string DefaultHttpModulePath(const std::string& programDir, const std::string& installLibRel,
                                  const std::string& moduleName) {
    struct stat info {};
    if (stat((programDir + "/" + kBuildTreeMarker).c_str(), &info) == 0)
        return programDir + "/" + moduleName;
    return programDir + "/" + installLibRel + "/nasbrowse/" + moduleName;
}

std::unique_ptr<HttpService> MakeHttpService(const Plugin& plugin, const HostOptions& host,
                                             const ServeOptions& serve,
                                             const std::vector<Cidr>& allow) {
    // Never the current folder's: ProgramDir() is "." only when
    // /proc/self/exe cannot be read.
    const std::string programDir = ProgramDir();
    if (programDir.empty() || programDir[0] != '/')
        throw std::runtime_error(
            "cannot tell which folder nasbrowse runs from (/proc/self/exe is unreadable), so "
            "serve --http cannot find its HTTP module; run it where /proc is mounted");
    const std::string path =
        DefaultHttpModulePath(programDir, NASBROWSE_INSTALL_LIB_REL, NASBROWSE_HTTP_MODULE_NAME);
    const std::string remedy = "; serve --http needs it: reinstall nasbrowse";
    // Never unloaded: its threads may still be returning through it while
    // the daemon shuts down, and the process ends right after anyway.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        std::string why = text ? text : "";
        // The loader's text starts with the path already.
        if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
        throw std::runtime_error("cannot load the HTTP module " + path + " (" +
                                 (why.empty() ? "unknown reason" : why) + ")" + remedy);
    }
    const auto make = reinterpret_cast<MakeHttpServiceFn>(dlsym(handle, kHttpEntry));
    HttpService* service =
        make == nullptr ? nullptr : make(NASBROWSE_VERSION, plugin, host, serve, allow);
    if (service == nullptr)
        throw std::runtime_error("the HTTP module " + path +
                                 " is not the one of nasbrowse " NASBROWSE_VERSION + remedy);
    return std::unique_ptr<HttpService>(service);
}

}  // namespace nasbrowse
