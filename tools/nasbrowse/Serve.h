// `nasbrowse serve`: the daemon (Serve.cpp).
#pragma once

#include <string>
#include <vector>

#include "nasbrowse/Options.h"  // HostOptions
#include "nasbrowse/Plugin.h"

namespace nasbrowse {

// Where the daemon listens, and where `request` looks for it, by default.
const char kDefaultDaemon[] = "127.0.0.1:7460";
// Where `serve --http` listens by default.
const char kDefaultHttp[] = "127.0.0.1:7480";

struct ServeOptions {
    std::string listen = kDefaultDaemon;
    bool binary = true;                   // the binary listener on `listen`
    std::string http;                     // the HTTP listener's ADDR:PORT; empty: none
    std::string webDir;                   // the page's files; empty: DefaultWebDir()
    std::vector<std::string> allow;       // CIDRs; empty: loopback peers only
    unsigned int maxRequests = 64;        // requests answered at once, a thread each
    unsigned int frameTimeoutMs = 10000;  // a connection must send its frame within this
};

// Checks the listen address and the allow-list; returns a usage error text,
// empty when they are fine.
std::string CheckServeOptions(const ServeOptions& serve);

// Accepts GUI browse messages (and, with `http`, HTTP requests) until
// SIGINT or SIGTERM; returns the exit status (0 after a clean shutdown, 1
// when it cannot listen).
int Serve(const Plugin& plugin, const HostOptions& host, const ServeOptions& serve);

}  // namespace nasbrowse
