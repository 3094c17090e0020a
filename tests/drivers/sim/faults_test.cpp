// Timed faults: each kind starts and ends when the schedule says, does what it says, and runs the
// same way again from the same seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "drivers/sim/sim_config.h"
#include "drivers/sim/sim_world.h"
#include "uart_master.h"

namespace kalvo::sim {
namespace {

using Bytes = std::vector<uint8_t>;

const RomCode kSensor = MakeRomCode(kFamilyDs18b20, 1);
const RomCode kSwitch = MakeRomCode(kFamilyDs2413, 2);

std::unique_ptr<World> Build(const std::string& text, Clock& clock) {
    BusConfig config;
    ConfigError e;
    EXPECT_TRUE(ParseBusConfig(text, &config, &e)) << e.Text();
    return MakeWorld(config, clock);
}

Bytes ReadScratchpad(test::UartMaster& m, RomCode code) {
    if (!m.Match(code) || !m.Write(0xBE)) return {};
    return m.Read(9);
}

void StartConversion(test::UartMaster& m) {
    EXPECT_TRUE(m.Reset());
    EXPECT_TRUE(m.Write(0xCC));
    EXPECT_TRUE(m.Write(0x44));
}

// Moves only when the test advances it: a probe's bus operations all happen at its instant.
class FrozenClock : public ManualClock {
  public:
    void SleepMs(int64_t) override {}
};

uint16_t Raw(const Bytes& pad) {
    return pad.size() == 9 ? uint16_t(pad[0] | pad[1] << 8) : 0;
}

// Each kind from 10 s to 20 s of the run, or from 10 s on. A probe sets up at its time minus
// `lead_ms` and looks at its time, each on a new world, so probes cannot disturb each other.
TEST(SimTimedFaults, EachKindHoldsFromItsStartToItsEnd) {
    struct Case {
        const char* kind;
        int64_t lead_ms;
        std::function<void(test::UartMaster&)> prepare;
        std::function<bool(test::UartMaster&, World&)> seen;
    };
    const Case cases[] = {
        {"gone id=000000000001", 0, nullptr,
         [](test::UartMaster& m, World&) {
             const auto found = m.SearchAll();
             return std::find(found.begin(), found.end(), kSensor) == found.end();
         }},
        {"never-converts id=000000000001", 800, StartConversion,
         [](test::UartMaster& m, World&) { return !m.Bit(true); }},
        {"crc-noise rate=1", 0, nullptr,
         [](test::UartMaster& m, World&) {
             return m.Exchange({0xFF, 0xFF}) != Bytes{0xFF, 0xFF};
         }},
        {"low-power id=000000000001", 0, nullptr,
         [](test::UartMaster& m, World&) { return Raw(ReadScratchpad(m, kSensor)) == 0x07FF; }},
        {"line-low", 0, nullptr, [](test::UartMaster& m, World&) { return m.ResetEcho() == 0x00; }},
        {"unplug", 0, nullptr,
         [](test::UartMaster&, World& world) {
             DWORD n = 99;
             EXPECT_EQ(world.ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
             return n == 0;
         }},
        {"short-reads", 0, nullptr,
         [](test::UartMaster& m, World&) { return m.Exchange(Bytes(8, 0xFF)).size() < 8; }},
    };
    struct Probe {
        int64_t at_ms;
        bool with_end, without_end;  // seen with for=10, and without for
    };
    const Probe probes[] = {
        {9999, false, false}, {10000, true, true}, {19999, true, true}, {20000, false, true}};
    for (const Case& c : cases)
        for (const bool ends : {true, false})
            for (const Probe& p : probes) {
                const std::string line =
                    std::string("fault at=10 ") + (ends ? "for=10 " : "") + c.kind;
                SCOPED_TRACE(line + " at " + std::to_string(p.at_ms) + " ms");
                FrozenClock clock;
                const auto world = Build(
                    "latency_ms=0\nds18b20 id=000000000001 temp=21.5\nds2413 id=000000000002\n" +
                        line,
                    clock);
                test::UartMaster m(*world);
                clock.Advance(p.at_ms - c.lead_ms);
                if (c.prepare) c.prepare(m);
                clock.Advance(c.lead_ms);
                EXPECT_EQ(c.seen(m, *world), ends ? p.with_end : p.without_end);
            }
}

TEST(SimTimedFaults, PowerOnRestartsTheDeviceUntilItsNextConversion) {
    FrozenClock clock;
    const auto world = Build(R"(latency_ms=0
ds18b20 id=000000000001 temp=21.5
ds2413  id=000000000002
fault at=5 power-on id=000000000001
fault at=5 power-on id=000000000002
)",
                             clock);
    test::UartMaster m(*world);
    ASSERT_TRUE(m.Match(kSensor));
    for (uint8_t b : {0x4E, 0x28, 0x0A, 0x1F}) ASSERT_TRUE(m.Write(b));  // not copied to EEPROM
    ASSERT_TRUE(m.Match(kSwitch));
    ASSERT_TRUE(m.Write(0x5A));
    ASSERT_TRUE(m.Write(0xFE));
    ASSERT_TRUE(m.Write(0x01));
    EXPECT_TRUE(world->ChannelOn(kSwitch, 0));
    StartConversion(m);
    clock.Advance(4999);
    EXPECT_TRUE(m.Bit(true));
    // Byte 6 after a conversion: 0x10 - (LSB & 0x0F).
    EXPECT_EQ(ReadScratchpad(m, kSensor),
              (Bytes{0x58, 0x01, 0x28, 0x0A, 0x1F, 0xFF, 0x08, 0x10, 0x3B}));

    clock.Advance(1);
    EXPECT_FALSE(world->ChannelOn(kSwitch, 0));  // the heater is off after a restart
    EXPECT_EQ(ReadScratchpad(m, kSensor),
              (Bytes{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}));
    clock.Advance(60000);
    EXPECT_EQ(Raw(ReadScratchpad(m, kSensor)), 0x0550);
    StartConversion(m);
    clock.Advance(750);
    EXPECT_EQ(Raw(ReadScratchpad(m, kSensor)), 0x0158);
}

TEST(SimTimedFaults, UnplugKillsTheHandleAndTheBridgeReturnsUnderItsSerial) {
    ManualClock clock;
    const auto world = Build(
        "bridge serial=A50285BI\nds18b20 id=000000000001\n"
        "fault at=10 for=5 unplug\n",
        clock);
    FT_HANDLE old = nullptr, fresh = nullptr;
    ASSERT_EQ(world->Open(0, &old), FT_OK);
    clock.Advance(10000);
    uint8_t byte = 0xF0;
    DWORD n = 0;
    EXPECT_EQ(world->Write(old, &byte, 1, &n), FT_IO_ERROR);
    EXPECT_EQ(world->Open(0, &fresh), FT_DEVICE_NOT_FOUND);
    EXPECT_TRUE(world->Bridge(0).unplugged);

    clock.Advance(5000);
    char serial[16] = {};
    EXPECT_EQ(world->ListDevices(reinterpret_cast<void*>(uintptr_t(0)), serial,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    EXPECT_STREQ(serial, "A50285BI");
    EXPECT_EQ(world->SetBaudRate(old, 9600), FT_IO_ERROR);  // the old handle stays dead
    ASSERT_EQ(world->Open(0, &fresh), FT_OK);
    EXPECT_NE(fresh, old);
    ASSERT_EQ(world->SetBaudRate(fresh, 9600), FT_OK);
    ASSERT_EQ(world->Write(fresh, &byte, 1, &n), FT_OK);
    ASSERT_EQ(world->Read(fresh, &byte, 1, &n), FT_OK);
    EXPECT_NE(byte, 0xF0);  // presence
    EXPECT_EQ(world->Close(old), FT_OK);
    EXPECT_EQ(world->Close(fresh), FT_OK);
}

// Bit flips of one device's transactions, drawn from the seed: the same seed hits the same
// bytes, and the readings are those of a quiet line.
TEST(SimTimedFaults, CrcNoiseHitsItsDeviceAndRepeatsWithTheSeed) {
    struct Run {
        std::vector<Bytes> pads;  // scratchpads of the noisy sensor
        bool other_clean = true;
        int hit = 0, slots = 0;
        double reading = 0;
    };
    auto run = [](uint64_t seed, bool noise) {
        FrozenClock clock;
        std::string text = "latency_ms=1 seed=" + std::to_string(seed) +
                           "\nds18b20 id=000000000001 temp=20 noise=0.5\n"
                           "ds18b20 id=000000000003 temp=30\n";
        // From 1 s on: the conversion before it is addressed to every sensor.
        if (noise) text += "fault at=1 crc-noise id=000000000001 rate=0.25\n";
        const auto world = Build(text, clock);
        test::UartMaster m(*world);
        StartConversion(m);
        clock.Advance(1000);
        Run r;
        for (int i = 0; i < 20; ++i) {
            r.pads.push_back(ReadScratchpad(m, kSensor));
            const Bytes other = ReadScratchpad(m, MakeRomCode(kFamilyDs18b20, 3));
            r.other_clean &= other.size() == 9 && Crc8(other.data(), 9) == 0 && Raw(other) == 480;
            m.Match(kSensor);
            m.Write(0xBE);  // its echo may be hit too
            for (uint8_t e : m.Exchange(Bytes(72, 0xFF))) r.hit += e != 0xFF && e != 0xFC;
            r.slots += 72;
        }
        r.reading = world->LastConversion(kSensor);
        return r;
    };
    const Run a = run(9, true), b = run(9, true), c = run(10, true), quiet = run(9, false);
    EXPECT_EQ(a.pads, b.pads);
    EXPECT_NE(a.pads, c.pads);
    EXPECT_TRUE(a.other_clean);
    EXPECT_GT(a.hit, a.slots / 8);
    EXPECT_LT(a.hit, a.slots * 3 / 8);
    EXPECT_EQ(quiet.hit, 0);
    EXPECT_EQ(a.reading, quiet.reading);
}

TEST(SimTimedFaults, OverlapsAddUpAndDirectFaultsStay) {
    FrozenClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    world.SetLatencyMs(0);
    const RomCode sensor = world.AddDs18b20(0, 1, {});
    ASSERT_TRUE(world.ScheduleFault(
        {.kind = FaultKind::kGone, .at_ms = 0, .for_ms = 20, .device = sensor}));
    ASSERT_TRUE(world.ScheduleFault(
        {.kind = FaultKind::kGone, .at_ms = 10, .for_ms = 20, .device = sensor}));
    ASSERT_TRUE(world.ScheduleFault(
        {.kind = FaultKind::kNeverConverts, .at_ms = 0, .for_ms = 30, .device = sensor}));
    world.SetNeverConverts(sensor, true);
    EXPECT_TRUE(world.Devices(0).empty());
    clock.Advance(29);
    EXPECT_TRUE(world.Devices(0).empty());
    clock.Advance(1);
    EXPECT_EQ(world.Devices(0), std::vector<RomCode>{sensor});
    test::UartMaster m(world);
    StartConversion(m);
    clock.Advance(1000);
    EXPECT_FALSE(m.Bit(true));  // the timed fault is over, the direct one holds
    EXPECT_EQ(world.RunMs(), 1030);
}

TEST(SimTimedFaults, ScheduleRefusesWhatCannotHappen) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode ds18b20 = world.AddDs18b20(0, 1, {});
    const RomCode ds1820 = world.AddDs1820(0, 2, {});
    const RomCode ds2413 = world.AddDs2413(0, 3);
    const RomCode other = world.AddDevice(0, 0x01, 4);
    const RomCode nobody = MakeRomCode(kFamilyDs18b20, 9);
    const TimedFault refused[] = {
        {.kind = FaultKind::kGone, .device = nobody},
        {.kind = FaultKind::kNeverConverts, .device = ds2413},
        {.kind = FaultKind::kLowPower, .device = ds1820},
        {.kind = FaultKind::kPowerOn, .device = other},
        {.kind = FaultKind::kCrcNoise, .device = nobody},
        {.kind = FaultKind::kCrcNoise, .rate = 1.5},
        {.kind = FaultKind::kLineLow, .bridge = 1},
        {.kind = FaultKind::kUnplug, .at_ms = -1},
        {.kind = FaultKind::kShortReads, .for_ms = -2},
    };
    for (const TimedFault& f : refused) EXPECT_FALSE(world.ScheduleFault(f)) << int(f.kind);
    EXPECT_EQ(world.Devices(0), (std::vector<RomCode>{ds18b20, ds1820, ds2413, other}));
}

}  // namespace
}  // namespace kalvo::sim
