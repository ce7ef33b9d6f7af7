// Streaming listing of one directory over NFSv3: MNT of the export holding
// the path, LOOKUP per remaining component, then READDIRPLUS page by page,
// each entry handed out as its page arrives. Replies are read by the bounded
// decoders of Nfs3Replies.h.
#include <algorithm>  // std::min, std::max
#include <cstdint>    // SIZE_MAX
#include <cstring>    // memcpy, memset
#include <memory>     // std::unique_ptr
#include <string>     // std::string
#include <vector>     // std::vector

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>  // MOUNT_PROGRAM, zdr_dirpath
#include <nfsc/libnfs-raw-nfs.h>    // NFS_PROGRAM, LOOKUP3args, READDIRPLUS3args

#include "nfs_client/worker/nfs3/Nfs3Replies.h"  // DecodeMountResult, DecodeLookupResult, DecodeDirectoryPage
#include "nfs_client/Paths.h"                    // ChooseExport, JoinServerPath
#include "nfs_client/worker/CallSecurity.h"  // ChooseFlavour, UseFlavour, EndFlavour, ListingPageBytes
#include "nfs_client/worker/Protocol.h"
#include "nfs_client/worker/rpc/RpcDatagram.h"  // RpcDatagram
#include "nfs_client/worker/rpc/RpcRaw.h"       // SendRawCall, RawReply
#include "nfs_client/worker/rpc/XdrReader.h"    // PutOpaque

