// A network message as the host hands it to the plug-in, and the host's
// fixed-size byte buffer.
#pragma once

#include <cstddef>  // offsetof
#include <cstdint>  // int64_t, uint32_t

#include "host/EvReturnData.h"  // CLumSocket
#include "host/Platform.h"      // HOST_API

// Size of a network message's argument area.
enum : unsigned long { MESSAGE_ARG_AREA_SIZE = 63536 };

// A received message: the header, then the argument area of tagged fields
// (see plumbing/MessageWalker.h), all in the host's byte order.
struct ReceivedMessage {
    int64_t m_sequenceNumber;
    uint32_t m_reserved;
    uint32_t m_argumentCount;
    char m_arguments[MESSAGE_ARG_AREA_SIZE];
};
static_assert(offsetof(ReceivedMessage, m_argumentCount) == 12, "message header layout");
static_assert(offsetof(ReceivedMessage, m_arguments) == 16, "message header layout");

// What the host hands to a message entry: the request's reply socket and the
// received message.
struct MessageInfo {
    CLumSocket m_socket;
    ReceivedMessage m_message;
};

// A byte buffer of fixed size, zero-filled at construction. Not copyable.
class HOST_API OrvBuffer {
public:
    explicit OrvBuffer(int size);  // a negative size is taken as 0
    ~OrvBuffer();
    OrvBuffer(const OrvBuffer&) = delete;
    OrvBuffer& operator=(const OrvBuffer&) = delete;

    operator char*() { return m_data; }
    long getSize() const { return m_size; }

private:
    char* m_data;
    int32_t m_size;
};
