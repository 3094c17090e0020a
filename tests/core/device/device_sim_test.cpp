// The device layer over the simulated bridge and devices, with faults injected through the
// simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/common/messages.h"
#include "core/device/one_wire_bus.h"
#include "core/device/switch_off.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"
#include "fake_d2xx.h"

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
    EXPECT_EQ(bus.OpenFailure(), u"");  // opened, but nothing on its bus: no open failure

    // Without the first bridge, the second listed (driver index 2) is the one opened.
    bus.Link().Bridges()[0].flags = 1;
    ASSERT_TRUE(bus.OpenBus());
    EXPECT_EQ(bus.SelectedBridge(), 1);
    EXPECT_TRUE(world.Bridge(third).open);
    EXPECT_THAT(bus.Switches(), ElementsAre(sw));
}

// A bridge that is listed but refuses to open is told apart from no bridge at all.
TEST_F(SimBusTest, ABridgeThatWillNotOpenIsNamed) {
    FT_HANDLE held = nullptr;
    ASSERT_EQ(sim::Api().Open(0, &held), FT_OK);  // another program has the first one
    world.AddBridge("D4", "FT232R USB UART", FT_DEVICE_232R, true);
    EXPECT_FALSE(bus.SearchBridges());
    EXPECT_EQ(bus.OpenFailure(),
              u"FT232R A50285BI, D4 found but not opened (driver status 3): another program may "
              u"hold it, the user may lack access to it, or the kernel's ftdi_sio holds it");
    sim::Api().Close(held);
    world.AddBridge("E5", "FT232R USB UART");
    EXPECT_TRUE(bus.SearchBridges());
    EXPECT_EQ(bus.OpenFailure(), u"");
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
    world.AddDs18b20(bridge, 2, Steady(30));
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

    // Corrupted scratchpad: read again at once, and the second read is good.
    ASSERT_TRUE(world.CorruptNextScratchpad(bus.Thermometers()[1]));
    ASSERT_EQ(Pass(&pass), 1);
    EXPECT_EQ(pass[0].valid, 1u);
    EXPECT_EQ(pass[1].valid, 1u);
    EXPECT_EQ(bus.HealthOf(bus.Thermometers()[1]).crc_failures, 1u);
    ASSERT_EQ(Pass(&pass), 1);
    EXPECT_EQ(pass[1].valid, 1u);
    EXPECT_EQ(bus.HealthOf(a).missing_answers, 2u);  // the removed pass: read twice
}

// Five sensors whose registers move from pass to pass, as real ones do at 12 bits.
class StuckSensorTest : public SimBusTest {
  protected:
    void SetUp() override {
        for (uint64_t id = 1; id <= 5; ++id) {
            sim::Thermal t;
            t.base_c = 15.0 + double(id);
            t.swing_c = 4.0;
            t.period_s = 5.0 + 2.0 * double(id);
            t.phase_rad = double(id);
            world.AddDs18b20(bridge, id, t);
        }
        ASSERT_TRUE(Start());
        ASSERT_EQ(Period(), 1);  // every register has a value to compare with
    }
    // One pass, then the rest of a 2 s period; the pass's time in `took`.
    int32_t Period(SampleList* pass = nullptr) {
        const int32_t result = Pass(pass, &took);
        longest = std::max(longest, took);
        clock.Advance(std::max<int64_t>(0, 2000 - took));
        return result;
    }
    // 1 for each sensor's valid sample, in list order.
    std::vector<uint32_t> Valid(const SampleList& pass) {
        std::vector<uint32_t> out;
        for (const SampleRecord& s : pass) out.push_back(s.valid);
        return out;
    }
    int64_t took = 0, longest = 0;
};

