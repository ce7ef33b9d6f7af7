// Selection and ordering of the names below a browse path, for export lists
// of growing size: GetChildrenFromExportPath then the child-name ordering, as
// a browse driver runs them.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "share_discovery/CNASShareBrowse.h"
#include "share_discovery/ChildNames.h"

namespace {

// Exports /vol/vNNNNNN/qtree spread over mixed-case names, listed out of order.
std::list<ShareInfo> MakeExports(int64_t count) {
    std::list<ShareInfo> shares;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t n = (i * 7919) % count;
        char name[64];
        snprintf(name, sizeof name, "/vol/%s%07lld/qtree", n % 3 ? "vol" : "Vol",
                 static_cast<long long>(n));
        shares.push_back(ShareInfo{name, "", false, 0});
    }
    return shares;
}

void BM_SelectAndOrderChildren(benchmark::State& state) {
    std::list<ShareInfo> shares = MakeExports(state.range(0));
    CNASShareBrowse discovery(2);
    discovery.MarkVolCloneShares(shares);
    for (auto _ : state) {
        std::list<std::string> children;
        discovery.GetChildrenFromExportPath(shares, "/vol", children);
        OrderChildNames(children);
        benchmark::DoNotOptimize(children);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SelectAndOrderChildren)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace

BENCHMARK_MAIN();
