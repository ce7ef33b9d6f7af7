// `nasbrowse request`: the daemon's client (Request.cpp), and the end of
// the process after its output failed.
#pragma once

#include <string>

#include "nasbrowse/Options.h"
#include "nasbrowse/Output.h"
#include "nasbrowse/Serve.h"  // kDefaultDaemon

namespace nasbrowse {

struct RequestOptions {
    std::string connect = kDefaultDaemon;
    std::string server;
    std::string path = "/";   // as shown
    std::string requestPath;  // as sent
    unsigned long clientId = 2;
    unsigned long cellId = 2;
    double timeoutSeconds = 10;  // connecting; the reply may take 3 x + 10 s
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
