#include "share_discovery/NFSExportCallBacks.h"

#include <cstring>  // strcmp

#include "host/LogWriter.h"        // NSB_LOG
#include "plumbing/PluginTexts.h"  // kSigAddExportPath, kLogAddingShare

bool NFSExportCallBacks::AddExportPath(const char* path) {
    if (path == nullptr) return false;
    NSB_LOG(3, kSigAddExportPath, kLogAddingShare, path);

    ShareInfo share;
    share.m_shareName = path;
    if (!share.m_shareName.empty() && share.m_shareName != "/") {
        NSB_LOG(3, kSigAddExportPath, kLogAddingShare, path);
        m_shareList.push_back(share);
    }
    return true;
}

bool funcAddExportPath(void* context, const char* path) {
    if (context == nullptr) return false;
    return static_cast<NFSExportCallBacks*>(context)->AddExportPath(path);
}
