// The message walker over a full argument area of small fields.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "host/Message.h"
#include "plumbing/MessageWalker.h"

namespace {

void BM_WalkFullArea(benchmark::State& state) {
    std::vector<char> area(MESSAGE_ARG_AREA_SIZE);
    const uint32_t valueSize = static_cast<uint32_t>(state.range(0));
    unsigned long fields = 0;
    for (size_t at = 0; at + 8 + valueSize <= area.size(); at += 8 + valueSize, ++fields) {
        uint32_t tag = 9816;
        memcpy(&area[at], &tag, 4);
        memcpy(&area[at + 4], &valueSize, 4);
        memset(&area[at + 8], 'n', valueSize);
    }
    std::vector<char> scratch(VALUE_SCRATCH_SIZE);
    for (auto _ : state) {
        MessageWalker walker;
        walker.setBuffer(area.data(), area.size(), scratch.data(), scratch.size(), fields, false);
        unsigned long seen = 0;
        unsigned int tag, length;
        for (char* v = walker.getFirst(&tag, &length); v; v = walker.getNext(&tag, &length)) ++seen;
        benchmark::DoNotOptimize(seen);
    }
    state.counters["fields"] = static_cast<double>(fields);
}
// 24-byte values: the area's worth of typical fields; 63528: one field filling it.
BENCHMARK(BM_WalkFullArea)->Arg(24)->Arg(63528)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
