// Who may use the daemon: loopback addresses, and address blocks given as
// CIDR ("192.0.2.0/24", "2001:db8::/32", or one address).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nasbrowse {

struct Cidr {
    int family = 0;             // AF_INET or AF_INET6
    unsigned char bytes[16]{};  // the network, in network order
    unsigned int prefix = 0;    // leading bits that must match
};

// Parses "ADDR/BITS" or "ADDR" (all bits). False with `error` set for a bad
// address, a prefix out of range (IPv4 0..32, IPv6 0..128) or host bits set
// below the prefix ("192.0.2.1/24": say 192.0.2.0/24 or 192.0.2.1/32).
bool ParseCidr(const std::string& text, Cidr& out, std::string& error);

// True when `address` (AF_INET or AF_INET6; an IPv4-mapped IPv6 address
// counts as its IPv4 address) lies in `block`.
bool CidrContains(const Cidr& block, const sockaddr_storage& address);

// 127.0.0.0/8, ::1, and ::ffff:127.0.0.0/104.
bool IsLoopback(const sockaddr_storage& address);

// Whether a peer may send requests: with an empty allow-list only loopback
// peers, else those in one of its blocks.
bool PeerAllowed(const std::vector<Cidr>& allow, const sockaddr_storage& peer);

}  // namespace nasbrowse
