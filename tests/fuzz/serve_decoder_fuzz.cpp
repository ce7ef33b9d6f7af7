// The request decoder of `nasbrowse serve` on arbitrary bytes. A frame it
// accepts must encode back to the bytes it was decoded from (the ignored
// reserved word aside); a frame it
// needs more bytes for must say so without reading past the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nasbrowse/ServeProtocol.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nasbrowse::serve;
    // Exact-size copy: a read past the end is caught.
    std::vector<unsigned char> bytes(data, data + size);

    Request request;
    size_t frameSize = 0;
    std::string error;
    const FrameStatus status = DecodeFrame(bytes.data(), bytes.size(), request, frameSize, error);
    switch (status) {
    case FrameStatus::Ok: {
        Check(frameSize >= PREFIX_SIZE && frameSize <= bytes.size());
        Check(!request.path.empty() && request.path.size() <= MAX_PATH_LENGTH);
        Check(request.path.find('\0') == std::string::npos);
        Check(request.message.arguments.size() <= MESSAGE_ARG_AREA_SIZE);
        const std::vector<unsigned char> again = EncodeFrame(request);
        Check(again.size() == frameSize);
        // The reserved word of the header is ignored (and sent as 0).
        std::vector<unsigned char> expected(bytes.begin(), bytes.begin() + frameSize);
        memset(&expected[PREFIX_SIZE + 8], 0, 4);
        Check(memcmp(again.data(), expected.data(), frameSize) == 0);
        break;
    }
    case FrameStatus::Incomplete:
        Check(frameSize == 0 || frameSize > bytes.size());
        Check(frameSize <= PREFIX_SIZE + MAX_BODY_SIZE);
        break;
    case FrameStatus::Malformed: Check(!error.empty()); break;
    }
    if (bytes.size() >= PREFIX_SIZE) {
        size_t bodyLength = 0;
        std::string prefixError;
        if (DecodePrefix(bytes.data(), bodyLength, prefixError) == PrefixStatus::Ok)
            Check(bodyLength <= MAX_BODY_SIZE);
    }
    return 0;
}
