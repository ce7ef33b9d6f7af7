// The plug-in as the host program sees it: a shared object loaded with
// dlopen, its three entries and the NFS client library's timeout settings
// looked up by name.
#pragma once

#include <functional>
#include <string>

#include "host/Message.h"      // MessageInfo
#include "host/MessageBase.h"  // App::MachineBrowseReq, ...

class COrvNetwork;
class CNASShareBrowseInterface;

namespace nasbrowse {

typedef void (*NASShareBrowseFn)(MessageInfo*, char*, unsigned long, int, COrvNetwork*);
typedef void (*NASShareXMLBrowseFn)(App::MachineBrowseReq*, App::MachineBrowseResp*,
                                    App::GenericResp*);
typedef CNASShareBrowseInterface* (*GetNASShareBrowseFNFn)();
typedef void (*SetTimeoutMsFn)(unsigned int);
typedef unsigned int (*GetTimeoutMsFn)();
typedef void (*SetCallLimitMsFn)(unsigned int);
typedef void (*SetMaxEntriesFn)(unsigned long long);
typedef void (*SetSpareWorkersFn)(unsigned int);
typedef int (*SetSecurityFn)(const char*);
typedef void (*SetKerberosKeytabFn)(const char*, const char*);

struct PluginEntries {
    NASShareBrowseFn browse = nullptr;
    NASShareXMLBrowseFn xmlBrowse = nullptr;
    GetNASShareBrowseFNFn discovery = nullptr;
    // The timeout settings of the NFS client library the plug-in loads.
    SetTimeoutMsFn setNfsTimeoutMs = nullptr;
    GetTimeoutMsFn getNfsTimeoutMs = nullptr;
};

// Looks every entry up with `lookup` (a name, to the symbol or null). All
// five are required: throws std::runtime_error naming `path` and every
// missing name when any is absent.
PluginEntries ResolveEntries(const std::function<void*(const char*)>& lookup,
                             const std::string& path);

// The plug-in loaded when --plugin is not given, for a program in
// `programDir`: the one installed beside it (`installLibRel`, the library
// folder relative to the program's, then `pluginName`). In a build tree the
// program has a marker file beside it, kBuildTreeMarker, holding the path of
// the build's plug-in relative to the program's folder; only then is that
// one loaded instead.
extern const char kBuildTreeMarker[];
std::string DefaultPluginPath(const std::string& programDir, const std::string& installLibRel,
                              const std::string& pluginName);

class Plugin {
public:
    // Loads the plug-in at `path`, or, when `path` is empty, the default one.
    // Throws std::runtime_error naming the file and the loader's reason when
    // it cannot be loaded or lacks an entry.
    explicit Plugin(const std::string& path);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::string& path() const { return m_path; }

    NASShareBrowseFn browse = nullptr;
    NASShareXMLBrowseFn xmlBrowse = nullptr;
    GetNASShareBrowseFNFn discovery = nullptr;
    SetTimeoutMsFn setNfsTimeoutMs = nullptr;
    GetTimeoutMsFn getNfsTimeoutMs = nullptr;
    // Optional: the bound of a whole call (null with a library that has none).
    SetCallLimitMsFn setNfsCallLimitMs = nullptr;
    // Optional: the most entries one listing hands out (0: the library's default).
    SetMaxEntriesFn setNfsMaxEntries = nullptr;
    // The same bound for the calling thread only (a daemon answers both roads).
    SetMaxEntriesFn setNfsThreadMaxEntries = nullptr;
    // Optional: how many workers the library starts ahead of calls.
    SetSpareWorkersFn setNfsSpareWorkers = nullptr;
    // Optional: starts workers now for the calls about to be made.
    SetSpareWorkersFn startNfsWorkers = nullptr;
    // Optional: the security flavour and the Kerberos keytab (null with a
    // library that speaks AUTH_SYS only).
    SetSecurityFn setNfsSecurity = nullptr;
    SetKerberosKeytabFn setNfsKerberosKeytab = nullptr;

private:
    std::string m_path;
    void* m_handle = nullptr;
};

// The folder of the running program.
std::string ProgramDir();

}  // namespace nasbrowse
