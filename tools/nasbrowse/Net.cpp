#include "nasbrowse/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nasbrowse {
namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint& out, std::string& error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "expected [IPv6]:PORT, got " + text;
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            error = "expected ADDR:PORT, got " + text;
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
        error = "bad port in " + text;
        return false;
    }
    const uint16_t portNumber = htons(static_cast<uint16_t>(std::stoul(port)));
    Endpoint endpoint;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&endpoint.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = portNumber;
        endpoint.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = portNumber;
        endpoint.length = sizeof(sockaddr_in6);
    } else {
        error = "not a numeric address: " + host;
        return false;
    }
    out = endpoint;
    return true;
}

std::string EndpointText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return "?";
}

int Listen(const Endpoint& endpoint, int backlog, std::string& error) {
    const int fd = socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = Errno("socket");
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0) {
        error = Errno(("bind " + EndpointText(endpoint.address)).c_str());
        close(fd);
        return -1;
    }
    if (listen(fd, backlog) != 0) {
        error = Errno("listen");
        close(fd);
        return -1;
    }
    return fd;
}

int Connect(const Endpoint& endpoint, unsigned int timeoutMs, std::string& error) {
    const int fd =
        socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = Errno("socket");
        return -1;
    }
    const std::string where = EndpointText(endpoint.address);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0) {
        if (errno != EINPROGRESS) {
            error = "cannot connect to " + where + ": " + strerror(errno);
            close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(timeoutMs));
        int soError = 0;
        socklen_t length = sizeof soError;
        if (ready <= 0) {
            error =
                "cannot connect to " + where + ": " + (ready == 0 ? "timed out" : strerror(errno));
            close(fd);
            return -1;
        }
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
        if (soError != 0) {
            error = "cannot connect to " + where + ": " + strerror(soError);
            close(fd);
            return -1;
        }
    }
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool WriteAll(int fd, const void* data, size_t size, unsigned int timeoutMs, std::string& error) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        pollfd w{fd, POLLOUT, 0};
        const int ready = poll(&w, 1, static_cast<int>(timeoutMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            error = ready == 0 ? "write timed out" : Errno("poll");
            return false;
        }
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            error = Errno("write");
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadExactly(int fd, void* data, size_t size, unsigned int timeoutMs, int stopFd,
                 std::string& error) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        pollfd polls[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(polls, stopFd >= 0 ? 2 : 1, static_cast<int>(timeoutMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            error = ready == 0 ? "no data for " + std::to_string(timeoutMs) + " ms" : Errno("poll");
            return false;
        }
        if (stopFd >= 0 && (polls[1].revents & POLLIN)) {
            error = "shutting down";
            return false;
        }
        const ssize_t n = recv(fd, p, size, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            error = Errno("read");
            return false;
        }
        if (n == 0) {
            error = "connection closed after a partial frame";
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace nasbrowse
