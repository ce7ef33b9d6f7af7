// Export discovery over NFSv4: a breadth-first walk of the pseudo file
// system. An entry whose file-system id differs from its directory's is an
// export root and is not entered; so is an entry the server could not
// describe (RDATTR_ERROR, e.g. an export that needs Kerberos, or one that is
// a referral to another server: NFS4ERR_MOVED). A directory
// that holds anything other than directories is part of a real file system:
// it is reported itself. An export nested inside another export is not found
// (its parent is not entered). Depth, number of directories and time are
// bounded; a walk cut short by a bound fails rather than report part of the
// list.
#include <algorithm>  // std::sort, std::unique
#include <deque>      // std::deque
#include <list>       // std::list
#include <cstring>    // memcpy
#include <memory>     // std::shared_ptr, std::unique_ptr

#include "nfs_client/worker/nfs4/Nfs4Channel.h"
#include "nfs_client/worker/Protocol.h"

namespace nfsclient {
namespace {

constexpr size_t kInFlight = 8;           // COMPOUNDs sent at once
constexpr unsigned kMaxDepth = 32;        // components below the root
constexpr size_t kMaxDirectories = 4096;  // pseudo directories read
constexpr unsigned kMaxPages = 256;       // READDIR pages of one pseudo directory
constexpr uint32_t kPageBytes = 64 * 1024;

constexpr AttrMask kDirectoryAttributes = MaskOf({kAttrType, kAttrFsid});
constexpr AttrMask kEntryAttributes = MaskOf({kAttrType, kAttrFsid, kAttrRdattrError});

struct Walk;

// One pseudo directory being read. The first page is reached from the
// parent's handle with a LOOKUP; later pages start from its own handle.
struct Directory {
    Walk* walk = nullptr;
    std::string path;  // "/" or "/a/b"
    unsigned depth = 0;
    std::shared_ptr<std::vector<char>> parent;  // null: the root
    std::string name;                           // LOOKUP from the parent; empty for the root
    std::shared_ptr<std::vector<char>> handle;
    fsid4 fsid{0, 0};
    uint64_t cookie = 0;
    char verifier[NFS4_VERIFIER_SIZE] = {};
    unsigned page = 0;
    std::vector<nfs_opnum4> sent;  // the operations of the page in flight
    bool done = false;
    bool real = false;                        // holds something other than directories
    std::vector<std::string> subdirectories;  // pseudo directories below it
};

struct Walk {
    Call* call = nullptr;
    Nfs4Channel* channel = nullptr;
    std::deque<std::unique_ptr<Directory>> waiting;
    std::list<std::unique_ptr<Directory>> reading;
    std::vector<std::string> exports;
    size_t started = 0;
};

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string Step(const Directory& d) { return "export discovery over NFSv4 (" + d.path + ")"; }

void OnPage(Connection& connection, void* data, void* arg);

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
    compound.ReadDir(d.cookie, d.verifier, d.walk->channel->PageBytes(kPageBytes),
                     kEntryAttributes);
    d.sent = compound.Ops();
    d.walk->channel->Send(std::move(compound), &OnPage, &d, Step(d));
}

// The first page also carries the directory's own handle and file-system id.
bool TakeDirectory(Connection& connection, Directory& d, const Nfs4Reply& reply) {
    const unsigned getfh = d.parent ? 2 : 1;
    std::vector<char> handle;
    std::string why;
    if (!reply.Handle(getfh, handle, why)) {
        connection.FailReply("%s", why.c_str());
        return false;
    }
    d.handle = std::make_shared<std::vector<char>>(std::move(handle));
    nfs_resop4 holder;
    Attributes attributes;
    if (!DecodeAttributes(reply.Attrs(getfh + 1, holder), kDirectoryAttributes, attributes, why)) {
        connection.FailReply("%s", why.c_str());
        return false;
    }
    d.fsid = attributes.fsid;
    return true;
}

// Sorts the page's entries into export roots, pseudo subdirectories and
// signs of a real file system. False when the page is malformed.
bool ScanEntries(Connection& connection, Directory& d, const Nfs4Reply::Page& page,
                 uint64_t& last) {
    Walk& walk = *d.walk;
    Nfs4Entries entries(page.entries);
    for (Nfs4Entry e; entries.Next(e);) {
        last = e.cookie;
        const char* data = e.name;
        const size_t length = e.nameLength;
        const NameVerdict verdict = JudgeEntryName(data, length);
        if (verdict == NameVerdict::DotEntry) continue;
        const std::string name(data, length);
        if (verdict == NameVerdict::Unusable) {
            walk.call->Notice(LeftOutText(
                ServerPlace(walk.call->address, "export discovery over NFSv4 (" + d.path + ")"),
                data, length));
            continue;
        }
        Attributes a;
        std::string why;
        if (!DecodeAttributes(e.attributes, kEntryAttributes, a, why)) {
            connection.FailReply("entry \"%.200s\": %s", PrintableName(data, length).c_str(),
                                 why.c_str());
            return false;
        }
        const bool described = a.Has(kAttrType) && a.Has(kAttrFsid) && a.rdattrError == NFS4_OK;
        if (!described || a.fsid.major != d.fsid.major || a.fsid.minor != d.fsid.minor)
            walk.exports.push_back(Join(d.path, name));  // an export root, usable or not
        else if (a.type == NF4DIR)
            d.subdirectories.push_back(name);
        else
            d.real = true;
    }
    if (entries.Malformed()) {
        connection.FailReply("the server sent a malformed READDIR entry list");
        return false;
    }
    return true;
}

// A directory read to its end: itself an export, or the parent of the
// pseudo directories to walk next.
void Finish(Connection& connection, Directory& d) {
    Walk& walk = *d.walk;
    d.done = true;
    if (d.real) {
        walk.exports.push_back(d.path);
        return;
    }
    if (!d.subdirectories.empty() && d.depth + 1 > kMaxDepth) {
        connection.FailReply(
            "the pseudo file system is deeper than %u levels; the export list would be "
            "incomplete",
            kMaxDepth);
        return;
    }
    for (std::string& sub : d.subdirectories) {
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

bool Denied(int status) {
    return status == NFS4ERR_ACCESS || status == NFS4ERR_PERM || status == NFS4ERR_WRONGSEC;
}

void OnPage(Connection& connection, void* data, void* arg) {
    Directory& d = *static_cast<Directory*>(arg);
    const Nfs4Reply reply(*static_cast<const v41::Compound41Res*>(data), d.sent);
    if (!reply.WellFormed()) {
        connection.FailReply("%s", reply.Why().c_str());
        return;
    }
    if (reply.Status() != NFS4_OK) {
        if (d.depth > 0 && d.page == 0 && Denied(reply.FailedStatus())) {
            // A directory this client may not read: what is below it cannot
            // be known, so it is reported as it is.
            d.walk->exports.push_back(d.path);
            d.done = true;
            return;
        }
        const int status = reply.FailedStatus();
        connection.FailStatus(nullptr, ConditionOfNfs4(status), Nfs4StatusName(status));
        return;
    }
    if (d.page == 0 && !TakeDirectory(connection, d, reply)) return;
    const Nfs4Reply::Page page = reply.ReadDir(reply.Count() - 1);
    uint64_t last = d.cookie;
    if (!ScanEntries(connection, d, page, last)) return;
    if (page.eof) {
        Finish(connection, d);
        return;
    }
    if (page.entries.count == 0) {
        connection.FailReply(
            "the server sent a page without entries before the end of the directory");
        return;
    }
    if (++d.page >= kMaxPages) {
        connection.FailReply(
            "the directory has more than %u pages of entries; the export list would be "
            "incomplete",
            kMaxPages);
        return;
    }
    d.cookie = last;
    memcpy(d.verifier, page.verifier, sizeof d.verifier);
    SendPage(d);
}

}  // namespace

bool Nfs4ReadExports(Call& call, Nfs4Channel& channel, const ExportVisitor& visit) {
    Connection& connection = channel.Link();
    channel.Limit(call.setupLimit);
    Walk walk;
    walk.call = &call;
    walk.channel = &channel;
    auto root = std::make_unique<Directory>();
    root->walk = &walk;
    root->path = "/";
    walk.waiting.push_back(std::move(root));

    while (channel.Ok() && (!walk.waiting.empty() || channel.Pending() > 0)) {
        while (channel.Ok() && !walk.waiting.empty() && channel.Pending() < kInFlight) {
            if (++walk.started > kMaxDirectories) {
                connection.Fail(
                    "export discovery over NFSv4",
                    "the pseudo file system has more than %zu directories; the export list "
                    "would be incomplete",
                    kMaxDirectories);
                break;
            }
            walk.reading.push_back(std::move(walk.waiting.front()));
            walk.waiting.pop_front();
            SendPage(*walk.reading.back());
        }
        if (channel.Pending() > 0) channel.PollOnce();
        walk.reading.remove_if([](const std::unique_ptr<Directory>& d) { return d->done; });
    }
    // Requests still in flight never reach a handler once the connection has
    // failed, so the walk may go before the connection (in the caller).
    if (!Concluded(call, connection)) return false;
    if (walk.exports.size() > call.limits.maxExports) {
        call.Fail("export discovery over NFSv4", "the server has more than " +
                                                     std::to_string(call.limits.maxExports) +
                                                     " exports, the most this client takes");
        return false;
    }

    std::sort(walk.exports.begin(), walk.exports.end());
    walk.exports.erase(std::unique(walk.exports.begin(), walk.exports.end()), walk.exports.end());
    for (const std::string& path : walk.exports)
        if (!visit(path.c_str())) break;
    return call.status.Ok();
}

}  // namespace nfsclient
