// The network entry NASShareBrowse with an arbitrary argument area, argument
// count and path, over the scripted fake NFS client library. Whatever the
// input, the reply on the socket must decode and end with the end marker.
//
// Input: u32 argument count, u8 path mode (bit 0: null path), u16 path
// length, the path bytes, then the argument area (zero-filled after the
// input). The message is allocated to its exact size, so a read past the
// area is caught.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "browse_requests/NASShareBrowse.h"
#include "host/Message.h"
#include "host_framework/ReplyReader.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

}  // namespace

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

    // One socket pair and one message for the whole run: the entry's reply is
    // drained after every input.
    static int fds[2] = {-1, -1};
    static MessageInfo* message = nullptr;
    if (message == nullptr) {
        Check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
        const int big = 8 << 20;
        if (setsockopt(fds[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0)
            setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        message = new MessageInfo();
    }
    memset(message->m_message.m_arguments, 0, MESSAGE_ARG_AREA_SIZE);
    message->m_socket = CLumSocket(fds[0]);
    message->m_message.m_sequenceNumber = 7;
    message->m_message.m_argumentCount = count;
    memcpy(message->m_message.m_arguments, data, size < MESSAGE_ARG_AREA_SIZE ? size : MESSAGE_ARG_AREA_SIZE);

    NASShareBrowse(message, nullPath ? nullptr : path.data(), 5, 0, nullptr);

    // Everything is written when the entry returns.
    ReplyWire::ReplyDecoder decoder;
    static char buffer[65536];
    for (;;) {
        const ssize_t n = recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        decoder.feed(buffer, static_cast<size_t>(n));
    }
    Check(decoder.finish());
    const ReplyWire::Reply& reply = decoder.reply();
    Check(reply.hasHeader && reply.ended);
    // One failure message, or items: never both from one browse.
    Check(reply.messages.size() <= 1);
    return 0;
}
