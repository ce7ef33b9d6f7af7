// The plug-in as the host program sees it: a shared object loaded with
// dlopen and its three entries looked up by name.
#pragma once

#include <string>

#include "host/Message.h"        // MessageInfo
#include "host/MessageBase.h"    // App::MachineBrowseReq, ...

class COrvNetwork;
class CNASShareBrowseInterface;

namespace nasbrowse {

typedef void (*NASShareBrowseFn)(MessageInfo*, char*, unsigned long, int, COrvNetwork*);
typedef void (*NASShareXMLBrowseFn)(App::MachineBrowseReq*, App::MachineBrowseResp*,
                                    App::GenericResp*);
typedef CNASShareBrowseInterface* (*GetNASShareBrowseFNFn)();
typedef void (*SetTimeoutMsFn)(unsigned int);
typedef unsigned int (*GetTimeoutMsFn)();

class Plugin {
public:
    // Loads the plug-in at `path`, or, when `path` is empty, the one installed
    // or built beside this program. Throws std::runtime_error naming the file
    // and the loader's reason when it cannot be loaded or lacks an entry.
    explicit Plugin(const std::string& path);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::string& path() const { return m_path; }

    NASShareBrowseFn browse = nullptr;
    NASShareXMLBrowseFn xmlBrowse = nullptr;
    GetNASShareBrowseFNFn discovery = nullptr;
    // The timeout setting of the NFS client library the plug-in depends on,
    // found among the plug-in's dependencies; null when it has none.
    SetTimeoutMsFn setNfsTimeoutMs = nullptr;
    GetTimeoutMsFn getNfsTimeoutMs = nullptr;

private:
    std::string m_path;
    void* m_handle = nullptr;
};

// The plug-in files tried when no path is given, in order.
std::string DefaultPluginPath();

}  // namespace nasbrowse
