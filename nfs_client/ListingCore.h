// What the NFSv3 and NFSv4 code share: file types, the wording of failures,
// the rules for entry names, the cookie guard and entry delivery. Nothing
// here does I/O; all of it is unit-tested on its own.
#pragma once

#include <cstdint>        // uint32_t, uint64_t
#include <cstring>        // memset
#include <string>         // std::string
#include <unordered_set>  // std::unordered_set
#include <vector>         // std::vector

#include "host/NFSClient.h"    // NFSItemInfo
#include "nfs_client/Paths.h"  // kMaxComponentBytes

namespace nfsclient {

// ---------------------------------------------------------------------------
// File types. NFSv3 (ftype3) and NFSv4 (nfs_ftype4) number the seven common
// kinds alike, 1 to 7; NFSv4 adds named-attribute kinds (8, 9).

// S_IF* bits of a type; 0 for a type that has none.
uint32_t TypeBits(uint32_t type);
// "a regular file", "a symbolic link (not followed)", ...: what a path
// component that should have been a directory is.
const char* TypeName(uint32_t type);

// ---------------------------------------------------------------------------
// Failures, worded once for both protocols.

enum class Condition {
    NoEntry,           // NFS3ERR_NOENT, NFS4ERR_NOENT
    NotDirectory,      // NFS3ERR_NOTDIR, NFS4ERR_NOTDIR
    AccessDenied,      // NFS3ERR_ACCES/PERM, NFS4ERR_ACCESS/PERM on a folder
    WrongSecurity,     // NFS4ERR_WRONGSEC
    Stale,             // NFS3ERR_STALE, NFS4ERR_STALE/FHEXPIRED
    DirectoryChanged,  // NFS3ERR_BAD_COOKIE, NFS4ERR_BAD_COOKIE/NOT_SAME
    Delay,             // NFS3ERR_JUKEBOX, NFS4ERR_DELAY/GRACE
    SessionLost,       // NFS4ERR_BADSESSION/DEADSESSION (NFSv4.1)
    SessionOutOfStep,  // NFS4ERR_SEQ_MISORDERED, BADSLOT and the like (NFSv4.1)
    Other,
};

Condition ConditionOfNfs3(int status);
Condition ConditionOfNfs4(int status);
// "NFS3ERR_NOENT", "NFS4ERR_ACCESS"; a number for statuses without a name here.
std::string Nfs3StatusName(int status);
std::string Nfs4StatusName(int status);
// "MNT3ERR_ACCES" and the like.
std::string MountStatusName(int status);

// The AUTH_SYS identity the requests carry (this process's uid and gid).
struct Credentials {
    unsigned int uid = 0;
    unsigned int gid = 0;
};
Credentials ProcessCredentials();

// The cause text of a failed step ("no such directory (NFS3ERR_NOENT)").
// `status` is the server's status name.
std::string WordCondition(Condition condition, const std::string& status, const Credentials& who);

// The cause text of a refused mount of an export: the export's client list
// does not admit this host, or (when `localPort` is 1024 or above) it may
// want a privileged source port.
std::string WordMountRefused(const std::string& status, int localPort);

// The cause text of a call the server refused at the RPC level (MSG_DENIED:
// an authentication error), sent from `localPort`.
std::string WordCallDenied(int localPort, const Credentials& who);

// ---------------------------------------------------------------------------
// Entry names: what may be handed out as one entry of a folder.

// Longest entry name taken from a server, in bytes.
constexpr size_t kMaxEntryNameBytes = kMaxComponentBytes;

enum class NameVerdict {
    Usable,
    DotEntry,  // "." or "..": passed over without a word
    Unusable,  // empty, longer than kMaxEntryNameBytes, or holding "/" or a NUL byte: left out,
               // with a notice
};
NameVerdict JudgeEntryName(const char* name, size_t length);
// The name as a printable text for notices (bytes escaped as \xNN).
std::string PrintableName(const char* name, size_t length);

// Notices about entries, where `where` is "NFS server A, folder D":
// "<where>: entry [N] left out: its name cannot be one path component" and
// "<where>: entry [N] has no type: <why>".
std::string LeftOutText(const std::string& where, const char* name, size_t length);
std::string UntypedText(const std::string& where, const std::string& name, const std::string& why);
// "NFS server A, folder D".
std::string FolderWhere(const char* address, const std::string& directory);

// ---------------------------------------------------------------------------
// Listings page by page.

// Remembers the directory cookies a listing has seen. Cookies name places
// in a directory and never repeat in a sane one; a server whose cookies come
// round again would be listed forever, handing out the same entries again.
// Every entry's cookie is checked before the entry is handed out, so a loop
// is found before any entry comes twice; past kRememberedEntries entries only
// the cookies pages start at are remembered (memory stays bounded: at most
// 2 MiB of entry cookies, 3 MiB while the table grows; a loop is then found
// at the end of the page that closes it). At 4 Mi entries remembered, a
// folder of 1,000,000 entries took the worker 20 MiB above a small one.
class CookieGuard {
public:
    static constexpr size_t kRememberedEntries = 128u << 10;

