// Text helpers private to the host framework library (host_framework/FormatV.h).
#include "host_framework/FormatV.h"

#include <cstdarg>
#include <cstdio>

bool FormatV(std::string& out, const char* format, va_list args) {
    out.clear();
    if (format == nullptr) return false;

    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (n < 0) return false;
    if (static_cast<size_t>(n) < sizeof(small)) {
        out.assign(small, static_cast<size_t>(n));
        return true;
    }

    // Too long for the small buffer: n is the exact length, format again.
    out.resize(static_cast<size_t>(n) + 1);
    va_copy(copy, args);
    const int m = vsnprintf(&out[0], out.size(), format, copy);
    va_end(copy);
    if (m < 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));  // drops the terminator vsnprintf wrote
    return true;
}

std::string EscapeControlBytes(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b == 0x7f) {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}
