#include "nfs_client/ListingCore.h"

#include <sys/stat.h>  // S_IF*
#include <unistd.h>    // getuid, getgid

#include <cstdio>     // snprintf
#include <cstring>    // memchr
#include <exception>  // std::exception

#include "nfs_client/Status.h"  // ServerPlace

namespace nfsclient {
namespace {

struct Named {
    int status;
    const char* name;
};

std::string NameOf(const Named* table, size_t count, int status, const char* family) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].status == status) return table[i].name;
    return std::string(family) + " status " + std::to_string(status);
}

// The statuses a browsing client can meet; numbers from RFC 1813, RFC 7530
// and RFC 8881.
const Named kNfs3Names[] = {
    {0, "NFS3_OK"},
    {1, "NFS3ERR_PERM"},
    {2, "NFS3ERR_NOENT"},
    {5, "NFS3ERR_IO"},
    {6, "NFS3ERR_NXIO"},
    {13, "NFS3ERR_ACCES"},
    {20, "NFS3ERR_NOTDIR"},
    {22, "NFS3ERR_INVAL"},
    {63, "NFS3ERR_NAMETOOLONG"},
    {70, "NFS3ERR_STALE"},
    {71, "NFS3ERR_REMOTE"},
    {10001, "NFS3ERR_BADHANDLE"},
    {10003, "NFS3ERR_BAD_COOKIE"},
    {10004, "NFS3ERR_NOTSUPP"},
    {10005, "NFS3ERR_TOOSMALL"},
    {10006, "NFS3ERR_SERVERFAULT"},
    {10008, "NFS3ERR_JUKEBOX"},
};
const Named kNfs4Names[] = {
    {0, "NFS4_OK"},
    {1, "NFS4ERR_PERM"},
    {2, "NFS4ERR_NOENT"},
    {5, "NFS4ERR_IO"},
    {13, "NFS4ERR_ACCESS"},
    {20, "NFS4ERR_NOTDIR"},
    {22, "NFS4ERR_INVAL"},
    {63, "NFS4ERR_NAMETOOLONG"},
    {70, "NFS4ERR_STALE"},
    {10001, "NFS4ERR_BADHANDLE"},
    {10003, "NFS4ERR_BAD_COOKIE"},
    {10004, "NFS4ERR_NOTSUPP"},
    {10005, "NFS4ERR_TOOSMALL"},
    {10006, "NFS4ERR_SERVERFAULT"},
    {10008, "NFS4ERR_DELAY"},
    {10011, "NFS4ERR_EXPIRED"},
    {10013, "NFS4ERR_GRACE"},
    {10014, "NFS4ERR_FHEXPIRED"},
    {10017, "NFS4ERR_CLID_INUSE"},
    {10022, "NFS4ERR_STALE_CLIENTID"},
    {10016, "NFS4ERR_WRONGSEC"},
    {10018, "NFS4ERR_RESOURCE"},
    {10019, "NFS4ERR_MOVED"},
    {10020, "NFS4ERR_NOFILEHANDLE"},
    {10021, "NFS4ERR_MINOR_VERS_MISMATCH"},
    {10027, "NFS4ERR_NOT_SAME"},
    {10029, "NFS4ERR_SYMLINK"},
    {10032, "NFS4ERR_ATTRNOTSUPP"},
    {10036, "NFS4ERR_BADXDR"},
    {10040, "NFS4ERR_BADCHAR"},
    {10041, "NFS4ERR_BADNAME"},
    {10044, "NFS4ERR_OP_ILLEGAL"},
    {10052, "NFS4ERR_BADSESSION"},
    {10053, "NFS4ERR_BADSLOT"},
    {10054, "NFS4ERR_COMPLETE_ALREADY"},
    {10055, "NFS4ERR_CONN_NOT_BOUND_TO_SESSION"},
    {10057, "NFS4ERR_BACK_CHAN_BUSY"},
    {10063, "NFS4ERR_SEQ_MISORDERED"},
    {10064, "NFS4ERR_SEQUENCE_POS"},
    {10065, "NFS4ERR_REQ_TOO_BIG"},
    {10066, "NFS4ERR_REP_TOO_BIG"},
    {10067, "NFS4ERR_REP_TOO_BIG_TO_CACHE"},
    {10068, "NFS4ERR_RETRY_UNCACHED_REP"},
    {10070, "NFS4ERR_TOO_MANY_OPS"},
    {10071, "NFS4ERR_OP_NOT_IN_SESSION"},
    {10072, "NFS4ERR_HASH_ALG_UNSUPP"},
    {10074, "NFS4ERR_CLIENTID_BUSY"},
    {10076, "NFS4ERR_SEQ_FALSE_RETRY"},
    {10077, "NFS4ERR_BAD_HIGH_SLOT"},
    {10078, "NFS4ERR_DEADSESSION"},
    {10079, "NFS4ERR_ENCR_ALG_UNSUPP"},
    {10081, "NFS4ERR_NOT_ONLY_OP"},
    {10082, "NFS4ERR_WRONG_CRED"},
};
const Named kMountNames[] = {
    {0, "MNT3_OK"},
    {1, "MNT3ERR_PERM"},
    {2, "MNT3ERR_NOENT"},
    {5, "MNT3ERR_IO"},
    {13, "MNT3ERR_ACCES"},
    {20, "MNT3ERR_NOTDIR"},
    {22, "MNT3ERR_INVAL"},
    {63, "MNT3ERR_NAMETOOLONG"},
    {10004, "MNT3ERR_NOTSUPP"},
    {10006, "MNT3ERR_SERVERFAULT"},
};

