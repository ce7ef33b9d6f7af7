#include "nasbrowse/ServeProtocol.h"

#include <cstring>
#include <stdexcept>

#include "host/BrowseMessageFields.h"  // TAG_NAS_INTERFACE

namespace nasbrowse {
namespace serve {
namespace {

template <typename T>
T Load(const unsigned char* p) {
    T value;
    memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
void Store(std::vector<unsigned char>& out, T value) {
    const size_t at = out.size();
    out.resize(at + sizeof value);
    memcpy(&out[at], &value, sizeof value);
}

// True when `area` holds exactly `count` tagged fields (tag u32, length u32,
// value) that end at or before its end; `error` says where it is not.
bool CheckArea(const unsigned char* area, size_t size, uint32_t count, std::string& error) {
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 8) {
            error = "argument field " + std::to_string(i) + " header past the area (offset " +
                    std::to_string(at) + " of " + std::to_string(size) + ")";
            return false;
        }
        const uint32_t length = Load<uint32_t>(area + at + 4);
        at += 8;
        if (length > size - at) {
            error = "argument field " + std::to_string(i) + " of " + std::to_string(length) +
                    " bytes past the area (offset " + std::to_string(at) + " of " +
                    std::to_string(size) + ")";
            return false;
        }
        at += length;
    }
    return true;
}

}  // namespace

std::vector<unsigned char> EncodeFrame(const Request& request) {
    const size_t pathLength = request.path.size();
    const size_t areaLength = request.message.arguments.size();
    if (pathLength == 0 || pathLength > MAX_PATH_LENGTH ||
        request.path.find('\0') != std::string::npos)
        throw std::length_error("browse path empty, too long or holding a NUL byte");
    if (areaLength > MESSAGE_ARG_AREA_SIZE) throw std::length_error("argument area too long");
    std::vector<unsigned char> frame(MAGIC, MAGIC + sizeof MAGIC);
    Store<uint32_t>(frame, BYTE_ORDER_MARK);
    Store<uint32_t>(frame, static_cast<uint32_t>(BODY_FIXED_SIZE + pathLength + areaLength));
    Store<int64_t>(frame, request.message.sequenceNumber);
    Store<uint32_t>(frame, 0);
    Store<uint32_t>(frame, request.message.argumentCount);
    Store<uint64_t>(frame, request.clientId);
    Store<uint32_t>(frame, static_cast<uint32_t>(pathLength));
    Store<uint32_t>(frame, static_cast<uint32_t>(areaLength));
    frame.insert(frame.end(), request.path.begin(), request.path.end());
    frame.insert(frame.end(), request.message.arguments.begin(), request.message.arguments.end());
    return frame;
}

PrefixStatus DecodePrefix(const unsigned char* data, size_t& bodyLength, std::string& error) {
    if (memcmp(data, MAGIC, sizeof MAGIC) != 0) {
        error = "not a request frame (bad magic)";
        return PrefixStatus::Malformed;
    }
    if (Load<uint32_t>(data + 4) != BYTE_ORDER_MARK) {
        error = "request frame in another byte order than the daemon's";
        return PrefixStatus::Malformed;
    }
    const uint32_t length = Load<uint32_t>(data + 8);
    if (length < BODY_FIXED_SIZE || length > MAX_BODY_SIZE) {
        error = "request body of " + std::to_string(length) + " bytes (allowed " +
                std::to_string(BODY_FIXED_SIZE) + " .. " + std::to_string(MAX_BODY_SIZE) + ")";
        return PrefixStatus::Malformed;
    }
    bodyLength = length;
    return PrefixStatus::Ok;
}

FrameStatus DecodeFrame(const unsigned char* data, size_t size, Request& out, size_t& frameSize,
                        std::string& error) {
    frameSize = 0;
    if (size < PREFIX_SIZE) {
        // Refuse a wrong start as early as it shows.
        const size_t n = size < sizeof MAGIC ? size : sizeof MAGIC;
        if (n != 0 && memcmp(data, MAGIC, n) != 0) {
            error = "not a request frame (bad magic)";
            return FrameStatus::Malformed;
        }
        return FrameStatus::Incomplete;
    }
    size_t bodyLength = 0;
    if (DecodePrefix(data, bodyLength, error) != PrefixStatus::Ok) return FrameStatus::Malformed;
    frameSize = PREFIX_SIZE + bodyLength;
    if (size < frameSize) return FrameStatus::Incomplete;

    const unsigned char* body = data + PREFIX_SIZE;
    const uint32_t pathLength = Load<uint32_t>(body + 24);
    const uint32_t areaLength = Load<uint32_t>(body + 28);
    if (pathLength == 0 || pathLength > MAX_PATH_LENGTH) {
        error = "browse path of " + std::to_string(pathLength) + " bytes (allowed 1 .. " +
                std::to_string(MAX_PATH_LENGTH) + ")";
        return FrameStatus::Malformed;
    }
    if (areaLength > MESSAGE_ARG_AREA_SIZE) {
        error = "argument area of " + std::to_string(areaLength) + " bytes (at most " +
                std::to_string(MESSAGE_ARG_AREA_SIZE) + ")";
        return FrameStatus::Malformed;
    }
    // Both lengths are bounded above, so the sum cannot wrap.
    if (static_cast<size_t>(pathLength) + areaLength != bodyLength - BODY_FIXED_SIZE) {
        error = "body length " + std::to_string(bodyLength) + " does not match path (" +
                std::to_string(pathLength) + ") and area (" + std::to_string(areaLength) + ")";
        return FrameStatus::Malformed;
    }
    const unsigned char* path = body + BODY_FIXED_SIZE;
    if (memchr(path, '\0', pathLength) != nullptr) {
        error = "browse path holds a NUL byte";
        return FrameStatus::Malformed;
    }
    const unsigned char* area = path + pathLength;
    const uint32_t count = Load<uint32_t>(body + 12);
    if (!CheckArea(area, areaLength, count, error)) return FrameStatus::Malformed;

    Request request;
    request.message.sequenceNumber = Load<int64_t>(body);
    request.message.argumentCount = count;
    request.message.arguments.assign(area, area + areaLength);
    request.clientId = Load<uint64_t>(body + 16);
    request.path.assign(reinterpret_cast<const char*>(path), pathLength);
    out = std::move(request);
    return FrameStatus::Ok;
}

std::string InterfaceOf(const GuiMessage& message) {
    const auto* area = reinterpret_cast<const unsigned char*>(message.arguments.data());
    const size_t size = message.arguments.size();
    std::string name;
    size_t at = 0;
    for (uint32_t i = 0; i < message.argumentCount && size - at >= 8; ++i) {
        const uint32_t tag = Load<uint32_t>(area + at);
        const uint32_t length = Load<uint32_t>(area + at + 4);
        at += 8;
        if (length > size - at) break;
        if (tag == TAG_NAS_INTERFACE) {
            const auto* value = reinterpret_cast<const char*>(area + at);
            name.assign(value, strnlen(value, length));
        }
        at += length;
    }
    return name;
}

}  // namespace serve
}  // namespace nasbrowse
