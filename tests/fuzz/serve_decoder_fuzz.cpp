// The request decoder of `nasbrowse serve` on arbitrary bytes. A frame it
// accepts must encode back to the bytes it was decoded from (the ignored
// reserved word aside); a frame it
// needs more bytes for must say so without reading past the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "nasbrowse/ServeProtocol.h"

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
        nsbfuzz::Check(frameSize >= PREFIX_SIZE && frameSize <= bytes.size());
        nsbfuzz::Check(!request.path.empty() && request.path.size() <= MAX_PATH_LENGTH);
        nsbfuzz::Check(request.path.find('\0') == std::string::npos);
        nsbfuzz::Check(request.message.arguments.size() <= MESSAGE_ARG_AREA_SIZE);
        const std::vector<unsigned char> again = EncodeFrame(request);
        nsbfuzz::Check(again.size() == frameSize);
        // The reserved word of the header is ignored (and sent as 0).
        std::vector<unsigned char> expected(bytes.begin(), bytes.begin() + frameSize);
        memset(&expected[PREFIX_SIZE + 8], 0, 4);
        nsbfuzz::Check(memcmp(again.data(), expected.data(), frameSize) == 0);
        break;
    }
    case FrameStatus::Incomplete:
        nsbfuzz::Check(frameSize == 0 || frameSize > bytes.size());
        nsbfuzz::Check(frameSize <= PREFIX_SIZE + MAX_BODY_SIZE);
        break;
    case FrameStatus::Malformed: nsbfuzz::Check(!error.empty()); break;
    }
    if (bytes.size() >= PREFIX_SIZE) {
        size_t bodyLength = 0;
        std::string prefixError;
        if (DecodePrefix(bytes.data(), bodyLength, prefixError) == PrefixStatus::Ok)
            nsbfuzz::Check(bodyLength <= MAX_BODY_SIZE);
    }
    return 0;
}
