// Platform basics shared by the host layer and the plug-in: fixed-width
// aliases the host's interfaces use, symbol visibility, and the bounded copy
// that stands in for the host's strncpy_s.
#pragma once

#include <cstddef>  // size_t
#include <cstring>  // memcpy, memchr

// The host's 64-bit signed integer alias, as its interfaces spell it.
typedef long long longlong_t;

// Level of a failure line: written whatever the writer's current level is.
#define LOG_ERROR (-1)

// Symbols of the host framework libraries and of the plug-in's external
// interface. Everything else in the plug-in is hidden.
#define HOST_API __attribute__((visibility("default")))
#define NASSB_API __attribute__((visibility("default")))

// Copies at most `count` bytes of the NUL-terminated `src` into `dest`
// (capacity `destSize`) and always terminates `dest` when destSize > 0.
// Never reads past the first NUL of `src` nor past `count` bytes of it, and
// never writes past `destSize` bytes. A null `src` stores the empty text.
// Returns the number of bytes copied, not counting the terminator.
inline size_t BoundedCopy(char* dest, size_t destSize, const char* src, size_t count) {
    if (dest == nullptr || destSize == 0) return 0;
    size_t n = 0;
    if (src != nullptr) {
        const size_t limit = count < destSize - 1 ? count : destSize - 1;
        const void* nul = memchr(src, '\0', limit);
        n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - src) : limit;
        memcpy(dest, src, n);
    }
    dest[n] = '\0';
    return n;
}
