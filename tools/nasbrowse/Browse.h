// The browse and export-list roads through the plug-in's entries.
#pragma once

#include <string>

#include "nasbrowse/HostSetup.h"  // Road
#include "nasbrowse/Options.h"
#include "nasbrowse/Output.h"
#include "nasbrowse/Plugin.h"
#include "nasbrowse/Result.h"

namespace nasbrowse {

struct RoadOutcome {
    Failure failure;
    // The output stopped taking bytes. The entry may still be running on
    // another thread: the caller ends the process without returning
    // through the plug-in (EndOnOutputFailure).
    bool outputFailed = false;
};

// The console's road: a MachineBrowseReq through NASShareXMLBrowse. The
// response is whole when the entry returns; its items are then handed to
// `presenter` (Begin and Add; the caller calls Finish).
RoadOutcome BrowseViaXml(const Plugin& plugin, const HostOptions& host, const std::string& server,
                         const std::string& requestPath, Presenter& presenter, OutputStream& out);

// The GUI's road: a browse message through NASShareBrowse, answered over a
// socketpair while this thread decodes and presents each item as it comes.
RoadOutcome BrowseViaGui(const Plugin& plugin, const HostOptions& host, const std::string& server,
                         const std::string& requestPath, Presenter& presenter, OutputStream& out);

// The failure of a listing that reached `bound` entries on `road`, in
// place of the plug-in's text: what bound it was and how to get past it.
Failure EntryBoundFailure(Road road, unsigned long long bound);

// The share list through GetNASShareBrowseFN and GetNASShares, clones
// included, in the server's order.
ExportsResult ListExports(const Plugin& plugin, const HostOptions& host, const std::string& server);

// After a browse of `path` (normalised, not the top level) that succeeded
// with no item: a failure "no export of SERVER holds PATH (exports: ...)"
// unless an export the browse offers holds PATH, or PATH lies above an
// export (whose only exports may be clones): then PATH is an empty folder.
Failure CheckPathHeld(const Plugin& plugin, const HostOptions& host, const std::string& server,
                      const std::string& path);

// A finished browse of `path` on `server` as the command line and the HTTP
// API present it: the entry bound named when the listing reached `bound`
// (0: none) on `road`; with no item and no failure, CheckPathHeld (unless
// `rawPath`); then, in the administrator's words, "cannot browse PATH on
// SERVER: CAUSE".
Failure FinishedBrowseFailure(const Plugin& plugin, const HostOptions& host,
                              const std::string& server, const std::string& path, bool rawPath,
                              Road road, unsigned long long bound, const Failure& roadFailure,
                              size_t items);

}  // namespace nasbrowse
