// Time of a temperature pass and of the bus search over the simulated bridge, in the bus's own
// time: the simulator runs on a manual clock, so wire time, USB packets and the latency timer
// cost no wall time and every run gives the same figures. Batched transactions against one
// exchange per byte (KALVO_BUS=bytewise), at the latency timer the program sets (4 ms) and at
// the chip's default (16 ms). Counters, all in ms of bus time:
//   pass_ms     MeasureAll plus both channels of two DS2413 driven (four SetChannel calls)
//   sensor_ms   (MeasureAll minus the 750 ms conversion) per thermometer
//   floor_x     sensor_ms against the wire floor of 14.2 ms (152 slots and a reset)
//   device_ms   bus search per device found; for BM_Reopen, the reopen of a bridge found again
//               (its inventory predicted by the codes from before) per device
#include <benchmark/benchmark.h>

#include <memory>

#include "core/common/status_bar.h"
#include "core/device/one_wire_bus.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

constexpr double kConversionMs = 750;
constexpr double kWireFloorMs = 14.2;

struct QuietBar : StatusBar {
    void SetPaneText(int, std::u16string_view) override {}
    void CreateProgress(int, int, int, int) override {}
    void SetProgressPos(int pos) override { pos_ = pos; }
    int ProgressPos() const override { return pos_; }
    void StepProgress() override { ++pos_; }
    void RemoveProgress() override {}
    void SetPaneMark(int, Mark) override {}
    int pos_ = 0;
};

struct Rig {
    Rig(int thermometers, int latency_ms, bool bytewise) {
        world.AddBridge("KALVO001", "FT232R USB UART");
        for (int i = 0; i < thermometers; ++i)
            world.AddDs18b20(0, uint64_t(0x100 + i), {.base_c = 20.0 + i % 7});
        for (int i = 0; i < 2; ++i) switches.push_back(world.AddDs2413(0, uint64_t(0x900 + i)));
        world.SetLatencyMs(latency_ms);
        sim::SetActiveWorld(&world);
        bus.SetBytewise(bytewise);
        bus.SetClock(clock);
        bus.SetStatusBar(&bar);
        opened = bus.SearchBridges() && bus.OpenBus();
    }
    ~Rig() { sim::SetActiveWorld(nullptr); }

    ManualClock clock{1'000'000};
    sim::World world{clock};
    QuietBar bar;
    COneWireBus bus{sim::Api()};
    std::vector<RomCode> switches;
    bool opened = false;
};

void BM_Pass(benchmark::State& state) {
    const int n = int(state.range(0));
    Rig rig(n, int(state.range(1)), state.range(2) != 0);
    if (!rig.opened) {
        state.SkipWithError("the bus did not open");
        return;
    }
    double pass = 0, measure = 0;
    int passes = 0;
    for (auto _ : state) {
        const int64_t t0 = rig.clock.NowMs();
        if (rig.bus.MeasureAll() != 1) state.SkipWithError("the pass failed");
        const int64_t t1 = rig.clock.NowMs();
        for (RomCode code : rig.switches)
            for (int channel = 0; channel < 2; ++channel)
                rig.bus.SetChannel(code, passes % 2, channel);
        pass += double(rig.clock.NowMs() - t0);
        measure += double(t1 - t0);
        rig.bus.ClearPending();
        ++passes;
    }
    const double sensor = (measure / passes - kConversionMs) / n;
    state.counters["pass_ms"] = pass / passes;
    state.counters["sensor_ms"] = sensor;
    state.counters["floor_x"] = sensor / kWireFloorMs;
}

void BM_Search(benchmark::State& state) {
    Rig rig(int(state.range(0)), int(state.range(1)), state.range(2) != 0);
    if (!rig.opened) {
        state.SkipWithError("the bus did not open");
        return;
    }
    double total = 0;
    int searches = 0;
    for (auto _ : state) {
        const int64_t t0 = rig.clock.NowMs();
        if (!rig.bus.SearchBus()) state.SkipWithError("the search failed");
        total += double(rig.clock.NowMs() - t0);
        ++searches;
    }
    const size_t found = rig.bus.Thermometers().size() + rig.bus.Switches().size();
    state.counters["device_ms"] = total / searches / double(found);
}

void BM_Reopen(benchmark::State& state) {
    Rig rig(int(state.range(0)), int(state.range(1)), state.range(2) != 0);
    if (!rig.opened) {
        state.SkipWithError("the bus did not open");
        return;
    }
    double total = 0;
    int reopens = 0;
    for (auto _ : state) {
        rig.world.SetUnplugged(0, true);
        rig.bus.MeasureAll();
        rig.world.SetUnplugged(0, false);
        const int64_t t0 = rig.clock.NowMs();
        if (!rig.bus.Reopen()) state.SkipWithError("the reopen failed");
        total += double(rig.clock.NowMs() - t0);
        rig.bus.ClearPending();
        ++reopens;
    }
    const size_t found = rig.bus.Thermometers().size() + rig.bus.Switches().size();
    state.counters["device_ms"] = total / reopens / double(found);
}

// thermometers, latency ms, bytewise
void PassArgs(benchmark::internal::Benchmark* b) {
    for (int bytewise : {0, 1})
        for (int latency : {4, 16})
            for (int n : {1, 10, 40, 80}) b->Args({n, latency, bytewise});
    // What a shorter latency timer (the udev rule may set 1 to 4 ms) gives.
    for (int latency : {1, 2}) b->Args({40, latency, 0});
    b->ArgNames({"sensors", "latency", "bytewise"})->Iterations(3)->Unit(benchmark::kMillisecond);
}

void SearchArgs(benchmark::internal::Benchmark* b) {
    for (int bytewise : {0, 1})
        for (int latency : {4, 16}) b->Args({40, latency, bytewise});
    for (int latency : {1, 2}) b->Args({40, latency, 0});
    b->ArgNames({"sensors", "latency", "bytewise"})->Iterations(2)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Pass)->Apply(PassArgs);
BENCHMARK(BM_Search)->Apply(SearchArgs);
BENCHMARK(BM_Reopen)->Apply(SearchArgs);

}  // namespace
}  // namespace kalvo

BENCHMARK_MAIN();
