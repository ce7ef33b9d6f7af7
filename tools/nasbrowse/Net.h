// TCP helpers of the daemon and of its client.
#pragma once

#include <sys/socket.h>

#include <string>

namespace nasbrowse {

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Parses "ADDR:PORT" with a numeric IPv4 address or "[IPv6]:PORT"; port
// 0 .. 65535. False with `error` set otherwise.
bool ParseEndpoint(const std::string& text, Endpoint& out, std::string& error);

// "ADDR:PORT" of a bound or connected address.
std::string EndpointText(const sockaddr_storage& address);

// A listening socket (close-on-exec, address reuse). -1 with `error` set.
int Listen(const Endpoint& endpoint, int backlog, std::string& error);

// A connected socket within `timeoutMs`. -1 with `error` set.
int Connect(const Endpoint& endpoint, unsigned int timeoutMs, std::string& error);

// Writes all of `data`; false on failure or when the peer takes nothing for
// `timeoutMs`. Never raises SIGPIPE.
bool WriteAll(int fd, const void* data, size_t size, unsigned int timeoutMs, std::string& error);

// Reads exactly `size` bytes. False on end of input, failure, no byte for
// `timeoutMs`, or when `stopFd` (if >= 0) becomes readable.
bool ReadExactly(int fd, void* data, size_t size, unsigned int timeoutMs, int stopFd,
                 std::string& error);

}  // namespace nasbrowse
