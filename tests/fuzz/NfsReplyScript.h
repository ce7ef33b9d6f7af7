// The replies a scripted file server sends, as one fuzz input: for each
// service kind (portmapper, MOUNT, NFSv3, NFSv4) the replies to its calls in
// the order the calls come, each with a way of sending it (the xid fixed up
// or left as it is, split into fragments, sent twice). Used by the network
// fuzz target and by the tool that records a seed corpus from a real server.
//
// Input format, repeated to the end: kind (1 byte: 0 portmapper, 1 MOUNT,
// 2 NFSv3, 3 NFSv4), flags (1 byte), length (2 bytes, big-endian), and the
// reply's bytes after the record marker, xid first.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "ScriptedPeer.h"

namespace nfsfuzz {

enum Kind : uint8_t { kPortmapper = 0, kMount = 1, kNfs3 = 2, kNfs4 = 3, kKinds = 4 };

enum Flags : uint8_t {
    kKeepXid = 1,        // send the xid as scripted, not the call's
    kTwice = 2,          // send the reply twice
    kFragmentShift = 2,  // bits 2-4: the number of extra fragments (0-7)
};

struct Reply {
    uint8_t flags = 0;
    std::string bytes;  // xid first
};

// The kind of a call, from its program and version.
inline int KindOf(uint32_t program, uint32_t version) {
    if (program == 100000) return kPortmapper;
    if (program == 100005) return kMount;
    if (program == 100003) return version == 4 ? kNfs4 : kNfs3;
    return -1;
}

class ReplyScript {
public:
    // Takes a whole input; what does not parse is ignored.
    void Load(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& q : m_queues) q.clear();
        size_t at = 0;
        while (size - at >= 4) {
            const uint8_t kind = data[at] % kKinds;
            const uint8_t flags = data[at + 1];
            const size_t length = (size_t{data[at + 2]} << 8) | data[at + 3];
            at += 4;
            if (length > size - at) break;
            m_queues[kind].push_back(
                Reply{flags, std::string(reinterpret_cast<const char*>(data) + at, length)});
            at += length;
        }
    }

    // The whole reply record (markers included) to `call`, or "" when the
    // script has nothing more for its kind.
    std::string Answer(const nfstest::RpcCall& call) {
        const int kind = KindOf(call.program, call.version);
        Reply reply;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (kind < 0 || m_queues[kind].empty()) return "";
            reply = m_queues[kind].front();
            m_queues[kind].pop_front();
        }
        if (reply.bytes.size() >= 4 && !(reply.flags & kKeepXid))
            reply.bytes.replace(0, 4, call.record, 0, 4);
        std::string record =
            nfstest::Framed(reply.bytes, 1 + ((reply.flags >> kFragmentShift) & 7));
        if (reply.flags & kTwice) record += record;
        return record;
    }

    // Appends one reply to an input being written (the recorder).
    static void Append(std::string& input, uint8_t kind, const std::string& bytes) {
        const size_t length = bytes.size() < 0xFFFF ? bytes.size() : 0xFFFF;
        input.push_back(static_cast<char>(kind));
        input.push_back(0);
        input.push_back(static_cast<char>(length >> 8));
        input.push_back(static_cast<char>(length & 0xFF));
        input.append(bytes, 0, length);
    }

private:
    std::mutex m_mutex;
    std::deque<Reply> m_queues[kKinds];
};

}  // namespace nfsfuzz
