#include "common/NetworkEntryCall.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nsbtest {
namespace {

// Reads `fd` to its end, decoding as the bytes arrive. After a malformed
// byte the rest is read and dropped, so that the entry is never left
// blocked on a full socket.
void ReadReply(int fd, const NetworkCallOptions& options, NetworkReply& out) {
    ReplyWire::ReplyDecoder decoder;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready =
            poll(&p, 1, options.idleTimeoutMs == 0 ? -1 : static_cast<int>(options.idleTimeoutMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            if (out.error.empty())
                out.error = ready == 0
                                ? "no reply byte for " + std::to_string(options.idleTimeoutMs) +
                                      " ms after byte " + std::to_string(decoder.consumed())
                                : std::string("poll: ") + strerror(errno);
            break;
        }
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (out.error.empty()) out.error = std::string("read: ") + strerror(errno);
            break;
        }
        if (n == 0) {
            if (out.error.empty()) {
                out.wellFormed = decoder.finish();
                out.error = decoder.error();
            }
            break;
        }
        if (!out.error.empty()) continue;  // dropped
        if (!decoder.feed(buffer.data(), static_cast<size_t>(n))) {
            out.error = decoder.error();
            continue;
        }
        if (options.onRead) options.onRead(decoder.reply());
    }
    out.reply = std::move(decoder.reply());
}

}  // namespace

NetworkReply CallNetworkEntry(NetworkEntry entry, const GuiMessage& message, const char* path,
                              const NetworkCallOptions& options) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    std::unique_ptr<MessageInfo> info(new MessageInfo());
    FillMessageInfo(message, fds[0], *info);
    std::vector<char> pathText;
    if (path != nullptr) pathText.assign(path, path + strlen(path) + 1);

    NetworkReply out;
    std::thread reader([&] { ReadReply(fds[1], options, out); });
    entry(info.get(), path != nullptr ? pathText.data() : nullptr, options.clientId, 0, nullptr);
    shutdown(fds[0], SHUT_WR);
    reader.join();
    close(fds[0]);
    close(fds[1]);
    return out;
}

}  // namespace nsbtest
