// The browse message the desktop GUI sends: the message header and the
// tagged fields of the argument area, in this host's byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/Message.h"   // MessageInfo, MESSAGE_ARG_AREA_SIZE

namespace nasbrowse {

struct GuiMessage {
    int64_t sequenceNumber = 0;
    uint32_t argumentCount = 0;
    std::vector<char> arguments;  // the used part of the argument area
};

// A browse message for `server` (tag 9816, NUL-terminated) and the VessaCell
// id (tag 2320: word 0 is 0, word 1 the id). Throws std::length_error when
// the server name does not fit the argument area.
GuiMessage MakeGuiBrowseMessage(int64_t sequenceNumber, const std::string& server,
                                unsigned long vessaCellId);

// Copies `message` into `info` (header and argument area; the rest of the area
// zero-filled) and sets the reply socket. `info` must be zero-initialised or
// reused; the argument area must fit (checked by the caller).
void FillMessageInfo(const GuiMessage& message, int replyFd, MessageInfo& info);

// The request path the GUI sends for PATH on `server`: "/" + server + PATH
// (PATH "/" or empty: "/" + server), or PATH unchanged when `raw`.
std::string GuiRequestPath(const std::string& server, const std::string& path, bool raw);

}  // namespace nasbrowse
