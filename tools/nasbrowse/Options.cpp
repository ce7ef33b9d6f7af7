#include "nasbrowse/Options.h"

#include <cctype>
#include <cmath>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace nasbrowse {
namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i)
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool PercentDecode(const std::string& text, std::string& out, std::string& error) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low < 0) {
            error = "bad percent escape at byte " + std::to_string(i) + " of " + text +
                    " (write a % in a name as %25)";
            return false;
        }
        if (high == 0 && low == 0) {
            error = "%00 in " + text + ": a path cannot hold a NUL byte";
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const size_t substitute = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min(std::min(row[j] + 1, row[j - 1] + 1), substitute);
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

bool ParseClientHost(const std::string& text, std::pair<unsigned long, std::string>& out) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 >= text.size()) return false;
    const std::string id = text.substr(0, equals);
    if (id.find_first_not_of("0123456789") != std::string::npos || id.size() > 19) return false;
    out.first = std::strtoul(id.c_str(), nullptr, 10);
    out.second = text.substr(equals + 1);
    return true;
}

bool ParseTimeoutSeconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 86400)
        return false;
    // Below a millisecond would round to "no timeout set".
    if (value * 1000 < 1) return false;
    seconds = value;
    return true;
}

double EffectiveTimeoutSeconds(double optionSeconds, std::string& problem) {
    problem.clear();
    if (optionSeconds > 0) return optionSeconds;
    const char* env = std::getenv("NASBROWSE_NFS_TIMEOUT");
    if (env == nullptr || *env == '\0') return 0;
    double seconds = 0;
    if (ParseTimeoutSeconds(env, seconds)) return seconds;
    problem = std::string("NASBROWSE_NFS_TIMEOUT=") + env +
              " is not a number of seconds between 0.001 and 86400";
    return 0;
}

double CallLimitSeconds(std::string& problem) {
    problem.clear();
    const char* env = std::getenv("NASBROWSE_NFS_CALL_LIMIT");
    if (env == nullptr || *env == '\0') return 0;
    double seconds = 0;
    if (ParseTimeoutSeconds(env, seconds)) return seconds;
    problem = std::string("NASBROWSE_NFS_CALL_LIMIT=") + env +
              " is not a number of seconds between 0.001 and 86400";
    return 0;
}

bool NormalisePath(const std::string& path, std::string& out, std::string& error) {
    std::string result;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        const std::string component = path.substr(at, slash - at);
        if (component == "..") {
            error =
                "\"..\" in " + path + ": give the path from the server's top level, without \"..\"";
            return false;
        }
        if (!component.empty() && component != ".") result += "/" + component;
        at = slash + 1;
    }
    out = result.empty() ? "/" : result;
    return true;
}

bool ParseTarget(const std::string& first, const std::string* second, bool raw, Target& out,
                 std::string& error) {
    std::string server = first;
    std::string path;
    bool pathInFirst = false;
    if (StartsWithNoCase(first, "nfs://")) {
        const std::string rest = first.substr(6);
        size_t hostEnd;
        if (!rest.empty() && rest[0] == '[') {
            const size_t close = rest.find(']');
            if (close == std::string::npos) {
                error = "no \"]\" after the IPv6 address in " + first;
                return false;
            }
            server = rest.substr(1, close - 1);
            hostEnd = close + 1;
        } else {
            hostEnd = rest.find('/');
            if (hostEnd == std::string::npos) hostEnd = rest.size();
            server = rest.substr(0, hostEnd);
        }
        if (hostEnd < rest.size() && rest[hostEnd] != '/') {
            error = "a port or anything else after the server in " + first +
                    " is not understood (the ports are found through the server's portmapper)";
            return false;
        }
        if (server.find(':') != std::string::npos && rest[0] != '[') {
            error = "a port in " + first +
                    " is not understood (the ports are found through the server's portmapper); "
                    "write an IPv6 address in brackets";
            return false;
        }
        const std::string encoded = rest.substr(hostEnd);
        if (encoded.find('?') != std::string::npos) {
            error = "URL options (?...) in " + first +
                    " are not understood; write a ? in a name as %3F";
            return false;
        }
        if (!PercentDecode(encoded, path, error)) return false;
        pathInFirst = true;
        if (server.empty()) {
            error = "no server in " + first + " (nfs://SERVER/PATH)";
            return false;
        }
    } else if (!first.empty() && first[0] == '[') {
        const size_t close = first.find(']');
        if (close == std::string::npos) {
            error = "no \"]\" after the IPv6 address in " + first;
            return false;
        }
        server = first.substr(1, close - 1);
        const std::string after = first.substr(close + 1);
        if (!after.empty()) {
            if (after.size() < 2 || after.compare(0, 2, ":/") != 0) {
                error = "expected [ADDRESS]:/PATH, got " + first;
                return false;
            }
            path = after.substr(1);
            pathInFirst = true;
        }
    } else {
        const size_t colon = first.find(":/");
        if (colon != std::string::npos) {
            server = first.substr(0, colon);
            path = first.substr(colon + 1);
            pathInFirst = true;
            if (server.empty()) {
                error = "no server in " + first + " (SERVER:/PATH)";
                return false;
            }
        }
    }
    if (pathInFirst && second != nullptr) {
        error = "the path is given twice, in " + first + " and as " + *second + "; give it once";
        return false;
    }
    if (second != nullptr) path = *second;
    if (path.empty() && !(raw && second != nullptr)) path = "/";

    out.server = server;
    if (raw) {
        if (path.empty()) {
            error = "an empty path cannot be sent; give \"/\" for the root";
            return false;
        }
        out.path = path;
        return true;
    }
    return NormalisePath(path, out.path, error);
}

