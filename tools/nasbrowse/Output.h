// The output formats of nasbrowse: a table for people, compact JSON, and
// the console's XML documents under one root.
#pragma once

#include <string>

#include "nasbrowse/Result.h"

namespace nasbrowse {

// `bytes` with every byte that is not part of a valid UTF-8 sequence replaced
// by U+FFFD (one per byte). Surrogates and code points above U+10FFFF are
// invalid; so are overlong forms.
std::string ValidUtf8(const std::string& bytes);
bool IsValidUtf8(const std::string& bytes);

// All bytes in lowercase hex, two digits each.
std::string Hex(const std::string& bytes);

// One compact JSON document, without the trailing newline:
// {"server":S,"path":P,"items":[{"name","folder","mtime","size"[,"name_hex"]}...],"error":E}
std::string BrowseJson(const std::string& server, const std::string& path,
                       const BrowseResult& result);
// {"server":S,"shares":[...],"error":E}
std::string ExportsJson(const std::string& server, const ExportsResult& result);

// One line per item (folder mark, size, local modification time, name), then
// a summary with the counts and `elapsedSeconds`; a failure as a sentence.
// Every line ends with a newline.
std::string BrowseTable(const std::string& server, const std::string& path,
                        const BrowseResult& result, double elapsedSeconds);
std::string ExportsTable(const std::string& server, const ExportsResult& result,
                         double elapsedSeconds);

// One well-formed document: <nasbrowse server=.. path=.. via=..> holding the
// console's response (built from the items when the answer came another
// way) and, on failure, the generic response.
std::string BrowseXml(const std::string& server, const std::string& path, const std::string& via,
                      const BrowseResult& result);

}  // namespace nasbrowse
