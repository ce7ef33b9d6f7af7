// The host's error values: a cheap copyable value, success when empty, with
// shared detail (Win32 code, text, the code locations it passed through).
#pragma once

#include <cstdint>               // int32_t
#include <string>                // std::string
#include <boost/shared_ptr.hpp>  // boost::shared_ptr

#include "host/Platform.h"  // HOST_API

// Output forms of CLumError::AsString.
enum EErrorOutputFormat {
    ERROR_OUTPUT_LOG = 0,    // full form for log files: code, text and locations
    ERROR_OUTPUT_SHORT = 1,  // code and text
    ERROR_OUTPUT_USER = 2,   // the text for the person who made the request
};

// Where an error was made or passed through. `file` and `function` must be
// texts that outlive every error that records them (string literals).
struct HOST_API FXCodeLocation {
    FXCodeLocation(const char* file, const char* function, int line)
        : m_file(file), m_function(function), m_line(line) {}
    const char* m_file;
    const char* m_function;
    int32_t m_line;
};

class FXErrorPrivate;  // defined by the host framework

// An error value. The empty value (code 0, no detail) is success; a negative
// code is an error. Copies share their detail. Not synchronised: an error is
// used by one thread at a time, like any value.
class HOST_API CLumError {
public:
    CLumError() : m_code(0) {}
    CLumError(int32_t code, const boost::shared_ptr<FXErrorPrivate>& detail)
        : m_code(code), m_detail(detail) {}

    static CLumError Success() { return CLumError(); }
    bool IsError() const { return m_code < 0; }
    int32_t GetCode() const { return m_code; }

    // The error in log form ("Success" for the empty value).
    std::string AsString() const;
    std::string AsString(EErrorOutputFormat format) const;

    // Records that the error passed through `location`; returns this error.
    CLumError& Push(const FXCodeLocation& location);

    int32_t m_code;
    boost::shared_ptr<FXErrorPrivate> m_detail;
};

// Makers of errors that carry a Win32 error number. The code of such an error
// is 0x80070000 | win32 taken as a signed 32-bit value, so it is negative.
class HOST_API FXErrorUtil {
public:
    static CLumError ErrorWin32(const FXCodeLocation& location, unsigned int win32);
    static CLumError ErrorWin32(const FXCodeLocation& location, unsigned int win32,
                                const char* format, ...) __attribute__((format(printf, 3, 4)));
    // The Win32 number of `error`; 0 for success or an error of another kind.
    static unsigned int GetWin32(const CLumError& error);
};

// Win32 error numbers in use.
enum : unsigned int {
    WIN32_ERROR_NOT_SUPPORTED = 50,
    WIN32_ERROR_BAD_ARGUMENTS = 160,
    WIN32_ERROR_INTERNAL_ERROR = 1359,
};
