// The reply reader on arbitrary bytes: decoding the whole input at once and
// feeding it in pieces (cut where the first bytes say) must agree, and
// nothing may be read past the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "host_framework/ReplyReader.h"

namespace {

bool Same(const ReplyWire::Reply& a, const ReplyWire::Reply& b) {
    if (a.hasHeader != b.hasHeader || a.ended != b.ended || a.items.size() != b.items.size() ||
        a.messages != b.messages || a.data.size() != b.data.size())
        return false;
    if (a.ended && a.endStatus != b.endStatus) return false;
    for (size_t i = 0; i < a.items.size(); ++i)
        if (a.items[i].name != b.items[i].name || a.items[i].size != b.items[i].size ||
            a.items[i].folderFlag != b.items[i].folderFlag)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return -1;
    const unsigned step = data[0];
    ++data;
    --size;
    // Exact-size copy: a read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);

    ReplyWire::Reply whole;
    std::string wholeError;
    const bool wholeOk = ReplyWire::DecodeReply(bytes.data(), bytes.size(), whole, wholeError);
    nsbfuzz::Check(wholeOk == wholeError.empty());

    ReplyWire::ReplyDecoder pieces;
    size_t at = 0;
    unsigned cut = step;
    bool fedOk = true;
    while (at < bytes.size()) {
        const size_t n = std::min<size_t>(bytes.size() - at, 1 + cut % 61);
        std::vector<uint8_t> piece(bytes.begin() + at, bytes.begin() + at + n);
        fedOk = pieces.feed(piece.data(), piece.size()) && fedOk;
        at += n;
        cut = cut * 33 + 7;
    }
    const bool piecesOk = fedOk && pieces.finish();
    nsbfuzz::Check(piecesOk == wholeOk);
    nsbfuzz::Check(pieces.error() == wholeError);
    if (wholeOk) nsbfuzz::Check(Same(pieces.reply(), whole));
    nsbfuzz::Check(pieces.consumed() <= bytes.size());
    return 0;
}
