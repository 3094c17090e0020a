// The devices on the line, driven byte by byte as a UART master would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "drivers/sim/sim_world.h"
#include "uart_master.h"

namespace kalvo::sim {
namespace {

using Bytes = std::vector<uint8_t>;

bool CrcOk(const Bytes& pad) {
    return pad.size() == 9 && Crc8(pad.data(), 9) == 0;
}

Bytes ReadScratchpad(test::UartMaster& m, RomCode code) {
    if (!m.Match(code) || !m.Write(0xBE)) return {};
    return m.Read(9);
}

// SKIP ROM, CONVERT T, then read slots until the line is released; returns the ms it took.
int64_t ConvertAll(test::UartMaster& m, Clock& clock, int64_t give_up_ms = 5000) {
    EXPECT_TRUE(m.Reset());
    EXPECT_TRUE(m.Write(0xCC));
    const int64_t t0 = clock.NowMs();
    EXPECT_TRUE(m.Write(0x44));
    while (!m.Bit(true))
        if (clock.NowMs() - t0 > give_up_ms) return -1;
    return clock.NowMs() - t0;
}

double Ds18b20Celsius(const Bytes& pad) {
    return int16_t(pad[0] | pad[1] << 8) / 16.0;
}

double Ds1820Celsius(const Bytes& pad) {
    const int half = int16_t(pad[0] | pad[1] << 8);
    return (half >> 1) - 0.25 + (pad[7] - pad[6]) / double(pad[7]);
}

TEST(SimRom, SearchFindsEveryDeviceThroughWiredAnd) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    // Codes that part only in their last id bit, and in the family alone.
    world.AddDs18b20(0, 0x000000000001, {});
    world.AddDs18b20(0, 0x800000000001, {});
    world.AddDs1820(0, 0x000000000001, {});
    world.AddDs2413(0, 0x0000000ABCDE);
    world.AddDevice(0, 0x01, 0x000000123456);
    world.AddDs18b20(0, 0xFFFFFFFFFFFF, {});
    test::UartMaster m(world);

    auto found = m.SearchAll();
    auto expected = world.Devices(0);
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    for (RomCode code : found) {
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(code >> (8 * i));
        EXPECT_EQ(Crc8(bytes, 8), 0) << std::hex << code;
    }

    // A device removed or added at run time shows in the next search.
    world.RemoveDevice(expected[0]);
    EXPECT_EQ(m.SearchAll().size(), 5u);
    world.AddDs2413(0, 0x77);
    EXPECT_EQ(m.SearchAll().size(), 6u);
}

TEST(SimRom, ReadRomMatchRomAndSkipRom) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode alone = world.AddDs18b20(0, 0x00000A1B2C3D, {});
    EXPECT_EQ(alone & 0xFF, 0x28u);
    EXPECT_EQ((alone >> 8) & 0xFFFFFFFFFFFFull, 0x00000A1B2C3Dull);
    test::UartMaster m(world);

    ASSERT_TRUE(m.Reset());
    ASSERT_TRUE(m.Write(0x33));
    RomCode read = 0;
    for (int i = 0; i < 8; ++i) read |= RomCode(m.Read()) << (8 * i);
    EXPECT_EQ(read, alone);

    // MATCH ROM selects one device out of several; the others keep quiet.
    const RomCode warm = world.AddDs18b20(0, 0x10, {.base_c = 30.0});
    const RomCode cold = world.AddDs18b20(0, 0x20, {.base_c = -10.125});
    ASSERT_GE(ConvertAll(m, clock), 0);  // SKIP ROM reaches all three
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, warm)), 30.0);
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, cold)), -10.125);
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, alone)), 20.0);
    // A code nobody has: the bus stays high.
    EXPECT_EQ(ReadScratchpad(m, MakeRomCode(0x28, 0x99)), Bytes(9, 0xFF));
}

