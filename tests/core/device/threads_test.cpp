// The window reads the bus's counters, stuck list and fault while the worker measures.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/device/one_wire_bus.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

TEST(BusThreads, HealthIsReadWhileThePassRuns) {
    ManualClock clock{1'000'000};
    sim::World world{clock};
    sim::SetActiveWorld(&world);
    RecordingStatusBar bar;
    COneWireBus bus{sim::Api()};
    bus.SetStatusBar(&bar);
    bus.SetClock(clock);
    const int bridge = world.AddBridge("A50285BI", "FT232R USB UART");
    for (uint64_t id = 1; id <= 3; ++id) world.AddDs18b20(bridge, id, sim::Thermal{20.0}, 9);
    ASSERT_TRUE(bus.SearchBridges() && bus.OpenBus());
    const RomCode stuck = bus.Thermometers()[1];

    std::atomic<bool> done{false};
    size_t seen_stuck = 0;
    std::thread window([&] {
        while (!done.load()) {
            for (const SensorHealth& h : bus.Health()) seen_stuck += h.stuck;
            seen_stuck += bus.StuckSensors().size() + bus.HealthOf(stuck).crc_failures;
            (void)FaultText(bus.Fault());
            (void)bus.FailedPasses();
        }
    });
    world.SetNeverConverts(stuck, true);
    for (int k = 0; k < 30; ++k) {
        if (k == 20) world.SetLineHeldLow(bridge, true);
        if (k == 25) world.SetLineHeldLow(bridge, false);
        world.CorruptNextScratchpad(stuck);
        bus.MeasureAll();
        bus.ClearPending();
    }
    done = true;
    window.join();
    sim::SetActiveWorld(nullptr);
    EXPECT_EQ(bus.StuckSensors(), std::vector<RomCode>{stuck});
    EXPECT_GT(seen_stuck, 0u);
}

}  // namespace
}  // namespace kalvo
