// nasbrowse serve: the host daemon. One thread per connection, one request
// per connection; the reply is written by the plug-in's entry on the
// accepted socket itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/LogWriter.h"            // NSB_LOG
#include "nasbrowse/Commands.h"
#include "nasbrowse/GuiMessage.h"      // FillMessageInfo
#include "nasbrowse/Net.h"
#include "nasbrowse/ServeProtocol.h"

namespace nasbrowse {
namespace {

const char kServe[] = "int nasbrowse::Serve(const Plugin&, const ServeOptions&)";
const char kConnection[] = "void nasbrowse::{anonymous}::Daemon::Answer(int, std::string)";

// Written by the signal handler; read end polled by every waiting thread.
int g_stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (write(g_stopPipe[1], &byte, 1) < 0) {
        // Nothing to do: the pipe already holds a byte.
    }
    errno = saved;
}

class Daemon {
public:
    Daemon(const Plugin& plugin, const ServeOptions& serve) : m_plugin(plugin), m_serve(serve) {}

    int Run(int listenFd);

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Answer(int fd, std::string peer);
    bool Stopping() const {
        pollfd p{g_stopPipe[0], POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
    void Reap(bool all);

    const Plugin& m_plugin;
    const ServeOptions& m_serve;
    std::mutex m_mutex;
    std::condition_variable m_slotFree;
    unsigned int m_active = 0;
    std::list<std::unique_ptr<Worker>> m_workers;  // touched by the accepting thread only
};

void Daemon::Answer(int fd, std::string peer) {
    std::vector<unsigned char> frame(serve::PREFIX_SIZE);
    std::string error;
    serve::Request request;
    bool ok = ReadExactly(fd, frame.data(), frame.size(), m_serve.frameTimeoutMs, g_stopPipe[0], error);
    size_t bodyLength = 0;
    if (ok && serve::DecodePrefix(frame.data(), bodyLength, error) != serve::PrefixStatus::Ok) ok = false;
    if (ok) {
        frame.resize(serve::PREFIX_SIZE + bodyLength);
        ok = ReadExactly(fd, frame.data() + serve::PREFIX_SIZE, bodyLength, m_serve.frameTimeoutMs,
                         g_stopPipe[0], error);
    }
    size_t frameSize = 0;
    if (ok && serve::DecodeFrame(frame.data(), frame.size(), request, frameSize, error) !=
                  serve::FrameStatus::Ok)
        ok = false;
    if (!ok) {
        NSB_LOG(LOG_ERROR, kConnection, "Refused the request from [%s]: %s", peer.c_str(), error.c_str());
        close(fd);
        return;
    }

    NSB_LOG(1, kConnection, "Request from [%s]: path [%s] client [%llu] sequence [%lld]",
            peer.c_str(), request.path.c_str(), static_cast<unsigned long long>(request.clientId),
            static_cast<long long>(request.message.sequenceNumber));
    auto info = std::make_unique<MessageInfo>();
    FillMessageInfo(request.message, fd, *info);
    std::vector<char> path(request.path.begin(), request.path.end());
    path.push_back('\0');
    m_plugin.browse(info.get(), path.data(), static_cast<unsigned long>(request.clientId), 0, nullptr);
    shutdown(fd, SHUT_WR);
    close(fd);
}

void Daemon::Reap(bool all) {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (all || (*it)->done) {
            (*it)->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

int Daemon::Run(int listenFd) {
    while (true) {
        {
            // At the limit the daemon stops accepting: further connections
            // wait in the listen queue until a request is done.
            std::unique_lock<std::mutex> lock(m_mutex);
            while (m_active >= m_serve.maxRequests && !Stopping())
                m_slotFree.wait_for(lock, std::chrono::milliseconds(200));
        }
        Reap(false);
        pollfd polls[2] = {{listenFd, POLLIN, 0}, {g_stopPipe[0], POLLIN, 0}};
        const int ready = poll(polls, 2, 1000);
        if (ready < 0 && errno != EINTR) {
            NSB_LOG(LOG_ERROR, kServe, "poll failed: %s", strerror(errno));
            break;
        }
        if (polls[1].revents & POLLIN) break;
        if (ready <= 0 || !(polls[0].revents & POLLIN)) continue;

        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
                NSB_LOG(LOG_ERROR, kServe, "accept failed: %s", strerror(errno));
            if (errno == EMFILE || errno == ENFILE) usleep(100000);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_active;
        }
        auto worker = std::make_unique<Worker>();
        Worker* self = worker.get();
        try {
            worker->thread = std::thread([this, fd, self, text = EndpointText(peer)] {
                Answer(fd, text);
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    --m_active;
                }
                m_slotFree.notify_one();
                self->done = true;
            });
            m_workers.push_back(std::move(worker));
        } catch (const std::system_error& e) {
            NSB_LOG(LOG_ERROR, kServe, "no thread for a request: %s", e.what());
            close(fd);
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_active;
        }
    }
    close(listenFd);
    NSB_LOG(0, kServe, "Shutting down: waiting for %zu request(s)", m_workers.size());
    Reap(true);
    return 0;
}

}  // namespace

int Serve(const Plugin& plugin, const ServeOptions& serve) {
    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(serve.listen, endpoint, error)) {
        fprintf(stderr, "nasbrowse: --listen: %s\n", error.c_str());
        return 2;
    }
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "nasbrowse: pipe: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int listenFd = Listen(endpoint, SOMAXCONN, error);
    if (listenFd < 0) {
        fprintf(stderr, "nasbrowse: cannot listen on %s: %s\n", serve.listen.c_str(), error.c_str());
        return 1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &length);
    fprintf(stderr, "listening on %s\n", EndpointText(bound).c_str());
    fflush(stderr);

    Daemon daemon(plugin, serve);
    const int status = daemon.Run(listenFd);
    fprintf(stderr, "nasbrowse: stopped\n");
    return status;
}

}  // namespace nasbrowse
