// The daemon and its client.
#pragma once

#include <string>
#include <vector>

#include "nasbrowse/Options.h"
#include "nasbrowse/Output.h"
#include "nasbrowse/Plugin.h"

namespace nasbrowse {

const char kDefaultDaemon[] = "127.0.0.1:7460";

struct ServeOptions {
    std::string listen = kDefaultDaemon;
    std::vector<std::string> allow;       // CIDRs; empty: loopback peers only
    unsigned int maxRequests = 64;        // requests answered at once, a thread each
    unsigned int frameTimeoutMs = 10000;  // a connection must send its frame within this
};

// Checks the listen address and the allow-list; returns a usage error text,
// empty when they are fine.
std::string CheckServeOptions(const ServeOptions& serve);

// Accepts GUI browse messages until SIGINT or SIGTERM; returns the exit
// status (0 after a clean shutdown, 1 when it cannot listen).
int Serve(const Plugin& plugin, const ServeOptions& serve);

struct RequestOptions {
    std::string connect = kDefaultDaemon;
    std::string server;
    std::string path = "/";         // as shown
    std::string requestPath;        // as sent
    unsigned long clientId = 2;
    unsigned long cellId = 2;
    double timeoutSeconds = 10;     // connecting; the reply may take 3 x + 10 s
};

// Sends one browse message to a daemon and prints the reply as it comes in
// the chosen presentation; returns the exit status (3 when no daemon
// answered). Needs no plug-in.
int Request(const RequestOptions& request, const PresentOptions& present);

// Ends the process after the output failed: quietly with status 0 when the
// reader went away (a closed pipe), else with a sentence and status 1. Does
// not return through the plug-in, whose entry may still be running.
[[noreturn]] void EndOnOutputFailure(const OutputStream& out);

}  // namespace nasbrowse