std::string ClosestCommand(const std::string& word, const std::vector<std::string>& commands) {
    std::string best;
    size_t bestDistance = std::string::npos;
    for (const std::string& command : commands) {
        if (!word.empty() && command.compare(0, word.size(), word) == 0) return command;
        const size_t distance = EditDistance(word, command);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = command;
        }
    }
    const size_t allowed = std::max<size_t>(2, word.size() / 3);
    return bestDistance <= allowed ? best : std::string();
}

namespace {

void WrapLine(const std::string& line, size_t width, size_t column, std::string& out) {
    const size_t own = line.find_first_not_of(' ');
    if (line.size() <= width || own == std::string::npos) {
        out += line + '\n';
        return;
    }
    const bool described = own > 0 && line.size() > column && line[column - 1] == ' ' &&
                           line[column] != ' ' && line.find_first_not_of(' ', own) < column;
    const size_t indent = described ? column : own;
    std::string rest = line;
    bool first = true;
    while (true) {
        const size_t lead = first ? 0 : indent;
        if (rest.size() + lead <= width) {
            out += std::string(lead, ' ') + rest + '\n';
            return;
        }
        const size_t room = width - lead;
        size_t cut = rest.rfind(' ', room);
        const size_t floor = first ? indent : 0;  // never break inside the first line's head
        if (cut == std::string::npos || cut <= floor) cut = rest.find(' ', room);
        if (cut == std::string::npos) {
            out += std::string(lead, ' ') + rest + '\n';
            return;
        }
        out += std::string(lead, ' ') + rest.substr(0, cut) + '\n';
        const size_t next = rest.find_first_not_of(' ', cut);
        if (next == std::string::npos) return;
        rest = rest.substr(next);
        first = false;
    }
}

}  // namespace

std::string WrapHelp(const std::string& text, size_t width, size_t column) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        WrapLine(text.substr(at, end - at), width, column, out);
        at = end + 1;
    }
    if (!text.empty() && text.back() != '\n') out.pop_back();
    return out;
}

}  // namespace nasbrowse

#include <pwd.h>
#include <unistd.h>

namespace nasbrowse {

std::string DefaultLogPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        std::string dir = home != nullptr ? home : "";
        if (dir.empty()) {
            const passwd* entry = getpwuid(getuid());
            if (entry != nullptr && entry->pw_dir != nullptr) dir = entry->pw_dir;
        }
        if (dir.empty() || dir[0] != '/') return std::string();
        base = dir + "/.local/state";
    }
    return base + "/nasbrowse/nasbrowse.log";
}

}  // namespace nasbrowse

namespace nasbrowse {
namespace {

bool AtOrBelow(const std::string& path, const std::string& root) {
    if (root == "/") return true;
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}

std::string Normalised(const std::string& share) {
    std::string out, error;
    return NormalisePath(share, out, error) ? out : share;
}

}  // namespace

std::string PathNotHeldText(const std::string& server, const std::string& path,
                            const std::vector<std::string>& offered,
                            const std::vector<std::string>& clones) {
    for (const std::string& share : offered)
        if (AtOrBelow(path, Normalised(share))) return std::string();
    for (const std::vector<std::string>* list : {&offered, &clones})
        for (const std::string& share : *list) {
            const std::string normal = Normalised(share);
            if (normal != path && AtOrBelow(normal, path)) return std::string();
        }
    for (const std::string& clone : clones)
        if (AtOrBelow(path, Normalised(clone)))
            return path + " is inside the export " + clone + " of " + server +
                   ", a clone, which the browse never offers; browse the export it was cloned from";

    std::string list;
    const size_t shown = std::min<size_t>(offered.size(), 10);
    for (size_t i = 0; i < shown; ++i) list += (i == 0 ? "" : ", ") + offered[i];
    if (offered.size() > shown) list += " and " + std::to_string(offered.size() - shown) + " more";
    if (offered.empty())
        return "no export of " + server + " holds " + path + " (" + server +
               " offers no export to browse; nasbrowse exports " + server + " lists them all)";
    return "no export of " + server + " holds " + path + " (exports: " + list + ")";
}

}  // namespace nasbrowse

namespace nasbrowse {

const char* const kSecurityFlavours[5] = {"auto", "sys", "krb5", "krb5i", "krb5p"};

std::string CheckKerberosOptions(const std::string& keytab, const std::string& principal) {
    if (keytab.empty() != principal.empty())
        return keytab.empty()
                   ? "--principal NAME needs --keytab FILE, the keytab that holds its key"
                   : "--keytab FILE needs --principal NAME, the client principal to "
                     "take from it (klist -k FILE lists them)";
    if (!keytab.empty() && access(keytab.c_str(), R_OK) != 0)
        return "the keytab " + keytab + " cannot be read (" + strerror(errno) +
               "); give a keytab this user can read";
    return std::string();
}

}  // namespace nasbrowse