TEST(SimDs18b20, PowerOnScratchpadIs85Degrees) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode twelve = world.AddDs18b20(0, 1, {}, 12);
    const RomCode nine = world.AddDs18b20(0, 2, {}, 9);
    test::UartMaster m(world);
    EXPECT_EQ(ReadScratchpad(m, twelve),
              (Bytes{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}));
    const Bytes pad = ReadScratchpad(m, nine);
    EXPECT_TRUE(CrcOk(pad));
    EXPECT_EQ(pad[4], 0x1F);
    EXPECT_EQ(Ds18b20Celsius(pad), 85.0);
    // Reading more than nine bytes gives ones.
    ASSERT_TRUE(m.Match(twelve));
    ASSERT_TRUE(m.Write(0xBE));
    m.Read(9);
    EXPECT_EQ(m.Read(), 0xFF);
}

TEST(SimDs18b20, ConversionTimeAndStepFollowTheResolution) {
    struct Case {
        int bits;
        int64_t ms;  // 93.75, 187.5, 375, 750 rounded up
        double step;
    };
    for (const Case c :
         {Case{9, 94, 0.5}, Case{10, 188, 0.25}, Case{11, 375, 0.125}, Case{12, 750, 0.0625}}) {
        SCOPED_TRACE(c.bits);
        ManualClock clock;
        World world(clock);
        world.AddBridge("S", "D");
        world.SetLatencyMs(0);  // a read slot well within a ms
        const RomCode code =
            world.AddDs18b20(0, 7, {.base_c = 21.3, .swing_c = 2, .period_s = 60}, c.bits);
        test::UartMaster m(world);
        const int64_t took = ConvertAll(m, clock);
        EXPECT_GE(took, c.ms);
        EXPECT_LE(took, c.ms + 1);

        const Bytes pad = ReadScratchpad(m, code);
        ASSERT_TRUE(CrcOk(pad));
        const double read = Ds18b20Celsius(pad);
        EXPECT_NEAR(read, world.LastConversion(code), c.step / 2 + 1e-9);
        EXPECT_NEAR(read, world.ModelTemperature(code), c.step);  // the swing is slow
        EXPECT_EQ(std::fmod(read, c.step), 0.0);                  // undefined bits read as 0
    }
}

TEST(SimDs18b20, RegisterValuesAcrossTheRange) {
    struct Case {
        double c;
        uint16_t raw;
    };
    const Case cases[] = {{125, 0x07D0},      {85, 0x0550},  {25.0625, 0x0191}, {10.125, 0x00A2},
                          {0.5, 0x0008},      {0, 0x0000},   {-0.5, 0xFFF8},    {-10.125, 0xFF5E},
                          {-25.0625, 0xFE6F}, {-55, 0xFC90}, {140, 0x07D0},     {-80, 0xFC90}};
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    std::vector<RomCode> codes;
    for (size_t i = 0; i < std::size(cases); ++i)
        codes.push_back(world.AddDs18b20(0, i + 1, {.base_c = cases[i].c}));
    test::UartMaster m(world);
    ASSERT_GE(ConvertAll(m, clock), 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Bytes pad = ReadScratchpad(m, codes[i]);
        ASSERT_TRUE(CrcOk(pad)) << cases[i].c;
        EXPECT_EQ(pad[0] | pad[1] << 8, cases[i].raw) << cases[i].c;
    }
}

TEST(SimDs18b20, ConversionRunsOnAcrossResetsAndReadsBeforeItEndKeepTheOldValue) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode code = world.AddDs18b20(0, 3, {.base_c = 12.5});
    test::UartMaster m(world);
    ASSERT_TRUE(m.Reset());
    ASSERT_TRUE(m.Write(0xCC));
    ASSERT_TRUE(m.Write(0x44));
    EXPECT_FALSE(m.Bit(true));
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, code)), 85.0);  // still converting
    clock.Advance(800);
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, code)), 12.5);
}

