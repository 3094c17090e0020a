// The device layer over the simulated bridge and devices, with faults injected through the
// simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "core/common/messages.h"
#include "core/device/one_wire_bus.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

sim::Thermal Steady(double celsius) {
    sim::Thermal t;
    t.base_c = celsius;
    return t;
}

std::vector<RomCode> Sorted(std::vector<RomCode> codes) {
    std::sort(codes.begin(), codes.end());
    return codes;
}

class SimBusTest : public ::testing::Test, public SwitchRows {
  protected:
    SimBusTest() {
        sim::SetActiveWorld(&world);
        bus.SetStatusBar(&bar);
        bus.SetSwitchTable(this);
        bus.SetClock(clock);
        bridge = world.AddBridge("A50285BI", "FT232R USB UART");
    }
    ~SimBusTest() override { sim::SetActiveWorld(nullptr); }
    void RefreshSwitchRow(RomCode, uint8_t status) override { refreshed.push_back(status); }

    bool Start() { return bus.SearchBridges() && bus.OpenBus(); }
    // One pass; its result, and the pass in `pass` when it gave one.
    int32_t Pass(SampleList* pass = nullptr, int64_t* took_ms = nullptr) {
        const int64_t start = clock.NowMs();
        const int32_t result = bus.MeasureAll();
        if (took_ms) *took_ms = clock.NowMs() - start;
        if (pass) bus.TakeLatest(*pass);
        return result;
    }

    ManualClock clock{1'000'000};
    sim::World world{clock};
    RecordingStatusBar bar;
    std::vector<uint8_t> refreshed;
    COneWireBus bus{sim::Api()};
    int bridge = 0;
};

TEST_F(SimBusTest, InventoryOfAMixedBus) {
    std::vector<RomCode> sensors = {
        world.AddDs18b20(bridge, 0x00000A1B2C3D, Steady(21.5)),
        world.AddDs18b20(bridge, 0x000000000001, Steady(22)),
        // Differs from the one above only in the serial's top bit (and the CRC): the search
        // has to follow that branch to the end of the serial number.
        world.AddDs18b20(bridge, 0x800000000001, Steady(23)),
        world.AddDs1820(bridge, 0x000000B0B0B0, Steady(-3.25)),
    };
    for (uint64_t id = 1; id <= 16; ++id)
        sensors.push_back(world.AddDs18b20(bridge, id * 0x010101, Steady(20)));
    const std::vector<RomCode> switches = {world.AddDs2413(bridge, 0x0000000ABCDE),
                                           world.AddDs2413(bridge, 0x0000000ABCDF)};
    world.AddDevice(bridge, 0x01, 0x000000123456);
    world.AddDevice(bridge, 0x29, 0x000000123456);

    ASSERT_TRUE(Start());
    EXPECT_EQ(bus.Thermometers(), Sorted(sensors));
    EXPECT_EQ(bus.Switches(), Sorted(switches));
    EXPECT_EQ(bar.LastText(kPaneDevice), u"Found 22 devices");
    EXPECT_EQ(bar.ProgressPos(), 8);                // 24 steps, wrapped after 16
    EXPECT_EQ(world.Bridge(bridge).baud, 115200u);  // slot rate between transactions
}

TEST_F(SimBusTest, BridgeChoiceAndFailedInventory) {
    world.AddDevice(bridge, 0x01, 0x000000123456);  // nothing we know on the first bridge
    world.AddBridge("B2", "Other chip", 8);
    const int third = world.AddBridge("C3", "FT232R USB UART");
    const RomCode sw = world.AddDs2413(third, 0x0000000ABCDE);
    ASSERT_TRUE(bus.SearchBridges());
    ASSERT_EQ(bus.Link().Bridges().size(), 2u);  // no record for the other chip
    EXPECT_FALSE(bus.OpenBus());
    EXPECT_EQ(bus.SelectedBridge(), -1);
    EXPECT_FALSE(world.Bridge(bridge).open);

    // Without the first bridge, the second listed (driver index 2) is the one opened.
    bus.Link().Bridges()[0].flags = 1;
    ASSERT_TRUE(bus.OpenBus());
    EXPECT_EQ(bus.SelectedBridge(), 1);
    EXPECT_TRUE(world.Bridge(third).open);
    EXPECT_THAT(bus.Switches(), ElementsAre(sw));
}

TEST_F(SimBusTest, TemperaturesWithinOneRegisterStep) {
    const std::vector<std::pair<RomCode, double>> sensors = {
        {world.AddDs18b20(bridge, 1, Steady(21.53), 12), 0.0625},
        {world.AddDs18b20(bridge, 2, Steady(-10.2), 11), 0.125},
        {world.AddDs18b20(bridge, 3, Steady(36.6), 10), 0.25},
        {world.AddDs18b20(bridge, 4, Steady(-0.3), 9), 0.5},
        {world.AddDs1820(bridge, 5, Steady(-3.3)), 0.0625},
        {world.AddDs1820(bridge, 6, Steady(47.81)), 0.0625},
    };
    ASSERT_TRUE(Start());
    SampleList pass;
    int64_t took = 0;
    ASSERT_EQ(Pass(&pass, &took), 1);
    EXPECT_GE(took, 750);  // the 12-bit conversion sets the wait
    ASSERT_EQ(pass.size(), sensors.size());
    for (const SampleRecord& s : pass) {
        const auto it = std::find_if(sensors.begin(), sensors.end(),
                                     [&](const auto& x) { return x.first == s.rom; });
        ASSERT_NE(it, sensors.end());
        EXPECT_EQ(s.valid, 1u);
        EXPECT_NEAR(s.temperature, world.LastConversion(s.rom), it->second + 1e-9)
            << std::hex << s.rom;
    }
}

