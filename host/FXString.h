// The host's text helpers. All comparisons are on bytes.
#pragma once

#include <string>  // std::string

#include "host/Platform.h"  // HOST_API

class HOST_API FXString {
public:
    // printf into a new text. `format` is code, never data.
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // If `text` begins with `prefix` (non-empty), removes that one occurrence
    // and returns true; otherwise leaves `text` alone and returns false.
    static bool RemoveLeft(std::string& text, const std::string& prefix);

    // The same at the end of `text`.
    static bool RemoveRight(std::string& text, const std::string& suffix);

    // Removes every leading byte of `text` that occurs in `chars`.
    static void TrimLeft(std::string& text, const std::string& chars);

    // Searches `needle` anywhere in `text`. With `caseSensitive` true the bytes
    // must match exactly; with false, ASCII letters match either case. Returns
    // a pointer to the match inside `text`, or null. An empty needle matches
    // at the start.
    static const char* FindString(const std::string& text, const std::string& needle,
                                  bool caseSensitive);

    // True when `text` begins with `prefix`, byte for byte.
    static bool MatchLeft(const std::string& text, const std::string& prefix) {
        return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
    }
};