TEST_F(StuckSensorTest, OneStuckSensorCostsOnlyItsOwnReading) {
    const RomCode stuck = bus.Thermometers()[2];
    ASSERT_TRUE(world.SetNeverConverts(stuck, true));
    SampleList pass;
    for (int k = 0; k < 10; ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(Period(&pass), 1);
        EXPECT_THAT(Valid(pass), ElementsAre(1, 1, 0, 1, 1));
        EXPECT_THAT(bus.StuckSensors(), ElementsAre(stuck));
    }
    // Polled alone in every other pass: ten overruns, the first found by the broadcast.
    EXPECT_EQ(bus.HealthOf(stuck).overran_conversions, 6u);
    EXPECT_TRUE(bus.HealthOf(stuck).stuck);
    EXPECT_LT(longest, 1500);  // the margin's deadline and five reads, well within the period

    // Converting again: released at its next poll, and the broadcast is polled again.
    ASSERT_TRUE(world.SetNeverConverts(stuck, false));
    int passes = 0;
    do {
        ASSERT_EQ(Period(&pass), 1);
        ++passes;
    } while (!bus.StuckSensors().empty() && passes < 5);
    EXPECT_LE(passes, 2);
    EXPECT_THAT(Valid(pass), ElementsAre(1, 1, 1, 1, 1));
    ASSERT_EQ(Period(&pass), 1);
    EXPECT_THAT(Valid(pass), ElementsAre(1, 1, 1, 1, 1));
    EXPECT_LT(took, 1250);  // the 750 ms conversion and the reads
    EXPECT_FALSE(bus.HealthOf(stuck).stuck);
}

// Noise on one sensor's cable disturbs the broadcast too (every sensor listens to it): the
// others are then told to convert one by one and stay valid.
TEST_F(StuckSensorTest, ANoisyCableCostsOnlyItsOwnReading) {
    const RomCode noisy = bus.Thermometers()[1];
    ASSERT_TRUE(world.ScheduleFault({.kind = sim::FaultKind::kCrcNoise,
                                     .at_ms = world.RunMs(),
                                     .for_ms = 8000,
                                     .device = noisy,
                                     .rate = 1.0}));
    SampleList pass;
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        ASSERT_EQ(Period(&pass), 1);
        EXPECT_THAT(Valid(pass), ElementsAre(1, 0, 1, 1, 1));
    }
    EXPECT_THAT(bus.StuckSensors(), IsEmpty());
    EXPECT_LT(longest, 1500);
    clock.Advance(8000);
    ASSERT_EQ(Period(&pass), 1);
    ASSERT_EQ(Period(&pass), 1);
    EXPECT_THAT(Valid(pass), ElementsAre(1, 1, 1, 1, 1));
}

// With steady readings the broadcast's overrun cannot tell who holds the line: every sensor is a
// suspect and gives no valid sample until its own poll clears it.
TEST_F(SimBusTest, SteadySensorsAreToldApartOneAPass) {
    for (uint64_t id = 1; id <= 3; ++id) world.AddDs18b20(bridge, id, Steady(20.0 + double(id)));
    ASSERT_TRUE(Start());
    ASSERT_EQ(Pass(), 1);
    const RomCode stuck = bus.Thermometers()[2];
    ASSERT_TRUE(world.SetNeverConverts(stuck, true));
    const std::vector<std::vector<uint32_t>> expected = {
        {0, 0, 0},  // overran: three suspects
        {1, 0, 0},  // the first polled alone converts
        {1, 1, 0},  // so does the second
        {1, 1, 0},  // the third does not: stuck
        {1, 1, 0},
    };
    SampleList pass;
    for (size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(Pass(&pass), 1);
        std::vector<uint32_t> valid;
        for (const SampleRecord& s : pass) valid.push_back(s.valid);
        EXPECT_EQ(valid, expected[k]) << k;
    }
    EXPECT_THAT(bus.StuckSensors(), ElementsAre(stuck));
}

