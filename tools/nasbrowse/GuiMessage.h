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

}  // namespace nasbrowse
