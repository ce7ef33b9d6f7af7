// The network side: the NFS client's protocol work (probe, export list,
// listing; the code the worker runs) against a file server whose replies
// are the fuzz input. The input scripts the portmapper's, MOUNT's, NFSv3's
// and NFSv4's replies (lengths, counts, handles, names, attributes, cookies,
// union discriminants, xids, fragments, duplicates, truncation); the client
// must end every call with an outcome, within its bounds, and the
// sanitizers must find nothing.
#include <sys/socket.h>  // AF_INET

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "NfsReplyScript.h"
#include "nfs_client/worker/Protocol.h"

using namespace nfsclient;

namespace {

class CountingReceiver : public EntryReceiver {
public:
    bool OnEntry(const NFSItemInfo& entry) override {
        // Read everything the entry says, as a receiver would.
        volatile size_t length = strlen(entry.name);
        (void)length;
        return ++entries < 100000;
    }
    void OnNotice(const std::string&) override {}
    size_t entries = 0;
};

CallLimits FuzzLimits() {
    CallLimits limits;
    limits.stepMs = 30;
    limits.maxEntries = 50000;
    limits.maxExports = 1000;
    return limits;
}

// The scripted peer on the portmapper, MOUNT (where the seed corpus's
// portmapper says it is) and NFS ports of 127.0.0.1: each call gets the next
// reply of its kind from the script; a call the script has no reply for gets
// its connection closed, so that nothing waits for a timeout.
nfstest::ScriptedPeer* StartPeer(nfsfuzz::ReplyScript& script) {
    auto answer = [&script](const nfstest::RpcCall& call, std::string& reply) {
        reply = script.Answer(call);
        return !reply.empty();
    };
    std::vector<int> listeners;
    for (int port : {111, 20048, 2049}) listeners.push_back(nfstest::Listen("127.0.0.1", port));
    return new nfstest::ScriptedPeer(listeners, {{0, 0, answer}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static nfsfuzz::ReplyScript script;
    static nfstest::ScriptedPeer* peer = StartPeer(script);  // serves until the process ends
    (void)peer;
    script.Load(data, size);

    Call exports("127.0.0.1", AF_INET, FuzzLimits());
    size_t paths = 0;
    ReadExports(exports, [&](const char* path) { return ++paths < 1000 && path[0] == '/'; });

    Call listing("127.0.0.1", AF_INET, FuzzLimits());
    listing.profile = exports.profile;  // as the cache would have it
    CountingReceiver receiver;
    EntryDelivery delivery(receiver, FuzzLimits().maxEntries);
    ListDirectory(listing, {"vol", "vol1", "dir"}, "/vol/vol1/dir", delivery);
    return 0;
}
