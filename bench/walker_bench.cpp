// The message walker over a full argument area of small fields.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "host/BrowseMessageFields.h"
#include "host/Message.h"
#include "plumbing/MessageEncoder.h"
#include "plumbing/MessageWalker.h"

namespace {

void BM_WalkFullArea(benchmark::State& state) {
    const uint32_t valueSize = static_cast<uint32_t>(state.range(0));
    MessageEncoder encoder;
    while (encoder.area().size() + 8 + valueSize <= MESSAGE_ARG_AREA_SIZE)
        encoder.Field(TAG_NAS_INTERFACE, std::string(valueSize, 'n'));
    std::vector<char> area = encoder.area();
    area.resize(MESSAGE_ARG_AREA_SIZE);
    const unsigned long fields = encoder.count();
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
