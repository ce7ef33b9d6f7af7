// The host's text helpers (host/FXString.h).
#include "host/FXString.h"

#include <cstdarg>
#include <cstdio>

#include "host_framework/FormatV.h"

std::string FXString::Format(const char* format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    FormatV(out, format, args);
    va_end(args);
    return out;
}

bool FXString::RemoveLeft(std::string& text, const std::string& prefix) {
    if (prefix.empty() || !MatchLeft(text, prefix)) return false;
    text.erase(0, prefix.size());
    return true;
}

bool FXString::RemoveRight(std::string& text, const std::string& suffix) {
    if (suffix.empty() || text.size() < suffix.size()) return false;
    const size_t start = text.size() - suffix.size();
    if (text.compare(start, suffix.size(), suffix) != 0) return false;
    text.erase(start);
    return true;
}

void FXString::TrimLeft(std::string& text, const std::string& chars) {
    const size_t keep = text.find_first_not_of(chars);
    text.erase(0, keep == std::string::npos ? text.size() : keep);
}

namespace {

// ASCII-only lower case, independent of the process locale.
inline char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

const char* FXString::FindString(const std::string& text, const std::string& needle,
                                 bool caseSensitive) {
    if (caseSensitive) {
        const size_t pos = text.find(needle);
        return pos == std::string::npos ? nullptr : text.c_str() + pos;
    }
    if (needle.size() > text.size()) return nullptr;
    for (size_t start = 0; start + needle.size() <= text.size(); ++start) {
        size_t i = 0;
        while (i < needle.size() && AsciiLower(text[start + i]) == AsciiLower(needle[i])) ++i;
        if (i == needle.size()) return text.c_str() + start;
    }
    return nullptr;
}
