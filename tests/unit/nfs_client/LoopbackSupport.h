// What the tests that run the worker's protocol work in this process share:
// a loopback address of the test process's own, and a receiver that keeps
// the names of the entries handed out.
#pragma once

#include <unistd.h>

#include <set>
#include <string>

#include "nfs_client/ListingCore.h"  // EntryReceiver

namespace loopbacktest {

// One address per test process and `block` (127.block.x.y), so that runs
// side by side do not meet.
inline std::string OwnAddress(unsigned block = 78) {
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(block) + "." + std::to_string((pid >> 8) & 0xff) + "." +
           std::to_string((pid & 0xfe) | 1);
}

class Entries : public nfsclient::EntryReceiver {
public:
    bool OnEntry(const NFSItemInfo& entry) override {
        names.insert(entry.name);
        return true;
    }
    void OnNotice(const std::string&) override {}
    std::set<std::string> names;
};

}  // namespace loopbacktest
