// The framed encoding between the library and its NFS client worker: the
// request the library writes to the worker's standard input, and the export
// paths, entries, notices and the outcome the worker writes back on its
// standard output.
//
// A frame is a 4-byte length (little-endian, of what follows), a 1-byte type
// and the payload. Both ends are on one machine: numbers are little-endian.
// The library trusts nothing it reads back: a worker is where a hostile
// server's bytes are handled, so every frame is checked for its type, its
// length and the rules of its fields before anything of it is used.
#pragma once

#include <cstddef>      // size_t
#include <cstdint>      // uint8_t, uint32_t, uint64_t
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include "host/NFSClient.h"        // NFSItemInfo
#include "nfs_client/PipeTypes.h"  // ServerProfile, CallLimits

namespace nfsclient {
namespace frames {

// Longest payload of any frame: a request path, with room to spare.
constexpr uint32_t kMaxPayload = 80 * 1024;

enum Type : uint8_t {
    // Library to worker.
    kRequest = 'Q',     // the operation, its bounds, the server and the path
    kHints = 'H',       // what the server cache knows of the server
    kHintExport = 'X',  // one export path of the cached export list
    kGo = 'G',          // end of the request
    // Worker to library.
    kExport = 'E',         // one export path, in the order found
    kEntry = 'I',          // one directory entry
    kNotice = 'N',         // a line for the host's log
    kProgress = 'B',       // a reply was handled (no entry need come of it)
    kProfile = 'P',        // what the worker learned of the server
    kLearnedExport = 'L',  // one export path learned (for the cache)
    kDone = 'R',           // the outcome; the last frame
};

// Longest text of a request's Security (a keytab path, a principal, the
// caller's KRB5CCNAME or KRB5_CONFIG); the library refuses a call with a
// longer one (CheckSecurity).
constexpr size_t kMaxSecurityTextBytes = 2048;
// Longest host name (DNS: 253 characters).
constexpr size_t kMaxServerNameBytes = 255;

enum class Operation : uint8_t { Exports = 1, List = 2 };

struct Request {
    Operation operation = Operation::Exports;
    CallLimits limits;
    std::string address;
    std::string path;  // List only
    Security security;
};

// Empty when `security` fits a request frame; else what is too long, for
// the caller's error text.
std::string CheckSecurity(const Security& security);

struct Outcome {
    bool ok = false;
    bool timedOut = false;
    std::string error;
};

// Appends one frame to `out`.
void Append(std::string& out, Type type, std::string_view payload);
// Appends an entry frame to `out` (EncodeEntry without the copies).
void AppendEntry(std::string& out, const NFSItemInfo& entry);

// Payload encoders.
std::string EncodeRequest(const Request& request);
std::string EncodeHints(const ServerProfile& profile);
std::string EncodeEntry(const NFSItemInfo& entry);
std::string EncodeOutcome(const Outcome& outcome);

// Payload decoders; false when the payload is malformed.
bool DecodeRequest(std::string_view payload, Request& request);
bool DecodeHints(std::string_view payload, ServerProfile& profile);
bool DecodeOutcome(std::string_view payload, Outcome& outcome);
// An entry as a view: `name` points into the payload.
struct EntryView {
    uint32_t type = 0;
    uint32_t mode = 0;
    uint64_t size = 0;
    uint64_t writeTime = 0;
    std::string_view name;
};
bool DecodeEntry(std::string_view payload, EntryView& entry);

// Splits a byte stream into frames. Feed what is read; take frames while
// Next() returns true. Broken() tells a stream that cannot be a sequence of
// frames (unknown type, length beyond kMaxPayload): nothing more may be
// taken from it.
class Reader {
public:
    void Feed(const char* data, size_t size);
    // The next whole frame; `payload` stays valid until the next Feed().
    bool Next(Type& type, std::string_view& payload);
    bool Broken() const { return !m_why.empty(); }
    const std::string& Why() const { return m_why; }
    // Bytes fed but not yet taken as frames.
    size_t Pending() const { return m_buffer.size() - m_at; }

private:
    std::string m_buffer;
    size_t m_at = 0;
    std::string m_why;
};

// True for the types a worker may send.
bool FromWorker(uint8_t type);
// True for the types the library sends.
bool FromLibrary(uint8_t type);

}  // namespace frames
}  // namespace nfsclient
