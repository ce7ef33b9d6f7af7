// The reply stream (host/EvReturnData.h): framing of the records of one
// reply and the writes to the reply socket, and the wording of messages to the
// requester. The restore stream's own records are in EvRestoreReturn.cpp.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "host/EvReturnData.h"
#include "host/LogWriter.h"
#include "host_framework/CallSite.h"
#include "host_framework/ReplyWire.h"

namespace {

// Buffered records are written out once they reach this size.
constexpr size_t FLUSH_THRESHOLD = 64 * 1024;

std::atomic<unsigned int> g_sendTimeoutMs{30000};

std::string ErrnoText(int err) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be `buffer`.
    const char* text = strerror_r(err, buffer, sizeof buffer);
    return text ? text : "unknown error";
}

}  // namespace

// ---------------------------------------------------------------------------
// EvReturnData

EvReturnData::EvReturnData(unsigned long returnType, long long jobId, const CLumSocket* socket,
                           bool flag, COrvNetwork* network)
    : m_returnType(returnType),
      m_jobId(jobId),
      m_fd(socket != nullptr ? socket->GetFd() : -1),
      m_flag(flag),
      m_network(network),
      m_headerWritten(false),
      m_ended(false),
      m_failed(false) {
    m_buffer.reserve(FLUSH_THRESHOLD + 256);
}

EvReturnData::~EvReturnData() {
    // The flag and the network object belong to the host's own transport;
    // the socket stream does not need them.
    (void)m_flag;
    (void)m_network;
    if (!m_ended && !m_failed && m_headerWritten) {
        NSB_LOG_HERE(1,
                     "Reply of job [%lld] destroyed before its end; [%zu] buffered bytes dropped",
                     m_jobId, m_buffer.size());
    }
}

void EvReturnData::SetSendTimeoutMs(unsigned int ms) { g_sendTimeoutMs.store(ms); }

int EvReturnData::send(unsigned long tag, const void* data, unsigned long length) {
    if (!writable("send")) return -1;
    if (tag > UINT32_MAX || ReplyWire::IsReservedTag(tag) ||
        length > ReplyWire::MAX_RECORD_LENGTH || (data == nullptr && length != 0)) {
        NSB_LOG_HERE(LOG_ERROR,
                     "Reply of job [%lld]: refused datum with tag [%lu] and length [%lu]", m_jobId,
                     tag, length);
        return -1;
    }
    appendRecord(static_cast<uint32_t>(tag), data, static_cast<uint32_t>(length));
    return m_failed ? -1 : 0;
}

int EvReturnData::dumpBuffer(unsigned long /*code: accepted for the host's interface*/) {
    if (m_ended) return m_failed ? -1 : 0;
    return flush();
}

int EvReturnData::end(long long status) {
    if (!writable("end")) return -1;
    unsigned char value[ReplyWire::END_SIZE];
    ReplyWire::PutU64(value, static_cast<uint64_t>(status));
    appendRecord(ReplyWire::TAG_END, value, sizeof value);
    const int result = flush();
    m_ended = true;
    return result;
}

bool EvReturnData::writable(const char* operation) {
    if (m_ended) {
        NSB_LOG_HERE(LOG_ERROR, "Reply of job [%lld]: [%s] after the end of the reply; dropped",
                     m_jobId, operation);
        return false;
    }
    if (m_failed) return false;
    writeHeaderOnce();
    return !m_failed;
}

void EvReturnData::writeHeaderOnce() {
    if (m_headerWritten) return;
    m_headerWritten = true;
    unsigned char value[ReplyWire::HEADER_SIZE];
    ReplyWire::PutU32(value, ReplyWire::WIRE_VERSION);
    ReplyWire::PutU32(value + 4, static_cast<uint32_t>(m_returnType));
    ReplyWire::PutU64(value + 8, static_cast<uint64_t>(m_jobId));
    ReplyWire::PutU32(value + 16, static_cast<uint32_t>(headerKind()));
    appendRecord(ReplyWire::TAG_HEADER, value, sizeof value);
}

