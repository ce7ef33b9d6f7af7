// The host framework's reply stream base and message wording.
//
// EvReturnData frames the records of one reply and writes them to the reply
// socket. The wire format is described in docs/REPLY-STREAM.md and in
// host_framework/ReplyWire.h.
#pragma once

#include <cstdint>  // int32_t, int64_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "host/Platform.h"  // HOST_API

// The host's network object. Opaque to the plug-in; may be null.
class COrvNetwork;

// A connected stream socket, owned by the host. The stream writes to it but
// never closes it.
class HOST_API CLumSocket {
public:
    explicit CLumSocket(int fd = -1) : m_fd(fd) {}
    int GetFd() const { return m_fd; }
    void SetFd(int fd) { m_fd = fd; }

private:
    int m_fd;
};

// Base of all reply streams. One stream belongs to one request and is used by
// one thread at a time. Writes are buffered; a write that fails, or that the
// peer does not take within the send timeout, marks the stream failed and
// every later write is dropped. Writing never raises SIGPIPE and never blocks
// longer than the send timeout.
class HOST_API EvReturnData {
public:
    EvReturnData(unsigned long returnType, long long jobId, const CLumSocket* socket, bool flag,
                 COrvNetwork* network);
    virtual ~EvReturnData();

    // Appends one tagged datum of `length` bytes. Returns 0, or -1 when the
    // stream has failed.
    int send(unsigned long tag, const void* data, unsigned long length);

    // Writes out what is buffered. Returns 0, or -1 when the stream has failed.
    int dumpBuffer(unsigned long code);

    // Writes the end marker with `status` after everything buffered and
    // flushes. Returns 0, or -1 when the stream has failed.
    int end(long long status);

    // True once a write has failed; the text says why.
    bool failed() const { return m_failed; }
    const std::string& failureText() const { return m_failureText; }

    // ---- Our stand-in host only: set by tests. Not part of the host's
    // interface; the plug-in never calls it. ----

    // Upper bound of one blocked write, in milliseconds (default 30000).
    static void SetSendTimeoutMs(unsigned int ms);

protected:
    // The kind written in the stream's header record. Streams that carry a
    // kind override it; the header is written with the first record, after
    // every constructor has run.
    virtual int32_t headerKind() const { return 0; }

private:
    // The item and message records of EvRestoreReturn are framing records.
    friend class EvRestoreReturn;

    bool writable(const char* operation);
    void writeHeaderOnce();
    void appendRecord(uint32_t tag, const void* data, uint32_t length, const void* tail = nullptr,
                      uint32_t tailLength = 0);
    int flush();
    void fail(const std::string& why);

    unsigned long m_returnType;
    long long m_jobId;
    int m_fd;
    bool m_flag;
    COrvNetwork* m_network;
    bool m_headerWritten;
    bool m_ended;
    bool m_failed;
    std::string m_failureText;
    std::vector<char> m_buffer;
};

// Argument types of EvEvent::addArgument.
enum : int { EV_ARG_TEXT = 11 };

// Words a message to the requester from a message id and arguments.
class HOST_API EvEvent {
public:
    EvEvent();
    ~EvEvent();

    // Adds one argument. A text argument (EV_ARG_TEXT, `value` a
    // NUL-terminated text) is copied; a null text is taken as empty.
    void addArgument(const void* value, int type);

    // Words message `messageId` with the arguments added so far into `out`,
    // for job `jobId`. Returns 0, or -1 for an unknown id (then `out` holds a
    // generic text that still carries the arguments).
    int evPrintf(unsigned long messageId, std::string& out, long long jobId);

    // Adds a text argument; chains.
    EvEvent& operator<<(const char* text) {
        addArgument(text, EV_ARG_TEXT);
        return *this;
    }

private:
    std::vector<std::string> m_arguments;
};

// Message ids of the host's catalogue.
enum : unsigned long {
    // "The shares of NAS file server [%1] could not be listed: %2"
    EV_MSG_NAS_SHARE_LIST_FAILED = 0x23000f38,
    // "The folder [%1] of NAS file server [%2] could not be listed: %3"
    EV_MSG_NAS_FOLDER_LIST_FAILED = 0x23000f39,
};
