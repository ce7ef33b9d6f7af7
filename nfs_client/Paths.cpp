#include "nfs_client/Paths.h"

#include <arpa/inet.h>   // inet_pton
#include <netinet/in.h>  // in6_addr

#include <cstring>  // strlen, strrchr

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
        if (part.size() > kMaxComponentBytes) {
            why = "the path has a component of " + std::to_string(part.size()) +
                  " bytes; names are at most " + std::to_string(kMaxComponentBytes) + " bytes";
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

bool NormaliseExportPath(const char* path, std::string& normalised, std::string& why) {
    if (path != nullptr && strlen(path) > kMaxPathBytes) {
        why = "the path is longer than " + std::to_string(kMaxPathBytes) + " bytes";
        return false;
    }
    std::vector<std::string> components;
    if (!SplitServerPath(path, components, why)) return false;
    normalised = JoinServerPath(components);
    return true;
}

bool ParseNumericAddress(const char* address, int& family) {
    unsigned char buffer[sizeof(in6_addr)];
    if (address == nullptr) return false;
    if (inet_pton(AF_INET, address, buffer) == 1) {
        family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, address, buffer) == 1) {
        family = AF_INET6;
        return true;
    }
    return false;
}

namespace {

// A decimal number of 1 to 3 digits between `from` and `to`; -1 otherwise.
int Byte(const char* from, const char* to) {
    if (to <= from || to - from > 3) return -1;
    int value = 0;
    for (const char* p = from; p < to; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
    }
    return value <= 255 ? value : -1;
}

}  // namespace

int PortOfUniversalAddress(const char* uaddr) {
    if (uaddr == nullptr) return 0;
    const char* end = uaddr + strlen(uaddr);
    const char* low = strrchr(uaddr, '.');
    if (low == nullptr || low == uaddr) return 0;
    const char* high = low - 1;
    while (high > uaddr && *high != '.') --high;
    if (*high != '.') return 0;
    const int hi = Byte(high + 1, low);
    const int lo = Byte(low + 1, end);
    if (hi < 0 || lo < 0) return 0;
    return hi * 256 + lo;
}

}  // namespace nfsclient
