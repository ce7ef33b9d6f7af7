// The names one level below a browse path that the export paths imply.
#include "share_discovery/CNASShareBrowse.h"

#include "host/LogWriter.h"        // NSB_LOG
#include "plumbing/PluginTexts.h"  // kSigGetChildren, kLog*

// The parent is looked for anywhere in the export path, and only its first
// occurrence counts: the browse may start below a path prefix that the
// export list does not show on its own.
bool CNASShareBrowse::GetChildrenFromExportPath(std::list<ShareInfo>& shares,
                                                const std::string& parentPath,
                                                std::list<std::string>& children) {
    for (const ShareInfo& share : shares) {
        if (share.m_isVolClone || share.m_shareName == parentPath) continue;

        const std::string& path = share.m_shareName;
        NSB_LOG(4, kSigGetChildren, kLogExportAndParent, path.c_str(), parentPath.c_str());

        // The child is [start, end) of the export path: what follows the
        // parent and its "/", up to the next "/".
        size_t start = 0;
        if (!parentPath.empty()) {
            const size_t at = path.find(parentPath);
            if (at == std::string::npos) continue;
            start = at + parentPath.size();
            if (start >= path.size() || path[start] != '/') continue;
        }
        if (start < path.size() && path[start] == '/') ++start;
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();

        if (end > start) {
            std::string child(path, start, end - start);
            NSB_LOG(2, kSigGetChildren, kLogSelectingChild, child.c_str());
            children.push_back(std::move(child));
        }
    }
    return true;
}
