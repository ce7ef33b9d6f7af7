// `nasbrowse serve --http`: the browse page and the /api/v1 API
// (HttpServe.cpp, docs/HTTP-API.md), beside or instead of the binary
// listener of Serve.cpp.
//
// The HTTP side is a module of its own, nasbrowse-http.so, which the
// program loads with dlopen only for `serve --http`: the HTTP library and
// what it pulls in (TLS, compression) are not loaded by any other command.
// The module calls the program's own functions (the browse roads, the
// output formats, the log): the program exports its symbols and the module
// leaves them undefined, so there is one copy of each. Its one entry point,
// kHttpEntry, makes the HttpService below.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "nasbrowse/Access.h"   // Cidr
#include "nasbrowse/Options.h"  // HostOptions
#include "nasbrowse/Plugin.h"
#include "nasbrowse/Serve.h"  // ServeOptions

namespace nasbrowse {

class HttpService {
public:
    virtual ~HttpService() = default;
    // Loads the page's files, makes the access token, binds the listener
    // and serves on threads of its own. False with `error` set when any of
    // that fails.
    virtual bool Start(std::string& error) = 0;
    // The page's address with the token: http://ADDR:PORT/?token=TOKEN.
    virtual std::string Url() const = 0;
    // New requests get 503; those in flight run to their end; then returns.
    virtual void Stop() = 0;
};

// The module's entry point: a new HttpService, or null when `version` (the
// program's NASBROWSE_VERSION) is not the module's own: the structures
// passed here are shared as they are.
const char kHttpEntry[] = "nasbrowse_http_service";
using MakeHttpServiceFn = HttpService* (*)(const char* version, const Plugin& plugin,
                                           const HostOptions& host, const ServeOptions& serve,
                                           const std::vector<Cidr>& allow);

// Where the program finds the module: in a build tree (kBuildTreeMarker
// beside the program) beside the program; else the installed one in the
// program's private library folder, `installLibRel`/nasbrowse/ relative to
// `programDir`.
std::string DefaultHttpModulePath(const std::string& programDir, const std::string& installLibRel,
                                  const std::string& moduleName);

// Loads the module (once) and makes its service. Throws std::runtime_error
// with the sentence for the user (which file, what to do) when the module
// is missing, broken or from another version.
std::unique_ptr<HttpService> MakeHttpService(const Plugin& plugin, const HostOptions& host,
                                             const ServeOptions& serve,
                                             const std::vector<Cidr>& allow);

}  // namespace nasbrowse