namespace nfsclient {
namespace {

// dircount and maxcount of each READDIRPLUS: about 1,600 entries per page.
// The server's cost per request dominates a large listing (nfs-ganesha: 64 KB
// pages took 230 ms for 100,000 entries, 256 KB 190 ms, 1 MB no better), and
// memory stays flat for any directory size.
constexpr count3 kPageBytes = 256 * 1024;
// Pages after the first are as large as the server's FSINFO says a reply may
// be (rtmax), within ListingPageBytes's bounds and at least this: a larger
// page means fewer round trips, which is what a far server's listing costs.
constexpr count3 kLeastPageBytes = 8 * 1024;
// The most entries one page may carry (a 256 KiB page holds about 6,500 of
// the shortest).
constexpr size_t kMaxPageEntries = 1u << 20;
// LOOKUPs kept in flight for entries that came without attributes: a new
// one goes out as each is answered, so that the server, not the round
// trip, sets the pace (29,000 such entries then cost a few READDIRPLUS
// pages' time on loopback).
constexpr size_t kLookupsInFlight = 64;

// A MNT reply by datagram is at most this long.
constexpr size_t kMaxMountDatagram = 65535;

bool EncodeDirpath(ZDR* zdr, void* arguments) {
    return zdr_dirpath(zdr, static_cast<dirpath*>(arguments)) != 0;
}
bool EncodeLookup(ZDR* zdr, void* arguments) {
    return zdr_LOOKUP3args(zdr, static_cast<LOOKUP3args*>(arguments)) != 0;
}
bool EncodeFsInfo(ZDR* zdr, void* arguments) {
    return zdr_FSINFO3args(zdr, static_cast<FSINFO3args*>(arguments)) != 0;
}
bool EncodeReadDirPlus(ZDR* zdr, void* arguments) {
    return zdr_READDIRPLUS3args(zdr, static_cast<READDIRPLUS3args*>(arguments)) != 0;
}

const RawReply& Raw(void* reply) { return *static_cast<const RawReply*>(reply); }

void FailStatus(Connection& connection, int status) {
    connection.FailStatus(nullptr, ConditionOfNfs3(status), Nfs3StatusName(status));
}

// An entry kept until the attributes it came without are had.
struct Pending {
    std::string name;
    bool described = false;  // its attributes are had
    Fattr3 attributes;
    std::string why;  // why its attributes could not be had
};

struct Listing {
    Call* call;
    EntryDelivery* delivery;
    std::string directory;
    std::vector<char> handle;              // the directory reached so far
    std::vector<OfferedFlavour> flavours;  // what the export takes (the MOUNT reply)
    cookie3 cookie = 0;                    // where the next page starts
    cookieverf3 verifier = {};
    bool eof = false;
    CookieGuard guard;
    // The rest of a page from its first entry without attributes on, in order.
    std::vector<Pending> pending;
    bool handleNoticed = false;     // an over-long entry handle was noticed
    count3 pageBytes = kPageBytes;  // dircount and maxcount of the next page
    unsigned long long pages = 0;   // asked for so far
    bool askedAhead = false;        // the next page was asked for by OnPage
    // The MOUNT connection of the MNT, kept to the listing's end when a
    // datagram answered first: closed then, not while the listing waits.
    std::unique_ptr<Connection> mountConnection;
};

void FillInfo(NFSItemInfo& info, const Fattr3& attributes) {
    info.type = TypeBits(attributes.type) != 0 ? attributes.type : 0;
    info.mode = (attributes.mode & 07777) | TypeBits(attributes.type);
    info.size = attributes.size;
    info.writeTime = attributes.mtimeSeconds;
}

std::string PageStep(const Listing& listing, unsigned long long page) {
    return "listing of " + listing.directory + " (page " + std::to_string(page) + ")";
}

// Hands one entry out; false, with the cause, when the listing must stop.
bool Deliver(Listing& listing, const std::string& name, const Fattr3* attributes,
             std::string& cause) {
    NFSItemInfo info = NamedEntry(name);
    if (attributes != nullptr) FillInfo(info, *attributes);
    return listing.delivery->Deliver(info, cause);
}

void OnMount(Connection& connection, void* reply, void* arg) {
    auto* listing = static_cast<Listing*>(arg);
    MountResult result;
    std::string why;
    if (!DecodeMountResult(Raw(reply).data, Raw(reply).size, result, why)) {
        connection.FailReply("%s", why.c_str());
        return;
    }
    if (result.status == MNT3_OK) {
        listing->handle.assign(result.handle.data, result.handle.data + result.handle.length);
        for (uint32_t wire : result.flavours) listing->flavours.push_back(FromMountFlavour(wire));
        return;
    }
    const std::string status = MountStatusName(static_cast<int>(result.status));
    if (result.status == MNT3ERR_ACCES || result.status == MNT3ERR_PERM)
        connection.FailReply("%s", WordMountRefused(status, connection.LocalPort()).c_str());
    else
        connection.FailReply("mount refused (%s)", status.c_str());
}

void OnLookup(Connection& connection, void* reply, void* arg) {
    auto* listing = static_cast<Listing*>(arg);
    LookupResult result;
    std::string why;
    if (!DecodeLookupResult(Raw(reply).data, Raw(reply).size, result, why)) {
        connection.FailReply("%s", why.c_str());
        return;
    }
    if (result.status != NFS3_OK) {
        FailStatus(connection, static_cast<int>(result.status));
        return;
    }
    if (result.hasAttributes && result.attributes.type != NF3DIR) {
        connection.FailReply("not a directory (%s)", TypeName(result.attributes.type));
        return;
    }
    listing->handle.assign(result.handle.data, result.handle.data + result.handle.length);
}

// Once a listing: a server that sends one such handle sends them all.
void NoticeIgnoredHandle(Listing& listing, const DirectoryEntry& entry) {
    if (listing.handleNoticed) return;
    listing.handleNoticed = true;
    listing.delivery->Notice(FolderWhere(listing.call->address, listing.directory) + ": entry [" +
                             PrintableName(entry.name.data, entry.name.length) +
                             "]: its file handle of " + std::to_string(entry.ignoredHandleBytes) +
                             " bytes (NFSv3 allows " + std::to_string(kNfs3HandleBytes) +
                             ") was ignored; the entry is listed without it (further ones are "
                             "ignored without a notice)");
}

// One entry of a page: passed over, handed out, or kept until its
// attributes are had. False, with the cause, when the listing must stop.
bool TakeEntry(Listing& listing, const DirectoryEntry& entry, std::string& cause) {
    if (!listing.guard.Entry(entry.cookie)) {
        cause = RepeatedCookieText(entry.cookie);
        return false;
    }
    const NameVerdict verdict = JudgeEntryName(entry.name.data, entry.name.length);
    if (verdict == NameVerdict::DotEntry) return true;
    if (verdict == NameVerdict::Unusable) {
        listing.delivery->Notice(LeftOutText(FolderWhere(listing.call->address, listing.directory),
                                             entry.name.data, entry.name.length));
        return true;
    }
    if (entry.ignoredHandleBytes != 0) NoticeIgnoredHandle(listing, entry);
    std::string name(entry.name.data, entry.name.length);
    if (!entry.hasAttributes || !listing.pending.empty()) {
        Pending kept;
        kept.name = std::move(name);
        kept.described = entry.hasAttributes;
        kept.attributes = entry.attributes;
        listing.pending.push_back(std::move(kept));
        return true;
    }
    return Deliver(listing, name, &entry.attributes, cause);
}

void SendPage(Connection& nfs, Listing& listing, cookie3 cookie, const cookieverf3 verifier);

// Where the page after this one starts, when it may be asked for before
// this page's entries are handed out: the page is well formed, not the
// last, moves on, and every entry carries its attributes (entries without
// them wait for LOOKUPs, which keep their own order). False otherwise.
bool NextPageAhead(const Listing& listing, const RawReply& raw, cookie3& next,
                   cookieverf3& verifier) {
    if (!listing.pending.empty()) return false;
    DirectoryPage page;
    bool described = true;
    next = listing.cookie;
    const auto look = [&](const DirectoryEntry& entry, std::string&) {
        next = entry.cookie;
        described = described && entry.hasAttributes;
        return described;
    };
    std::string why;
    if (!DecodeDirectoryPage(raw.data, raw.size, kMaxPageEntries, page, look, why) ||
        page.status != NFS3_OK || page.eof || page.entries == 0 || !described ||
        next == listing.cookie)
        return false;
    memcpy(verifier, page.verifier, sizeof verifier);
    return true;
}

void OnPage(Connection& connection, void* reply, void* arg) {
    auto* listing = static_cast<Listing*>(arg);
    listing->askedAhead = false;
    // The first page is in: each page after it has the step timeout of its own.
    connection.Limit(Connection::Clock::time_point::max());
    // The server works on the next page while this one is handed out. The
    // checks below still judge this page; a failure there abandons the
    // page asked for ahead with the connection.
    cookie3 ahead = 0;
    cookieverf3 aheadVerifier = {};
    if (NextPageAhead(*listing, Raw(reply), ahead, aheadVerifier)) {
        SendPage(connection, *listing, ahead, aheadVerifier);
        connection.Flush();
        listing->askedAhead = true;
    }
    DirectoryPage page;
    cookie3 next = listing->cookie;
    const auto take = [&](const DirectoryEntry& entry, std::string& cause) {
        next = entry.cookie;
        return TakeEntry(*listing, entry, cause);
    };
    std::string why;
    if (!DecodeDirectoryPage(Raw(reply).data, Raw(reply).size, kMaxPageEntries, page, take, why)) {
        connection.FailReply("%s", why.c_str());
        return;
    }
    if (page.status != NFS3_OK) {
        FailStatus(connection, static_cast<int>(page.status));
        return;
    }
    memcpy(listing->verifier, page.verifier, sizeof listing->verifier);
    listing->eof = page.eof;
    if (listing->eof) return;
    const std::string wrong = CheckNextPage(page.entries > 0, next, listing->guard);
    if (!wrong.empty()) {
        connection.FailReply("%s", wrong.c_str());
        return;
    }
    listing->cookie = next;
}

void OnEntryLookup(Connection&, void* reply, void* arg) {
    Pending& entry = *static_cast<Pending*>(arg);
    LookupResult result;
    if (!DecodeLookupResult(Raw(reply).data, Raw(reply).size, result, entry.why)) return;
    if (result.status != NFS3_OK) {
        entry.why = "the server answered " + Nfs3StatusName(static_cast<int>(result.status));
        return;
    }
    if (!result.hasAttributes) {
        entry.why = "the server sent no attributes for it either";
        return;
    }
    entry.attributes = result.attributes;
    entry.described = true;
}

// LOOKUP of `name` in the listed directory, for `handler` with `arg`.
void SendLookup(Connection& nfs, const std::string& step, std::vector<char>& directory,
                std::string name, Connection::Handler handler, void* arg) {
    LOOKUP3args args;
    memset(&args, 0, sizeof args);
    args.what.dir.data.data_len = static_cast<u_int>(directory.size());
    args.what.dir.data.data_val = directory.data();
    args.what.name = &name[0];
    nfs.Send(step, handler, arg, [&](Connection::Callback cb, void* data) {
        return SendRawCall(nfs.Context(), NFS_PROGRAM, NFS_V3, NFS3_LOOKUP, &EncodeLookup, &args,
                           cb, data, nfs.Auth());
    });
}

// Polls until fewer than kLookupsInFlight requests are in flight; false when
// the connection failed.
bool WaitForRoom(Connection& nfs) {
    Connection* self = &nfs;
    while (nfs.Ok() && nfs.InFlight() >= kLookupsInFlight) Connection::PollOnce(&self, 1);
    return nfs.Ok();
}

// Gets the attributes of the pending entries that came without them, with
// LOOKUPs kept kLookupsInFlight deep, then hands the pending entries out in
// order.
bool DeliverPending(Connection& nfs, Listing& listing, const std::string& step) {
    const auto send = [&](Pending& entry) {
        SendLookup(nfs, step + ", attributes of an entry", listing.handle, entry.name,
                   &OnEntryLookup, &entry);
        return WaitForRoom(nfs);
    };
    // The window is kept by `send`: FetchMissing only drains at the end.
    if (!FetchMissing(listing.pending, SIZE_MAX, send, [&] { return nfs.Drain(); })) return false;
    std::string cause;
    if (DeliverKept(listing, &Deliver, cause)) return true;
    nfs.Fail(step, "%s", cause.c_str());
    return false;
}

std::string NoExportText(const Call& call, const std::string& directory) {
    std::string names;
    for (const std::string& e : call.profile.exports) names += (names.empty() ? "" : ", ") + e;
    return ServerText(call.address, "",
                      "no export holds the path " + directory.substr(0, 300) +
                          " (exports: " + (names.empty() ? "none" : names.substr(0, 400)) + ")");
}

// The export holding `components` and how many components it covers;
// false with call.status when none does or NFS is not registered.
bool ChooseMount(Call& call, const std::vector<std::string>& components,
                 const std::string& directory, std::string& exportName, size_t& depth) {
    if (!call.profile.hasExports && !Nfs3ReadExports(
                                        call, [](const char*) { return true; }, true))
        return false;
    const int chosen = ChooseExport(components, call.profile.exports, depth);
    if (chosen < 0) {
        call.status = Status::Failed(NoExportText(call, directory));
        return false;
    }
    if (call.profile.nfsPort == 0) {
        call.status = Status::AtServer(
            call.address, "portmapper (port 111)",
            "the NFS service (NFS v3 over TCP) is not registered with the portmapper");
        return false;
    }
    exportName = call.profile.exports[static_cast<size_t>(chosen)];
    return true;
}

// A MNT answer by datagram: only a whole, well-formed MNT3_OK is taken (a
// refusal is worded from TCP's answer); the first answer of either stands.
void OnMountDatagram(void* arg, size_t, const char* result, size_t size) {
    auto* listing = static_cast<Listing*>(arg);
    MountResult mounted;
    std::string why;
    if (!listing->handle.empty() || !DecodeMountResult(result, size, mounted, why) ||
        mounted.status != MNT3_OK || mounted.handle.length == 0)
        return;
    listing->handle.assign(mounted.handle.data, mounted.handle.data + mounted.handle.length);
    for (uint32_t wire : mounted.flavours) listing->flavours.push_back(FromMountFlavour(wire));
}

// MNT of the export on a connection of its own (and by datagram beside it,
// where MOUNT takes datagrams), or on the one the export list left open,
// while `nfs` connects.
bool Mount(Call& call, Listing& listing, std::string& exportName, Connection& nfs) {
    std::unique_ptr<Connection> own;
    Connection* mount = Nfs3MountAhead(call);
    RpcDatagram datagram(call.address, call.family,
                         mount == nullptr ? call.profile.mountUdpPort : 0, true);
    if (mount == nullptr) {
        own = std::make_unique<Connection>(call.address, call.family, call.limits.stepMs);
        mount = own.get();
        mount->Limit(call.setupLimit);
        mount->Connect(call.profile.mountPort,
                       "mount service (port " + std::to_string(call.profile.mountPort) + ")");
        std::string arguments;
        PutOpaque(arguments, exportName);
        datagram.Send(MOUNT_PROGRAM, MOUNT_V3, MOUNT3_MNT, RpcDatagram::Credential::Sys, arguments);
    }
    char* path = &exportName[0];
    mount->Send("mount of export " + exportName.substr(0, 300), &OnMount, &listing,
                [&](Connection::Callback cb, void* data) {
                    return SendRawCall(mount->Context(), MOUNT_PROGRAM, MOUNT_V3, MOUNT3_MNT,
                                       &EncodeDirpath, &path, cb, data, mount->Auth());
                });
    nfs.Connect(call.profile.nfsPort,
                "NFS service (port " + std::to_string(call.profile.nfsPort) + ")");
    // (Until the MNT's answer: the export list's own, on a connection left
    // open, is not waited for.)
    while (mount->Ok() && mount->InFlight() > 0 && listing.handle.empty()) {
        Connection* both[] = {mount, &nfs};
        Connection::PollOnce(both, 2, datagram.Fd());
        datagram.Service(kMaxMountDatagram, &OnMountDatagram, &listing);
    }
    // MOUNT's answers tell how far the server is, with the NFS connection's
    // own (a page's answer also holds the server's work).
    nfs.Measured(mount->LeastReplyUs());
    nfs.Measured(datagram.LeastReplyUs());
    if (!listing.handle.empty() && mount->InFlight() > 0) {
        listing.mountConnection = std::move(own);  // its answer, when it comes, is not read
        return true;
    }
    const bool mounted = Concluded(call, *mount);
    call.mountAhead.reset();
    return mounted;
}

// The flavour of the NFS calls, from what the MOUNT reply says the export
// takes (MOUNT itself goes with AUTH_SYS), set up on `nfs`.
bool TakeFlavour(Call& call, Listing& listing, const std::string& exportName, Connection& nfs) {
    std::string refusal;
    const Flavour flavour = ChooseFlavour(call.security.flavour, listing.flavours, refusal);
    if (flavour == Flavour::Auto) {
        call.Fail("mount of export " + exportName.substr(0, 300), refusal);
        return false;
    }
    return UseFlavour(call, nfs, NFS_PROGRAM, NFS_V3, flavour);
}

// LOOKUP of each component below the export, one at a time.
void Resolve(Connection& nfs, Listing& listing, const std::vector<std::string>& components,
             size_t depth) {
    std::vector<std::string> reached(components.begin(),
                                     components.begin() + static_cast<long>(depth));
    for (size_t i = depth; i < components.size() && nfs.Ok(); ++i) {
        reached.push_back(components[i]);
        SendLookup(nfs, "lookup of " + JoinServerPath(reached), listing.handle, components[i],
                   &OnLookup, &listing);
        nfs.Drain();
    }
}

// FSINFO's answer (advisory: without one, pages keep their first size).
void OnFsInfo(Connection& nfs, void* reply, void* arg) {
    if (reply == nullptr) return;
    auto* listing = static_cast<Listing*>(arg);
    FsInfo info;
    std::string why;
    if (!DecodeFsInfo(Raw(reply).data, Raw(reply).size, info, why) || info.status != NFS3_OK)
        return;
    const count3 most = std::max(info.rtmax, info.dtpref);
    if (most != 0) {
        const count3 size = std::max(most, kLeastPageBytes);
        listing->pageBytes = ListingPageBytes(nfs, size, size);
    }
}

// Asks for the sizes the server takes, right before the first page: no round
// trip of its own, and its short answer comes ahead of the page's, so that
// the page asked ahead from the first is already of the server's size.
void AskPageSize(Connection& nfs, Listing& listing) {
    FSINFO3args args;
    memset(&args, 0, sizeof args);
    args.fsroot.data.data_len = static_cast<u_int>(listing.handle.size());
    args.fsroot.data.data_val = listing.handle.data();
    nfs.SendAdvisory("file system information", &OnFsInfo, &listing,
                     [&](Connection::Callback cb, void* data) {
                         return SendRawCall(nfs.Context(), NFS_PROGRAM, NFS_V3, NFS3_FSINFO,
                                            &EncodeFsInfo, &args, cb, data, nfs.Auth());
                     });
}

// READDIRPLUS of the page that starts at `cookie`.
void SendPage(Connection& nfs, Listing& listing, cookie3 cookie, const cookieverf3 verifier) {
    READDIRPLUS3args args;
    memset(&args, 0, sizeof args);
    args.dir.data.data_len = static_cast<u_int>(listing.handle.size());
    args.dir.data.data_val = listing.handle.data();
    args.cookie = cookie;
    memcpy(args.cookieverf, verifier, sizeof args.cookieverf);
    args.dircount = listing.pageBytes;
    args.maxcount = listing.pageBytes;
    nfs.Send(PageStep(listing, ++listing.pages), &OnPage, &listing,
             [&](Connection::Callback cb, void* data) {
                 return SendRawCall(nfs.Context(), NFS_PROGRAM, NFS_V3, NFS3_READDIRPLUS,
                                    &EncodeReadDirPlus, &args, cb, data, nfs.Auth());
             });
}

// READDIRPLUS page by page until the end of the directory. A page whose
// entries all carry attributes asks for the next one itself (OnPage), so
// one wait here may take many pages; one with entries to look up ends it.
void ReadPages(Connection& nfs, Listing& listing) {
    while (nfs.Ok() && !listing.eof) {
        if (listing.pages == 0) AskPageSize(nfs, listing);
        if (!listing.askedAhead) SendPage(nfs, listing, listing.cookie, listing.verifier);
        nfs.Drain();
        nfs.Limit(Connection::Clock::time_point::max());
        if (nfs.Ok() && !listing.pending.empty())
            DeliverPending(nfs, listing, PageStep(listing, listing.pages));
    }
}

}  // namespace

bool Nfs3List(Call& call, const std::vector<std::string>& components, const std::string& directory,
              EntryDelivery& delivery) {
    std::string exportName;
    size_t depth = 0;
    if (!ChooseMount(call, components, directory, exportName, depth) ||
        !HaveServerName(call, call.security.flavour,
                        "mount of export " + exportName.substr(0, 300)))
        return false;
    Listing listing;
    listing.call = &call;
    listing.delivery = &delivery;
    listing.directory = directory;
    Connection nfs(call.address, call.family, call.limits.stepMs);
    nfs.Limit(call.setupLimit);
    if (!Mount(call, listing, exportName, nfs)) return false;
    if (TakeFlavour(call, listing, exportName, nfs)) {
        listing.pageBytes = ListingPageBytes(nfs, kPageBytes, kPageBytes);
        Resolve(nfs, listing, components, depth);
        ReadPages(nfs, listing);
    }
    const bool ok = Concluded(call, nfs) && call.status.Ok();
    EndFlavour(call, nfs, Connection::Clock::time_point::max());
    return ok;
}

}  // namespace nfsclient
