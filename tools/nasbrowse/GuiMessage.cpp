#include "nasbrowse/GuiMessage.h"

namespace nasbrowse {

std::string GuiRequestPath(const std::string& server, const std::string& path, bool raw) {
    if (raw) return path;
    if (path.empty() || path == "/") return "/" + server;
    return "/" + server + (path[0] == '/' ? "" : "/") + path;
}

}  // namespace nasbrowse
