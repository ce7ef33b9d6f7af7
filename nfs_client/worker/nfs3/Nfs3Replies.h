// Decoders of our own for the MOUNT v3 and NFSv3 replies that carry lists,
// file handles and names: EXPORT, MNT, LOOKUP and READDIRPLUS. Bounded by
// what the protocol allows (NFS3_FHSIZE, MNTPATHLEN, ...) and by the limits
// of the caller; iterative; names come with their length, so a name holding
// a NUL byte is seen as such. Pure: they read bytes, nothing else.
#pragma once

#include <cstdint>     // uint32_t, uint64_t
#include <functional>  // std::function
#include <string>      // std::string
#include <vector>      // std::vector

namespace nfsclient {

constexpr uint32_t kNfs3HandleBytes = 64;  // NFS3_FHSIZE
constexpr uint32_t kMountNameBytes = 255;  // MNTNAMLEN, a group name
// Export paths and entry names are decoded up to this length (the rest of
// the reply bounds them anyway); the caller leaves out those it cannot use
// (longer than 4 KiB, holding a NUL byte, ...) and goes on with the others.
constexpr uint32_t kMaxDecodedText = 1u << 20;
constexpr uint32_t kMaxAuthFlavors = 64;
constexpr uint32_t kMaxGroupsPerExport = 4096;

// A byte range inside the reply, valid while the reply is.
struct Bytes {
    const char* data = nullptr;
    uint32_t length = 0;
};

struct Fattr3 {
    uint32_t type = 0;
    uint32_t mode = 0;
    uint64_t size = 0;
    uint64_t fileid = 0;
    uint32_t mtimeSeconds = 0;
};

// Each decoder returns false, with `why`, for a reply that is malformed or
// beyond a bound; a status other than OK is a well-formed reply.

// EXPORT: calls `visit` with each export path, in order; stops decoding
// (and succeeds) when it returns false. At most `maxExports` exports.
bool DecodeExportList(const char* data, size_t size, size_t maxExports,
                      const std::function<bool(const Bytes& path)>& visit, std::string& why);

struct MountResult {
    uint32_t status = 0;
    Bytes handle;                    // on MNT3_OK
    std::vector<uint32_t> flavours;  // on MNT3_OK: auth_flavors, in the server's order
};
bool DecodeMountResult(const char* data, size_t size, MountResult& result, std::string& why);

struct LookupResult {
    uint32_t status = 0;
    Bytes handle;  // on NFS3_OK
    bool hasAttributes = false;
    Fattr3 attributes;  // of the object, when sent
};
bool DecodeLookupResult(const char* data, size_t size, LookupResult& result, std::string& why);

// FSINFO: the sizes the server takes; only what a listing uses.
struct FsInfo {
    uint32_t status = 0;
    uint32_t rtmax = 0;   // largest READ reply (bounds a READDIRPLUS reply)
    uint32_t dtpref = 0;  // preferred READDIR size
};
bool DecodeFsInfo(const char* data, size_t size, FsInfo& result, std::string& why);

struct DirectoryEntry {
    Bytes name;
    uint64_t cookie = 0;
    bool hasAttributes = false;
    Fattr3 attributes;
    // The length of a handle beyond NFS3_FHSIZE that was passed over (the
    // listing does not need it), else 0.
    uint32_t ignoredHandleBytes = 0;
};
struct DirectoryPage {
    uint32_t status = 0;
    char verifier[8] = {};
    bool eof = false;
    size_t entries = 0;
};
// READDIRPLUS: calls `visit` with each entry, in order; stops (and fails
// with the text it leaves in `why`) when it returns false. At most
// `maxEntries` entries in the page.
bool DecodeDirectoryPage(
    const char* data, size_t size, size_t maxEntries, DirectoryPage& page,
    const std::function<bool(const DirectoryEntry& entry, std::string& why)>& visit,
    std::string& why);

}  // namespace nfsclient
