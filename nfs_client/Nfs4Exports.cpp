// Export discovery over NFSv4: a breadth-first walk of the pseudo file system.
#include <algorithm>
#include <cstring>
#include <deque>
#include <list>
#include <memory>

#include "nfs_client/Nfs4Roads.h"

namespace nfsclient {
namespace {

constexpr size_t kInFlight = 8;          // COMPOUNDs sent at once
constexpr unsigned kMaxDepth = 32;       // components below the root
constexpr size_t kMaxDirectories = 4096; // pseudo directories read
constexpr unsigned kMaxPages = 256;      // READDIR pages of one pseudo directory
constexpr uint32_t kPageBytes = 64 * 1024;

constexpr AttrMask kDirectoryAttributes = MaskOf({kAttrType, kAttrFsid});
constexpr AttrMask kEntryAttributes = MaskOf({kAttrType, kAttrFsid, kAttrRdattrError});

struct Walk;

// One pseudo directory being read. The first page is reached from the
// parent's handle with a LOOKUP; later pages start from its own handle.
struct Directory {
    Walk* walk = nullptr;
    std::string path;                 // "/" or "/a/b"
    unsigned depth = 0;
    std::shared_ptr<std::vector<char>> parent;  // null: the root
    std::string name;                 // LOOKUP from the parent; empty for the root
    std::shared_ptr<std::vector<char>> handle;
    fsid4 fsid{0, 0};
    uint64_t cookie = 0;
    char verifier[NFS4_VERIFIER_SIZE] = {};
    unsigned page = 0;
    bool real = false;                     // holds something other than directories
    std::vector<std::string> subdirectories;  // pseudo directories below it
};

struct Walk {
    Nfs4Session* session = nullptr;
    std::deque<std::unique_ptr<Directory>> waiting;
    std::list<std::unique_ptr<Directory>> reading;
    std::vector<std::string> exports;
    size_t started = 0;
};

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string Step(const Directory& d) {
    return "export discovery over NFSv4 (" + d.path + ")";
}

void SendPage(Directory& d);

void OnPage(Nfs4Session& session, const COMPOUND4res& reply, void* arg) {
    Directory& d = *static_cast<Directory*>(arg);
    Walk& walk = *d.walk;
    const unsigned firstOps = d.page == 0 ? (d.parent ? 2 : 1) + 2 : 1;  // PUT*, [LOOKUP], GETFH, GETATTR
    if (reply.status != NFS4_OK) {
        const unsigned failed = reply.resarray.resarray_len == 0 ? 0 : reply.resarray.resarray_len - 1;
        const int status = OperationStatus(reply, failed);
        const bool denied = status == NFS4ERR_ACCESS || status == NFS4ERR_PERM || status == NFS4ERR_WRONGSEC;
        if (d.depth > 0 && d.page == 0 && denied) {
            // A directory this client may not read: what is below it cannot be
            // known, so it is reported as it is.
            walk.exports.push_back(d.path);
            d.page = kMaxPages + 1;  // done
            return;
        }
        session.Fail(Step(d), "the server answered %s", Nfs4StatusName(reply.status).c_str());
        return;
    }
    if (reply.resarray.resarray_len < firstOps + 1) {
        session.Fail(Step(d), "the server's reply lacks operations");
        return;
    }
    std::string why;
    if (d.page == 0) {
        const nfs_resop4 getfh = ResultOp(reply, firstOps - 2);
        const nfs_fh4& fh = getfh.nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
        d.handle = std::make_shared<std::vector<char>>(fh.nfs_fh4_val, fh.nfs_fh4_val + fh.nfs_fh4_len);
        Attributes attributes;
        const nfs_resop4 getattr = ResultOp(reply, firstOps - 1);
        const fattr4& own = getattr.nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
        if (!DecodeAttributes(own, kDirectoryAttributes, attributes, why)) {
            session.Fail(Step(d), "%s", why.c_str());
            return;
        }
        d.fsid = attributes.fsid;
    }
    const nfs_resop4 readdir = ResultOp(reply, firstOps);
    const READDIR4resok& ok = readdir.nfs_resop4_u.opreaddir.READDIR4res_u.resok4;
    uint64_t last = d.cookie;
    for (const entry4* at = ok.reply.entries; at != nullptr;) {
        const entry4 entry = LoadEntry(at);
        const entry4* e = &entry;
        at = entry.nextentry;
        last = e->cookie;
        const std::string name(e->name.utf8string_val, e->name.utf8string_len);
        Attributes a;
        if (!DecodeAttributes(e->attrs, kEntryAttributes, a, why)) {
            session.Fail(Step(d), "entry \"%.200s\": %s", name.c_str(), why.c_str());
            return;
        }
        const bool described = a.Has(kAttrType) && a.Has(kAttrFsid) && a.rdattrError == NFS4_OK;
        if (!described || a.fsid.major != d.fsid.major || a.fsid.minor != d.fsid.minor)
            walk.exports.push_back(Join(d.path, name));  // an export root, usable or not
        else if (a.type == NF4DIR)
            d.subdirectories.push_back(name);
        else
            d.real = true;
    }
    if (!ok.reply.eof) {
        if (ok.reply.entries == nullptr) {
            session.Fail(Step(d), "the server sent a page without entries before the end of the directory");
            return;
        }
        if (++d.page >= kMaxPages) {
            session.Fail(Step(d), "the directory has more than %u pages of entries; the export list would be "
                         "incomplete", kMaxPages);
            return;
        }
        d.cookie = last;
        memcpy(d.verifier, ok.cookieverf, sizeof d.verifier);
        SendPage(d);
        return;
    }
    d.page = kMaxPages + 1;  // done
    if (d.real) {
        walk.exports.push_back(d.path);
        return;
    }
    for (std::string& sub : d.subdirectories) {
        if (d.depth + 1 > kMaxDepth) {
            session.Fail(Step(d), "the pseudo file system is deeper than %u levels; the export list "
                         "would be incomplete", kMaxDepth);
            return;
        }
        auto child = std::make_unique<Directory>();
        child->walk = &walk;
        child->path = Join(d.path, sub);
        child->depth = d.depth + 1;
        child->parent = d.handle;
        child->name = std::move(sub);
        walk.waiting.push_back(std::move(child));
    }
    d.subdirectories.clear();
}

void SendPage(Directory& d) {
    Compound compound;
    if (d.page == 0) {
        if (d.parent) {
            compound.PutFh(*d.parent);
            compound.Lookup(d.name);
        } else {
            compound.PutRootFh();
        }
        compound.GetFh();
        compound.GetAttr(kDirectoryAttributes);
    } else {
        compound.PutFh(*d.handle);
    }
    compound.ReadDir(d.cookie, d.verifier, kPageBytes, kEntryAttributes);
    d.walk->session->Send(compound, &OnPage, &d, Step(d));
}

}  // namespace

bool ReadV4Exports(Nfs4Session& session, const std::function<bool(const char*)>& visit) {
    session.LimitTotal(Nfs4Session::Clock::now() + std::chrono::milliseconds(session.TimeoutMs()));
    Walk walk;
    walk.session = &session;
    auto root = std::make_unique<Directory>();
    root->walk = &walk;
    root->path = "/";
    walk.waiting.push_back(std::move(root));

    while (session.Ok() && (!walk.waiting.empty() || session.InFlight() > 0)) {
        while (session.Ok() && !walk.waiting.empty() && session.InFlight() < kInFlight) {
            if (++walk.started > kMaxDirectories) {
                session.Fail("export discovery over NFSv4",
                             "the pseudo file system has more than %zu directories; the export list "
                             "would be incomplete", kMaxDirectories);
                break;
            }
            walk.reading.push_back(std::move(walk.waiting.front()));
            walk.waiting.pop_front();
            SendPage(*walk.reading.back());
        }
        if (session.InFlight() > 0) session.PollOnce();
        walk.reading.remove_if([](const std::unique_ptr<Directory>& d) { return d->page > kMaxPages; });
    }
    // Requests still queued must not see freed directories: the session ends first.
    if (!session.Ok()) return false;

    std::sort(walk.exports.begin(), walk.exports.end());
    walk.exports.erase(std::unique(walk.exports.begin(), walk.exports.end()), walk.exports.end());
    for (const std::string& path : walk.exports)
        if (!visit(path.c_str())) break;
    return session.Ok();
}

}  // namespace nfsclient
