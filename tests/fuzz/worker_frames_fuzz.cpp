// What a worker that a server has taken over could send the library: any
// bytes as frames, each decoded as its type says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "nfs_client/WorkerFrames.h"

using namespace nfsclient::frames;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader reader;
    // Fed in two pieces, as reads may split frames anywhere.
    const size_t half = size / 2;
    reader.Feed(reinterpret_cast<const char*>(data), half);
    for (int pass = 0; pass < 2; ++pass) {
        Type type;
        std::string_view payload;
        while (reader.Next(type, payload)) {
            EntryView entry;
            Outcome outcome;
            nfsclient::ServerProfile profile;
            Request request;
            switch (type) {
            case kEntry: DecodeEntry(payload, entry); break;
            case kDone: DecodeOutcome(payload, outcome); break;
            case kProfile:
            case kHints: DecodeHints(payload, profile); break;
            case kRequest: DecodeRequest(payload, request); break;
            default: break;
            }
        }
        if (pass == 0) reader.Feed(reinterpret_cast<const char*>(data) + half, size - half);
    }
    return 0;
}
