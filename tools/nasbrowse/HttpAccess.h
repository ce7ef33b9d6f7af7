// Who the HTTP daemon answers: the Host header it accepts and where a
// request's access token comes from (HttpAccess.cpp). No I/O: the daemon
// (HttpServe.cpp) hands in the headers it got.
#pragma once

#include <string>

namespace nasbrowse {

// Whether a Host header names this daemon: the listening address with its
// port ("127.0.0.1:7480", "[::1]:7480"), the address the connection came in
// on with the port (for a daemon on 0.0.0.0), or localhost with the port.
// Anything else (a name that resolves to us through someone's DNS) is
// refused, which defeats DNS rebinding. Compared without case.
bool HostAllowed(const std::string& host, const std::string& listenAddress,
                 const std::string& localAddress, int port);

// The access token a request carries: the Bearer credentials of
// `authorization`, else the value of the cookie named `cookieName` in
// `cookies` (a Cookie header), else `queryToken`. "" when none.
std::string TokenOf(const std::string& authorization, const std::string& cookies,
                    const std::string& cookieName, const std::string& queryToken);

// Compares two tokens in a time that does not depend on where they differ.
bool SameToken(const std::string& given, const std::string& expected);

// "ADDR:PORT" for a URL or a Host header: IPv6 addresses in brackets.
std::string HostPort(const std::string& address, int port);

}  // namespace nasbrowse
