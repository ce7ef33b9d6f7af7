#include "live_browse/NASNFSShareLiveBrowse.h"

#include <cstring>  // strcmp
#include <utility>  // std::move

#include "host/BrowseMessageFields.h"  // App::ITEM_*
#include "host/LogWriter.h"            // NSB_LOG
#include "host/NFSClient.h"            // NFSItemInfo, ITEM_TYPE_*
#include "plumbing/PluginTexts.h"      // kSig*, kLog*, kSnapshotName

NASNFSShareLiveBrowse::NASNFSShareLiveBrowse(const std::string& browsePath,
                                             EvRestoreReturn* pEvInfo,
                                             std::vector<App::MachineBrowseItem>* browseItems,
                                             std::list<std::string>* exports)
    : m_pExports(exports),
      m_browsePath(browsePath),
      m_pEvInfo(pEvInfo),
      m_browseItems(browseItems) {}

NASNFSShareLiveBrowse::~NASNFSShareLiveBrowse() {}

bool NASNFSShareLiveBrowse::BrowseCallBack(void* a_pItemInfo) {
    if (a_pItemInfo == nullptr) {
        NSB_LOG(LOG_ERROR, kSigBrowseCallBack, kLogNullItem);
        return false;
    }
    const NFSItemInfo* item = static_cast<const NFSItemInfo*>(a_pItemInfo);
    const char* name = item->name ? item->name : "";

    NSB_LOG(4, kSigBrowseCallBack, kLogEntry, name, item->type, item->mode,
            static_cast<unsigned long>(item->writeTime),
            static_cast<unsigned long long>(item->size));

    if (item->type != ITEM_TYPE_FILE && item->type != ITEM_TYPE_DIRECTORY) return true;

    if (item->type == ITEM_TYPE_DIRECTORY) {
        if (strcmp(name, kSnapshotName) == 0) {
            NSB_LOG(4, kSigBrowseCallBack, kLogSkippingSnapshot, name);
            return true;
        }
        if (m_pExports != nullptr) {
            for (const std::string& child : *m_pExports) {
                if (child == name) {
                    NSB_LOG(4, kSigBrowseCallBack, kLogSkippingExport, name);
                    return true;
                }
            }
        }
    }

    const unsigned long isFolder = item->type == ITEM_TYPE_DIRECTORY ? 1 : 0;
    if (m_pEvInfo != nullptr) {
        m_pEvInfo->returnItem(isFolder, name, static_cast<unsigned long>(item->writeTime),
                              static_cast<long long>(item->size), 0, 0, 0, 0);
    } else if (m_browseItems != nullptr) {
        App::MachineBrowseItem browseItem;
        const unsigned long cls = App::CLASS_MACHINE_BROWSE_ITEM;
        browseItem.setint64(App::ITEM_FOLDER.field, App::ITEM_FOLDER.secondIndex,
                            static_cast<long long>(isFolder), cls, App::ITEM_FOLDER.id);
        browseItem.setstring(App::ITEM_NAME.field, App::ITEM_NAME.secondIndex, std::string(name),
                             cls, App::ITEM_NAME.id);
        browseItem.setint64(App::ITEM_MODIFY_TIME.field, App::ITEM_MODIFY_TIME.secondIndex,
                            static_cast<long long>(item->writeTime), cls, App::ITEM_MODIFY_TIME.id);
        browseItem.setint64(App::ITEM_SIZE.field, App::ITEM_SIZE.secondIndex,
                            static_cast<long long>(item->size), cls, App::ITEM_SIZE.id);
        m_browseItems->push_back(std::move(browseItem));
    } else {
        NSB_LOG(LOG_ERROR, kSigBrowseCallBack, kLogNoDestination);
    }
    return true;
}

bool NFSShareLiveBrowseCallBack(void* context, void* itemInfo, unsigned long long, bool, bool&) {
    if (context == nullptr || itemInfo == nullptr) {
        NSB_LOG(LOG_ERROR, kSigLiveBrowseAdapter, kLogNullPointer);
        return false;
    }
    return static_cast<NASNFSShareLiveBrowse*>(context)->BrowseCallBack(itemInfo);
}
