// The packet core: files, the store, row texts and the hex dump.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "bench_util.h"
#include "core/capture_file.h"
#include "core/local_time.h"
#include "core/pac_file.h"
#include "core/row_text.h"
#include "core/text_helpers.h"

namespace kestrel {
namespace {

// Sizes for the growth figures: everything should scale linearly.
void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);
}

void BM_PacSave(benchmark::State& state) {
    const auto store = bench::TrafficMix(static_cast<int>(state.range(0)));
    const std::string path = bench::TempPath("save.pac");
    std::string error;
    for (auto _ : state) {
        if (!WritePacFile(*store, path, error)) state.SkipWithError(error.c_str());
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(store->ByteCount()));
}
BENCHMARK(BM_PacSave)->Apply(Sizes);

// Opening a file of `kind` written from the traffic mix.
void LoadFile(benchmark::State& state, FileKind kind, const char* name) {
    const std::string path = bench::TempPath(name);
    std::string error;
    SaveCaptureFile(*bench::TrafficMix(static_cast<int>(state.range(0))), path, kind, error);
    for (auto _ : state) {
        PacketStore store;
        if (!LoadCaptureFile(path, store).ok) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(store.Count());
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PacLoad(benchmark::State& state) { LoadFile(state, FileKind::Pac, "load.pac"); }
BENCHMARK(BM_PacLoad)->Apply(Sizes);

void BM_PcapLoad(benchmark::State& state) { LoadFile(state, FileKind::Pcap, "load.pcap"); }
BENCHMARK(BM_PcapLoad)->Apply(Sizes);

// A capture worker filling a store while the UI thread polls the count.
void BM_AppendFromWorker(benchmark::State& state) {
    const auto source = bench::SameFrames(1, 1514);
    const Packet* frame = source->At(0);
    for (auto _ : state) {
        PacketStore store;
        std::thread worker([&] {
            for (int i = 0; i < PacketStore::kCapacity; ++i) store.AppendPacket(CopyPacket(frame));
        });
        // The list polls the count on a timer; here every millisecond.
        while (store.Count() < PacketStore::kCapacity) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        worker.join();
    }
    state.SetItemsProcessed(state.iterations() * PacketStore::kCapacity);
}
BENCHMARK(BM_AppendFromWorker)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same appends without a second thread: the cost of copy, lock and slot.
void BM_AppendCopies(benchmark::State& state) {
    const auto source = bench::SameFrames(1, static_cast<uint32_t>(state.range(0)));
    const Packet* frame = source->At(0);
    for (auto _ : state) {
        PacketStore store;
        for (int i = 0; i < PacketStore::kCapacity; ++i) store.AppendPacket(CopyPacket(frame));
    }
    state.SetItemsProcessed(state.iterations() * PacketStore::kCapacity);
}
BENCHMARK(BM_AppendCopies)->Arg(60)->Arg(1514)->Unit(benchmark::kMillisecond);

void BM_RowTexts(benchmark::State& state) {
    const auto store = bench::TrafficMix(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        LocalTimeCache times;
        for (int i = 0; i < store->Count(); ++i) {
            benchmark::DoNotOptimize(BuildRowTexts(*store->At(i), i + 1, &times));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RowTexts)->Apply(Sizes);

void BM_HexDump1514(benchmark::State& state) {
    const auto store = bench::SameFrames(1, 1514);
    const Packet& p = *store->At(0);
    std::vector<char> out(HexDumpBufferSize(static_cast<int>(p.header->caplen)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatHexDump(p.data, static_cast<int>(p.header->caplen), out.data()));
    }
    state.SetBytesProcessed(state.iterations() * p.header->caplen);
}
BENCHMARK(BM_HexDump1514);

}  // namespace
}  // namespace kestrel