    // False when the entry cookie was seen before.
    bool Entry(uint64_t cookie);
    // Call with where the next page starts; false when a page or an entry
    // had it before.
    bool NextPage(uint64_t cookie);

private:
    bool Insert(uint64_t cookie);
    void Grow();

    // Entry cookies, by open addressing; 0 marks a free slot (cookie 0 is the
    // directory's start and is never an entry's).
    std::vector<uint64_t> m_slots = std::vector<uint64_t>(1024, 0);
    unsigned m_shift = 64 - 10;  // 64 - log2(m_slots.size())
    size_t m_used = 0;
    size_t m_entries = 0;
    std::unordered_set<uint64_t> m_pages;  // page starts, once entries are no longer remembered
};

// The failure text of a repeated cookie.
std::string RepeatedCookieText(uint64_t cookie);

// Checks a page that was not the last. Returns an empty text when the next
// page may be asked for at `next`, else the cause of the failure.
std::string CheckNextPage(bool hadEntries, uint64_t next, CookieGuard& guard);

// ---------------------------------------------------------------------------
// Entry delivery.

// What a listing hands its entries and notices to. Called on the listing's
// thread, one at a time, during the call.
class EntryReceiver {
public:
    virtual ~EntryReceiver() {}
    // One entry; valid during the call only. False stops the listing, which
    // then fails.
    virtual bool OnEntry(const NFSItemInfo& entry) = 0;
    // Something the host's log should have (level 2), e.g. an entry left out.
    virtual void OnNotice(const std::string& text) = 0;
};

// An entry of `name` (which must outlive it) with every other field zero.
inline NFSItemInfo NamedEntry(const std::string& name) {
    NFSItemInfo info;
    memset(&info, 0, sizeof info);
    info.name = name.c_str();
    return info;
}

// The largest size an entry is reported with (2^63 - 1): larger ones are
// reported as this, with a notice.
constexpr uint64_t kMaxEntrySize = 0x7FFFFFFFFFFFFFFFull;

// Hands entries to a receiver, counts them, and turns a receiver that says
// stop or throws, or a listing longer than `maxEntries`, into a failure text.
class EntryDelivery {
public:
    EntryDelivery(EntryReceiver& receiver, unsigned long long maxEntries)
        : m_receiver(receiver), m_maxEntries(maxEntries) {}
    // False with `cause` set when the listing must stop.
    bool Deliver(const NFSItemInfo& entry, std::string& cause);
    void Notice(const std::string& text);
    unsigned long long Delivered() const { return m_delivered; }

private:
    EntryReceiver& m_receiver;
    unsigned long long m_maxEntries;
    unsigned long long m_delivered = 0;
};

// ---------------------------------------------------------------------------
// Entries kept, in order, from the first of a page that came without its
// attributes: `Kept` has `name`, `described` (its attributes are had) and
// `why` (why they could not be had).

// Asks for the attributes of the kept entries that lack them, a few at a
// time: `send(entry)` sends one request, `drain()` waits for those in flight
// (false when the connection failed).
template <typename Kept, typename Send, typename Drain>
bool FetchMissing(std::vector<Kept>& kept, size_t inFlight, Send send, Drain drain) {
    size_t sent = 0;
    for (Kept& entry : kept) {
        if (entry.described) continue;
        if (!send(entry)) return false;
        if (++sent % inFlight == 0 && !drain()) return false;
    }
    return drain();
}

// Hands out, in order, the entries a listing kept (`listing.pending`; its
// `call`, `delivery` and `directory` name where), each without its type
// noticed: `deliver(listing, name, attributes or null, cause)`. False with
// `cause` when the listing must stop.
template <typename Listing, typename Deliver>
bool DeliverKept(Listing& listing, Deliver deliver, std::string& cause) {
    for (auto& entry : listing.pending) {
        if (!entry.described)
            listing.delivery->Notice(UntypedText(
                FolderWhere(listing.call->address, listing.directory), entry.name, entry.why));
        if (!deliver(listing, entry.name, entry.described ? &entry.attributes : nullptr, cause))
            return false;
    }
    listing.pending.clear();
    return true;
}

}  // namespace nfsclient