template <size_t N>
constexpr size_t CountOf(const Named (&)[N]) {
    return N;
}

}  // namespace

uint32_t TypeBits(uint32_t type) {
    switch (type) {
    case 1: return S_IFREG;
    case 2: return S_IFDIR;
    case 3: return S_IFBLK;
    case 4: return S_IFCHR;
    case 5: return S_IFLNK;
    case 6: return S_IFSOCK;
    case 7: return S_IFIFO;
    default: return 0;
    }
}

const char* TypeName(uint32_t type) {
    switch (type) {
    case 1: return "a regular file";
    case 3: return "a block device";
    case 4: return "a character device";
    case 5: return "a symbolic link (not followed)";
    case 6: return "a socket";
    case 7: return "a FIFO";
    case 8:
    case 9: return "a named attribute";
    default: return "not a directory";
    }
}

Condition ConditionOfNfs3(int status) {
    switch (status) {
    case 2: return Condition::NoEntry;
    case 20: return Condition::NotDirectory;
    case 1:
    case 13: return Condition::AccessDenied;
    case 70: return Condition::Stale;
    case 10003: return Condition::DirectoryChanged;
    case 10008: return Condition::Delay;
    default: return Condition::Other;
    }
}

Condition ConditionOfNfs4(int status) {
    switch (status) {
    case 2: return Condition::NoEntry;
    case 20: return Condition::NotDirectory;
    case 1:
    case 13: return Condition::AccessDenied;
    case 10016: return Condition::WrongSecurity;
    case 70:
    case 10014: return Condition::Stale;
    case 10003:
    case 10027: return Condition::DirectoryChanged;
    case 10008:
    case 10013: return Condition::Delay;
    case 10052:
    case 10078: return Condition::SessionLost;
    case 10053:
    case 10063:
    case 10068:
    case 10076:
    case 10077: return Condition::SessionOutOfStep;
    default: return Condition::Other;
    }
}

std::string Nfs3StatusName(int status) {
    return NameOf(kNfs3Names, CountOf(kNfs3Names), status, "NFSv3");
}

std::string Nfs4StatusName(int status) {
    return NameOf(kNfs4Names, CountOf(kNfs4Names), status, "NFSv4");
}

std::string MountStatusName(int status) {
    return NameOf(kMountNames, CountOf(kMountNames), status, "MOUNT");
}

Credentials ProcessCredentials() {
    return Credentials{static_cast<unsigned int>(getuid()), static_cast<unsigned int>(getgid())};
}

std::string WordCondition(Condition condition, const std::string& status, const Credentials& who) {
    switch (condition) {
    case Condition::NoEntry: return "no such directory (" + status + ")";
    case Condition::NotDirectory: return "not a directory (" + status + ")";
    case Condition::AccessDenied:
        return "access denied (" + status + ") for uid " + std::to_string(who.uid) + ", gid " +
               std::to_string(who.gid) +
               " (AUTH_SYS): the folder's permissions do not admit this user; "
               "browse as a user they admit, or change them on the file server";
    case Condition::WrongSecurity:
        return "access denied: the export needs a security flavour this client does not offer, "
               "such as Kerberos (" +
               status + "); allow AUTH_SYS (sec=sys) for this host on the export";
    case Condition::Stale:
        return "stale file handle (" + status +
               "): the folder was removed or the server restarted; browse again";
    case Condition::DirectoryChanged:
        return "the directory changed during the listing (" + status + "); browse again";
    case Condition::Delay:
        return "the server asked to retry later (" + status +
               "): it is busy or recovering from a restart; browse again in a moment";
    case Condition::SessionLost:
        return "the server no longer knows this client's NFSv4.1 session (" + status +
               "): it may have restarted or ended the session; browse again";
    case Condition::SessionOutOfStep:
        return "the server and this client disagree on the order of the NFSv4.1 session's "
               "requests (" +
               status +
               "); browse again, and if it recurs, have the server's NFSv4.1 session "
               "handling checked";
    case Condition::Other: break;
    }
    return "the server answered " + status;
}

std::string WordMountRefused(const std::string& status, int localPort) {
    std::string text =
        "mount refused (" + status +
        "): the export's client list does not admit this host; add this machine to the "
        "export's clients on the file server";
    if (localPort >= 1024)
        text +=
            ", or, if the export wants a privileged source port (below 1024; this request "
            "came from " +
            std::to_string(localPort) + "), run as root or allow insecure ports on the export";
    return text;
}

