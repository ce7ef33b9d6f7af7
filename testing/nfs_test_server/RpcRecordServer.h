// A stand-in RPC service over TCP for fault tests: one thread serves every
// connection accepted on a listener, hands each complete call record (record
// marking, one fragment) to a function and writes back the reply record it
// returns. Runs until destroyed.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nfstest {

class RpcRecordServer {
public:
    // Gets the call (without its record marker); returns the whole reply
    // record, marker included (see SetRecordMarker), or "" to answer nothing.
    using Answer = std::function<std::string(const char* call, size_t length)>;

    // Takes `listenFd`, a listening TCP socket, and closes it when destroyed.
    RpcRecordServer(int listenFd, Answer answer) : m_listen(listenFd), m_answer(std::move(answer)) {
        m_stop = eventfd(0, EFD_CLOEXEC);
        if (m_stop < 0) {
            close(m_listen);
            throw std::runtime_error(std::string("RPC record server: eventfd: ") + strerror(errno));
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~RpcRecordServer() {
        const uint64_t one = 1;
        if (write(m_stop, &one, sizeof one) != sizeof one) perror("RPC record server stop");
        m_thread.join();
        close(m_listen);
        close(m_stop);
    }
    RpcRecordServer(const RpcRecordServer&) = delete;
    RpcRecordServer& operator=(const RpcRecordServer&) = delete;

    // Writes the marker of a last fragment holding the rest of `record` into
    // its first four bytes.
    static void SetRecordMarker(std::string& record) {
        const uint32_t marker = htonl(0x80000000u | static_cast<uint32_t>(record.size() - 4));
        memcpy(&record[0], &marker, 4);
    }

private:
    void Serve() {
        std::map<int, std::string> pending;  // connection -> bytes not yet handled
        for (;;) {
            std::vector<pollfd> fds{{m_stop, POLLIN, 0}, {m_listen, POLLIN, 0}};
            for (const auto& c : pending) fds.push_back({c.first, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
            if (fds[0].revents != 0) break;
            if (fds[1].revents & POLLIN) {
                const int c = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) pending[c];
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                const int c = fds[i].fd;
                char buffer[8192];
                const ssize_t n = read(c, buffer, sizeof buffer);
                if (n <= 0) {
                    close(c);
                    pending.erase(c);
                    continue;
                }
                std::string& in = pending[c];
                in.append(buffer, static_cast<size_t>(n));
                AnswerComplete(c, in);
            }
        }
        for (const auto& c : pending) close(c.first);
    }

    // Answers every complete call at the front of `in` and removes it.
    void AnswerComplete(int c, std::string& in) {
        while (in.size() >= 4) {
            uint32_t marker;
            memcpy(&marker, in.data(), 4);
            const size_t length = ntohl(marker) & 0x7fffffffu;
            if (in.size() < 4 + length) return;
            const std::string reply = m_answer(in.data() + 4, length);
            if (!reply.empty() && write(c, reply.data(), reply.size()) < 0) return;
            in.erase(0, 4 + length);
        }
    }

    int m_listen;
    int m_stop = -1;
    Answer m_answer;
    std::thread m_thread;
};

}  // namespace nfstest
