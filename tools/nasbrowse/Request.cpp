// nasbrowse request: the GUI side of the daemon.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "nasbrowse/Request.h"
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/Net.h"
#include "nasbrowse/ServeProtocol.h"
#include "nasbrowse/Stream.h"

namespace nasbrowse {

int Request(const RequestOptions& options, const PresentOptions& present) {
    const auto start = std::chrono::steady_clock::now();
    const unsigned int timeoutMs = static_cast<unsigned int>(options.timeoutSeconds * 1000);
    // The daemon may spend several NFS steps before its first reply byte.
    const unsigned int idleMs = 3 * timeoutMs + 10000;

    Endpoint endpoint;
    std::string error;
    if (!ParseEndpoint(options.connect, endpoint, error)) {
        fprintf(stderr, "nasbrowse: --connect: %s\nRun with --help for more information.\n",
                error.c_str());
        return EXIT_USAGE;
    }
    serve::Request request;
    request.clientId = options.clientId;
    request.path = options.requestPath;
    if (request.path.empty() || request.path.size() > serve::MAX_PATH_LENGTH) {
        fprintf(stderr, "nasbrowse: the browse path must have 1 to %zu bytes\n",
                serve::MAX_PATH_LENGTH);
        return EXIT_USAGE;
    }
    request.message = MakeGuiBrowseMessage(getpid(), options.server, options.cellId);
    const std::vector<unsigned char> frame = serve::EncodeFrame(request);

    const int fd = Connect(endpoint, timeoutMs, error);
    if (fd < 0 || !WriteAll(fd, frame.data(), frame.size(), timeoutMs, error)) {
        if (fd >= 0) close(fd);
        fprintf(stderr,
                "nasbrowse: no daemon answered at %s (%s); start one with: nasbrowse serve "
                "--listen %s\n",
                options.connect.c_str(), error.c_str(), options.connect.c_str());
        return EXIT_NO_DAEMON;
    }

    OutputStream out(STDOUT_FILENO);
    ListingInfo listing{options.server, options.path, options.requestPath};
    std::unique_ptr<Presenter> presenter = MakeBrowsePresenter(present, listing, out);
    presenter->Begin();
    const StreamOutcome streamed =
        StreamReply(fd, idleMs, "the reply of the daemon at " + options.connect, *presenter, out);
    close(fd);
    if (streamed.outputFailed) EndOnOutputFailure(out);
    Failure failure = streamed.failure;
    if (failure.failed && !streamed.gotHeader)
        failure.message =
            failure.message.find("nothing came for") != std::string::npos
                ? "the daemon at " + options.connect +
                      " took the request but gave no answer (see its log): " + failure.message
                : "the daemon at " + options.connect +
                      " closed the connection without an answer (see its log): " + failure.message;
    failure = Presented(
        failure, "cannot browse " + options.path + " on " +
                     (options.server.empty() ? std::string("the client's host") : options.server));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    presenter->Finish(failure, elapsed);
    if (!out.Flush()) EndOnOutputFailure(out);
    if (failure.failed) {
        const std::string sentence = FailureSentence(failure, presenter->items(), 0);
        fputs(sentence.c_str(), stderr);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

[[noreturn]] void EndOnOutputFailure(const OutputStream& out) {
    if (!out.closed())
        fprintf(stderr, "nasbrowse: cannot write the output: %s; what came after was not written\n",
                out.errorText().c_str());
    fflush(stderr);
    _exit(out.closed() ? EXIT_OK : EXIT_FAILED);
}

}  // namespace nasbrowse