TEST(SimDs18b20, WriteCopyAndRecallScratchpad) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    world.SetLatencyMs(1);
    const RomCode code = world.AddDs18b20(0, 4, {.base_c = 21.3});
    test::UartMaster m(world);
    ASSERT_TRUE(m.Match(code));
    for (uint8_t b : {0x4E, 0x28, 0x0A, 0x1F}) ASSERT_TRUE(m.Write(b));  // TH 40, TL 10, 9 bits
    Bytes pad = ReadScratchpad(m, code);
    EXPECT_EQ(pad[2], 0x28);
    EXPECT_EQ(pad[3], 0x0A);
    EXPECT_EQ(pad[4], 0x1F);
    EXPECT_LE(ConvertAll(m, clock), 95);  // now a 9-bit conversion
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, code)), 21.5);

    ASSERT_TRUE(m.Match(code));
    ASSERT_TRUE(m.Write(0x48));  // COPY SCRATCHPAD
    ASSERT_TRUE(m.Match(code));
    for (uint8_t b : {0x4E, 0x00, 0x00, 0x7F}) ASSERT_TRUE(m.Write(b));
    ASSERT_TRUE(m.Match(code));
    ASSERT_TRUE(m.Write(0xB8));  // RECALL E2
    EXPECT_TRUE(m.Bit(true));
    pad = ReadScratchpad(m, code);
    EXPECT_EQ((Bytes{pad[2], pad[3], pad[4]}), (Bytes{0x28, 0x0A, 0x1F}));
    ASSERT_TRUE(m.Match(code));
    ASSERT_TRUE(m.Write(0xB4));  // READ POWER SUPPLY: not parasite powered
    EXPECT_TRUE(m.Bit(true));
}

TEST(SimDs18b20, AlarmSearchFindsOnlySensorsOutsideTheirLimits) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode fine = world.AddDs18b20(0, 5, {.base_c = 25});
    const RomCode hot = world.AddDs18b20(0, 6, {.base_c = 45});
    test::UartMaster m(world);
    for (RomCode code : {fine, hot}) {
        ASSERT_TRUE(m.Match(code));
        for (uint8_t b : {0x4E, 0x28, 0x0A, 0x7F}) ASSERT_TRUE(m.Write(b));  // 10..40 degrees
    }
    ASSERT_GE(ConvertAll(m, clock), 0);
    EXPECT_EQ(m.SearchAll(0xEC), std::vector<RomCode>{hot});
}

TEST(SimDs1820, HalfDegreeRegisterAndCountsRefineToASixteenth) {
    const double temps[] = {-3.25, 0, 0.0625, 21.9375, 25, 25.5, -0.5, -10.125, -55, 85, 124.9};
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    std::vector<RomCode> codes;
    for (size_t i = 0; i < std::size(temps); ++i)
        codes.push_back(world.AddDs1820(0, i + 1, {.base_c = temps[i]}));
    test::UartMaster m(world);
    EXPECT_EQ(ReadScratchpad(m, codes[0]).at(0), 0xAA);  // power-on 85 degrees
    const int64_t took = ConvertAll(m, clock);
    EXPECT_GE(took, 750);
    for (size_t i = 0; i < std::size(temps); ++i) {
        SCOPED_TRACE(temps[i]);
        const Bytes pad = ReadScratchpad(m, codes[i]);
        ASSERT_TRUE(CrcOk(pad));
        EXPECT_EQ(pad[7], 0x10);  // COUNT_PER_C
        EXPECT_GE(pad[6], 1);
        EXPECT_LE(pad[6], 16);
        EXPECT_EQ(pad[1], temps[i] < 0 ? 0xFF : 0x00);  // sign extension
        EXPECT_NEAR(int16_t(pad[0] | pad[1] << 8) / 2.0, temps[i], 0.5);
        EXPECT_EQ(Ds1820Celsius(pad), std::round(temps[i] * 16) / 16);
    }
}

// PIO ACCESS WRITE of one value in a transaction that is already addressed.
Bytes PioWrite(test::UartMaster& m, uint8_t value, uint8_t inverted) {
    EXPECT_TRUE(m.Write(value));
    EXPECT_TRUE(m.Write(inverted));
    return m.Read(2);
}

