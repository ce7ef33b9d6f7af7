#include "nasbrowse/HttpAccess.h"

#include <strings.h>

namespace nasbrowse {
namespace {

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string HostPort(const std::string& address, int port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool HostAllowed(const std::string& host, const std::string& listenAddress,
                 const std::string& localAddress, int port) {
    if (host.empty()) return false;
    for (const std::string& address : {listenAddress, localAddress, std::string("localhost")})
        if (!address.empty() && EqualNoCase(host, HostPort(address, port))) return true;
    return false;
}

std::string TokenOf(const std::string& authorization, const std::string& cookies,
                    const std::string& cookieName, const std::string& queryToken) {
    const std::string scheme = "Bearer ";
    if (authorization.size() > scheme.size() &&
        strncasecmp(authorization.data(), scheme.data(), scheme.size()) == 0)
        return Trimmed(authorization.substr(scheme.size()));
    size_t start = 0;
    while (start < cookies.size()) {
        size_t end = cookies.find(';', start);
        if (end == std::string::npos) end = cookies.size();
        const std::string pair = Trimmed(cookies.substr(start, end - start));
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.compare(0, equals, cookieName) == 0 &&
            equals == cookieName.size())
            return pair.substr(equals + 1);
        start = end + 1;
    }
    return queryToken;
}

bool SameToken(const std::string& given, const std::string& expected) {
    if (given.size() != expected.size() || expected.empty()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    return difference == 0;
}

}  // namespace nasbrowse
