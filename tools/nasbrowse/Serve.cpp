// nasbrowse serve: the host daemon. One thread per connection, one request
// per connection. The plug-in's entry writes its reply on a socketpair; the
// connection's thread passes the bytes on to the client as they come and
// decodes them on the way, so that the access log can say how the request
// ended and how many items it gave.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/LogWriter.h"              // NSB_LOG
#include "host_framework/CallSite.h"     // NSB_LOG_HERE
#include "host_framework/ReplyReader.h"  // ReplyWire::ReplyDecoder
#include "nasbrowse/Access.h"
#include "nasbrowse/Serve.h"
#include "nasbrowse/GuiMessage.h"  // FillMessageInfo
#include "nasbrowse/HostSetup.h"   // ReplyIdleTimeoutMs
#include "nasbrowse/HttpServe.h"
#include "nasbrowse/Net.h"
#include "nasbrowse/ServeProtocol.h"
#include "plumbing/EvRestoreReturn.h"  // EvRestoreReturn, RETURN_KIND_NAS_BROWSE

namespace nasbrowse {
namespace {

// The name access lines are written under in place of a function's
// (docs/SERVE-PROTOCOL.md shows it): readers of the log look for it.
const char kAccess[] = "nasbrowse::serve access";

// How long a client may keep a piece of the reply untaken.
const unsigned int kClientSendTimeoutMs = 30000;

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

// The reply a refused peer gets: one message and the end marker, made once
// with the host's own reply stream so that `nasbrowse request` shows it.
std::string RefusalReply() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return std::string();
    {
        CLumSocket socket(pair[0]);
        EvRestoreReturn reply(0, RETURN_KIND_NAS_BROWSE, false, &socket, nullptr);
        char text[] =
            "This nasbrowse daemon does not take requests from your address; its "
            "administrator can allow it with --allow CIDR.";
        reply.returnMessage(text);
        reply.end(0);
    }
    shutdown(pair[0], SHUT_WR);
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    close(pair[0]);
    close(pair[1]);
    return bytes;
}

// What the relay saw of one reply.
struct Relayed {
    unsigned long long items = 0;
    std::string failure;  // the reply's message, or why relaying stopped
    bool clientGone = false;
};

class Daemon {
public:
    Daemon(const Plugin& plugin, const ServeOptions& serve, std::vector<Cidr> allow)
        : m_plugin(plugin), m_serve(serve), m_allow(std::move(allow)), m_refusal(RefusalReply()) {}

