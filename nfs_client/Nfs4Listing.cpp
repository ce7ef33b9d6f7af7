// Streaming listing of one directory over NFSv4.0: LOOKUPs from the root,
// then READDIR page by page, each entry handed out as its page arrives.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "nfs_client/Nfs4Roads.h"
#include "nfs_client/Paths.h"

namespace nfsclient {
namespace {

// libnfs 4.0 encodes a COMPOUND into a 4 KiB buffer: LOOKUPs are split so
// that each COMPOUND carries at most this many bytes of them.
constexpr size_t kLookupBytes = 2800;
// maxcount of each READDIR (replies above 1 MiB are dropped by libnfs 4.0).
constexpr uint32_t kPageBytes = 256 * 1024;
// Names remembered (as 64-bit hashes) so that a restarted listing does not
// hand out an entry twice; a restart after more entries than this fails.
constexpr size_t kRememberedEntries = 1u << 20;

constexpr AttrMask kTypeOnly = MaskOf({kAttrType});
constexpr AttrMask kListingAttributes =
    MaskOf({kAttrType, kAttrSize, kAttrRdattrError, kAttrFileid, kAttrMode, kAttrTimeModify});

uint32_t TypeBits(uint32_t type) {
    switch (type) {
    case NF4REG: return S_IFREG;
    case NF4DIR: return S_IFDIR;
    case NF4BLK: return S_IFBLK;
    case NF4CHR: return S_IFCHR;
    case NF4LNK: return S_IFLNK;
    case NF4SOCK: return S_IFSOCK;
    case NF4FIFO: return S_IFIFO;
    default: return 0;
    }
}

const char* TypeName(uint32_t type) {
    switch (type) {
    case NF4REG: return "a regular file";
    case NF4BLK: return "a block device";
    case NF4CHR: return "a character device";
    case NF4LNK: return "a symbolic link (not followed)";
    case NF4SOCK: return "a socket";
    case NF4FIFO: return "a FIFO";
    default: return "not a directory";
    }
}

// The wording of the v3 road for the same conditions.
void FailStatus(Nfs4Session& session, const std::string& step, int status) {
    const std::string name = Nfs4StatusName(status);
    switch (status) {
    case NFS4ERR_NOENT: session.Fail(step, "no such directory (%s)", name.c_str()); return;
    case NFS4ERR_NOTDIR: session.Fail(step, "not a directory (%s)", name.c_str()); return;
    case NFS4ERR_ACCESS:
    case NFS4ERR_PERM: session.Fail(step, "access denied (%s)", name.c_str()); return;
    case NFS4ERR_WRONGSEC:
        session.Fail(step, "access denied: the export needs a security flavour this client does not "
                     "offer, such as Kerberos (%s)", name.c_str());
        return;
    case NFS4ERR_STALE:
    case NFS4ERR_FHEXPIRED: session.Fail(step, "stale file handle (%s)", name.c_str()); return;
    case NFS4ERR_BAD_COOKIE:
    case NFS4ERR_NOT_SAME:
        session.Fail(step, "the directory changed during the listing (%s)", name.c_str());
        return;
    default: session.Fail(step, "the server answered %s", name.c_str()); return;
    }
}

struct Resolve {
    std::vector<std::string>* components;
    size_t first;   // index of the first LOOKUP's component
    size_t count;   // LOOKUPs in this COMPOUND
    bool last;      // the COMPOUND ends with GETATTR(TYPE)
    std::vector<char>* handle;
};

std::string PathUpTo(const std::vector<std::string>& components, size_t count) {
    return JoinServerPath(std::vector<std::string>(components.begin(), components.begin() + count));
}

void OnResolve(Nfs4Session& session, const COMPOUND4res& reply, void* arg) {
    const Resolve& r = *static_cast<Resolve*>(arg);
    const std::vector<std::string>& parts = *r.components;
    if (reply.status != NFS4_OK) {
        const unsigned failed = reply.resarray.resarray_len == 0 ? 0 : reply.resarray.resarray_len - 1;
        const int status = OperationStatus(reply, failed);
        if (failed == 0) {  // PUTROOTFH / PUTFH
            FailStatus(session, r.first == 0 ? std::string("NFSv4 root") : "lookup of " + PathUpTo(parts, r.first),
                       status);
        } else if (failed <= r.count) {
            const size_t index = r.first + failed - 1;  // the component whose LOOKUP failed
            if (status == NFS4ERR_SYMLINK)  // the component before it is a link
                session.Fail("lookup of " + PathUpTo(parts, index), "not a directory (%s)", TypeName(NF4LNK));
            else
                FailStatus(session, "lookup of " + PathUpTo(parts, index + 1), status);
        } else {
            FailStatus(session, "lookup of " + PathUpTo(parts, r.first + r.count), status);
        }
        return;
    }
    const unsigned getfh = static_cast<unsigned>(r.count) + 1;
    if (reply.resarray.resarray_len < getfh + (r.last ? 2 : 1)) {
        session.Fail("lookup of " + PathUpTo(parts, r.first + r.count), "the server's reply lacks operations");
        return;
    }
    const nfs_resop4 getfhOp = ResultOp(reply, getfh);
    const nfs_fh4& fh = getfhOp.nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
    r.handle->assign(fh.nfs_fh4_val, fh.nfs_fh4_val + fh.nfs_fh4_len);
    if (!r.last) return;
    Attributes a;
    std::string why;
    const nfs_resop4 getattrOp = ResultOp(reply, getfh + 1);
    const fattr4& attrs = getattrOp.nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
    const std::string step = "lookup of " + JoinServerPath(parts);
    if (!DecodeAttributes(attrs, kTypeOnly, a, why))
        session.Fail(step, "%s", why.c_str());
    else if (a.Has(kAttrType) && a.type != NF4DIR)
        session.Fail(step, "not a directory (%s)", TypeName(a.type));
}

uint64_t HashName(const char* name, size_t length) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(name[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

struct Listing {
    void* context = nullptr;
    LiveBrowseCallback callback = nullptr;
    std::string step;
    uint64_t cookie = 0;
    char verifier[NFS4_VERIFIER_SIZE] = {};
    bool eof = false;
    unsigned long long delivered = 0;
    std::string name;  // NUL-terminated copy of the entry's counted name
    // Restart after NFS4ERR_NOT_SAME / NFS4ERR_BAD_COOKIE: once, skipping
    // the names already handed out.
    bool restarted = false;
    std::vector<uint64_t> handedOut;  // hashes, sorted at the restart
    size_t skippable = 0;             // the sorted part
    // Brent's cycle detection over the page-start cookies.
    uint64_t tortoise = 0;
    unsigned long long power = 1;
    unsigned long long lambda = 1;
};

bool Deliver(Nfs4Session& session, Listing& listing, const entry4& entry) {
    listing.name.assign(entry.name.utf8string_val, entry.name.utf8string_len);
    if (listing.name == "." || listing.name == "..") return true;
    const uint64_t hash = HashName(listing.name.data(), listing.name.size());
    if (listing.restarted &&
        std::binary_search(listing.handedOut.begin(), listing.handedOut.begin() + listing.skippable, hash))
        return true;
    Attributes a;
    std::string why;
    if (!DecodeAttributes(entry.attrs, kListingAttributes, a, why)) {
        session.Fail(listing.step, "entry \"%.200s\": %s", listing.name.c_str(), why.c_str());
        return false;
    }
    NFSItemInfo info;
    memset(&info, 0, sizeof info);
    info.name = listing.name.c_str();
    if (a.rdattrError == NFS4_OK && a.Has(kAttrType)) {
        info.type = TypeBits(a.type) != 0 ? a.type : 0;
        info.mode = (a.mode & 07777) | TypeBits(a.type);
        info.size = a.size;
        info.writeTime = a.mtime > 0 ? static_cast<uint64_t>(a.mtime) : 0;
    }
    bool reserved = false;
    bool more = false;
    try {
        more = listing.callback(listing.context, &info, 0, false, reserved);
    } catch (...) {
        session.Fail(listing.step, "the receiver of the entries threw an exception after %llu entries; listing stopped",
                     listing.delivered);
        return false;
    }
    if (!more) {
        session.Fail(listing.step, "listing stopped by the receiver after %llu entries", listing.delivered);
        return false;
    }
    ++listing.delivered;
    if (listing.handedOut.size() < kRememberedEntries) listing.handedOut.push_back(hash);
    return true;
}

void OnPage(Nfs4Session& session, const COMPOUND4res& reply, void* arg) {
    Listing& listing = *static_cast<Listing*>(arg);
    if (reply.status != NFS4_OK) {
        const int status = OperationStatus(reply, reply.resarray.resarray_len == 0 ? 0 : reply.resarray.resarray_len - 1);
        const bool changed = status == NFS4ERR_NOT_SAME || status == NFS4ERR_BAD_COOKIE;
        if (changed && !listing.restarted && listing.delivered < kRememberedEntries) {
            listing.restarted = true;
            std::sort(listing.handedOut.begin(), listing.handedOut.end());
            listing.skippable = listing.handedOut.size();
            listing.cookie = 0;
            memset(listing.verifier, 0, sizeof listing.verifier);
            listing.tortoise = 0;
            listing.power = listing.lambda = 1;
            return;
        }
        FailStatus(session, listing.step, status);
        return;
    }
    if (reply.resarray.resarray_len < 2) {
        session.Fail(listing.step, "the server's reply lacks operations");
        return;
    }
    const nfs_resop4 readdir = ResultOp(reply, 1);
    const READDIR4resok& ok = readdir.nfs_resop4_u.opreaddir.READDIR4res_u.resok4;
    uint64_t next = listing.cookie;
    for (const entry4* at = ok.reply.entries; at != nullptr;) {
        const entry4 entry = LoadEntry(at);
        at = entry.nextentry;
        next = entry.cookie;
        if (!Deliver(session, listing, entry)) return;
    }
    memcpy(listing.verifier, ok.cookieverf, sizeof listing.verifier);
    listing.eof = ok.reply.eof != 0;
    if (listing.eof) return;
    if (ok.reply.entries == nullptr) {
        session.Fail(listing.step, "the server sent a page without entries before the end of the directory");
        return;
    }
    if (next == listing.tortoise) {
        session.Fail(listing.step, "the server's directory cookies repeat (cookie %llu): the listing would not end",
                     static_cast<unsigned long long>(next));
        return;
    }
    if (listing.power == listing.lambda) {
        listing.tortoise = next;
        listing.power *= 2;
        listing.lambda = 0;
    }
    ++listing.lambda;
    listing.cookie = next;
}

}  // namespace

bool ListV4(Nfs4Session& session, std::vector<std::string> components, const std::string& directory,
            void* context, LiveBrowseCallback callback) {
    std::vector<char> handle;
    size_t done = 0;
    do {
        Compound compound;
        if (done == 0)
            compound.PutRootFh();
        else
            compound.PutFh(handle);
        Resolve resolve{&components, done, 0, false, &handle};
        size_t bytes = 0;
        while (done < components.size()) {
            const size_t cost = 8 + ((components[done].size() + 3) & ~size_t{3});
            if (resolve.count > 0 && bytes + cost > kLookupBytes) break;
            compound.Lookup(components[done]);
            bytes += cost;
            ++done;
            ++resolve.count;
        }
        compound.GetFh();
        resolve.last = done == components.size();
        if (resolve.last) compound.GetAttr(kTypeOnly);
        session.Send(compound, &OnResolve, &resolve, "lookup of " + PathUpTo(components, done));
        session.Drain();
    } while (session.Ok() && done < components.size());

    Listing listing;
    listing.context = context;
    listing.callback = callback;
    for (unsigned long long page = 1; session.Ok() && !listing.eof; ++page) {
        listing.step = "listing of " + directory + " (page " + std::to_string(page) + ")";
        Compound compound;
        compound.PutFh(handle);
        compound.ReadDir(listing.cookie, listing.verifier, kPageBytes, kListingAttributes);
        session.Send(compound, &OnPage, &listing, listing.step);
        session.Drain();
    }
    return session.Ok();
}

}  // namespace nfsclient
