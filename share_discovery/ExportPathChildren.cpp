// The names one level below a browse path that the export paths imply.
#include "share_discovery/CNASShareBrowse.h"

#include "host/FXString.h"    // FXString::RemoveLeft
#include "host/LogWriter.h"   // NSB_LOG

namespace {
const char kGetChildren[] =
    "virtual bool CNASShareBrowse::GetChildrenFromExportPath(std::__cxx11::list<ShareInfo>&, "
    "const string&, std::__cxx11::list<std::__cxx11::basic_string<char> >&)";
}

// The parent is looked for anywhere in the export path, and only its first
// occurrence counts: the browse may start below a path prefix that the
// export list does not show on its own.
bool CNASShareBrowse::GetChildrenFromExportPath(std::list<ShareInfo>& shares,
                                                const std::string& parentPath,
                                                std::list<std::string>& children) {
    for (const ShareInfo& share : shares) {
        if (share.m_isVolClone || share.m_shareName == parentPath) continue;

        std::string child = share.m_shareName;
        NSB_LOG(4, kGetChildren, "NFS export path[%s], Parent path[%s]", child.c_str(),
                parentPath.c_str());

        if (!parentPath.empty()) {
            const size_t at = child.find(parentPath);
            if (at == std::string::npos) continue;
            const size_t end = at + parentPath.size();
            if (end >= child.size() || child[end] != '/') continue;
            child.erase(0, end);
        }
        FXString::RemoveLeft(child, "/");
        const size_t slash = child.find('/');
        if (slash != std::string::npos) child.erase(slash);

        if (!child.empty() && child != "/") {
            NSB_LOG(2, kGetChildren, "Selecting child [%s] for browse", child.c_str());
            children.push_back(child);
        }
    }
    return true;
}
