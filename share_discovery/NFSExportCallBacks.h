// The receiving end of an export enumeration: appends one share per
// acceptable export path to a share list.
#pragma once

#include <list>  // std::list

#include "host/Platform.h"              // NASSB_API
#include "share_discovery/ShareInfo.h"  // ShareInfo

class NASSB_API NFSExportCallBacks {
public:
    // Binds to `shares` without clearing it; the list must outlive this object.
    explicit NFSExportCallBacks(std::list<ShareInfo>& shares) : m_shareList(shares) {}
    ~NFSExportCallBacks() {}

    // Appends a share for `path` unless it is empty or exactly "/". False only
    // for a null path.
    bool AddExportPath(const char* path);

    std::list<ShareInfo>& m_shareList;
};

// The export-path callback given to GetExports; `context` is the
// NFSExportCallBacks to fill. False for a null context or path.
NASSB_API bool funcAddExportPath(void* context, const char* path);
