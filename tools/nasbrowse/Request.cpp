// nasbrowse request: the GUI side of the daemon.
#include <unistd.h>

#include <chrono>
#include <string>

#include "host_framework/ReplyReader.h"   // ReplyWire::ReadReply
#include "nasbrowse/Browse.h"             // ResultFromReply
#include "nasbrowse/Commands.h"
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/Net.h"
#include "nasbrowse/ServeProtocol.h"

namespace nasbrowse {

int Request(const CommonOptions& options, const RequestOptions& requestOptions) {
    const auto start = std::chrono::steady_clock::now();
    const unsigned int timeoutMs =
        options.timeoutSeconds > 0 ? static_cast<unsigned int>(options.timeoutSeconds * 1000) : 10000;
    // The daemon may spend several NFS steps before its first reply byte.
    const unsigned int idleMs = 3 * timeoutMs + 10000;

    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(requestOptions.connect, endpoint, error)) {
        fprintf(stderr, "nasbrowse: --connect: %s\n", error.c_str());
        return 2;
    }
    serve::Request request;
    request.clientId = options.clientId;
    request.path = GuiRequestPath(requestOptions.server, requestOptions.path, requestOptions.rawPath);
    if (request.path.empty() || request.path.size() > serve::MAX_PATH_LENGTH ||
        request.path.find('\0') != std::string::npos) {
        fprintf(stderr, "nasbrowse: the browse path must have 1 to %zu bytes\n", serve::MAX_PATH_LENGTH);
        return 2;
    }
    request.message = MakeGuiBrowseMessage(getpid(), requestOptions.server, options.vessaCellId);
    const std::vector<unsigned char> frame = serve::EncodeFrame(request);

    BrowseResult result;
    const int fd = Connect(endpoint, timeoutMs, error);
    if (fd < 0 || !WriteAll(fd, frame.data(), frame.size(), timeoutMs, error)) {
        result.error.failed = true;
        result.error.message = "no daemon answered at " + requestOptions.connect + ": " + error;
        fprintf(stderr, "nasbrowse: %s\n", result.error.message.c_str());
    } else {
        ReplyWire::Reply reply;
        const bool ok = ReplyWire::ReadReply(fd, idleMs, reply, error);
        result = ResultFromReply(reply, ok, error);
        if (!ok || !reply.hasHeader)
            fprintf(stderr, "nasbrowse: the daemon at %s gave no complete reply%s%s\n",
                    requestOptions.connect.c_str(), error.empty() ? "" : ": ", error.c_str());
    }
    if (fd >= 0) close(fd);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return PrintBrowse(options, requestOptions.server, requestOptions.path, "gui", result, elapsed);
}

}  // namespace nasbrowse
