// The software cost of one measurement cycle over a simulated bridge whose USB latency costs no
// wall time (the bus runs on a manual clock), and the USB exchanges a cycle makes. What remains
// is the program's own work plus the simulator's byte model; BM_SimExchange gives the latter
// per exchange so the two can be told apart. BM_CycleRecorded adds the pass's append to a day
// file in a temporary folder, BM_Append the append alone.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "core/common/status_bar.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/engine_host.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/engine/measurement_cycle.h"
#include "core/engine/pass_recorder.h"
#include "core/engine/thermostat.h"
#include "core/scenario/grid_sn.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

struct QuietHost : EngineHost {
    void Post(PostTarget, uint32_t, uintptr_t, intptr_t) override {}
    void ShowMessageBox(std::u16string_view, std::u16string_view) override {}
    void HideMainWindow() override {}
    WindowRect MainWindowRect() const override { return {}; }
    void MoveMainWindow(const WindowRect&) override {}
    void ShowPeriodAndFlags(int, uint16_t) override {}
};

struct QuietLiveView : LiveView {
    void SetSeriesCount(int) override {}
    void SetEngineReady(uint32_t) override {}
    void ReplaceLiveSamples(const SampleList& samples) override { last = samples; }
    uint32_t GetBackgroundColor() const override { return 0; }
    void SetBackgroundColor(uint32_t) override {}
    uint32_t GetGridColor() const override { return 0; }
    void SetGridColor(uint32_t) override {}
    SampleList last;
};

// A folder of its own, removed afterwards.
struct TempFolder {
    TempFolder() {
        char pattern[] = "/tmp/kalvo_bench_XXXXXX";
        if (mkdtemp(pattern)) path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

struct Rig {
    explicit Rig(int thermometers, int switches, std::string root = {})
        : recorder(std::move(root), SHELL::DefaultFileOps()) {
        sim::SetActiveWorld(&world);
        const int b = world.AddBridge("KALVO001", "FT232R USB UART");
        for (int i = 0; i < thermometers; ++i) {
            sim::Thermal t;
            t.base_c = 20.0 + i;
            world.AddDs18b20(b, uint64_t(i + 1), t);
        }
        for (int i = 0; i < switches; ++i) world.AddDs2413(b, uint64_t(0x100 + i));
        bus.SetStatusBar(&bar);
        bus.SetClock(clock);
        bus.SetThermometerTable(&table);
        bus.SetSwitchTable(&switch_table);
        bus.SearchBridges();
        bus.OpenBus();
        table.Fill(bus);
        switch_table.Fill(bus);
        // Every channel under fixed control, so each pass drives each channel once.
        for (int row = 0; row < switch_table.RowCount(); ++row)
            for (int ch = 0; ch < 2; ++ch) {
                switch_table.SetCellText(row, GridSw::Col(ch, GridSw::kColThermometerA),
                                         table.ThermometerName(0));
                switch_table.SetCellText(row, GridSw::Col(ch, GridSw::kColLowA), u"25");
                switch_table.SetCellText(row, GridSw::Col(ch, GridSw::kColHighA), u"30");
            }
    }
    ~Rig() { sim::SetActiveWorld(nullptr); }
    uint64_t Reads() const { return world.Bridge(0).reads; }

    ManualClock clock{1'000'000};
    sim::World world{clock};
    RecordingStatusBar bar;
    COneWireBus bus{sim::Api()};
    GridKalvo table;
    GridSw switch_table;
    GridSn scenarios;
    BusSwitchOutputs outputs{bus};
    Thermostat thermostat{table, switch_table, &scenarios, outputs};
    QuietHost host;
    QuietLiveView live;
    PassRecorder recorder;
    MeasurementCycle cycle{bus, table, switch_table, thermostat, live, host, recorder};
};

// Args: thermometers, switches. Recording off.
void BM_Cycle(benchmark::State& state) {
    const int thermometers = int(state.range(0));
    Rig rig(thermometers, int(state.range(1)));
    const uint64_t before = rig.Reads();
    for (auto _ : state) {
        const auto result = rig.cycle.Run(false);
        benchmark::DoNotOptimize(result);
    }
    const double passes = double(state.iterations());
    state.counters["usb_exchanges_per_pass"] = double(rig.Reads() - before) / passes;
    state.counters["per_thermometer"] = benchmark::Counter(
        passes * thermometers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Cycle)->Args({1, 0})->Args({2, 0})->Args({4, 0})->Args({16, 0})->Args({4, 1})->Unit(
    benchmark::kMicrosecond);

// The same with every pass appended to today's day file, as the program records.
void BM_CycleRecorded(benchmark::State& state) {
    const int thermometers = int(state.range(0));
    TempFolder folder;
    Rig rig(thermometers, 0, folder.path);
    for (auto _ : state) {
        const auto result = rig.cycle.Run(true);
        benchmark::DoNotOptimize(result);
    }
    state.counters["per_thermometer"] =
        benchmark::Counter(double(state.iterations()) * thermometers,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CycleRecorded)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);

// One pass of four records appended through the recorder (a sync at most once a minute).
void BM_Append(benchmark::State& state) {
    TempFolder folder;
    PassRecorder recorder(folder.path, SHELL::DefaultFileOps());
    SampleRecord record;
    record.name = u"Термометр 1";
    record.valid = 1;
    const SampleList pass(4, record);
    for (auto _ : state) {
        SampleList records = pass;
        benchmark::DoNotOptimize(recorder.Record(records, 4));
    }
}
BENCHMARK(BM_Append)->Unit(benchmark::kMicrosecond);

// One eight-slot exchange through the link and the simulator: the simulator's share.
void BM_SimExchange(benchmark::State& state) {
    Rig rig(1, 0);
    for (auto _ : state) benchmark::DoNotOptimize(rig.bus.WriteByte(0xCC));
}
BENCHMARK(BM_SimExchange)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kalvo

BENCHMARK_MAIN();