// A sensor plugged in after the inventory holds the line too, but it is none of the list: every
// listed register moved, so the conversion is waited for by the clock.
TEST_F(StuckSensorTest, AHolderOutsideTheListIsWaitedOutByTheClock) {
    const RomCode stranger = world.AddDs18b20(bridge, 0x99, Steady(20));
    ASSERT_TRUE(world.SetNeverConverts(stranger, true));
    SampleList pass;
    for (int k = 0; k < COneWireBus::kRecheckPasses + 3; ++k) {
        ASSERT_EQ(Period(&pass), 1);
        EXPECT_THAT(Valid(pass), ElementsAre(1, 1, 1, 1, 1)) << k;
    }
    EXPECT_THAT(bus.StuckSensors(), IsEmpty());
    EXPECT_LT(longest, 1500);
}

TEST_F(SimBusTest, BusFaultsAreNamedAndTheBridgeIsFoundAgain) {
    const RomCode sensor = world.AddDs18b20(bridge, 1, Steady(20));
    const int other = world.AddBridge("B2", "FT232R USB UART");
    world.AddDs18b20(other, 9, Steady(30));
    ASSERT_TRUE(Start());
    ASSERT_EQ(bus.OpenSerial(), u"A50285BI");

    const struct {
        const char* name;
        std::function<void(bool)> fault;
        BusFault kind;
    } faults[] = {
        {"line held low", [&](bool on) { world.SetLineHeldLow(bridge, on); }, BusFault::kLineLow},
        {"nobody answers", [&](bool on) { world.SetAttached(sensor, !on); }, BusFault::kNoPresence},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        f.fault(true);
        for (int k = 1; k <= COneWireBus::kFaultPasses; ++k) {
            EXPECT_EQ(Pass(), 0);
            EXPECT_EQ(bus.LastPassFailure(), f.kind);
            EXPECT_EQ(bus.FailedPasses(), k);
            EXPECT_EQ(bus.Fault(), k < COneWireBus::kFaultPasses ? BusFault::kNone : f.kind);
        }
        f.fault(false);
        EXPECT_EQ(Pass(), 1);
        EXPECT_EQ(bus.Fault(), BusFault::kNone);
        EXPECT_EQ(bus.FailedPasses(), 0);
    }
    EXPECT_EQ(FaultText(BusFault::kLineLow), u"1-Wire line held low");

    // Unplugged: a dead handle is the fault at once; the other bridge is not taken instead.
    world.SetUnplugged(bridge, true);
    EXPECT_EQ(Pass(), 0);
    EXPECT_EQ(bus.Fault(), BusFault::kBridgeLost);
    EXPECT_EQ(FaultText(bus.Fault()), u"Bridge FT232R lost");
    EXPECT_FALSE(bus.Reopen());
    EXPECT_FALSE(world.Bridge(other).open);
    const size_t pending = bus.PendingCount();
    bus.RecordMissedPass();
    ASSERT_EQ(bus.PendingCount(), pending + 1);
    EXPECT_EQ(bus.PendingSamples().back().rom, sensor);
    EXPECT_EQ(bus.PendingSamples().back().valid, 0u);

    world.SetUnplugged(bridge, false);
    ASSERT_TRUE(bus.Reopen());
    EXPECT_TRUE(world.Bridge(bridge).open);
    EXPECT_FALSE(world.Bridge(other).open);
    EXPECT_EQ(bus.Fault(), BusFault::kNone);
    EXPECT_THAT(bus.Thermometers(), ElementsAre(sensor));
    SampleList pass;
    ASSERT_EQ(Pass(&pass), 1);
    EXPECT_EQ(pass[0].valid, 1u);
}

