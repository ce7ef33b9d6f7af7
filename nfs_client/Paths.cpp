#include "nfs_client/Paths.h"

namespace nfsclient {

bool SplitServerPath(const char* path, std::vector<std::string>& components, std::string& why) {
    components.clear();
    if (path == nullptr || *path == '\0') {
        why = "the path is empty";
        return false;
    }
    if (*path != '/') {
        why = "the path is not absolute (it must start with \"/\")";
        return false;
    }
    const std::string text(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part == "..") {
            why = "the path has a \"..\" component, which is not allowed";
            return false;
        }
        if (!part.empty() && part != ".") components.push_back(part);
        start = end + 1;
    }
    return true;
}

std::string JoinServerPath(const std::vector<std::string>& components) {
    if (components.empty()) return "/";
    std::string path;
    for (const std::string& part : components) path += "/" + part;
    return path;
}

int ChooseExport(const std::vector<std::string>& components,
                 const std::vector<std::string>& exports, size_t& depth) {
    int best = -1;
    depth = 0;
    std::vector<std::string> exportParts;
    std::string ignored;
    for (size_t i = 0; i < exports.size(); ++i) {
        if (!SplitServerPath(exports[i].c_str(), exportParts, ignored)) continue;
        if (exportParts.size() > components.size()) continue;
        if (best >= 0 && exportParts.size() <= depth) continue;
        bool prefix = true;
        for (size_t k = 0; k < exportParts.size() && prefix; ++k)
            prefix = exportParts[k] == components[k];
        if (prefix) {
            best = static_cast<int>(i);
            depth = exportParts.size();
        }
    }
    return best;
}

}  // namespace nfsclient
