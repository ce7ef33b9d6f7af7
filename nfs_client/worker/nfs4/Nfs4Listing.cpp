// Streaming listing of one directory over NFSv4.0: the LOOKUPs from the root
// and the first READDIR page in one COMPOUND (a very long path takes more),
// then READDIR page by page, each entry handed out as its page arrives.
#include <algorithm>  // std::sort, std::binary_search
#include <cstring>    // memcpy, memset

#include "nfs_client/worker/nfs4/Nfs4Channel.h"
#include "nfs_client/worker/nfs4/Nfs4Referrals.h"
#include "nfs_client/Paths.h"  // JoinServerPath
#include "nfs_client/worker/Protocol.h"
#include "nfs_client/worker/CallSecurity.h"       // ListingPageBytes
#include "nfs_client/worker/nfs4/Nfs4Security.h"  // NoteWrongSecurity

namespace nfsclient {
namespace {

// LOOKUPs are split so that each COMPOUND carries at most this many bytes of
// them (fewer when a session takes smaller requests) and at most
// Nfs4Channel::MaxLookups() of them: a request stays small for any server.
constexpr size_t kLookupBytes = 2800;
// maxcount of each READDIR from a near server, where the server's work per
// page sets the pace, and from a far one, where each page costs a round trip
// (100,000 entries are 28 pages of 256 KiB, 8 of 1 MiB).
constexpr uint32_t kPageBytes = 256 * 1024;
constexpr uint32_t kFarPageBytes = 1024 * 1024;
// Names remembered (as 64-bit hashes) so that a restarted listing does not
// hand out an entry twice; a restart after more entries than this fails.
constexpr size_t kRememberedEntries = 1u << 20;
// COMPOUNDs sent at once for entries that came without attributes.
constexpr size_t kLookupsInFlight = 16;

constexpr AttrMask kTypeOnly = MaskOf({kAttrType});
constexpr AttrMask kListingAttributes =
    MaskOf({kAttrType, kAttrSize, kAttrRdattrError, kAttrMode, kAttrTimeModify});

// maxcount of each READDIR: larger from a far server, within the session's
// room, smaller under krb5i/krb5p to a near server.
uint32_t PageBytes(Nfs4Channel& channel) {
    return channel.PageBytes(ListingPageBytes(channel.Link(), kPageBytes, kFarPageBytes));
}

std::string PathUpTo(const std::vector<std::string>& components, size_t count) {
    return JoinServerPath(std::vector<std::string>(components.begin(),
                                                   components.begin() + static_cast<long>(count)));
}

void FailStatus(Connection& connection, const std::string& step, int status) {
    connection.FailStatus(&step, ConditionOfNfs4(status), Nfs4StatusName(status));
}

uint64_t HashName(const char* name, size_t length) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(name[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

// An entry kept until the attributes it came without are had.
struct Pending {
    std::string name;
    Attributes attributes;
    bool described = false;
    std::string why;  // why its attributes could not be had
    std::vector<nfs_opnum4> sent;
};

// A page that came while entries of the page before it still wait for
// their attributes: kept (its entry list copied) until those are handed
// out, so that entries keep the server's order.
struct HeldPage {
    bool held = false;
    int status = NFS4_OK;
    unsigned long long number = 0;
    Nfs4Reply::Page page{};  // its entry list points into `bytes`
    std::string bytes;
};

struct Listing {
    Call* call = nullptr;
    EntryDelivery* delivery = nullptr;
    const std::vector<std::string>* components = nullptr;
    std::string directory;
    std::vector<char> handle;  // the directory reached so far
    uint64_t cookie = 0;
    char verifier[NFS4_VERIFIER_SIZE] = {};
    bool eof = false;
    CookieGuard guard;
    std::vector<nfs_opnum4> sent;  // the operations of the COMPOUND in flight
    // The resolving COMPOUND in flight: its first component and how many
    // LOOKUPs it carries; whether it ends with GETATTR and the first READDIR.
    size_t first = 0;
    size_t lookups = 0;
    bool last = false;
    std::string name;  // NUL-terminated copy of the entry's counted name
    // Restart after NFS4ERR_NOT_SAME / NFS4ERR_BAD_COOKIE: once, skipping
    // the names already handed out.
    bool restarted = false;
    std::vector<uint64_t> handedOut;  // hashes, sorted at the restart
    size_t skippable = 0;             // the sorted part
    // The rest of a page from its first entry without attributes on, in order.
    std::vector<Pending> pending;
    // Pages: the one asked for last, the one whose entries were taken last,
    // whether a READDIR is on its way, and a page held back (see HeldPage).
    Nfs4Channel* channel = nullptr;
    uint32_t pageBytes = 0;
    unsigned long long asked = 1;
    unsigned long long taken = 1;
    bool inFlight = false;
    HeldPage held;
    // Referral entries whose targets are read once the listing is done.
    std::vector<std::string> referrals;
    // A resolving COMPOUND met NFS4ERR_MOVED: the referral is the folder of
    // this many components.
    size_t movedAt = 0;
    bool moved = false;
};

std::string PageStep(const Listing& listing, unsigned long long page) {
    return "listing of " + listing.directory + " (page " + std::to_string(page) + ")";
}

void FillInfo(NFSItemInfo& info, const Attributes& a) {
    info.type = TypeBits(a.type) != 0 ? a.type : 0;
    info.mode = (a.mode & 07777) | TypeBits(a.type);
    info.size = a.size;
    info.writeTime = a.mtime > 0 ? static_cast<uint64_t>(a.mtime) : 0;
}

// Hands one entry out; false, with the cause, when the listing must stop.
bool Deliver(Listing& listing, const std::string& name, const Attributes* attributes,
             std::string& cause) {
    NFSItemInfo info = NamedEntry(name);
    if (attributes != nullptr) FillInfo(info, *attributes);
    if (!listing.delivery->Deliver(info, cause)) return false;
    if (listing.handedOut.size() < kRememberedEntries)
        listing.handedOut.push_back(HashName(name.data(), name.size()));
    return true;
}

// One entry of a page: passed over, handed out, or kept until its
// attributes are had. False when the listing must stop.
bool TakeEntry(Connection& connection, Listing& listing, const Nfs4Entry& entry,
               const std::string& step) {
    const char* data = entry.name;
    const size_t length = entry.nameLength;
    const NameVerdict verdict = JudgeEntryName(data, length);
    if (verdict == NameVerdict::DotEntry) return true;
    if (verdict == NameVerdict::Unusable) {
        listing.delivery->Notice(
            LeftOutText(FolderWhere(listing.call->address, listing.directory), data, length));
        return true;
    }
    if (listing.restarted &&
        std::binary_search(listing.handedOut.begin(),
                           listing.handedOut.begin() + static_cast<long>(listing.skippable),
                           HashName(data, length)))
        return true;
    Attributes a;
    std::string why;
    if (!DecodeAttributes(entry.attributes, kListingAttributes, a, why)) {
        connection.Fail(step, "entry \"%.200s\": %s", PrintableName(data, length).c_str(),
                        why.c_str());
        return false;
    }
    listing.name.assign(data, length);
    if (a.rdattrError == NFS4ERR_MOVED) {  // a referral: a folder, whatever else was sent
        a = Attributes();
        a.type = NF4DIR;
        a.has = kTypeOnly;
        if (listing.referrals.size() < kReferralTargetsRead)
            listing.referrals.push_back(listing.name);
        else
            NoticeUnreadReferral(*listing.call, listing.directory, listing.name);
    }
    const bool described = a.rdattrError == NFS4_OK && a.Has(kAttrType);
    if (!described || !listing.pending.empty()) {
        Pending kept;
        kept.name = listing.name;
        kept.described = described;
        kept.attributes = a;
        if (!described)
            kept.why =
                a.rdattrError != NFS4_OK
                    ? "the server answered " + Nfs4StatusName(static_cast<int>(a.rdattrError))
                    : "the server sent no type";
        listing.pending.push_back(std::move(kept));
        return true;
    }
    std::string cause;
    if (!Deliver(listing, listing.name, &a, cause)) {
        connection.Fail(step, "%s", cause.c_str());
        return false;
    }
    return true;
}

// The entries of a READDIR result, then where the next page starts.
void TakePage(Connection& connection, Listing& listing, const Nfs4Reply::Page& page,
              const std::string& step) {
    uint64_t next = listing.cookie;
    Nfs4Entries entries(page.entries);
    for (Nfs4Entry entry; entries.Next(entry);) {
        next = entry.cookie;
        if (!listing.guard.Entry(entry.cookie)) {
            connection.Fail(step, "%s", RepeatedCookieText(entry.cookie).c_str());
            return;
        }
        if (!TakeEntry(connection, listing, entry, step)) return;
    }
    if (entries.Malformed()) {
        connection.Fail(step, "the server sent a malformed READDIR entry list");
        return;
    }
    memcpy(listing.verifier, page.verifier, sizeof listing.verifier);
    listing.eof = page.eof;
    if (listing.eof) return;
    const std::string wrong = CheckNextPage(page.entries.count > 0, next, listing.guard);
    if (!wrong.empty()) {
        connection.Fail(step, "%s", wrong.c_str());
        return;
    }
    listing.cookie = next;
}

// A NOT_SAME / BAD_COOKIE answer: the listing starts over once, skipping
// the names already handed out. False when it cannot.
bool Restart(Listing& listing) {
    if (listing.restarted || listing.delivery->Delivered() >= kRememberedEntries) return false;
    listing.restarted = true;
    std::sort(listing.handedOut.begin(), listing.handedOut.end());
    listing.skippable = listing.handedOut.size();
    listing.cookie = 0;
    memset(listing.verifier, 0, sizeof listing.verifier);
    listing.guard = CookieGuard();
    return true;
}

void OnPage(Connection& connection, void* data, void* arg);

// Asks for the page after the one asked for last, at `cookie`.
void SendPage(Listing& listing, uint64_t cookie, const char* verifier) {
    Compound compound;
    compound.PutFh(listing.handle);
    compound.ReadDir(cookie, verifier, listing.pageBytes, kListingAttributes);
    listing.sent = compound.Ops();
    listing.inFlight = true;
    ++listing.asked;
    listing.channel->Send(std::move(compound), &OnPage, &listing, PageStep(listing, listing.asked));
}

// A page that came: the next one is asked for before this one's entries are
// taken, so that the server reads it while they are handed out.
void TakeArrived(Connection& connection, Listing& listing, const Nfs4Reply::Page& page,
                 unsigned long long number) {
    listing.taken = number;
    if (!page.eof && page.entries.count > 0)
        SendPage(listing, page.entries.lastCookie, page.verifier);
    TakePage(connection, listing, page, PageStep(listing, number));
}

void TakeFailed(Connection& connection, Listing& listing, int status, unsigned long long number) {
    const bool changed = status == NFS4ERR_NOT_SAME || status == NFS4ERR_BAD_COOKIE;
    if (!(changed && Restart(listing))) FailStatus(connection, PageStep(listing, number), status);
}

void Hold(Listing& listing, int status, const Nfs4Reply::Page* page) {
    HeldPage& held = listing.held;
    held.held = true;
    held.status = status;
    held.number = listing.asked;
    if (page == nullptr) return;
    held.page = *page;
    held.bytes.assign(page->entries.entries.data, page->entries.entries.length);
    held.page.entries.entries.data = held.bytes.data();
}

void TakeHeld(Connection& connection, Listing& listing) {
    HeldPage& held = listing.held;
    held.held = false;
    if (held.status != NFS4_OK)
        TakeFailed(connection, listing, held.status, held.number);
    else
        TakeArrived(connection, listing, held.page, held.number);
}

void OnPage(Connection& connection, void* data, void* arg) {
    Listing& listing = *static_cast<Listing*>(arg);
    listing.inFlight = false;
    const Nfs4Reply reply(*static_cast<const v41::Compound41Res*>(data), listing.sent);
    if (!reply.WellFormed()) {
        connection.FailReply("%s", reply.Why().c_str());
        return;
    }
    const bool ok = reply.Status() == NFS4_OK;
    const Nfs4Reply::Page page = ok ? reply.ReadDir(reply.Count() - 1) : Nfs4Reply::Page{};
    if (!listing.pending.empty())
        Hold(listing, ok ? NFS4_OK : reply.FailedStatus(), ok ? &page : nullptr);
    else if (ok)
        TakeArrived(connection, listing, page, listing.asked);
    else
        TakeFailed(connection, listing, reply.FailedStatus(), listing.asked);
}

// Where a resolving COMPOUND failed, worded for the component it concerns.
void FailResolve(Connection& connection, const Listing& r, const Nfs4Reply& reply) {
    const std::vector<std::string>& parts = *r.components;
    const unsigned failed = reply.FailedIndex();
    const int status = reply.FailedStatus();
    // The components reached, the last of them the one refused.
    const size_t reached = failed == 0 ? r.first : std::min(r.first + failed, r.first + r.lookups);
    if (status == NFS4ERR_WRONGSEC && NoteWrongSecurity(*r.call, reached)) return;
    if (failed == 0) {  // PUTROOTFH / PUTFH
        FailStatus(
            connection,
            r.first == 0 ? std::string("NFSv4 root") : "lookup of " + PathUpTo(parts, r.first),
            status);
    } else if (failed <= r.lookups) {
        const size_t index = r.first + failed - 1;  // the component whose LOOKUP failed
        if (status == NFS4ERR_SYMLINK)              // the component before it is a link
            connection.Fail("lookup of " + PathUpTo(parts, index), "not a directory (%s)",
                            TypeName(NF4LNK));
        else
            FailStatus(connection, "lookup of " + PathUpTo(parts, index + 1), status);
    } else if (r.last && failed == r.lookups + 3) {  // the first READDIR
        FailStatus(connection, PageStep(r, 1), status);
    } else {
        FailStatus(connection, "lookup of " + PathUpTo(parts, r.first + r.lookups), status);
    }
}

// The GETATTR(TYPE) after the last LOOKUP: the path must name a directory.
bool CheckDirectory(Connection& connection, const Listing& r, const Nfs4Reply& reply) {
    const std::string step = "lookup of " + JoinServerPath(*r.components);
    nfs_resop4 holder;
    Attributes a;
    std::string why;
    if (!DecodeAttributes(reply.Attrs(static_cast<unsigned>(r.lookups) + 2, holder), kTypeOnly, a,
                          why)) {
        connection.Fail(step, "%s", why.c_str());
        return false;
    }
    if (a.Has(kAttrType) && a.type != NF4DIR) {
        connection.Fail(step, "not a directory (%s)", TypeName(a.type));
        return false;
    }
    return true;
}

void OnResolve(Connection& connection, void* data, void* arg) {
    Listing& r = *static_cast<Listing*>(arg);
    const Nfs4Reply reply(*static_cast<const v41::Compound41Res*>(data), r.sent);
    if (!reply.WellFormed()) {
        connection.FailReply("%s", reply.Why().c_str());
        return;
    }
    // A path that names something else fails at its READDIR: the type says what.
    const unsigned getattr = static_cast<unsigned>(r.lookups) + 2;
    const bool typed =
        reply.Count() > getattr && (reply.Status() == NFS4_OK || reply.FailedIndex() > getattr);
    if (r.last && typed && !CheckDirectory(connection, r, reply)) return;
    if (reply.Status() == NFS4ERR_MOVED) {
        // The folder met is the component looked up last: the one before a
        // LOOKUP that failed, else the whole path. Its target is read next.
        const unsigned failed = reply.FailedIndex();
        r.moved = true;
        r.movedAt = failed == 0           ? r.first
                    : failed <= r.lookups ? r.first + failed - 1
                                          : r.first + r.lookups;
        return;
    }
    if (reply.Status() != NFS4_OK) {
        FailResolve(connection, r, reply);
        return;
    }
    std::string why;
    if (!reply.Handle(static_cast<unsigned>(r.lookups) + 1, r.handle, why)) {
        connection.FailReply("%s", why.c_str());
        return;
    }
    if (!r.last) return;
    TakePage(connection, r, reply.ReadDir(reply.Count() - 1), PageStep(r, 1));
}

// Sends the next resolving COMPOUND: as many LOOKUPs as fit, then GETFH, and
// after the last component GETATTR(TYPE) and the first READDIR.
void SendResolve(Nfs4Channel& channel, Listing& listing, const std::vector<std::string>& components,
                 size_t& done) {
    const size_t maxLookups = channel.MaxLookups();
    const size_t lookupBytes = channel.LookupBytes(kLookupBytes);
    Compound compound;
    if (done == 0)
        compound.PutRootFh();
    else
        compound.PutFh(listing.handle);
    listing.first = done;
    listing.lookups = 0;
    size_t bytes = 0;
    while (done < components.size()) {
        const size_t cost = 8 + ((components[done].size() + 3) & ~size_t{3});
        if (listing.lookups > 0 && (bytes + cost > lookupBytes || listing.lookups >= maxLookups))
            break;
        compound.Lookup(components[done]);
        bytes += cost;
        ++done;
        ++listing.lookups;
    }
    compound.GetFh();
    listing.last = done == components.size();
    if (listing.last) {
        compound.GetAttr(kTypeOnly);
        compound.ReadDir(0, listing.verifier, PageBytes(channel), kListingAttributes);
    }
    listing.sent = compound.Ops();
    channel.Send(std::move(compound), &OnResolve, &listing,
                 listing.last ? PageStep(listing, 1) : "lookup of " + PathUpTo(components, done));
}

void OnEntryAttributes(Connection&, void* data, void* arg) {
    Pending& entry = *static_cast<Pending*>(arg);
    const Nfs4Reply reply(*static_cast<const v41::Compound41Res*>(data), entry.sent);
    if (!reply.WellFormed()) {
        entry.why = reply.Why();
        return;
    }
    if (reply.Status() != NFS4_OK) {
        entry.why = "the server answered " + Nfs4StatusName(reply.FailedStatus());
        return;
    }
    nfs_resop4 holder;
    std::string why;
    Attributes a;
    if (!DecodeAttributes(reply.Attrs(2, holder), kListingAttributes, a, why) ||
        !a.Has(kAttrType)) {
        entry.why = why.empty() ? "the server sent no type" : why;
        return;
    }
    entry.attributes = a;
    entry.described = true;
}

// Gets the attributes of the pending entries that came without them (PUTFH,
// LOOKUP, GETATTR, a few at a time), then hands the pending entries out in
// order.
bool DeliverPending(Nfs4Channel& channel, Listing& listing, const std::string& step) {
    const auto send = [&](Pending& entry) {
        Compound compound;
        compound.PutFh(listing.handle);
        compound.Lookup(entry.name);
        compound.GetAttr(kListingAttributes);
        entry.sent = compound.Ops();
        channel.Send(std::move(compound), &OnEntryAttributes, &entry,
                     step + ", attributes of an entry");
        return channel.Ok();
    };
    if (!FetchMissing(listing.pending, kLookupsInFlight, send, [&] { return channel.Drain(); }))
        return false;
    std::string cause;
    if (DeliverKept(listing, &Deliver, cause)) return true;
    channel.Link().Fail(step, "%s", cause.c_str());
    return false;
}

}  // namespace

bool Nfs4List(Call& call, Nfs4Channel& channel, const std::vector<std::string>& components,
              const std::string& directory, EntryDelivery& delivery) {
    channel.Limit(call.setupLimit);
    Listing listing;
    listing.call = &call;
    listing.delivery = &delivery;
    listing.components = &components;
    listing.directory = directory;

    size_t done = 0;
    do {
        SendResolve(channel, listing, components, done);
        channel.Drain();
    } while (channel.Ok() && !listing.moved && !call.wrongSecurity && done < components.size());
    if (channel.Ok() && listing.moved) {
        FailReferral(channel, listing.first == 0 ? nullptr : &listing.handle, components,
                     listing.first, listing.movedAt,
                     "lookup of " + PathUpTo(components, listing.movedAt));
        return Concluded(call, channel.Link());
    }
    // After the first page each page has the step timeout of its own.
    channel.Limit(Connection::Clock::time_point::max());
    listing.channel = &channel;
    listing.pageBytes = PageBytes(channel);
    while (channel.Ok() && !call.wrongSecurity) {
        if (!listing.pending.empty())
            DeliverPending(channel, listing, PageStep(listing, listing.taken));
        else if (listing.held.held)
            TakeHeld(channel.Link(), listing);
        else if (listing.inFlight)
            channel.Drain();
        else if (!listing.eof)
            SendPage(listing, listing.cookie, listing.verifier);
        else
            break;
    }
    if (channel.Ok() && !call.wrongSecurity && !listing.referrals.empty())
        NoticeReferrals(channel, listing.handle, directory, listing.referrals);
    return !call.wrongSecurity && Concluded(call, channel.Link());
}

}  // namespace nfsclient
