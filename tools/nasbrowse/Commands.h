// The daemon and its client.
#pragma once

#include <string>

#include "nasbrowse/Options.h"
#include "nasbrowse/Plugin.h"
#include "nasbrowse/Result.h"

namespace nasbrowse {

struct ServeOptions {
    std::string listen = "127.0.0.1:7460";
    unsigned int maxRequests = 64;       // requests answered at once, a thread each
    unsigned int frameTimeoutMs = 10000; // a connection must send its frame within this
};

// Accepts GUI browse messages until SIGINT or SIGTERM; returns the exit
// status (0 after a clean shutdown, 1 when it cannot listen).
int Serve(const Plugin& plugin, const ServeOptions& serve);

struct RequestOptions {
    std::string connect;
    std::string server;
    std::string path = "/";
    bool rawPath = false;
};

// Sends one browse message to a daemon and prints the decoded reply in the
// chosen format; returns the exit status. Needs no plug-in.
int Request(const CommonOptions& options, const RequestOptions& request);

// Prints a browse result on stdout in the chosen format and returns the exit
// status (1 when it holds a failure).
int PrintBrowse(const CommonOptions& options, const std::string& server, const std::string& path,
                const std::string& via, const BrowseResult& result, double elapsedSeconds);
int PrintExports(const CommonOptions& options, const std::string& server,
                 const ExportsResult& result, double elapsedSeconds);

}  // namespace nasbrowse
