// The NFS client library the plug-in lists exports and directories with.
//
// Both functions report their results through a callback with the caller's
// context pointer. Every callback is made during the call, before it returns,
// one at a time, on the calling thread. Each call is self-contained: the
// library keeps no state between calls and may be called from any number of
// threads at once.
#pragma once

#include <cstddef>  // offsetof
#include <cstdint>  // uint32_t, uint64_t

#include "host/Platform.h"  // HOST_API

// Size of the error-text buffer both functions take. On failure they leave a
// NUL-terminated text of at most NFS_ERROR_TEXT_SIZE - 1 bytes in it.
enum : unsigned int { NFS_ERROR_TEXT_SIZE = 1024 };

// Entry types of NFSItemInfo::type (the NFS file types).
enum : uint32_t {
    ITEM_TYPE_FILE = 1,
    ITEM_TYPE_DIRECTORY = 2,
    ITEM_TYPE_BLOCK = 3,
    ITEM_TYPE_CHARACTER = 4,
    ITEM_TYPE_SYMLINK = 5,
    ITEM_TYPE_SOCKET = 6,
    ITEM_TYPE_FIFO = 7,
};

// One directory entry, valid only during the callback that receives it.
struct NFSItemInfo {
    uint64_t reserved0;
    const char* name;  // NUL-terminated bytes as the server sent them
    uint64_t reserved16;
    uint32_t type;  // ITEM_TYPE_*; 0 when the server sent no attributes
    uint32_t mode;  // permission and file-type bits (S_IF*)
    uint64_t size;  // bytes
    uint64_t reserved40[2];
    uint64_t writeTime;  // last modification, seconds since the epoch
};
static_assert(offsetof(NFSItemInfo, name) == 8, "NFSItemInfo layout");
static_assert(offsetof(NFSItemInfo, type) == 24, "NFSItemInfo layout");
static_assert(offsetof(NFSItemInfo, mode) == 28, "NFSItemInfo layout");
static_assert(offsetof(NFSItemInfo, size) == 32, "NFSItemInfo layout");
static_assert(offsetof(NFSItemInfo, writeTime) == 56, "NFSItemInfo layout");
static_assert(sizeof(NFSItemInfo) == 64, "NFSItemInfo layout");

// One export path per call. Returning false stops the enumeration.
typedef bool (*ExportPathCallback)(void* context, const char* exportPath);

// One directory entry per call; `itemInfo` points to an NFSItemInfo. The
// last three arguments are reserved (0, false, and a flag the callee may
// ignore). Returning false stops the listing, which then fails.
typedef bool (*LiveBrowseCallback)(void* context, void* itemInfo, unsigned long long, bool, bool&);

// Reports the export list of the server at `address` (a numeric address
// text), in the order the server sent it. A server without a MOUNT service
// (NFSv4 only) has its exports found in its NFSv4 pseudo file system and
// reported in byte order of their paths. Returns 0 on success; otherwise
// non-zero with a text in `errorText` that names the server, the step and the
// cause. Bounded by the library's timeout.
HOST_API int GetExports(const char* address, void* context, ExportPathCallback callback,
                        char* errorText);

// Lists the directory `path` (a full path on the server, below one of its
// exports) of the server at `address`, one callback per entry as the entries
// arrive, without "." and "..". `reserved1`, `reserved2` and `reserved3` are
// passed as 0, 0 and 1. Returns 0 on success; otherwise non-zero with a text
// in `errorText`. Entries delivered before a failure stay delivered.
HOST_API int DoNFSLiveBrowse(const char* address, const char* path, void* context,
                             LiveBrowseCallback callback, int reserved1, int reserved2,
                             int reserved3, char* errorText);

// Host-level setting: the longest wait for any one network step, and the
// overall bound of an export list, in milliseconds (default 10000). The host
// program reads it from its options or from NASBROWSE_NFS_TIMEOUT (seconds).
// C linkage: a host looks the settings up by these plain names with dlsym.
extern "C" {
HOST_API void NFSClientSetTimeoutMs(unsigned int ms);
HOST_API unsigned int NFSClientGetTimeoutMs();

// How long the library remembers what a server speaks and where its services
// listen (default 5000 ms; 0: not at all), so that the listing right after
// an export list does not probe the server again. A call that fails makes
// the library forget that server.
HOST_API void NFSClientSetServerCacheMs(unsigned int ms);

// Bounds of one call. The protocol work of every call runs in a worker
// process of its own, which is stopped when a bound is reached:
// - the whole call (default 0: the greater of 60 s and 10 x the timeout);
// - the entries one listing hands out (default 10,000,000; 0: the default);
// - the exports one server may list (default 100,000; 0: the default);
// - the worker's address space, in MiB (default 256; 0: the default).
HOST_API void NFSClientSetCallLimitMs(unsigned int ms);
HOST_API void NFSClientSetMaxEntries(unsigned long long entries);
// Our stand-in host only: the entry bound of the calls the calling thread
// makes from now on (0: the process-wide bound above). A host that answers
// both roads at once (a daemon) sets it per request: the XML road holds
// every entry in the host's memory, the GUI road none.
HOST_API void NFSClientSetThreadMaxEntries(unsigned long long entries);
HOST_API void NFSClientSetMaxExports(unsigned long long exports);
HOST_API void NFSClientSetWorkerMemoryMiB(unsigned int mib);

// The worker program (default: the one installed with this library, else
// the one beside it; null restores the default). A worker serves one call;
// the library keeps one or two started ahead of the calls that will use
// them, which a change of these settings ends.
HOST_API void NFSClientSetWorkerPath(const char* path);

// How many workers the library keeps started ahead of calls (default 2, at
// most 2). A host that makes one call and ends sets 0: no process is started
// that no call would use.
HOST_API void NFSClientSetSpareWorkers(unsigned int count);

// Starts `count` workers now (at most 2), with the settings made so far, for
// the calls about to be made: a host that makes a known number of calls
// and ends (spare workers 0) lets them start while it readies itself.
HOST_API void NFSClientStartWorkers(unsigned int count);

// The RPC security flavour of the calls: "sys" (AUTH_SYS), "krb5"
// (Kerberos authentication), "krb5i" (and a checksum of every call and
// reply), "krb5p" (and every call and reply encrypted), or "auto" (the
// default: what the export asks for, AUTH_SYS first). Returns 0, or
// non-zero for any other name (null included), leaving the setting as it
// was. Kerberos needs the file server's host name: a host resolves the name
// it was given with CLumIPAddr::GetByName on the calling thread, and the
// library takes the name from there for the address it is given.
HOST_API int NFSClientSetSecurity(const char* flavour);

// The Kerberos credentials of the calls: the client principal `principal`
// from the keytab file `keytab` (a daemon, a host service). Null or empty
// (either): the caller's credential cache, as kinit leaves it (KRB5CCNAME
// of the calling process at the time of the call; KRB5_CONFIG is honoured
// the same way).
HOST_API void NFSClientSetKerberosKeytab(const char* keytab, const char* principal);
}
