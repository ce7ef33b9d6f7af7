#include "nfs_client/worker/nfs3/Nfs3Replies.h"

#include <cstring>  // memcpy

#include "nfs_client/worker/rpc/XdrReader.h"

namespace nfsclient {
namespace {

constexpr uint32_t kOk = 0;  // MNT3_OK, NFS3_OK
constexpr size_t kLeastEntryBytes =
    40;  // an entryplus3 with a 1-byte name, no attributes, no handle

bool Malformed(std::string& why, const char* what) {
    why = std::string("the server's reply is malformed (") + what + ")";
    return false;
}

// fattr3 (RFC 1813): 84 bytes.
bool ReadFattr3(XdrReader& in, Fattr3& a) {
    uint32_t skip32 = 0;
    uint64_t skip64 = 0;
    return in.U32(a.type) && in.U32(a.mode) && in.U32(skip32) /* nlink */ &&
           in.U32(skip32) /* uid */ && in.U32(skip32) /* gid */ && in.U64(a.size) &&
           in.U64(skip64) /* used */ && in.U64(skip64) /* rdev */ && in.U64(skip64) /* fsid */ &&
           in.U64(a.fileid) && in.U64(skip64) /* atime */ && in.U32(a.mtimeSeconds) &&
           in.U32(skip32) /* mtime ns */ && in.U64(skip64) /* ctime */;
}

bool ReadPostOpAttr(XdrReader& in, bool& has, Fattr3& a) {
    return in.Bool(has) && (!has || ReadFattr3(in, a));
}

bool ReadHandle(XdrReader& in, Bytes& handle) {
    return in.Opaque(handle.data, handle.length, kNfs3HandleBytes);
}

// One export's group list: names only skipped, their number bounded.
bool SkipGroups(XdrReader& in) {
    bool more = false;
    if (!in.Bool(more)) return false;
    for (uint32_t groups = 0; more; ++groups) {
        Bytes name;
        if (groups >= kMaxGroupsPerExport || !in.Opaque(name.data, name.length, kMountNameBytes) ||
            !in.Bool(more))
            return false;
    }
    return true;
}

// An entry's handle is not used: one longer than the protocol allows is
// passed over (the reply bounds it) and marked for a notice.
bool ReadEntryHandle(XdrReader& in, DirectoryEntry& entry) {
    Bytes handle;
    if (!in.Opaque(handle.data, handle.length, kMaxDecodedText)) return false;
    if (handle.length > kNfs3HandleBytes) entry.ignoredHandleBytes = handle.length;
    return true;
}

bool ReadEntry(XdrReader& in, DirectoryEntry& entry) {
    uint64_t fileid = 0;
    bool hasHandle = false;
    return in.U64(fileid) && in.Opaque(entry.name.data, entry.name.length, kMaxDecodedText) &&
           in.U64(entry.cookie) && ReadPostOpAttr(in, entry.hasAttributes, entry.attributes) &&
           in.Bool(hasHandle) && (!hasHandle || ReadEntryHandle(in, entry));
}

}  // namespace

bool DecodeExportList(const char* data, size_t size, size_t maxExports,
                      const std::function<bool(const Bytes& path)>& visit, std::string& why) {
    XdrReader in(data, size);
    bool more = false;
    if (!in.Bool(more)) return Malformed(why, "export list");
    for (size_t count = 0; more; ++count) {
        if (count >= maxExports) {
            why = "the server lists more than " + std::to_string(maxExports) +
                  " exports, the most this client takes";
            return false;
        }
        Bytes path;
        if (!in.Opaque(path.data, path.length, kMaxDecodedText) || !SkipGroups(in) ||
            !in.Bool(more))
            return Malformed(why, "export list");
        if (!visit(path)) return true;
    }
    return in.AtEnd() || Malformed(why, "bytes after the export list");
}

bool DecodeMountResult(const char* data, size_t size, MountResult& result, std::string& why) {
    XdrReader in(data, size);
    if (!in.U32(result.status)) return Malformed(why, "mount result");
    if (result.status != kOk) return true;
    uint32_t flavors = 0;
    if (!ReadHandle(in, result.handle) || !in.U32(flavors) || flavors > kMaxAuthFlavors ||
        !in.Holds(flavors, 4))
        return Malformed(why, "mount result");
    result.flavours.reserve(flavors);
    for (uint32_t i = 0; i < flavors; ++i) {
        uint32_t flavor = 0;
        if (!in.U32(flavor)) return Malformed(why, "mount result");
        result.flavours.push_back(flavor);
    }
    return in.AtEnd() || Malformed(why, "bytes after the mount result");
}

bool DecodeLookupResult(const char* data, size_t size, LookupResult& result, std::string& why) {
    XdrReader in(data, size);
    bool hasDirectory = false;
    Fattr3 directory;
    if (!in.U32(result.status)) return Malformed(why, "lookup result");
    if (result.status != kOk)
        return ReadPostOpAttr(in, hasDirectory, directory) || Malformed(why, "lookup result");
    if (!ReadHandle(in, result.handle) ||
        !ReadPostOpAttr(in, result.hasAttributes, result.attributes) ||
        !ReadPostOpAttr(in, hasDirectory, directory))
        return Malformed(why, "lookup result");
    return in.AtEnd() || Malformed(why, "bytes after the lookup result");
}

bool DecodeFsInfo(const char* data, size_t size, FsInfo& result, std::string& why) {
    XdrReader in(data, size);
    bool hasAttributes = false;
    Fattr3 attributes;
    uint32_t skip = 0;
    if (!in.U32(result.status) || !ReadPostOpAttr(in, hasAttributes, attributes))
        return Malformed(why, "file system information");
    if (result.status != kOk) return true;
    // rtmax, rtpref, rtmult, wtmax, wtpref, wtmult, dtpref; the rest is not used.
    if (!in.U32(result.rtmax) || !in.U32(skip) || !in.U32(skip) || !in.U32(skip) || !in.U32(skip) ||
        !in.U32(skip) || !in.U32(result.dtpref))
        return Malformed(why, "file system information");
    return true;
}

bool DecodeDirectoryPage(
    const char* data, size_t size, size_t maxEntries, DirectoryPage& page,
    const std::function<bool(const DirectoryEntry& entry, std::string& why)>& visit,
    std::string& why) {
    XdrReader in(data, size);
    bool hasDirectory = false;
    Fattr3 directory;
    if (!in.U32(page.status)) return Malformed(why, "directory page");
    if (page.status != kOk)
        return ReadPostOpAttr(in, hasDirectory, directory) || Malformed(why, "directory page");
    if (!ReadPostOpAttr(in, hasDirectory, directory) || !in.Holds(2, 4))
        return Malformed(why, "directory page");
    uint32_t verifier[2];
    if (!in.U32(verifier[0]) || !in.U32(verifier[1])) return Malformed(why, "directory page");
    // The verifier is echoed byte for byte: kept in the order it came.
    for (int i = 0; i < 2; ++i)
        for (int b = 0; b < 4; ++b)
            page.verifier[4 * i + b] = static_cast<char>(verifier[i] >> (24 - 8 * b));
    bool more = false;
    if (!in.Bool(more)) return Malformed(why, "directory page");
    for (; more; ++page.entries) {
        if (page.entries >= maxEntries || !in.Holds(1, kLeastEntryBytes)) {
            why = "the server sent a page of more than " + std::to_string(maxEntries) + " entries";
            return false;
        }
        DirectoryEntry entry;
        if (!ReadEntry(in, entry) || !in.Bool(more)) return Malformed(why, "directory entry");
        if (!visit(entry, why)) return false;
    }
    if (!in.Bool(page.eof)) return Malformed(why, "directory page");
    return in.AtEnd() || Malformed(why, "bytes after the directory page");
}

}  // namespace nfsclient
