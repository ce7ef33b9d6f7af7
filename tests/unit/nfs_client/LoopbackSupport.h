// What the tests that run the worker's protocol work in this process share:
// a loopback address of the test process's own, the scripted peer started
// there, a call to it, and a receiver that keeps the names of the entries
// handed out.
#pragma once

#include <unistd.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "nfs_client/ListingCore.h"      // EntryReceiver
#include "nfs_client/worker/Protocol.h"  // Call

namespace loopbacktest {

// One address per test process and `block` (127.block.x.y), so that runs
// side by side do not meet.
inline std::string OwnAddress(unsigned block = 78) {
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(block) + "." + std::to_string((pid >> 8) & 0xff) + "." +
           std::to_string((pid & 0xfe) | 1);
}

// A scripted peer made of `args`, or null with what stopped it in `why`
// (something else may listen on its port of every address: the test skips).
template <typename Peer, typename... Args>
std::unique_ptr<Peer> StartPeer(std::string& why, Args&&... args) {
    try {
        return std::make_unique<Peer>(std::forward<Args>(args)...);
    } catch (const std::exception& e) {
        why = e.what();
        return nullptr;
    }
}

// A call to `address` whose steps take 2 s at most.
inline nfsclient::Call StepCall(const std::string& address) {
    nfsclient::CallLimits limits;
    limits.stepMs = 2000;
    return nfsclient::Call(address.c_str(), AF_INET, limits);
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
