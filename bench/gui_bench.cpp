// The panes under load: list rows and decode trees for 30000 packets, and
// the longest stall of the UI thread while a capture thread fills the store.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "bench_util.h"
#include "core/capture_file.h"
#include "core/local_time.h"
#include "core/pac_file.h"
#include "list/packet_list.h"
#include "pane_host_fixture.h"
#include "decode/decode_tree.h"

namespace {

using namespace kestrel;

constexpr int kPackets = PacketStore::kCapacity;

void BM_BuildRows(benchmark::State& state) {
    const std::unique_ptr<PacketStore> store = bench::TrafficMix(kPackets);
    for (auto _ : state) {
        LocalTimeCache times;
        for (int i = 0; i < store->Count(); ++i) {
            ListRow row = MakeListRow(*store->At(i), i + 1, &times);
            benchmark::DoNotOptimize(row);
        }
    }
    state.SetItemsProcessed(state.iterations() * store->Count());
}
BENCHMARK(BM_BuildRows)->Unit(benchmark::kMillisecond);

// The decode tree model alone, every decoder included.
void BM_RebuildTree(benchmark::State& state) {
    const std::unique_ptr<PacketStore> store = bench::TrafficMix(kPackets);
    DecodeTree tree;
    for (auto _ : state) {
        for (int i = 0; i < store->Count(); ++i) {
            tree.RebuildTree(*store->At(i), i + 1, DecodeTree::kDefaultLineCount);
            benchmark::DoNotOptimize(tree.ItemCount());
        }
    }
    state.SetItemsProcessed(state.iterations() * store->Count());
}
BENCHMARK(BM_RebuildTree)->Unit(benchmark::kMillisecond);

// Selecting rows one after another: the tree's widget items and the dump
// text are made again for every packet.
void BM_ShowPacketInPanes(benchmark::State& state) {
    test::CPaneWindow window;
    const std::unique_ptr<PacketStore> store = bench::TrafficMix(2000);
    for (auto _ : state) {
        for (int i = 0; i < store->Count(); ++i) {
            window.dump->SetPacket(store->At(i));
            window.tree->ShowPacket(store->At(i), i + 1);
        }
    }
    state.SetItemsProcessed(state.iterations() * store->Count());
}
BENCHMARK(BM_ShowPacketInPanes)->Unit(benchmark::kMillisecond);

// Page Down held down in a list of 2000 rows: 100 key presses queued faster
// than the panes are drawn, then the event loop runs until it is idle. The
// panes must end on the selected packet; the time is the whole burst.
void BM_PageDownBurst(benchmark::State& state) {
    test::CPaneWindow window;
    const std::unique_ptr<PacketStore> store = bench::TrafficMix(2000);
    for (int i = 0; i < store->Count(); ++i) window.list->AppendPacket(CopyPacket(store->At(i)));
    while (window.list->RowCount() < store->Count()) window.list->ShowPendingRows();
    window.show();
    window.list->setFocus();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        window.list->selectRow(0);
        QCoreApplication::processEvents();
        for (int i = 0; i < 100; ++i) {
            QCoreApplication::postEvent(window.list,
                                        new QKeyEvent(QEvent::KeyPress, Qt::Key_PageDown, {}));
        }
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        const int row = window.list->currentIndex().row();
        if (window.tree->CurrentPacket() != window.Document().Store().At(row))
            state.SkipWithError("the tree does not show the selected packet");
    }
}
BENCHMARK(BM_PageDownBurst)->Unit(benchmark::kMillisecond)->UseRealTime();

// A sink on another thread appends 30000 packets as fast as it can while the
// shown window takes them in; the counter is the longest time the UI thread
// spent between two turns of its event loop.
void BM_UiStallWhileSinking(benchmark::State& state) {
    const std::unique_ptr<PacketStore> source = bench::TrafficMix(kPackets);
    double worstMs = 0;
    for (auto _ : state) {
        test::CPaneWindow window(true);
        window.captureState = 1;
        window.show();
        // The first layout and paint of the window are not part of the load.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

        std::thread worker([&] {
            for (int i = 0; i < source->Count(); ++i)
                CPacketList::PacketSink(window.list, CopyPacket(source->At(i)));
        });
        QElapsedTimer clock;
        clock.start();
        qint64 last = clock.nsecsElapsed();
        qint64 longest = 0;
        int over8 = 0;
        QTimer probe;
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            if (now - last > 8000000)
                ++over8;
            last = now;
        });
        probe.start();
        while (window.list->RowCount() < kPackets)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        probe.stop();
        worker.join();
        worstMs = std::max(worstMs, longest / 1e6);
        state.counters["turns_over_8ms"] += over8;
    }
    state.counters["longest_stall_ms"] = worstMs;
}
BENCHMARK(BM_UiStallWhileSinking)->Unit(benchmark::kMillisecond)->Iterations(3);

// Opening a 30000-packet ".pac" file to the first painted rows: the load,
// the first row tick (500 rows) and a paint of the list.
void BM_OpenToFirstPaintedRows(benchmark::State& state) {
    const std::string path = bench::TempPath("open.pac");
    std::string error;
    WritePacFile(*bench::TrafficMix(kPackets), path, error);
    for (auto _ : state) {
        test::CPaneWindow window;
        window.show();
        const LoadResult loaded = LoadCaptureFile(path, window.Document().Store());
        if (!loaded.ok) state.SkipWithError(loaded.error.c_str());
        window.list->ShowPendingRows();
        const QPixmap painted = window.list->grab();
        benchmark::DoNotOptimize(painted.cacheKey());
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_OpenToFirstPaintedRows)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
