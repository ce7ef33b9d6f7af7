// Text helpers private to the host framework library.
#pragma once

#include <cstdarg>  // va_list
#include <string>   // std::string

// printf of `format` with `args` into `out`, whatever the length of the
// result. `args` is left untouched (the caller still owns and ends it).
// Returns false, leaving `out` empty, when `format` is null or the C library
// reports a formatting error.
bool FormatV(std::string& out, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// `text` with every byte below 0x20, the byte 0x7f and the backslash written
// as \xNN or \\, so that the result is one line whatever `text` holds.
std::string EscapeControlBytes(const std::string& text);
