// The network entry NASShareBrowse with an arbitrary argument area, argument
// count and path, over the scripted fake NFS client library. Whatever the
// input, the reply on the socket must decode and end with the end marker.
//
// Input: u32 argument count, u8 path mode (bit 0: null path), u16 path
// length, the path bytes, then the argument area (zero-filled after the
// input), through the tests' harness (tests/common/NetworkEntryCall.h).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "browse_requests/NASShareBrowse.h"
#include "common/NetworkEntryCall.h"
#include "host/Message.h"
#include "plumbing/MessageEncoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nsbfuzz::SetUpOnce();
    if (size < 7) return -1;
    uint32_t count;
    memcpy(&count, data, 4);
    const bool nullPath = (data[4] & 1) != 0;
    uint16_t pathLength;
    memcpy(&pathLength, data + 5, 2);
    data += 7;
    size -= 7;
    if (pathLength > size) pathLength = static_cast<uint16_t>(size);
    std::vector<char> path(data, data + pathLength);
    path.push_back('\0');
    data += pathLength;
    size -= pathLength;

    GuiMessage message;
    message.sequenceNumber = 7;
    message.argumentCount = count;
    message.arguments.assign(data,
                             data + (size < MESSAGE_ARG_AREA_SIZE ? size : MESSAGE_ARG_AREA_SIZE));
    nsbtest::NetworkCallOptions options;
    options.clientId = 5;
    options.idleTimeoutMs = 5000;
    const nsbtest::NetworkReply r = nsbtest::CallNetworkEntry(
        NASShareBrowse, message, nullPath ? nullptr : path.data(), options);

    nsbfuzz::Check(r.wellFormed);
    nsbfuzz::Check(r.reply.hasHeader && r.reply.ended);
    // One failure message, or items: never both from one browse.
    nsbfuzz::Check(r.reply.messages.size() <= 1);
    return 0;
}
