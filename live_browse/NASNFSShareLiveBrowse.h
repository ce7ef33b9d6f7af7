// The receiver of a live directory listing: turns each directory entry the
// NFS client library reports into one browse result, on the reply stream of
// a network request or in the item list of an XML response.
#pragma once

#include <list>    // std::list
#include <string>  // std::string
#include <vector>  // std::vector

#include "host/MessageBase.h"          // App::MachineBrowseItem
#include "host/Platform.h"             // NASSB_API
#include "plumbing/EvRestoreReturn.h"  // EvRestoreReturn

// Lives for one DoNFSLiveBrowse call, on the driver's stack. Borrows the
// child-name list, the stream and the item list; they must outlive it. Used
// by one thread; the library calls back one entry at a time.
class NASSB_API NASNFSShareLiveBrowse {
public:
    // `exports`: the names already returned as export children; directories
    // of these names are left out. A null list is taken as empty.
    NASNFSShareLiveBrowse(const std::string& browsePath, EvRestoreReturn* pEvInfo,
                          std::vector<App::MachineBrowseItem>* browseItems,
                          std::list<std::string>* exports);
    virtual ~NASNFSShareLiveBrowse();

    // Handles one entry (`a_pItemInfo` points to an NFSItemInfo): writes it to
    // the stream when there is one, else appends it to the item list. Regular
    // files and directories only, never the ".snapshot" directory nor a
    // directory already listed as an export child. False only for a null entry.
    virtual bool BrowseCallBack(void* a_pItemInfo);

    std::list<std::string>* m_pExports;
    std::string m_browsePath;
    EvRestoreReturn* m_pEvInfo;
    std::vector<App::MachineBrowseItem>* m_browseItems;
};

// The LiveBrowseCallback given to DoNFSLiveBrowse: forwards the entry to the
// NASNFSShareLiveBrowse in `context`. False for a null context or entry.
bool NFSShareLiveBrowseCallBack(void* context, void* itemInfo, unsigned long long, bool, bool&);
