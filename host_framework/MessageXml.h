// XML text of the NAS browse messages (element and attribute names, and the
// text escape, in docs/XML.md).
//
// Written documents are well-formed XML 1.0 in UTF-8 and hold only the
// fields that are set. Every text field goes through EscapeText, so any byte
// string survives a write and a read. Readers ignore unknown elements and
// attributes; on failure they leave `out` untouched and return false with an
// error text.
#pragma once

#include <string>

#include "host/MessageBase.h"
#include "host/Platform.h"

namespace MessageXml {

HOST_API std::string WriteMachineBrowseReq(const App::MachineBrowseReq& message);
HOST_API std::string WriteMachineBrowseResp(const App::MachineBrowseResp& message);
HOST_API std::string WriteGenericResp(const App::GenericResp& message);

HOST_API bool ReadMachineBrowseReq(const std::string& xml, App::MachineBrowseReq& out,
                                   std::string& error);
HOST_API bool ReadMachineBrowseResp(const std::string& xml, App::MachineBrowseResp& out,
                                    std::string& error);
HOST_API bool ReadGenericResp(const std::string& xml, App::GenericResp& out, std::string& error);

// The escape of text fields: a backslash becomes "\\"; a byte that is not
// part of a valid UTF-8 sequence of a character XML 1.0 allows, a control
// byte (below 0x20, including tab, line feed and carriage return) and 0x7F
// become "\xNN" (two upper-case hex digits). All other bytes stay.
HOST_API std::string EscapeText(const std::string& bytes);

// The inverse; accepts upper- and lower-case hex digits. Returns false with
// `error` set on a backslash that starts neither escape.
HOST_API bool UnescapeText(const std::string& text, std::string& bytes, std::string& error);

}  // namespace MessageXml
