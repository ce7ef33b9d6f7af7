// Error values: the shared detail behind CLumError and the Win32 makers.
#include "host/LumError.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "host/FXString.h"
#include "host_framework/FormatV.h"

// The detail an error carries. Shared by every copy of the error and, like
// the error itself, used by one thread at a time.
class FXErrorPrivate {
public:
    std::string m_text;                       // empty when the maker gave none
    std::vector<FXCodeLocation> m_locations;  // where it was made, then each Push
};

namespace {

const uint32_t kWin32Facility = 0x80070000u;

bool IsWin32Code(int32_t code) {
    return (static_cast<uint32_t>(code) & 0xffff0000u) == kWin32Facility;
}

// What an error without text says about itself.
const char* Win32Summary(unsigned int win32) {
    switch (win32) {
    case WIN32_ERROR_NOT_SUPPORTED: return "Not supported";
    case WIN32_ERROR_BAD_ARGUMENTS: return "Bad arguments";
    case WIN32_ERROR_INTERNAL_ERROR: return "Internal error";
    default: return "Operation failed";
    }
}

// Only the low 16 bits of `win32` fit in the code; GetWin32 gives them back.
CLumError MakeWin32(const FXCodeLocation& location, unsigned int win32, std::string text) {
    boost::shared_ptr<FXErrorPrivate> detail(new FXErrorPrivate);
    detail->m_text = std::move(text);
    detail->m_locations.push_back(location);
    return CLumError(static_cast<int32_t>(kWin32Facility | (win32 & 0xffffu)), detail);
}

const char* OrUnknown(const char* text) { return text != nullptr ? text : "?"; }

}  // namespace

std::string CLumError::AsString() const { return AsString(ERROR_OUTPUT_LOG); }

std::string CLumError::AsString(EErrorOutputFormat format) const {
    if (m_code == 0 && !m_detail) return "Success";

    const bool win32 = IsWin32Code(m_code);
    const unsigned int number = static_cast<uint32_t>(m_code) & 0xffffu;
    const std::string text = m_detail ? m_detail->m_text : std::string();

    if (format == ERROR_OUTPUT_USER) {
        if (!text.empty()) return text;
        if (win32) return FXString::Format("%s (Win32 error %u)", Win32Summary(number), number);
        return FXString::Format("Operation failed (error 0x%08X)", static_cast<uint32_t>(m_code));
    }

    std::string out = FXString::Format("Error 0x%08X", static_cast<uint32_t>(m_code));
    if (win32) out += FXString::Format(" (Win32 %u)", number);
    out += ": ";
    out += !text.empty() ? text : (win32 ? Win32Summary(number) : "Operation failed");

    if (format == ERROR_OUTPUT_LOG && m_detail) {
        const char* separator = " at ";
        for (const FXCodeLocation& at : m_detail->m_locations) {
            out += separator;
            out += FXString::Format("%s:%s:%d", OrUnknown(at.m_file), OrUnknown(at.m_function),
                                    static_cast<int>(at.m_line));
            separator = " <- ";
        }
    }
    return out;
}

// Pushing onto the success value records nothing: it has no detail to hold
// locations, and giving it one would make it look like an error.
CLumError& CLumError::Push(const FXCodeLocation& location) {
    if (m_code == 0 && !m_detail) return *this;
    if (!m_detail) m_detail.reset(new FXErrorPrivate);
    m_detail->m_locations.push_back(location);
    return *this;
}

CLumError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned int win32) {
    return MakeWin32(location, win32, std::string());
}

CLumError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned int win32,
                                  const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    FormatV(text, format, args);
    va_end(args);
    return MakeWin32(location, win32, std::move(text));
}

unsigned int FXErrorUtil::GetWin32(const CLumError& error) {
    return IsWin32Code(error.m_code) ? static_cast<uint32_t>(error.m_code) & 0xffffu : 0;
}
