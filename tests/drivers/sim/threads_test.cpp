// Faults injected from another thread while a master walks the bus.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "drivers/sim/sim_world.h"
#include "uart_master.h"

namespace kalvo::sim {
namespace {

TEST(SimThreads, FaultsFromAnotherThreadWhileSearching) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode a = world.AddDs18b20(0, 1, {});
    const RomCode b = world.AddDs18b20(0, 2, {});
    const RomCode sw = world.AddDs2413(0, 3);
    world.Couple(sw, 0, a, 1.0);
    test::UartMaster m(world);

    std::atomic<bool> stop{false};
    std::thread injector([&] {
        for (int i = 0; !stop; ++i) {
            world.SetAttached(b, i % 2 == 0);
            world.CorruptNextScratchpad(a);
            world.SetPinFault(sw, 1, i % 3 ? PinFault::kNone : PinFault::kForcedLow);
            world.ModelTemperature(a);
            (void)world.Bridge(0);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 30; ++i) {
        const auto found = m.SearchAll();
        // Whatever the timing, the search never sees a device that is not on the bus.
        for (RomCode code : found) EXPECT_TRUE(code == a || code == b || code == sw);
    }
    stop = true;
    injector.join();
    world.SetAttached(b, true);
    EXPECT_EQ(m.SearchAll().size(), 3u);
}

}  // namespace
}  // namespace kalvo::sim
