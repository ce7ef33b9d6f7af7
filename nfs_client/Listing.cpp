// Streaming listing of one directory over NFS v3: export list, MNT of the
// export holding the path, LOOKUP per remaining component, then READDIRPLUS
// page by page, each entry handed to the caller as its page arrives.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

#include "host/NFSClient.h"
#include "nfs_client/ErrorText.h"
#include "nfs_client/Exports.h"
#include "nfs_client/Nfs4Roads.h"
#include "nfs_client/Paths.h"
#include "nfs_client/Probe.h"
#include "nfs_client/RpcSession.h"
#include "nfs_client/Settings.h"

namespace nfsclient {
namespace {

// dircount and maxcount of each READDIRPLUS: about 1,600 entries per page.
// The server's cost per request dominates a large listing (nfs-ganesha: 64 KB
// pages took 230 ms for 100,000 entries, 256 KB 190 ms, 1 MB no better), and
// memory stays flat for any directory size (0.7 MB more than 64 KB pages).
constexpr count3 kPageBytes = 256 * 1024;

struct Listing {
    void* context = nullptr;
    LiveBrowseCallback callback = nullptr;
    std::vector<char> handle;  // the directory reached so far
    cookie3 cookie = 0;        // where the next page starts
    cookieverf3 verifier = {};
    bool eof = false;
    unsigned long long delivered = 0;
    // Brent's cycle detection over the page-start cookies: a server whose
    // cookies come round again would otherwise be listed forever.
    cookie3 tortoise = 0;
    unsigned long long power = 1;
    unsigned long long lambda = 1;
};

uint32_t TypeBits(uint32_t type) {
    switch (type) {
    case NF3REG: return S_IFREG;
    case NF3DIR: return S_IFDIR;
    case NF3BLK: return S_IFBLK;
    case NF3CHR: return S_IFCHR;
    case NF3LNK: return S_IFLNK;
    case NF3SOCK: return S_IFSOCK;
    case NF3FIFO: return S_IFIFO;
    default: return 0;
    }
}

const char* TypeName(uint32_t type) {
    switch (type) {
    case NF3REG: return "a regular file";
    case NF3BLK: return "a block device";
    case NF3CHR: return "a character device";
    case NF3LNK: return "a symbolic link (not followed)";
    case NF3SOCK: return "a socket";
    case NF3FIFO: return "a FIFO";
    default: return "not a directory";
    }
}

void FailNfs(RpcSession& session, int status) {
    switch (status) {
    case NFS3ERR_NOENT: session.Fail("no such directory (NFS3ERR_NOENT)"); return;
    case NFS3ERR_NOTDIR: session.Fail("not a directory (NFS3ERR_NOTDIR)"); return;
    case NFS3ERR_ACCES:
    case NFS3ERR_PERM: session.Fail("access denied (%s)", nfsstat3_to_str(status)); return;
    case NFS3ERR_STALE: session.Fail("stale file handle (NFS3ERR_STALE)"); return;
    case NFS3ERR_BAD_COOKIE:
        session.Fail("the directory changed during the listing (NFS3ERR_BAD_COOKIE)");
        return;
    default: session.Fail("the server answered %s", nfsstat3_to_str(status)); return;
    }
}

void OnMount(RpcSession& session, void* data, void* arg) {
    const auto* result = static_cast<mountres3*>(data);
    auto* listing = static_cast<Listing*>(arg);
    switch (result->fhs_status) {
    case MNT3_OK: {
        const fhandle3& fh = result->mountres3_u.mountinfo.fhandle;
        listing->handle.assign(fh.fhandle3_val, fh.fhandle3_val + fh.fhandle3_len);
        return;
    }
    case MNT3ERR_ACCES:
    case MNT3ERR_PERM:
        session.Fail("access denied (%s)", mountstat3_to_str(result->fhs_status));
        return;
    default: session.Fail("mount refused (%s)", mountstat3_to_str(result->fhs_status)); return;
    }
}

void OnLookup(RpcSession& session, void* data, void* arg) {
    const auto* result = static_cast<LOOKUP3res*>(data);
    auto* listing = static_cast<Listing*>(arg);
    if (result->status != NFS3_OK) {
        FailNfs(session, result->status);
        return;
    }
    const LOOKUP3resok& ok = result->LOOKUP3res_u.resok;
    if (ok.obj_attributes.attributes_follow &&
        ok.obj_attributes.post_op_attr_u.attributes.type != NF3DIR) {
        session.Fail("not a directory (%s)", TypeName(ok.obj_attributes.post_op_attr_u.attributes.type));
        return;
    }
    listing->handle.assign(ok.object.data.data_val, ok.object.data.data_val + ok.object.data.data_len);
}

// False when the entry's receiver stopped the listing (the session failed).
bool Deliver(RpcSession& session, Listing& listing, const entryplus3& entry) {
    if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) return true;
    NFSItemInfo info;
    memset(&info, 0, sizeof info);
    info.name = entry.name;
    if (entry.name_attributes.attributes_follow) {
        const fattr3& attributes = entry.name_attributes.post_op_attr_u.attributes;
        info.type = attributes.type;
        info.mode = (attributes.mode & 07777) | TypeBits(attributes.type);
        info.size = attributes.size;
        info.writeTime = attributes.mtime.seconds;
    }
    bool reserved = false;
    bool more = false;
    try {
        more = listing.callback(listing.context, &info, 0, false, reserved);
    } catch (...) {
        session.Fail("the receiver of the entries threw an exception after %llu entries; listing stopped",
                     listing.delivered);
        return false;
    }
    if (!more) {
        session.Fail("listing stopped by the receiver after %llu entries", listing.delivered);
        return false;
    }
    ++listing.delivered;
    return true;
}

void OnPage(RpcSession& session, void* data, void* arg) {
    const auto* result = static_cast<READDIRPLUS3res*>(data);
    auto* listing = static_cast<Listing*>(arg);
    if (result->status != NFS3_OK) {
        FailNfs(session, result->status);
        return;
    }
    const READDIRPLUS3resok& ok = result->READDIRPLUS3res_u.resok;
    cookie3 next = listing->cookie;
    // libnfs 4.0 decodes list entries at 4-byte alignment: read each entry by copy.
    for (const entryplus3* at = ok.reply.entries; at != nullptr;) {
        entryplus3 entry;
        memcpy(&entry, at, sizeof entry);
        at = entry.nextentry;
        next = entry.cookie;
        if (!Deliver(session, *listing, entry)) return;
    }
    memcpy(listing->verifier, ok.cookieverf, sizeof listing->verifier);
    listing->eof = ok.reply.eof != 0;
    if (listing->eof) return;
    if (ok.reply.entries == nullptr) {
        session.Fail("the server sent a page without entries before the end of the directory");
        return;
    }
    if (next == listing->tortoise) {
        session.Fail("the server's directory cookies repeat (cookie %llu): the listing would not end",
                     static_cast<unsigned long long>(next));
        return;
    }
    if (listing->power == listing->lambda) {
        listing->tortoise = next;
        listing->power *= 2;
        listing->lambda = 0;
    }
    ++listing->lambda;
    listing->cookie = next;
}

int Browse(const char* address, const char* path, void* context, LiveBrowseCallback callback,
           char* errorText) {
    int family = 0;
    if (!CheckAddress(address, "NFS listing", family, errorText)) return 1;
    std::vector<std::string> components;
    std::string why;
    if (!SplitServerPath(path, components, why)) {
        WriteError(errorText, "NFS server %s, listing of \"%.300s\": %s", address,
                   path != nullptr ? path : "", why.c_str());
        return 1;
    }
    const std::string directory = JoinServerPath(components);
    if (callback == nullptr) {
        WriteError(errorText, "NFS server %s, listing of %.300s: no callback given", address,
                   directory.c_str());
        return 1;
    }

    ProbeOutcome probe = ProbeServer(address, family, TimeoutMs());
    if (probe.road == Road::V4MinorOnly) {
        WriteError(errorText, "%s", MinorVersionText(address).c_str());
        return 1;
    }
    if (probe.road == Road::V4) {
        if (!ListV4(*probe.v4, components, directory, context, callback)) {
            WriteError(errorText, "%s", probe.v4->Error().c_str());
            return 1;
        }
        return 0;
    }

    RpcSession session(address, family, TimeoutMs());
    ServicePorts ports;
    std::vector<std::string> exports;
    const bool listed = session.Ok() && ReadExportList(session, true, ports, [&](const char* e) {
                            exports.emplace_back(e);
                            return true;
                        });
    if (!listed) {
        WriteError(errorText, "%s", session.Error().c_str());
        return 1;
    }
    size_t depth = 0;
    const int chosen = ChooseExport(components, exports, depth);
    if (chosen < 0) {
        std::string names;
        for (const std::string& e : exports) names += (names.empty() ? "" : ", ") + e;
        WriteError(errorText, "NFS server %s: no export holds the path %.300s (exports: %.400s)",
                   address, directory.c_str(), names.empty() ? "none" : names.c_str());
        return 1;
    }

    Listing listing;
    listing.context = context;
    listing.callback = callback;
    rpc_context* rpc = session.Context();
    std::string exportName = exports[chosen];
    session.Begin(&OnMount, &listing, "mount of export %.300s", exportName.c_str());
    // Each request is sent only while the session is still good: an
    // abandoned connect would leak inside libnfs 4.0.
    if (session.Run(rpc_mount3_mnt_async(rpc, &RpcSession::OnReply, &exportName[0], &session))) {
        session.Disconnect();
        session.Begin(nullptr, nullptr, "NFS service (port %d)", ports.nfs);
        session.Run(rpc_connect_port_async(rpc, address, ports.nfs, NFS_PROGRAM, NFS_V3,
                                           &RpcSession::OnReply, &session));
    }

    std::vector<std::string> reached(components.begin(), components.begin() + depth);
    for (size_t i = depth; i < components.size() && session.Ok(); ++i) {
        reached.push_back(components[i]);
        LOOKUP3args args;
        memset(&args, 0, sizeof args);
        args.what.dir.data.data_len = static_cast<u_int>(listing.handle.size());
        args.what.dir.data.data_val = listing.handle.data();
        args.what.name = &components[i][0];
        session.Begin(&OnLookup, &listing, "lookup of %.300s", JoinServerPath(reached).c_str());
        session.Run(rpc_nfs3_lookup_async(rpc, &RpcSession::OnReply, &args, &session));
    }

    for (unsigned long long page = 1; session.Ok() && !listing.eof; ++page) {
        READDIRPLUS3args args;
        memset(&args, 0, sizeof args);
        args.dir.data.data_len = static_cast<u_int>(listing.handle.size());
        args.dir.data.data_val = listing.handle.data();
        args.cookie = listing.cookie;
        memcpy(args.cookieverf, listing.verifier, sizeof args.cookieverf);
        args.dircount = kPageBytes;
        args.maxcount = kPageBytes;
        session.Begin(&OnPage, &listing, "listing of %.300s (page %llu)", directory.c_str(), page);
        session.Run(rpc_nfs3_readdirplus_async(rpc, &RpcSession::OnReply, &args, &session));
    }
    if (!session.Ok()) {
        WriteError(errorText, "%s", session.Error().c_str());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace nfsclient

// Failures are values below this point; this is the last line against
// exceptions (std::bad_alloc) reaching the host.
HOST_API int DoNFSLiveBrowse(const char* address, const char* path, void* context,
                             LiveBrowseCallback callback, int, int, int, char* errorText) {
    try {
        return nfsclient::Browse(address, path, context, callback, errorText);
    } catch (...) {
        nfsclient::WriteError(errorText, "NFS server %.200s, listing of %.300s: internal error (out of memory?)",
                              address != nullptr ? address : "", path != nullptr ? path : "");
        return 1;
    }
}