void EvReturnData::appendRecord(uint32_t tag, const void* data, uint32_t length, const void* tail,
                                uint32_t tailLength) {
    unsigned char prefix[ReplyWire::RECORD_PREFIX_SIZE];
    ReplyWire::PutU32(prefix, tag);
    ReplyWire::PutU32(prefix + 4, length + tailLength);
    m_buffer.insert(m_buffer.end(), prefix, prefix + sizeof prefix);
    if (length != 0) {
        const char* p = static_cast<const char*>(data);
        m_buffer.insert(m_buffer.end(), p, p + length);
    }
    if (tailLength != 0) {
        const char* p = static_cast<const char*>(tail);
        m_buffer.insert(m_buffer.end(), p, p + tailLength);
    }
    if (m_buffer.size() >= FLUSH_THRESHOLD) flush();
}

int EvReturnData::flush() {
    if (m_failed) return -1;
    if (m_buffer.empty()) return 0;
    if (m_fd < 0) {
        fail("the reply socket is not open (descriptor " + std::to_string(m_fd) + ")");
        return -1;
    }
    using Clock = std::chrono::steady_clock;
    const unsigned int timeoutMs = g_sendTimeoutMs.load();
    const char* p = m_buffer.data();
    size_t left = m_buffer.size();
    while (left > 0) {
        const ssize_t n = ::send(m_fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        const int err = n < 0 ? errno : 0;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            fail("writing to the reply socket failed: " +
                 (err != 0 ? ErrnoText(err) : std::string("the socket took no bytes")));
            return -1;
        }
        // The peer has not taken what was sent so far: wait for room, at
        // most the send timeout.
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (remaining.count() <= 0) {
                fail("the requester took no reply data for " + std::to_string(timeoutMs) + " ms");
                return -1;
            }
            pollfd pfd{m_fd, POLLOUT, 0};
            const int r = ::poll(&pfd, 1, static_cast<int>(remaining.count()));
            if (r > 0) break;  // writable, or an error the next send reports
            if (r < 0 && errno != EINTR) {
                fail("waiting for the reply socket failed: " + ErrnoText(errno));
                return -1;
            }
        }
    }
    m_buffer.clear();
    return 0;
}

void EvReturnData::fail(const std::string& why) {
    m_failed = true;
    m_failureText = why;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    NSB_LOG_HERE(LOG_ERROR, "Reply of job [%lld] failed: %s", m_jobId, why.c_str());
}

// ---------------------------------------------------------------------------
// EvEvent

namespace {

// Message texts by id. %1, %2, ... stand for the arguments in the order they
// were added; an argument that was not added reads as empty.
const std::map<unsigned long, const char*>& Catalogue() {
    static const std::map<unsigned long, const char*> catalogue = {
        {EV_MSG_NAS_SHARE_LIST_FAILED,
         "The shares of NAS file server [%1] could not be listed: %2"},
        {EV_MSG_NAS_FOLDER_LIST_FAILED,
         "The folder [%1] of NAS file server [%2] could not be listed: %3"},
    };
    return catalogue;
}

// Replaces each %N (N = 1..9) of `text` by argument N, in one pass: argument
// texts are never searched for placeholders.
std::string Substitute(const char* text, const std::vector<std::string>& arguments) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            const size_t index = static_cast<size_t>(p[1] - '1');
            if (index < arguments.size()) out += arguments[index];
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

EvEvent::EvEvent() {}
EvEvent::~EvEvent() {}

void EvEvent::addArgument(const void* value, int type) {
    if (type == EV_ARG_TEXT) {
        m_arguments.emplace_back(value != nullptr ? static_cast<const char*>(value) : "");
    } else {
        m_arguments.emplace_back("<argument of unsupported type " + std::to_string(type) + ">");
    }
}

int EvEvent::evPrintf(unsigned long messageId, std::string& out, long long jobId) {
    const auto& catalogue = Catalogue();
    const auto found = catalogue.find(messageId);
    if (found != catalogue.end()) {
        out = Substitute(found->second, m_arguments);
        return 0;
    }
    char head[96];
    snprintf(head, sizeof head, "Message 0x%08lx of job %lld", messageId, jobId);
    out = head;
    for (size_t i = 0; i < m_arguments.size(); ++i)
        out += (i == 0 ? ": [" : " [") + m_arguments[i] + "]";
    return -1;
}