// The guard's and `kalvo-bus off`'s work: every channel off, waiting while the bridge is busy.
TEST_F(SimBusTest, EverySwitchOffOnceTheBridgeIsFree) {
    world.AddDs18b20(bridge, 1, Steady(20));
    const RomCode both = world.AddDs2413(bridge, 0xA), b_only = world.AddDs2413(bridge, 0xB);
    ASSERT_TRUE(Start());
    ASSERT_EQ(bus.SetChannels(both, 1, 1), 1);
    ASSERT_EQ(bus.SetChannels(b_only, 0, 1), 1);

    // The program still holds the bridge; it lets go during the second wait.
    struct HookClock : Clock {
        ManualClock& base;
        std::function<void()> on_sleep;
        HookClock(ManualClock& c, std::function<void()> f) : base(c), on_sleep(std::move(f)) {}
        int64_t NowMs() override { return base.NowMs(); }
        void SleepMs(int64_t ms) override {
            base.SleepMs(ms);
            on_sleep();
        }
    };
    int sleeps = 0;
    HookClock hook(clock, [&] {
        if (++sleeps == 2) bus.Link().CloseBridge(bus.SelectedHandle());
    });
    const int64_t start = clock.NowMs();
    SwitchOffReport report = SwitchEverythingOff(sim::Api(), u"A50285BI", hook, 30000);
    EXPECT_TRUE(report.AllOff());
    EXPECT_EQ(sleeps, 2);
    EXPECT_GE(clock.NowMs() - start, 2 * kSwitchOffRetryMs);
    ASSERT_EQ(report.switches.size(), 2u);
    for (const SwitchOffResult& r : report.switches) {
        EXPECT_TRUE(r.off);
        EXPECT_EQ(r.was_on, r.code == both ? 3 : 2);
        EXPECT_FALSE(world.ChannelOn(r.code, 0) || world.ChannelOn(r.code, 1));
    }
    EXPECT_FALSE(world.Bridge(bridge).open);  // let go again

    // A bridge that is not there: given up after the patience.
    sleeps = 10;
    report = SwitchEverythingOff(sim::Api(), u"ELSEWHERE", hook, 3000);
    EXPECT_FALSE(report.opened);
    EXPECT_FALSE(report.AllOff());
    EXPECT_THAT(report.switches, IsEmpty());
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

// A bridge back after an unplug: the known codes make the inventory of 40 sensors quick, so the
// pass starts within a 2 s period of the reopen, and the first period after the bridge is back
// measures; a device a search missed (it did not answer for a moment) is found by the searches
// that follow at once.
TEST_F(SimBusTest, ABridgeFoundAgainMeasuresWithinAPeriodAndMissesNoDevice) {
    std::vector<RomCode> sensors;
    for (uint64_t id = 1; id <= 40; ++id)
        sensors.push_back(world.AddDs18b20(bridge, id * 0x0101, Steady(20)));
    world.AddDs2413(bridge, 0xA);
    ASSERT_TRUE(Start());
    const std::vector<RomCode> listed = bus.Thermometers();
    ASSERT_EQ(listed.size(), 40u);
    world.SetUnplugged(bridge, true);
    EXPECT_EQ(Pass(), 0);
    world.SetUnplugged(bridge, false);

    const int64_t t0 = clock.NowMs();
    ASSERT_TRUE(bus.Reopen());
    EXPECT_LE(clock.NowMs() - t0, 2000);
    EXPECT_EQ(Pass(), 1);
    EXPECT_EQ(bus.Thermometers(), listed);

    // Gone for the first search of the next reopen only.
    world.SetUnplugged(bridge, true);
    EXPECT_EQ(Pass(), 0);
    world.SetUnplugged(bridge, false);
    ASSERT_TRUE(world.ScheduleFault({.kind = sim::FaultKind::kGone,
                                     .at_ms = world.RunMs(),
                                     .for_ms = 1500,
                                     .device = sensors[7]}));
    bar.Clear();
    ASSERT_TRUE(bus.Reopen());
    EXPECT_EQ(bus.Thermometers(), listed);
    std::vector<std::u16string> found;
    for (const auto& [pane, text] : test::TextsOf(bar))
        if (pane == kPaneDevice && text.ends_with(u"devices")) found.push_back(text);
    EXPECT_THAT(found, ElementsAre(u"Found 40 devices", u"Found 41 devices"));
    SampleList pass;
    ASSERT_EQ(Pass(&pass), 1);
    for (const SampleRecord& r : pass) EXPECT_EQ(r.valid, 1u);
}

}  // namespace
}  // namespace kalvo
