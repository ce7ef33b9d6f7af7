#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nasbrowse/Plugin.h"

namespace nasbrowse {

const char kBuildTreeMarker[] = "nasbrowse-build-tree";

PluginEntries ResolveEntries(const std::function<void*(const char*)>& lookup,
                             const std::string& path) {
    PluginEntries entries;
    std::vector<std::string> missing;
    auto find = [&](const char* name) {
        void* symbol = lookup(name);
        if (symbol == nullptr) missing.push_back(name);
        return symbol;
    };
    // A data pointer turned into a function pointer, as POSIX allows for dlsym.
    entries.browse = reinterpret_cast<NASShareBrowseFn>(find("NASShareBrowse"));
    entries.xmlBrowse = reinterpret_cast<NASShareXMLBrowseFn>(find("NASShareXMLBrowse"));
    entries.discovery = reinterpret_cast<GetNASShareBrowseFNFn>(find("GetNASShareBrowseFN"));
    entries.setNfsTimeoutMs = reinterpret_cast<SetTimeoutMsFn>(find("NFSClientSetTimeoutMs"));
    entries.getNfsTimeoutMs = reinterpret_cast<GetTimeoutMsFn>(find("NFSClientGetTimeoutMs"));
    if (missing.empty()) return entries;

    std::string names;
    for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
    throw std::runtime_error(
        "the plug-in " + path + " (or the NFS client library it loads) has no " + names +
        ": it is not the NAS share browse plug-in, or it comes from another version; "
        "install the matching version, or give the right one with --plugin PATH");
}

std::string DefaultPluginPath(const std::string& programDir, const std::string& installLibRel,
                              const std::string& pluginName) {
    std::ifstream marker(programDir + "/" + kBuildTreeMarker);
    std::string relative;
    if (marker && std::getline(marker, relative) && !relative.empty())
        return relative[0] == '/' ? relative : programDir + "/" + relative;
    return programDir + "/" + installLibRel + "/" + pluginName;
}

}  // namespace nasbrowse
