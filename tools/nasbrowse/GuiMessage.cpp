#include "nasbrowse/GuiMessage.h"

#include "host/Lookups.h"  // ORVClient

namespace nasbrowse {

std::string GuiRequestPath(const std::string& server, const std::string& path, bool raw) {
    if (raw) return path;
    if (path.empty() || path == "/") return "/" + server;
    return "/" + server + (path[0] == '/' ? "" : "/") + path;
}

std::string WithClientHost(const std::string& requestPath, unsigned long clientId) {
    if (requestPath.compare(0, 2, "//") != 0) return requestPath;
    std::string host;
    ORVClient client(clientId);
    if (client.getNetworkHostname(host, nullptr) != 0 || host.empty()) return requestPath;
    return "/" + host + requestPath.substr(1);
}

}  // namespace nasbrowse
