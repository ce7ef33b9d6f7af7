// Marking of the shares the browse never offers: clones carrying this
// system's clone naming, snapshot areas and shares without a name.
#include "share_discovery/CNASShareBrowse.h"

#include "host/FXString.h"         // FXString::Format, FXString::FindString
#include "plumbing/PluginTexts.h"  // kCloneMark, kClonePrefixFormat, kSnapshotName

namespace {

bool Contains(const std::string& text, const std::string& pattern) {
    return FXString::FindString(text, pattern, true) != nullptr;
}
}  // namespace

void CNASShareBrowse::MarkVolCloneShares(std::list<ShareInfo>& shares) {
    const std::string clonePrefix = FXString::Format(kClonePrefixFormat, m_vessaCellId);
    for (ShareInfo& share : shares) {
        bool clone = share.m_shareName.empty() || Contains(share.m_shareName, kCloneMark) ||
                     Contains(share.m_shareName, clonePrefix);
        if (!clone && !share.m_sharePath.empty())
            clone = Contains(share.m_sharePath, kCloneMark) ||
                    Contains(share.m_sharePath, kSnapshotName);
        share.m_isVolClone = clone;
    }
}