TEST_F(SimBusTest, SwitchingAndReadBack) {
    world.AddDs18b20(bridge, 1, Steady(20));
    const RomCode sw = world.AddDs2413(bridge, 0x0000000ABCDE);
    ASSERT_TRUE(Start());

    EXPECT_EQ(bus.SetChannels(sw, 0, 0), 1);
    EXPECT_EQ(bus.PioRead(sw), uint8_t(world.SwitchStatus(sw)));
    refreshed.clear();
    EXPECT_EQ(bus.SetChannel(sw, 1, 0), 1);  // A on, B kept off
    EXPECT_TRUE(world.ChannelOn(sw, 0));
    EXPECT_FALSE(world.ChannelOn(sw, 1));
    EXPECT_THAT(refreshed, ElementsAre(uint8_t(world.SwitchStatus(sw))));
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), 1);  // B on, A kept on
    EXPECT_TRUE(world.ChannelOn(sw, 0) && world.ChannelOn(sw, 1));
    refreshed.clear();
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), 1);  // no change, nothing to show
    EXPECT_THAT(refreshed, IsEmpty());

    ASSERT_TRUE(world.SetPinFault(sw, 0, sim::PinFault::kForcedLow));
    EXPECT_EQ(bus.SetChannels(sw, 0, 0), -1);
    ASSERT_TRUE(world.SetPinFault(sw, 1, sim::PinFault::kStuckHigh));
    EXPECT_EQ(bus.SetChannels(sw, 1, 1), -2);
    EXPECT_EQ(bus.SetChannels(sw, 0, 1), -3);
    // A switch that is not there: addressing passes by echo, the write is never confirmed.
    EXPECT_EQ(bus.SetChannels(sw ^ 0x0100, 1, 1), 0);
}

TEST_F(SimBusTest, SensorFaults) {
    const RomCode a = world.AddDs18b20(bridge, 1, Steady(20));
    const RomCode b = world.AddDs18b20(bridge, 2, Steady(30));
    ASSERT_TRUE(Start());
    const size_t ia = bus.Thermometers()[0] == a ? 0 : 1, ib = 1 - ia;
    SampleList pass;

    // Removed: reads as nine 0xFF bytes, invalid; an added device is not listed.
    ASSERT_TRUE(world.SetAttached(a, false));
    ASSERT_NE(world.AddDs18b20(bridge, 3, Steady(40)), 0u);
    ASSERT_EQ(Pass(&pass), 1);
    ASSERT_EQ(pass.size(), 2u);
    EXPECT_EQ(pass[ia].valid, 0u);
    EXPECT_EQ(pass[ib].valid, 1u);
    EXPECT_NEAR(pass[ib].temperature, 30, 0.0625);
    ASSERT_TRUE(world.SetAttached(a, true));

    // Corrupted scratchpad: invalid, with the temperature of the record before it.
    ASSERT_TRUE(world.CorruptNextScratchpad(bus.Thermometers()[1]));
    ASSERT_EQ(Pass(&pass), 1);
    EXPECT_EQ(pass[0].valid, 1u);
    EXPECT_EQ(pass[1].valid, 0u);
    EXPECT_EQ(pass[1].temperature, pass[0].temperature);
    ASSERT_EQ(Pass(&pass), 1);
    EXPECT_EQ(pass[1].valid, 1u);

    // A conversion that never ends: given up after just over 2000 ms, nothing appended.
    ASSERT_TRUE(world.SetNeverConverts(b, true));
    const size_t pending = bus.PendingCount();
    int64_t took = 0;
    EXPECT_EQ(Pass(nullptr, &took), COneWireBus::kMeasureNotDone);
    EXPECT_GT(took, 2000);
    EXPECT_LT(took, 2100);
    EXPECT_EQ(bus.PendingCount(), pending);
}

TEST_F(SimBusTest, LineAndBridgeFaults) {
    world.AddDs18b20(bridge, 1, Steady(20));
    const RomCode sw = world.AddDs2413(bridge, 0x0000000ABCDE);
    ASSERT_TRUE(Start());

    // A line held low shows presence, but no command byte gets through.
    world.SetLineHeldLow(bridge, true);
    EXPECT_TRUE(bus.Reset());
    EXPECT_EQ(Pass(), 0);
    EXPECT_EQ(bus.SetChannel(sw, 1, 0), 0);
    EXPECT_EQ(bus.SetChannels(sw, 1, 0), 0);
    world.SetLineHeldLow(bridge, false);

    // Empty reads: the reset looks answered, the command byte fails.
    world.ShortenNextReads(bridge, 0, 2);
    EXPECT_EQ(Pass(), 0);
    EXPECT_EQ(bus.PendingCount(), 0u);
    EXPECT_EQ(Pass(), 1);

    // Unplugged: nothing answers at all.
    world.SetUnplugged(bridge, true);
    EXPECT_FALSE(bus.Reset());
    EXPECT_EQ(Pass(), 0);
    EXPECT_EQ(bus.SetChannel(sw, 1, 0), 0);
    EXPECT_EQ(bus.PendingCount(), 1u);
}

}  // namespace
}  // namespace kalvo