    int Run(int listenFd);

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Answer(int fd, std::string peer);
    Relayed Relay(int from, int to);
    void Refuse(int fd, const std::string& peer);
    bool Stopping() const {
        pollfd p{g_stopPipe[0], POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
    void Reap(bool all);

    const Plugin& m_plugin;
    const ServeOptions& m_serve;
    const std::vector<Cidr> m_allow;
    const std::string m_refusal;
    std::mutex m_mutex;
    std::condition_variable m_slotFree;
    unsigned int m_active = 0;
    std::list<std::unique_ptr<Worker>> m_workers;  // touched by the accepting thread only
};

void Daemon::Refuse(int fd, const std::string& peer) {
    NSB_LOG_HERE(LOG_ERROR, "Refused a connection from [%s]: not in the allowed addresses (%s)",
                 peer.c_str(), m_allow.empty() ? "loopback only" : "--allow");
    // The reply fits any socket buffer; it is never waited for.
    if (!m_refusal.empty() &&
        send(fd, m_refusal.data(), m_refusal.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        // The peer is refused whether it reads the reason or not.
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

Relayed Daemon::Relay(int from, int to) {
    Relayed relayed;
    ReplyWire::ReplyDecoder decoder;
    ReplyWire::Reply& reply = decoder.reply();
    std::vector<char> buffer(64 * 1024);
    const unsigned int idleMs = ReplyIdleTimeoutMs(m_plugin);
    bool decoding = true;
    for (;;) {
        pollfd p{from, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<unsigned int>(idleMs, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            relayed.failure =
                ready == 0 ? "the plug-in wrote nothing for " + std::to_string(idleMs) + " ms"
                           : std::string("poll: ") + strerror(errno);
            break;
        }
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the entry returned
        if (decoding) {
            decoding = decoder.feed(buffer.data(), static_cast<size_t>(n));
            relayed.items += reply.items.size();
            reply.items.clear();
        }
        std::string error;
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(n), kClientSendTimeoutMs, error)) {
            relayed.clientGone = true;
            relayed.failure = "the client took no more (" + error + ")";
            break;
        }
    }
    if (relayed.failure.empty()) {
        if (!reply.messages.empty())
            relayed.failure = reply.messages.front();
        else if (!decoding)
            relayed.failure = "the plug-in's reply did not decode: " + decoder.error();
        else if (!reply.ended)
            relayed.failure = "the plug-in's reply ended without its end marker";
    }
    return relayed;
}

void Daemon::Answer(int fd, std::string peer) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<unsigned char> frame(serve::PREFIX_SIZE);
    std::string error;
    serve::Request request;
    bool ok =
        ReadExactly(fd, frame.data(), frame.size(), m_serve.frameTimeoutMs, g_stopPipe[0], error);
    size_t bodyLength = 0;
    if (ok && serve::DecodePrefix(frame.data(), bodyLength, error) != serve::PrefixStatus::Ok)
        ok = false;
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
        NSB_LOG_HERE(LOG_ERROR, "Refused the request from [%s]: %s", peer.c_str(), error.c_str());
        close(fd);
        return;
    }
    const std::string server = serve::InterfaceOf(request.message);
    if (server.empty()) request.path = WithClientHost(request.path, request.clientId);
    NSB_LOG_HERE(1, "Request from [%s]: server [%s] path [%s] client [%llu] sequence [%lld]",
                 peer.c_str(), server.c_str(), request.path.c_str(),
                 static_cast<unsigned long long>(request.clientId),
                 static_cast<long long>(request.message.sequenceNumber));

    Relayed relayed;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        relayed.failure = std::string("no socket pair for the reply: ") + strerror(errno);
    } else {
        auto info = std::make_unique<MessageInfo>();
        FillMessageInfo(request.message, pair[1], *info);
        std::vector<char> path(request.path.begin(), request.path.end());
        path.push_back('\0');
        std::thread entry;
        try {
            entry = std::thread([&] {
                m_plugin.browse(info.get(), path.data(),
                                static_cast<unsigned long>(request.clientId), 0, nullptr);
                shutdown(pair[1], SHUT_WR);
            });
        } catch (const std::system_error& e) {
            relayed.failure = std::string("no thread for the plug-in's entry: ") + e.what();
        }
        if (entry.joinable()) {
            relayed = Relay(pair[0], fd);
            // A client that went away makes the entry's later writes fail at once.
            shutdown(pair[0], SHUT_RDWR);
            entry.join();
        }
        close(pair[0]);
        close(pair[1]);
    }
    shutdown(fd, SHUT_WR);
    close(fd);

    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    const std::string result = relayed.failure.empty() ? "ok" : "failed: " + relayed.failure;
    NSB_LOG(0, kAccess, "Access peer [%s] server [%s] path [%s] result [%s] items [%llu] ms [%lld]",
            peer.c_str(), server.c_str(), request.path.c_str(), result.c_str(), relayed.items, ms);
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
            NSB_LOG_HERE(LOG_ERROR, "poll failed: %s", strerror(errno));
            break;
        }
        if (polls[1].revents & POLLIN) break;
        if (ready <= 0 || !(polls[0].revents & POLLIN)) continue;

        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
                NSB_LOG_HERE(LOG_ERROR, "accept failed: %s", strerror(errno));
            if (errno == EMFILE || errno == ENFILE) usleep(100000);
            continue;
        }
        if (!PeerAllowed(m_allow, peer)) {
            Refuse(fd, EndpointText(peer));
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
            NSB_LOG_HERE(LOG_ERROR, "no thread for a request: %s", e.what());
            close(fd);
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_active;
        }
    }
    close(listenFd);
    NSB_LOG_HERE(0, "Shutting down: waiting for %zu request(s)", m_workers.size());
    Reap(true);
    return 0;
}

