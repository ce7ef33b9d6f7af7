// The browse and export-list roads through the plug-in's entries.
#pragma once

#include <string>

#include "host_framework/ReplyReader.h"   // ReplyWire::Reply
#include "nasbrowse/Options.h"
#include "nasbrowse/Plugin.h"
#include "nasbrowse/Result.h"

namespace nasbrowse {

// The console's road: a MachineBrowseReq through NASShareXMLBrowse.
BrowseResult BrowseViaXml(const Plugin& plugin, const CommonOptions& options,
                          const std::string& server, const std::string& requestPath);

// The GUI's road: a browse message through NASShareBrowse, answered over a
// socketpair and decoded by the reply reader.
BrowseResult BrowseViaGui(const Plugin& plugin, const CommonOptions& options,
                          const std::string& server, const std::string& requestPath);

// The share list through GetNASShareBrowseFN and GetNASShares.
ExportsResult ListExports(const Plugin& plugin, const CommonOptions& options,
                          const std::string& server);

// A decoded GUI reply as a result: its items, and its first message as the
// failure. A reply that could not be read (`readOk` false, `readError`) or that
// lacks its end marker is a failure too.
BrowseResult ResultFromReply(const ReplyWire::Reply& reply, bool readOk,
                             const std::string& readError);

}  // namespace nasbrowse
