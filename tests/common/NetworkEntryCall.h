// Calls the plug-in's network entry as the host does, and hands back the
// decoded reply: the one harness of the tests, the fuzz targets and the
// benchmarks.
//
//     const nsbtest::NetworkReply r = nsbtest::CallNetworkEntry(
//         NASShareBrowse, MakeGuiBrowseMessage(1, "nas1", 2), "/nas1/vol");
//     EXPECT_TRUE(r.wellFormed) << r.error;
//     // r.reply.items, r.reply.messages, r.reply.ended ...
//
// The message is any GuiMessage (plumbing/MessageEncoder.h), so a test may
// give the entry fields that lie about their lengths or counts.
#pragma once

#include <functional>
#include <string>

#include "host/Message.h"                // MessageInfo
#include "host_framework/ReplyReader.h"  // ReplyWire::Reply
#include "plumbing/EvRestoreReturn.h"    // COrvNetwork
#include "plumbing/MessageEncoder.h"     // GuiMessage

namespace nsbtest {

// NASShareBrowse: linked, or looked up in the plug-in with dlsym.
typedef void (*NetworkEntry)(MessageInfo*, char*, unsigned long, int, COrvNetwork*);

struct NetworkCallOptions {
    unsigned long clientId = 2;
    // The reader gives up when no reply byte arrives for this long (the
    // entry's writes then fail after its send timeout, and it returns); 0:
    // it waits as long as it takes.
    unsigned int idleTimeoutMs = 30000;
    // Called on the reader's thread after every read, with what is decoded
    // so far; it may take the items out, as a requester that shows and drops
    // them does (the memory measured is then the entry's).
    std::function<void(ReplyWire::Reply&)> onRead;
};

struct NetworkReply {
    ReplyWire::Reply reply;   // what was decoded, less the items onRead took
    bool wellFormed = false;  // read to its end, decoded whole, nothing left over
    std::string error;        // why not
};

// Calls `entry` with `message` copied into a zero-filled MessageInfo whose
// reply socket is one end of a fresh socket pair, and with a writable copy
// of `path` (null: a null path). A thread reads and decodes the other end
// while the entry writes, so a reply of any length goes through; once the
// entry has returned, its end is shut down and the rest is read. Throws
// std::runtime_error when the socket pair cannot be made.
NetworkReply CallNetworkEntry(NetworkEntry entry, const GuiMessage& message, const char* path,
                              const NetworkCallOptions& options = NetworkCallOptions());

}  // namespace nsbtest