std::string WordCallDenied(int localPort, const Credentials& who) {
    std::string text = "the server refused the call (RPC message denied)";
    if (localPort >= 1024)
        return text +
               ": the export wants a privileged source port (below 1024; this call came from " +
               std::to_string(localPort) + "); run as root, or allow insecure ports on the export";
    return text + ": it does not take the AUTH_SYS credentials of uid " + std::to_string(who.uid) +
           ", gid " + std::to_string(who.gid) +
           "; allow AUTH_SYS (sec=sys) for this host on the export";
}

NameVerdict JudgeEntryName(const char* name, size_t length) {
    if (length == 1 && name[0] == '.') return NameVerdict::DotEntry;
    if (length == 2 && name[0] == '.' && name[1] == '.') return NameVerdict::DotEntry;
    if (length == 0 || length > kMaxEntryNameBytes || memchr(name, '/', length) != nullptr ||
        memchr(name, '\0', length) != nullptr)
        return NameVerdict::Unusable;
    return NameVerdict::Usable;
}

std::string PrintableName(const char* name, size_t length) {
    std::string out;
    for (size_t i = 0; i < length && out.size() < 600; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool CookieGuard::Insert(uint64_t cookie) {
    if (cookie == 0) return false;  // the start of the directory: seen by definition
    if ((m_used + 1) * 5 > m_slots.size() * 4) Grow();  // at most 80 % full
    const size_t mask = m_slots.size() - 1;
    // Fibonacci hashing: the product's top bits, which every bit of the
    // cookie moves (servers' cookies may vary in a few high bits only).
    for (size_t i = static_cast<size_t>((cookie * 0x9E3779B97F4A7C15ull) >> m_shift);;
         i = (i + 1) & mask) {
        if (m_slots[i] == cookie) return false;
        if (m_slots[i] == 0) {
            m_slots[i] = cookie;
            ++m_used;
            return true;
        }
    }
}

void CookieGuard::Grow() {
    std::vector<uint64_t> old(m_slots.size() * 2, 0);
    old.swap(m_slots);
    --m_shift;
    m_used = 0;
    for (uint64_t cookie : old)
        if (cookie != 0) Insert(cookie);
}

bool CookieGuard::Entry(uint64_t cookie) {
    if (m_entries >= kRememberedEntries) return true;
    ++m_entries;
    return Insert(cookie);
}

bool CookieGuard::NextPage(uint64_t cookie) {
    // While every entry cookie is remembered, the page starts at one of them.
    if (m_entries < kRememberedEntries) return true;
    return m_pages.insert(cookie).second;
}

std::string RepeatedCookieText(uint64_t cookie) {
    return "the server's directory cookies repeat (cookie " + std::to_string(cookie) +
           "): the listing would not end";
}

std::string LeftOutText(const std::string& where, const char* name, size_t length) {
    return where + ": entry [" + PrintableName(name, length) +
           "] left out: its name cannot be one path component";
}

std::string UntypedText(const std::string& where, const std::string& name, const std::string& why) {
    return where + ": entry [" + PrintableName(name.data(), name.size()) + "] has no type: " + why;
}

std::string FolderWhere(const char* address, const std::string& directory) {
    return ServerPlace(address, "folder " + directory);
}

std::string CheckNextPage(bool hadEntries, uint64_t next, CookieGuard& guard) {
    if (!hadEntries)
        return "the server sent a page without entries before the end of the directory";
    if (!guard.NextPage(next)) return RepeatedCookieText(next);
    return std::string();
}

bool EntryDelivery::Deliver(const NFSItemInfo& entry, std::string& cause) {
    if (m_delivered >= m_maxEntries) {
        cause = "the folder has more than " + std::to_string(m_maxEntries) +
                " entries, the most one listing hands out; listing stopped";
        return false;
    }
    // The host's item records hold sizes as signed 64-bit numbers; no file
    // system holds a file of 2^63 bytes or more, so such a size is a wrong
    // one and is reported as the largest the records hold.
    NFSItemInfo bounded = entry;
    if (bounded.size > kMaxEntrySize) {
        Notice("entry [" + PrintableName(entry.name, strlen(entry.name)) + "]: size " +
               std::to_string(entry.size) + " is beyond what a file can hold; reported as " +
               std::to_string(kMaxEntrySize));
        bounded.size = kMaxEntrySize;
    }
    bool more = false;
    try {
        more = m_receiver.OnEntry(bounded);
    } catch (...) {
        cause = "the receiver of the entries threw an exception after " +
                std::to_string(m_delivered) + " entries; listing stopped";
        return false;
    }
    if (!more) {
        cause = "listing stopped by the receiver after " + std::to_string(m_delivered) + " entries";
        return false;
    }
    ++m_delivered;
    return true;
}

void EntryDelivery::Notice(const std::string& text) {
    try {
        m_receiver.OnNotice(text);
    } catch (...) {
        // A notice is for the log only; losing one must not stop the listing.
    }
}

}  // namespace nfsclient