bool ParseAllowList(const std::vector<std::string>& texts, std::vector<Cidr>& out,
                    std::string& error) {
    for (const std::string& text : texts) {
        Cidr block;
        if (!ParseCidr(text, block, error)) return false;
        out.push_back(block);
    }
    return true;
}

}  // namespace

std::string CheckServeOptions(const ServeOptions& serve) {
    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(serve.listen, endpoint, error)) return "--listen: " + error;
    std::vector<Cidr> allow;
    if (!ParseAllowList(serve.allow, allow, error)) return error;
    if (serve.binary && allow.empty() && !IsLoopback(endpoint.address))
        return "--listen " + serve.listen +
               " is not a loopback address: anyone who reaches it could browse with this daemon's "
               "credentials. Say who may connect with --allow CIDR (repeatable, e.g. --allow "
               "192.0.2.0/24), or listen on 127.0.0.1";
    if (serve.http.empty()) return std::string();
    Endpoint http;
    if (!ParseEndpoint(serve.http, http, error)) return "--http: " + error;
    if (allow.empty() && !IsLoopback(http.address))
        return "--http " + serve.http +
               " is not a loopback address: anyone who reaches it could browse with this daemon's "
               "credentials. Say who may connect with --allow CIDR, or listen on 127.0.0.1";
    return std::string();
}

int Serve(const Plugin& plugin, const HostOptions& host, const ServeOptions& serve) {
    Endpoint endpoint;
    std::string error;
    std::vector<Cidr> allow;
    if (!ParseEndpoint(serve.listen, endpoint, error) ||
        !ParseAllowList(serve.allow, allow, error)) {
        fprintf(stderr, "nasbrowse: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "nasbrowse: cannot make the stop pipe: %s\n", strerror(errno));
        return EXIT_FAILED;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The HTTP module first: a missing one stops the daemon before it listens.
    std::unique_ptr<HttpService> http;
    if (!serve.http.empty()) {
        try {
            http = MakeHttpService(plugin, host, serve, allow);
        } catch (const std::runtime_error& e) {
            fprintf(stderr, "nasbrowse: %s\n", e.what());
            return EXIT_FAILED;  // as when the plug-in cannot be loaded
        }
    }

    int listenFd = -1;
    if (serve.binary) {
        listenFd = Listen(endpoint, SOMAXCONN, error);
        if (listenFd < 0) {
            fprintf(stderr, "nasbrowse: cannot listen on %s: %s\n", serve.listen.c_str(),
                    error.c_str());
            return EXIT_FAILED;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &length);
        fprintf(stderr, "listening on %s\n", EndpointText(bound).c_str());
        fflush(stderr);
        std::string who = "loopback only";
        if (!allow.empty()) {
            who.clear();
            for (const std::string& text : serve.allow) who += (who.empty() ? "" : ", ") + text;
        }
        NSB_LOG_HERE(0, "Listening on [%s]; requests taken from [%s]", EndpointText(bound).c_str(),
                     who.c_str());
    }
    if (http) {
        if (!http->Start(error)) {
            fprintf(stderr, "nasbrowse: %s\n", error.c_str());
            if (listenFd >= 0) close(listenFd);
            return EXIT_FAILED;
        }
        // The token is the page's key: only who reads this line (or the
        // log's readers: it is not logged) can use the page.
        fprintf(stderr, "listening on %s\n", http->Url().c_str());
        fflush(stderr);
    }

    int status = 0;
    if (listenFd >= 0) {
        Daemon daemon(plugin, serve, allow);
        status = daemon.Run(listenFd);
    } else {
        pollfd stop{g_stopPipe[0], POLLIN, 0};
        while (poll(&stop, 1, -1) < 0 && errno == EINTR) {
        }
    }
    if (http) http->Stop();
    fprintf(stderr, "nasbrowse: stopped\n");
    return status;
}

}  // namespace nasbrowse
