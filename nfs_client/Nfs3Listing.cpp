// Streaming listing of one directory over NFSv3: MNT of the export holding
// the path, LOOKUP per remaining component, then READDIRPLUS page by page,
// each entry handed out as its page arrives.
#include <cstring>   // memcpy, memset
#include <string>    // std::string
#include <vector>    // std::vector

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>   // rpc_mount3_mnt_async, mountres3
#include <nfsc/libnfs-raw-nfs.h>     // rpc_nfs3_lookup_async, rpc_nfs3_readdirplus_async

#include "nfs_client/Paths.h"        // ChooseExport, JoinServerPath
#include "nfs_client/Protocol.h"

namespace nfsclient {
namespace {

// dircount and maxcount of each READDIRPLUS: about 1,600 entries per page.
// The server's cost per request dominates a large listing (nfs-ganesha: 64 KB
// pages took 230 ms for 100,000 entries, 256 KB 190 ms, 1 MB no better), and
// memory stays flat for any directory size.
constexpr count3 kPageBytes = 256 * 1024;
// NFS3_FHSIZE: the longest file handle an NFSv3 server may send.
constexpr u_int kMaxHandleBytes = 64;
// LOOKUPs sent at once for entries that came without attributes.
constexpr size_t kLookupsInFlight = 16;

bool TakeHandle(Connection& connection, const char* data, u_int length, std::vector<char>& handle) {
    if (length > kMaxHandleBytes || (length > 0 && data == nullptr)) {
        connection.FailReply("the server sent a file handle of %u bytes (at most %u are allowed)", length,
                             kMaxHandleBytes);
        return false;
    }
    handle.assign(data, data + length);
    return true;
}

void FailStatus(Connection& connection, int status) {
    const Condition condition = ConditionOfNfs3(status);
    connection.FailReply("%s", WordCondition(condition, Nfs3StatusName(status), ProcessCredentials()).c_str());
}

// An entry kept until the attributes it came without are had.
struct Pending {
    std::string name;
    bool hasAttributes = false;
    fattr3 attributes{};
    std::string why;  // why its attributes could not be had
};

struct Listing {
    Call* call;
    EntryDelivery* delivery;
    std::string directory;
    std::vector<char> handle;  // the directory reached so far
    cookie3 cookie = 0;        // where the next page starts
    cookieverf3 verifier = {};
    bool eof = false;
    CookieGuard guard;
    // The rest of a page from its first entry without attributes on, in order.
    std::vector<Pending> pending;
};

void FillInfo(NFSItemInfo& info, const fattr3& attributes) {
    info.type = TypeBits(attributes.type) != 0 ? attributes.type : 0;
    info.mode = (attributes.mode & 07777) | TypeBits(attributes.type);
    info.size = attributes.size;
    info.writeTime = attributes.mtime.seconds;
}

std::string PageStep(const Listing& listing, unsigned long long page) {
    return "listing of " + listing.directory + " (page " + std::to_string(page) + ")";
}

// Hands one entry out; false, with the cause, when the listing must stop.
bool Deliver(Listing& listing, const char* name, const fattr3* attributes, std::string& cause) {
    const NameVerdict verdict = JudgeEntryName(name, strlen(name));
    if (verdict == NameVerdict::DotEntry) return true;
    if (verdict == NameVerdict::Unusable) {
        listing.delivery->Notice("NFS server " + std::string(listing.call->address) + ", folder " +
                                 listing.directory + ": entry [" + PrintableName(name, strlen(name)) +
                                 "] left out: its name cannot be one path component");
        return true;
    }
    NFSItemInfo info;
    memset(&info, 0, sizeof info);
    info.name = name;
    if (attributes != nullptr) FillInfo(info, *attributes);
    return listing.delivery->Deliver(info, cause);
}

void OnMount(Connection& connection, void* reply, void* arg) {
    const auto* result = static_cast<mountres3*>(reply);
    auto* listing = static_cast<Listing*>(arg);
    if (result->fhs_status == MNT3_OK) {
        const fhandle3& fh = result->mountres3_u.mountinfo.fhandle;
        TakeHandle(connection, fh.fhandle3_val, fh.fhandle3_len, listing->handle);
        return;
    }
    const std::string status = MountStatusName(result->fhs_status);
    if (result->fhs_status == MNT3ERR_ACCES || result->fhs_status == MNT3ERR_PERM)
        connection.FailReply("%s", WordMountRefused(status, connection.LocalPort()).c_str());
    else
        connection.FailReply("mount refused (%s)", status.c_str());
}

void OnLookup(Connection& connection, void* reply, void* arg) {
    const auto* result = static_cast<LOOKUP3res*>(reply);
    auto* listing = static_cast<Listing*>(arg);
    if (result->status != NFS3_OK) {
        FailStatus(connection, result->status);
        return;
    }
    const LOOKUP3resok& ok = result->LOOKUP3res_u.resok;
    if (ok.obj_attributes.attributes_follow && ok.obj_attributes.post_op_attr_u.attributes.type != NF3DIR) {
        connection.FailReply("not a directory (%s)", TypeName(ok.obj_attributes.post_op_attr_u.attributes.type));
        return;
    }
    TakeHandle(connection, ok.object.data.data_val, ok.object.data.data_len, listing->handle);
}

void OnPage(Connection& connection, void* reply, void* arg) {
    const auto* result = static_cast<READDIRPLUS3res*>(reply);
    auto* listing = static_cast<Listing*>(arg);
    if (result->status != NFS3_OK) {
        FailStatus(connection, result->status);
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
        if (!listing->guard.Entry(entry.cookie)) {
            connection.FailReply("%s", RepeatedCookieText(entry.cookie).c_str());
            return;
        }
        const char* name = entry.name != nullptr ? entry.name : "";
        const bool described = entry.name_attributes.attributes_follow != 0;
        if (!described || !listing->pending.empty()) {
            // Kept, in order, until the attributes it lacks are had.
            Pending kept;
            kept.name = name;
            kept.hasAttributes = described;
            if (described) kept.attributes = entry.name_attributes.post_op_attr_u.attributes;
            listing->pending.push_back(std::move(kept));
            continue;
        }
        std::string cause;
        if (!Deliver(*listing, name, &entry.name_attributes.post_op_attr_u.attributes, cause)) {
            connection.FailReply("%s", cause.c_str());
            return;
        }
    }
    memcpy(listing->verifier, ok.cookieverf, sizeof listing->verifier);
    listing->eof = ok.reply.eof != 0;
    if (listing->eof) return;
    const std::string wrong = CheckNextPage(ok.reply.entries != nullptr, next, listing->guard);
    if (!wrong.empty()) {
        connection.FailReply("%s", wrong.c_str());
        return;
    }
    listing->cookie = next;
}

struct AttributeLookup {
    Pending* entry;
};

void OnEntryLookup(Connection&, void* reply, void* arg) {
    const auto* result = static_cast<LOOKUP3res*>(reply);
    Pending& entry = *static_cast<AttributeLookup*>(arg)->entry;
    if (result->status != NFS3_OK) {
        entry.why = "the server answered " + Nfs3StatusName(result->status);
        return;
    }
    const post_op_attr& attributes = result->LOOKUP3res_u.resok.obj_attributes;
    if (!attributes.attributes_follow) {
        entry.why = "the server sent no attributes for it either";
        return;
    }
    entry.attributes = attributes.post_op_attr_u.attributes;
    entry.hasAttributes = true;
}

// Gets the attributes of the pending entries that came without them, with
// LOOKUPs a few at a time, then hands the pending entries out in order.
bool DeliverPending(Connection& nfs, Listing& listing, const std::string& step) {
    std::vector<AttributeLookup> lookups;
    lookups.reserve(listing.pending.size());
    for (Pending& entry : listing.pending)
        if (!entry.hasAttributes && JudgeEntryName(entry.name.data(), entry.name.size()) == NameVerdict::Usable)
            lookups.push_back(AttributeLookup{&entry});
    for (size_t i = 0; i < lookups.size() && nfs.Ok(); ++i) {
        LOOKUP3args args;
        memset(&args, 0, sizeof args);
        args.what.dir.data.data_len = static_cast<u_int>(listing.handle.size());
        args.what.dir.data.data_val = listing.handle.data();
        args.what.name = &lookups[i].entry->name[0];
        nfs.Send(step + ", attributes of an entry", &OnEntryLookup, &lookups[i],
                 [&](Connection::Callback cb, void* data) {
                     return rpc_nfs3_lookup_async(nfs.Context(), cb, &args, data);
                 });
        if (nfs.InFlight() >= kLookupsInFlight || i + 1 == lookups.size()) nfs.Drain();
    }
    if (!nfs.Ok()) return false;
    for (Pending& entry : listing.pending) {
        if (!entry.hasAttributes && JudgeEntryName(entry.name.data(), entry.name.size()) == NameVerdict::Usable)
            listing.delivery->Notice("NFS server " + std::string(listing.call->address) + ", folder " +
                                     listing.directory + ": entry [" +
                                     PrintableName(entry.name.data(), entry.name.size()) +
                                     "] has no type: " + entry.why);
        std::string cause;
        if (!Deliver(listing, entry.name.c_str(), entry.hasAttributes ? &entry.attributes : nullptr, cause)) {
            nfs.Fail(step, "%s", cause.c_str());
            return false;
        }
    }
    listing.pending.clear();
    return true;
}

std::string NoExportText(const Call& call, const std::string& directory) {
    std::string names;
    for (const std::string& e : call.profile.exports) names += (names.empty() ? "" : ", ") + e;
    return "NFS server " + std::string(call.address) + ": no export holds the path " +
           directory.substr(0, 300) + " (exports: " + (names.empty() ? "none" : names.substr(0, 400)) + ")";
}

// The export holding `components` and how many components it covers;
// false with call.error when none does or NFS is not registered.
bool ChooseMount(Call& call, const std::vector<std::string>& components, const std::string& directory,
                 std::string& exportName, size_t& depth) {
    if (!call.profile.hasExports && !Nfs3ReadExports(call, [](const char*) { return true; })) return false;
    const int chosen = ChooseExport(components, call.profile.exports, depth);
    if (chosen < 0) {
        call.error = NoExportText(call, directory);
        return false;
    }
    if (call.profile.nfsPort == 0) {
        call.error = "NFS server " + std::string(call.address) +
                     ", portmapper (port 111): the NFS service (NFS v3 over TCP) is not registered with "
                     "the portmapper";
        return false;
    }
    exportName = call.profile.exports[static_cast<size_t>(chosen)];
    return true;
}

// MNT of the export on its own connection, while `nfs` connects.
bool Mount(Call& call, Listing& listing, std::string& exportName, Connection& nfs) {
    Connection mount(call.address, call.family, call.limits.stepMs);
    mount.Limit(call.setupLimit);
    mount.Connect(call.profile.mountPort, "mount service (port " + std::to_string(call.profile.mountPort) + ")");
    mount.Send("mount of export " + exportName.substr(0, 300), &OnMount, &listing,
               [&](Connection::Callback cb, void* data) {
                   return rpc_mount3_mnt_async(mount.Context(), cb, &exportName[0], data);
               });
    nfs.Connect(call.profile.nfsPort, "NFS service (port " + std::to_string(call.profile.nfsPort) + ")");
    while (mount.Ok() && mount.InFlight() > 0) {
        Connection* both[] = {&mount, &nfs};
        Connection::PollOnce(both, 2);
    }
    return Concluded(call, mount);
}

// LOOKUP of each component below the export, one at a time.
void Resolve(Connection& nfs, Listing& listing, const std::vector<std::string>& components, size_t depth) {
    std::vector<std::string> reached(components.begin(), components.begin() + static_cast<long>(depth));
    for (size_t i = depth; i < components.size() && nfs.Ok(); ++i) {
        reached.push_back(components[i]);
        LOOKUP3args args;
        memset(&args, 0, sizeof args);
        args.what.dir.data.data_len = static_cast<u_int>(listing.handle.size());
        args.what.dir.data.data_val = listing.handle.data();
        std::string name = components[i];
        args.what.name = &name[0];
        nfs.Call("lookup of " + JoinServerPath(reached), &OnLookup, &listing,
                 [&](Connection::Callback cb, void* data) {
                     return rpc_nfs3_lookup_async(nfs.Context(), cb, &args, data);
                 });
    }
}

// READDIRPLUS page by page until the end of the directory.
void ReadPages(Connection& nfs, Listing& listing) {
    for (unsigned long long page = 1; nfs.Ok() && !listing.eof; ++page) {
        READDIRPLUS3args args;
        memset(&args, 0, sizeof args);
        args.dir.data.data_len = static_cast<u_int>(listing.handle.size());
        args.dir.data.data_val = listing.handle.data();
        args.cookie = listing.cookie;
        memcpy(args.cookieverf, listing.verifier, sizeof args.cookieverf);
        args.dircount = kPageBytes;
        args.maxcount = kPageBytes;
        const std::string step = PageStep(listing, page);
        nfs.Call(step, &OnPage, &listing, [&](Connection::Callback cb, void* data) {
            return rpc_nfs3_readdirplus_async(nfs.Context(), cb, &args, data);
        });
        // After the first page each page has the step timeout of its own.
        nfs.Limit(Connection::Clock::time_point::max());
        if (nfs.Ok() && !listing.pending.empty()) DeliverPending(nfs, listing, step);
    }
}

}  // namespace

bool Nfs3List(Call& call, const std::vector<std::string>& components, const std::string& directory,
              EntryDelivery& delivery) {
    std::string exportName;
    size_t depth = 0;
    if (!ChooseMount(call, components, directory, exportName, depth)) return false;
    Listing listing;
    listing.call = &call;
    listing.delivery = &delivery;
    listing.directory = directory;
    Connection nfs(call.address, call.family, call.limits.stepMs);
    nfs.Limit(call.setupLimit);
    if (!Mount(call, listing, exportName, nfs)) return false;
    Resolve(nfs, listing, components, depth);
    ReadPages(nfs, listing);
    return Concluded(call, nfs);
}

}  // namespace nfsclient
