#include "nasbrowse/Stream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host_framework/ReplyReader.h"  // ReplyWire::ReplyDecoder

namespace nasbrowse {

StreamOutcome StreamReply(int fd, unsigned int idleTimeoutMs, const std::string& source,
                          Presenter& presenter, OutputStream& out) {
    StreamOutcome outcome;
    ReplyWire::ReplyDecoder decoder;
    ReplyWire::Reply& reply = decoder.reply();
    std::vector<char> buffer(256 * 1024);
    std::string problem;
    Item item;
    while (problem.empty() && !reply.ended) {
        pollfd p{fd, POLLIN, 0};
        const int ready =
            poll(&p, 1, static_cast<int>(std::min<unsigned int>(idleTimeoutMs, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            problem = std::string("waiting for it failed: ") + strerror(errno);
            break;
        }
        if (ready == 0) {
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%g", idleTimeoutMs / 1000.0);
            problem = std::string("nothing came for ") + seconds + " s (timed out after byte " +
                      std::to_string(decoder.consumed()) + ")";
            break;
        }
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = std::string("reading it failed: ") + strerror(errno);
            break;
        }
        if (n == 0) break;
        const bool fed = decoder.feed(buffer.data(), static_cast<size_t>(n));
        outcome.gotHeader = outcome.gotHeader || reply.hasHeader;
        for (ReplyWire::ReplyItem& in : reply.items) {
            item.name.swap(in.name);
            item.folder = in.isFolder;
            item.mtime = in.modifyTime;
            item.size = in.size;
            presenter.Add(item);
        }
        reply.items.clear();
        if (!fed) problem = decoder.error();
        if (!out.Flush()) {
            outcome.outputFailed = true;
            return outcome;
        }
    }
    if (problem.empty() && !decoder.finish()) problem = decoder.error();
    outcome.gotHeader = outcome.gotHeader || reply.hasHeader;

    if (!reply.messages.empty()) {
        // The writer's own word comes first: it says what failed.
        outcome.failure.failed = true;
        for (const std::string& message : reply.messages)
            outcome.failure.message += (outcome.failure.message.empty() ? "" : "; ") + message;
        if (!problem.empty())
            outcome.failure.message += " (then " + source + " broke off: " + problem + ")";
    } else if (!problem.empty()) {
        outcome.failure.failed = true;
        outcome.failure.message = source + " could not be read: " + problem;
    } else if (!reply.ended) {
        outcome.failure.failed = true;
        outcome.failure.message = source + " stopped before its end marker, after " +
                                  std::to_string(presenter.items()) +
                                  " items; the listing is incomplete";
    }
    return outcome;
}

}  // namespace nasbrowse
