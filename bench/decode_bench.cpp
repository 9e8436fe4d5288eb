// The decode tree: rebuilding it per packet over a real traffic mix, and the
// byte -> item query behind a click into the dump.
#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "decode/decode_tree.h"

namespace kestrel {
namespace {

void BM_RebuildTree(benchmark::State& state) {
    const auto store = bench::TrafficMix(static_cast<int>(state.range(0)));
    DecodeTree tree;
    for (auto _ : state) {
        for (int i = 0; i < store->Count(); ++i) {
            benchmark::DoNotOptimize(tree.RebuildTree(*store->At(i), i + 1, DecodeTree::kDefaultLineCount));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RebuildTree)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);

// Every byte of a 1514-byte TCP frame, as clicks would ask.
void BM_SelectItemAtByte(benchmark::State& state) {
    const auto store = bench::SameFrames(1, 1514);
    DecodeTree tree;
    tree.RebuildTree(*store->At(0), 1, DecodeTree::kDefaultLineCount);
    for (auto _ : state) {
        for (int index = -1; index < 1514; ++index) {
            benchmark::DoNotOptimize(tree.SelectItemAtByte(index));
        }
    }
    state.SetItemsProcessed(state.iterations() * 1515);
}
BENCHMARK(BM_SelectItemAtByte);

}  // namespace
}  // namespace kestrel
