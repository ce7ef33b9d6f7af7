// A connected stream socket pair for reply tests, and a helper that collects
// everything a writer puts on one end.
#pragma once

#include <string>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

struct SocketPair {
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair failed";
        writer = fds[0];
        reader = fds[1];
    }
    ~SocketPair() {
        closeWriter();
        closeReader();
    }
    void closeWriter() {
        if (writer >= 0) close(writer);
        writer = -1;
    }
    void closeReader() {
        if (reader >= 0) close(reader);
        reader = -1;
    }
    // Closes the writer's end and reads what it wrote (small replies only:
    // they must fit in the socket buffer).
    std::string drain() {
        closeWriter();
        std::string bytes;
        char buffer[4096];
        ssize_t n;
        while ((n = read(reader, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }
    int writer = -1;
    int reader = -1;
};
