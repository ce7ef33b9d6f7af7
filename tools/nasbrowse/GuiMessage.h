// The browse message the desktop GUI sends, as nasbrowse builds it: the
// message and its encoder are plumbing/MessageEncoder.h's; the request path
// is nasbrowse's own.
#pragma once

#include <string>

#include "plumbing/MessageEncoder.h"  // GuiMessage, MakeGuiBrowseMessage, FillMessageInfo

namespace nasbrowse {

using ::FillMessageInfo;
using ::GuiMessage;
using ::MakeGuiBrowseMessage;

// The request path the GUI sends for PATH on `server`: "/" + server + PATH
// (PATH "/" or empty: "/" + server), or PATH unchanged when `raw`.
std::string GuiRequestPath(const std::string& server, const std::string& path, bool raw);

// A request path made for an empty server ("//" + PATH) as the host of the
// backup client `clientId` would have it: "/" + HOST + PATH, so that it
// reaches the same folder as when that host is named (the plug-in takes the
// client's host for an empty server, but its path rules then find no
// server in front). Unchanged for other paths or without a registered host.
std::string WithClientHost(const std::string& requestPath, unsigned long clientId);

}  // namespace nasbrowse
