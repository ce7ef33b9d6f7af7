#include "nasbrowse/Access.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace nasbrowse {
namespace {

// The address as (family, bytes); IPv4-mapped IPv6 as IPv4.
bool AddressBytes(const sockaddr_storage& address, int& family, const unsigned char*& bytes) {
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (address.ss_family == AF_INET) {
        family = AF_INET;
        bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
        return true;
    }
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
        if (memcmp(v6, kMapped, sizeof kMapped) == 0) {
            family = AF_INET;
            bytes = v6 + 12;
        } else {
            family = AF_INET6;
            bytes = v6;
        }
        return true;
    }
    return false;
}

bool PrefixMatches(const unsigned char* a, const unsigned char* b, unsigned int bits) {
    const unsigned int whole = bits / 8;
    if (memcmp(a, b, whole) != 0) return false;
    const unsigned int rest = bits % 8;
    if (rest == 0) return true;
    const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool ParseCidr(const std::string& text, Cidr& out, std::string& error) {
    const size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    Cidr block;
    if (inet_pton(AF_INET, host.c_str(), block.bytes) == 1) {
        block.family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), block.bytes) == 1) {
        block.family = AF_INET6;
    } else {
        error = "--allow " + text + ": not an IPv4 or IPv6 address (expected e.g. 192.0.2.0/24)";
        return false;
    }
    const unsigned int maxBits = block.family == AF_INET ? 32 : 128;
    block.prefix = maxBits;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 ||
            bits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(bits) > maxBits) {
            error =
                "--allow " + text + ": the prefix length must be 0 to " + std::to_string(maxBits);
            return false;
        }
        block.prefix = static_cast<unsigned int>(std::stoul(bits));
    }
    // Bits set below the prefix are most likely a typing error.
    for (unsigned int bit = block.prefix; bit < maxBits; ++bit)
        if (block.bytes[bit / 8] & (0x80 >> (bit % 8))) {
            Cidr network = block;
            for (unsigned int b = block.prefix; b < maxBits; ++b)
                network.bytes[b / 8] &= static_cast<unsigned char>(~(0x80 >> (b % 8)));
            char shown[INET6_ADDRSTRLEN] = "";
            inet_ntop(block.family, network.bytes, shown, sizeof shown);
            error = "--allow " + text + ": host bits are set below the prefix; say " + shown + "/" +
                    std::to_string(block.prefix) + " for the block, or " + host + "/" +
                    std::to_string(maxBits) + " for the one address";
            return false;
        }
    out = block;
    return true;
}

bool CidrContains(const Cidr& block, const sockaddr_storage& address) {
    int family = 0;
    const unsigned char* bytes = nullptr;
    if (!AddressBytes(address, family, bytes) || family != block.family) return false;
    return PrefixMatches(bytes, block.bytes, block.prefix);
}

bool IsLoopback(const sockaddr_storage& address) {
    int family = 0;
    const unsigned char* bytes = nullptr;
    if (!AddressBytes(address, family, bytes)) return false;
    if (family == AF_INET) return bytes[0] == 127;
    static const unsigned char kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(bytes, kOne, 16) == 0;
}

bool PeerAllowed(const std::vector<Cidr>& allow, const sockaddr_storage& peer) {
    if (allow.empty()) return IsLoopback(peer);
    for (const Cidr& block : allow)
        if (CidrContains(block, peer)) return true;
    return false;
}

}  // namespace nasbrowse
