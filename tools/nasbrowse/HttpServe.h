// `nasbrowse serve --http`: the browse page and the /api/v1 API
// (HttpServe.cpp, docs/HTTP-API.md), beside or instead of the binary
// listener of Serve.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "nasbrowse/Access.h"   // Cidr
#include "nasbrowse/Options.h"  // HostOptions
#include "nasbrowse/Plugin.h"
#include "nasbrowse/Serve.h"  // ServeOptions

namespace nasbrowse {

class HttpDaemon {
public:
    HttpDaemon(const Plugin& plugin, const HostOptions& host, const ServeOptions& serve,
               std::vector<Cidr> allow);
    ~HttpDaemon();
    HttpDaemon(const HttpDaemon&) = delete;
    HttpDaemon& operator=(const HttpDaemon&) = delete;

    // Loads the page's files, makes the access token, binds the listener
    // and serves on threads of its own. False with `error` set when any of
    // that fails.
    bool Start(std::string& error);
    // The page's address with the token: http://ADDR:PORT/?token=TOKEN.
    std::string Url() const;
    // New requests get 503; those in flight run to their end; then returns.
    void Stop();

private:
    struct State;
    std::unique_ptr<State> m;
};

// The folder of the page's files: the installed share/nasbrowse/web, or, in
// the build tree, the source's.
std::string DefaultWebDir();

}  // namespace nasbrowse
