// Writing the error text the two entry points hand back.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/NFSClient.h"

namespace nfsclient {

// Formats into the caller's NFS_ERROR_TEXT_SIZE buffer: always NUL-terminated,
// cut at NFS_ERROR_TEXT_SIZE - 1 bytes. A null buffer is left alone.
inline void WriteError(char* errorText, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
inline void WriteError(char* errorText, const char* format, ...) {
    if (errorText == nullptr) return;
    va_list args;
    va_start(args, format);
    vsnprintf(errorText, NFS_ERROR_TEXT_SIZE, format, args);
    va_end(args);
}

// Writes `text` as it is, cut as above.
inline void WriteError(char* errorText, const std::string& text) {
    WriteError(errorText, "%s", text.c_str());
}

}  // namespace nfsclient