TEST(SimDs2413, PioAccessReadAndWrite) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode sw = world.AddDs2413(0, 0x0000000ABCDE);
    test::UartMaster m(world);

    ASSERT_TRUE(m.Match(sw));
    ASSERT_TRUE(m.Write(0xF5));
    EXPECT_EQ(m.Read(3), (Bytes{0x0F, 0x0F, 0x0F}));  // power-on: both off, repeated

    // Both on, then A off, in one transaction as the data sheet shows.
    ASSERT_TRUE(m.Match(sw));
    ASSERT_TRUE(m.Write(0x5A));
    EXPECT_EQ(PioWrite(m, 0xFC, 0x03), (Bytes{0xAA, 0xF0}));
    EXPECT_TRUE(world.ChannelOn(sw, 0));
    EXPECT_EQ(PioWrite(m, 0xFD, 0x02), (Bytes{0xAA, 0xC3}));
    EXPECT_EQ(world.SwitchStatus(sw), 0xC3);
    EXPECT_FALSE(world.ChannelOn(sw, 0));
    EXPECT_TRUE(world.ChannelOn(sw, 1));

    // A wrong inverted byte: ones until reset and nothing changes.
    ASSERT_TRUE(m.Match(sw));
    ASSERT_TRUE(m.Write(0x5A));
    EXPECT_EQ(PioWrite(m, 0xFF, 0x01), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(world.SwitchStatus(sw), 0xC3);

    // RESUME reaches the switch addressed last.
    ASSERT_TRUE(m.Reset());
    ASSERT_TRUE(m.Write(0xA5));
    ASSERT_TRUE(m.Write(0xF5));
    EXPECT_EQ(m.Read(), 0xC3);
}

TEST(SimDs2413, PinsFollowLatchesUnlessSomethingElseDecides) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode sw = world.AddDs2413(0, 9);
    test::UartMaster m(world);

    world.SetPinFault(sw, 0, PinFault::kForcedLow);  // latch 1, pin low
    EXPECT_EQ(world.SwitchStatus(sw), 0x1E);
    world.SetPinFault(sw, 0, PinFault::kStuckHigh);
    ASSERT_TRUE(m.Match(sw));
    ASSERT_TRUE(m.Write(0x5A));
    EXPECT_EQ(PioWrite(m, 0xFE, 0x01), (Bytes{0xAA, 0x2D}));  // latch 0, pin still high
    EXPECT_FALSE(world.ChannelOn(sw, 0));
    world.SetPinFault(sw, 0, PinFault::kNone);
    EXPECT_EQ(world.SwitchStatus(sw), 0x3C);
    EXPECT_TRUE(world.ChannelOn(sw, 0));

    // Unplugged and back: the latches hold what they held.
    world.SetAttached(sw, false);
    EXPECT_FALSE(m.Reset());
    world.SetAttached(sw, true);
    ASSERT_TRUE(m.Match(sw));
    ASSERT_TRUE(m.Write(0xF5));
    EXPECT_EQ(m.Read(), 0x3C);
}

TEST(SimDevices, UnknownFamiliesAnswerRomCommandsOnly) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode other = world.AddDevice(0, 0x01, 0x123456);
    test::UartMaster m(world);
    EXPECT_EQ(m.SearchAll(), std::vector<RomCode>{other});
    EXPECT_EQ(ReadScratchpad(m, other), Bytes(9, 0xFF));
    ASSERT_TRUE(m.Match(other));
    ASSERT_TRUE(m.Write(0xF5));
    EXPECT_EQ(m.Read(), 0xFF);
    ASSERT_TRUE(m.Reset());
    ASSERT_TRUE(m.Write(0xCC));
    ASSERT_TRUE(m.Write(0x44));
    EXPECT_TRUE(m.Bit(true));  // nobody converting
}

