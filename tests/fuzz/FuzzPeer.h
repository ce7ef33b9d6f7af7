// The scripted file server of the network fuzz target: listens on the
// portmapper, MOUNT and NFS ports of 127.0.0.1 (inside the private network
// namespace the fuzz run has) and answers each call with the next reply of
// its kind from a ReplyScript; a call the script has no reply for gets its
// connection closed, so that nothing waits for a timeout. One thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NfsReplyScript.h"

namespace nfsfuzz {

constexpr int kMountPort = 20048;  // where the seed corpus's portmapper says MOUNT is

class FuzzPeer {
public:
    explicit FuzzPeer(ReplyScript& script) : m_script(script) {
        for (int port : {111, kMountPort, 2049}) m_listeners.push_back(Listen(port));
        if (pipe(m_stop) != 0) throw std::runtime_error("pipe");
        m_thread = std::thread([this] { Serve(); });
    }
    ~FuzzPeer() {
        if (write(m_stop[1], "x", 1) != 1) perror("fuzz peer stop");
        m_thread.join();
        for (int fd : m_listeners) close(fd);
        close(m_stop[0]);
        close(m_stop[1]);
    }

private:
    static int Listen(int port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(fd, 64) != 0)
            throw std::runtime_error("fuzz peer: cannot listen on port " + std::to_string(port) +
                                     " (run inside scripts/netns-run.sh)");
        return fd;
    }

    void Serve() {
        std::map<int, std::string> connections;  // fd -> bytes not yet handled
        for (;;) {
            std::vector<pollfd> fds{{m_stop[0], POLLIN, 0}};
            for (int fd : m_listeners) fds.push_back({fd, POLLIN, 0});
            for (const auto& c : connections) fds.push_back({c.first, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents != 0) break;
            for (size_t i = 1; i <= m_listeners.size(); ++i)
                if (fds[i].revents & POLLIN) {
                    const int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) connections[c];
                }
            for (size_t i = 1 + m_listeners.size(); i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                const int c = fds[i].fd;
                char buffer[16384];
                const ssize_t n = read(c, buffer, sizeof buffer);
                if (n <= 0 || !Handle(c, connections[c].append(buffer, static_cast<size_t>(n)))) {
                    close(c);
                    connections.erase(c);
                }
            }
        }
        for (const auto& c : connections) close(c.first);
    }

    // Answers the complete calls at the front of `in`; false to close.
    bool Handle(int c, std::string& in) {
        while (in.size() >= 4) {
            uint32_t marker;
            memcpy(&marker, in.data(), 4);
            const size_t length = ntohl(marker) & 0x7fffffffu;
            if (length > (1u << 20)) return false;
            if (in.size() < 4 + length) return true;
            const std::string reply = m_script.Answer(in.data() + 4, length);
            if (reply.empty()) return false;
            size_t done = 0;
            while (done < reply.size()) {
                const ssize_t n = write(c, reply.data() + done, reply.size() - done);
                if (n <= 0) return false;
                done += static_cast<size_t>(n);
            }
            in.erase(0, 4 + length);
        }
        return true;
    }

    ReplyScript& m_script;
    std::vector<int> m_listeners;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace nfsfuzz