TEST(SimFaults, SensorFaults) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode a = world.AddDs18b20(0, 1, {.base_c = 10});
    const RomCode b = world.AddDs18b20(0, 2, {.base_c = 20});
    test::UartMaster m(world);
    ASSERT_GE(ConvertAll(m, clock), 0);

    // A corrupted scratchpad fails its CRC once; the next read is whole again.
    world.CorruptNextScratchpad(a);
    EXPECT_FALSE(CrcOk(ReadScratchpad(m, a)));
    EXPECT_TRUE(CrcOk(ReadScratchpad(m, a)));

    // A sensor that never finishes keeps the line low and its old value.
    world.SetNeverConverts(b, true);
    EXPECT_EQ(ConvertAll(m, clock, 3000), -1);
    EXPECT_EQ(Ds18b20Celsius(ReadScratchpad(m, b)), 20.0);
    world.SetNeverConverts(b, false);
    EXPECT_GE(ConvertAll(m, clock), 0);

    // A sensor gone while another remains: addressing passes, the scratchpad reads all ones.
    world.RemoveDevice(b);
    const Bytes gone = ReadScratchpad(m, b);
    EXPECT_EQ(gone, Bytes(9, 0xFF));
    EXPECT_FALSE(CrcOk(gone));
    world.RemoveDevice(a);
    EXPECT_FALSE(m.Reset());
}

TEST(SimThermal, SwitchChannelsWarmAndCoolTheirSensors) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode heated = world.AddDs18b20(0, 1, {.base_c = 20});
    const RomCode cooled = world.AddDs1820(0, 2, {.base_c = 20});
    const RomCode sw = world.AddDs2413(0, 3);
    ASSERT_TRUE(world.Couple(sw, 0, heated, 0.6));
    ASSERT_TRUE(world.Couple(sw, 1, cooled, -1.0));
    EXPECT_FALSE(world.Couple(sw, 2, heated, 1));
    EXPECT_FALSE(world.Couple(heated, 0, cooled, 1));  // no switch
    test::UartMaster m(world);

    auto set = [&](uint8_t value) {
        ASSERT_TRUE(m.Match(sw));
        ASSERT_TRUE(m.Write(0x5A));
        EXPECT_EQ(PioWrite(m, value, uint8_t(~value))[0], 0xAA);
    };
    set(0xFC);  // both on
    clock.Advance(10 * 60000);
    EXPECT_NEAR(world.ModelTemperature(heated), 26.0, 1e-3);  // plus the few ms of the write
    EXPECT_NEAR(world.ModelTemperature(cooled), 10.0, 1e-3);
    ASSERT_GE(ConvertAll(m, clock), 0);
    EXPECT_NEAR(Ds18b20Celsius(ReadScratchpad(m, heated)), 26.0, 0.07);
    EXPECT_NEAR(Ds1820Celsius(ReadScratchpad(m, cooled)), 10.0, 0.07);

    set(0xFF);  // both off: back at half the rate, and no further
    const double start = world.ModelTemperature(heated);
    clock.Advance(10 * 60000);
    EXPECT_NEAR(world.ModelTemperature(heated), start - 3.0, 1e-6);
    clock.Advance(60 * 60000);
    EXPECT_NEAR(world.ModelTemperature(heated), 20.0, 1e-9);
    EXPECT_NEAR(world.ModelTemperature(cooled), 20.0, 1e-9);
}

TEST(SimThermal, SwingAndSeededNoise) {
    auto readings = [](uint64_t seed) {
        ManualClock clock;
        World world(clock, seed);
        world.AddBridge("S", "D");
        const RomCode code =
            world.AddDs18b20(0, 1, {.base_c = 10, .swing_c = 2, .period_s = 100, .noise_c = 0.5});
        test::UartMaster m(world);
        std::vector<double> out;
        for (int i = 0; i < 20; ++i) {
            clock.Advance(1000);
            ConvertAll(m, clock);
            out.push_back(world.LastConversion(code) - world.ModelTemperature(code));
        }
        // A quarter period on, the swing is at its top.
        clock.Advance((125000 - clock.NowMs() % 100000) % 100000);
        EXPECT_NEAR(world.ModelTemperature(code), 12.0, 1e-6);
        return out;
    };
    const auto a = readings(7), b = readings(7), c = readings(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    for (double noise : a) EXPECT_LE(std::abs(noise), 0.5 + 0.01);  // the model moves a little
}

}  // namespace
}  // namespace kalvo::sim
