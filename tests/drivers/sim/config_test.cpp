// simbus.conf: the format, its errors, and the worlds built from it.
#include <gtest/gtest.h>

#include <fstream>

#include "drivers/sim/sim_config.h"
#include "drivers/sim/sim_world.h"
#include "uart_master.h"

namespace kalvo::sim {
namespace {

TEST(SimConfig, ParsesEveryStatementWithQuotesAndComments) {
    const char* text = R"(# a comment line
ds2413 id=0000000000AA          # before any bridge: the default bridge
bridge serial=A50285BI description="FT232R USB UART #2" type=6
  ds18b20 id=00000A1B2C3D temp=21.5 swing=1.5 period=600 noise=0.02 resolution=10 phase=90
ds1820  id=000000B0B0B0 temp=-3,25
bridge serial=X open=fail
device  family=01 id=000000123456
couple  switch=0000000000AA channel=b sensor=00000A1B2C3D rate=-0.6

latency_ms=4 seed=42
)";
    BusConfig c;
    ConfigError e;
    ASSERT_TRUE(ParseBusConfig(text, &c, &e)) << e.Text();
    ASSERT_EQ(c.bridges.size(), 3u);
    EXPECT_EQ(c.bridges[0].serial, "KALVO001");
    EXPECT_EQ(c.bridges[0].description, "FT232R USB UART");
    ASSERT_EQ(c.bridges[0].devices.size(), 1u);
    EXPECT_EQ(c.bridges[0].devices[0].kind, DeviceConfig::Kind::kDs2413);

    const BridgeConfig& b = c.bridges[1];
    EXPECT_EQ(b.serial, "A50285BI");
    EXPECT_EQ(b.description, "FT232R USB UART #2");
    EXPECT_EQ(b.type, 6u);
    EXPECT_FALSE(b.open_fails);
    ASSERT_EQ(b.devices.size(), 2u);
    EXPECT_EQ(b.devices[0].id48, 0x00000A1B2C3Dull);
    EXPECT_EQ(b.devices[0].thermal.base_c, 21.5);
    EXPECT_EQ(b.devices[0].thermal.swing_c, 1.5);
    EXPECT_EQ(b.devices[0].thermal.period_s, 600);
    EXPECT_EQ(b.devices[0].thermal.noise_c, 0.02);
    EXPECT_NEAR(b.devices[0].thermal.phase_rad, 1.5707963, 1e-6);
    EXPECT_EQ(b.devices[0].resolution, 10);
    EXPECT_EQ(b.devices[1].thermal.base_c, -3.25);

    EXPECT_TRUE(c.bridges[2].open_fails);
    EXPECT_EQ(c.bridges[2].devices[0].family, 0x01);
    ASSERT_EQ(c.couplings.size(), 1u);
    EXPECT_EQ(c.couplings[0].channel, 1);
    EXPECT_EQ(c.couplings[0].rate_c_per_min, -0.6);
    EXPECT_EQ(c.latency_ms, 4);
    EXPECT_EQ(c.seed, 42u);

    // An empty file is one bridge without devices.
    ASSERT_TRUE(ParseBusConfig("# nothing\n\n", &c, &e));
    ASSERT_EQ(c.bridges.size(), 1u);
    EXPECT_TRUE(c.bridges[0].devices.empty());
}

TEST(SimConfig, EveryErrorNamesItsLine) {
    struct Case {
        const char* text;
        int line;
        const char* message;
    };
    const Case cases[] = {
        {"\n\nsensor id=000000000001", 3, "unknown statement 'sensor'"},
        {"ds18b20 id=000000000001 tmp=3", 1, "unknown key 'tmp'"},
        {"ds18b20 id=000000000001 temp=warm", 1, "bad number for temp"},
        {"ds18b20 id=000000000001 temp=200", 1, "temp out of range"},
        {"ds18b20 id=000000000001 resolution=13", 1, "resolution out of range"},
        {"ds18b20 id=000000000001 resolution=11.5", 1, "bad number for resolution"},
        {"ds18b20 id=00000001", 1, "id must be 12 hex digits"},
        {"ds18b20 id=00000000000G", 1, "id must be 12 hex digits"},
        {"ds18b20 temp=3", 1, "missing id"},
        {"ds18b20 id=000000000001 id=000000000002", 1, "duplicate key 'id'"},
        {"ds18b20 id=000000000001\nds2413 id=000000000001", 2, "duplicate id"},
        {"ds18b20 id=000000000001 period=0", 1, "period out of range"},
        {"ds18b20 id=000000000001 noise=-1", 1, "noise out of range"},
        {"ds18b20 id=000000000001 temp", 1, "expected key=value"},
        {"bridge description=\"open quote", 1, "unterminated quote"},
        {"bridge serial=0123456789ABCDEF", 1, "serial must be 1 to 15"},
        {"bridge serial=A\nbridge serial=A", 2, "duplicate serial"},
        {"bridge serial=A open=maybe", 1, "open must be fail or ok"},
        {"device family=1 id=000000000001", 1, "family must be 2 hex digits"},
        {"device family=28 id=000000000001", 1, "has its own statement"},
        {"device id=000000000001", 1, "missing family"},
        {"ds2413 id=000000000001\ncouple switch=000000000001 channel=C sensor=000000000002 rate=1",
         2, "channel must be A or B"},
        {"ds2413 id=000000000001\n\ncouple switch=000000000001 channel=A sensor=000000000002 "
         "rate=1",
         3, "missing sensor"},
        {"ds18b20 id=000000000002\ncouple switch=000000000002 channel=A sensor=000000000002 "
         "rate=1",
         2, "switch is no ds2413"},
        {"ds2413 id=000000000001\ncouple switch=000000000001 channel=A sensor=000000000001 rate=1",
         2, "sensor is no thermometer"},
        {"couple switch=000000000001 channel=A sensor=000000000002", 1, "missing rate"},
        {"latency_ms=fast", 1, "bad number for latency_ms"},
        {"latency_ms=4 speed=2", 1, "unknown key 'speed'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        BusConfig config;
        ConfigError e;
        EXPECT_FALSE(ParseBusConfig(c.text, &config, &e));
        EXPECT_EQ(e.line, c.line);
        EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
        EXPECT_EQ(e.Text().rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
    }
    // A coupling may name devices declared below it.
    BusConfig config;
    ConfigError e;
    EXPECT_TRUE(
        ParseBusConfig("couple switch=000000000001 channel=A sensor=000000000002 rate=1\n"
                       "ds2413 id=000000000001\nds1820 id=000000000002",
                       &config, &e))
        << e.Text();
    EXPECT_FALSE(LoadBusConfig("/nonexistent/simbus.conf", &config, &e));
    EXPECT_EQ(e.line, 0);
}

// Each statement takes exactly its own keys: all of them together parse, and a key of another
// statement is refused by name.
TEST(SimConfig, EachStatementTakesItsOwnKeys) {
    struct Case {
        const char* every_key;
        const char* foreign_key;
        const char* refusal;
    };
    const Case cases[] = {
        {"bridge serial=A description=D open=ok type=5", "bridge id=000000000001",
         "unknown key 'id' for bridge"},
        {"ds18b20 id=000000000001 temp=1 swing=1 period=60 phase=0 noise=0 resolution=9",
         "ds18b20 id=000000000001 family=28", "unknown key 'family' for ds18b20"},
        {"ds1820 id=000000000001 temp=1 swing=1 period=60 phase=0 noise=0",
         "ds1820 id=000000000001 resolution=9", "unknown key 'resolution' for ds1820"},
        {"ds2413 id=000000000001", "ds2413 id=000000000001 temp=1",
         "unknown key 'temp' for ds2413"},
        {"device family=01 id=000000000001", "device family=01 id=000000000001 seed=1",
         "unknown key 'seed' for device"},
        {"ds2413 id=000000000001\nds1820 id=000000000002\n"
         "couple switch=000000000001 channel=A sensor=000000000002 rate=1",
         "couple switch=000000000001 channel=A sensor=000000000002 rate=1 open=ok",
         "unknown key 'open' for couple"},
        {"latency_ms=0 seed=7", "seed=7 serial=A", "unknown key 'serial' for the bus"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.every_key);
        BusConfig config;
        ConfigError e;
        EXPECT_TRUE(ParseBusConfig(c.every_key, &config, &e)) << e.Text();
        EXPECT_FALSE(ParseBusConfig(c.foreign_key, &config, &e));
        EXPECT_EQ(e.message, c.refusal);
    }
}

// A fault's kind is its one word without '='; device faults name their device, the others
// belong to the bridge above them.
TEST(SimConfig, ParsesFaultStatements) {
    const char* text = R"(fault at=0 power-on id=00000A1B2C3D
ds18b20 id=00000A1B2C3D
fault at=1,5 for=2 gone id=00000A1B2C3D
fault never-converts at=3 id=00000A1B2C3D   # the kind may stand anywhere
fault at=4 crc-noise
bridge serial=B
ds2413 id=0000000ABCDE
fault at=5 for=0.001 crc-noise id=0000000ABCDE rate=1
fault at=6 for=60 low-power id=00000A1B2C3D
fault at=7 line-low
fault at=8 for=1 unplug
fault at=9 short-reads
)";
    BusConfig c;
    ConfigError e;
    ASSERT_TRUE(ParseBusConfig(text, &c, &e)) << e.Text();
    using K = FaultKind;
    auto on = [](K kind, int64_t at, int64_t dur, uint64_t id) {
        return FaultConfig{kind, at, dur, true, id, 0, kDefaultNoiseRate};
    };
    auto line = [](K kind, int64_t at, int64_t dur, int bridge) {
        return FaultConfig{kind, at, dur, false, 0, bridge, kDefaultNoiseRate};
    };
    FaultConfig noise = on(K::kCrcNoise, 5000, 1, 0x0000000ABCDE);
    noise.rate = 1;
    const std::vector<FaultConfig> expected = {
        on(K::kPowerOn, 0, -1, 0x00000A1B2C3D),
        on(K::kGone, 1500, 2000, 0x00000A1B2C3D),
        on(K::kNeverConverts, 3000, -1, 0x00000A1B2C3D),
        line(K::kCrcNoise, 4000, -1, 0),
        noise,
        on(K::kLowPower, 6000, 60000, 0x00000A1B2C3D),
        line(K::kLineLow, 7000, -1, 1),
        line(K::kUnplug, 8000, 1000, 1),
        line(K::kShortReads, 9000, -1, 1),
    };
    EXPECT_EQ(c.faults, expected);
    EXPECT_EQ(c.bridges.size(), 2u);
}

TEST(SimConfig, FaultErrorsNameTheirLine) {
    struct Case {
        const char* text;
        int line;
        const char* message;
    };
    const Case cases[] = {
        {"fault at=1", 1, "missing fault kind"},
        {"fault at=1 melt id=000000000001", 1, "unknown fault kind 'melt'"},
        {"fault gone id=000000000001", 1, "missing at"},
        {"fault at=1 gone", 1, "missing id"},
        {"fault at=1 gone unplug", 1, "expected key=value, found 'unplug'"},
        {"fault at=-1 line-low", 1, "at out of range"},
        {"fault at=1 for=0 line-low", 1, "for out of range"},
        {"fault at=soon line-low", 1, "bad number for at"},
        {"fault at=1 crc-noise rate=1.5", 1, "rate out of range"},
        {"fault at=1 line-low id=000000000001", 1, "unknown key 'id' for fault line-low"},
        {"fault at=1 gone id=000000000001 rate=1", 1, "unknown key 'rate' for fault gone"},
        {"fault at=1 for=2 power-on id=000000000001", 1, "unknown key 'for' for fault power-on"},
        {"ds18b20 id=000000000001\n\nfault at=1 gone id=000000000002", 3,
         "fault names a missing device"},
        {"ds2413 id=000000000001\nfault at=1 never-converts id=000000000001", 2,
         "fault never-converts needs a ds18b20 or ds1820"},
        {"ds1820 id=000000000001\nfault at=1 low-power id=000000000001", 2,
         "fault low-power needs a ds18b20"},
        {"device family=01 id=000000000001\nfault at=1 power-on id=000000000001", 2,
         "fault power-on needs a ds18b20, ds1820 or ds2413"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        BusConfig config;
        ConfigError e;
        EXPECT_FALSE(ParseBusConfig(c.text, &config, &e));
        EXPECT_EQ(e.line, c.line);
        EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    }
}

TEST(SimConfig, TheExampleFileIsTheDefaultBus) {
    BusConfig file;
    ConfigError e;
    ASSERT_TRUE(LoadBusConfig(KALVO_SIM_SOURCE_DIR "/simbus.conf", &file, &e)) << e.Text();
    const BusConfig def = DefaultBusConfig();
    EXPECT_EQ(file, def);
    ASSERT_EQ(def.bridges.size(), 1u);
    EXPECT_EQ(def.bridges[0].serial, "KALVO001");
    EXPECT_EQ(def.bridges[0].description, "FT232R USB UART");
    int ds18b20 = 0, ds1820 = 0, ds2413 = 0;
    for (const auto& d : def.bridges[0].devices) {
        ds18b20 += d.kind == DeviceConfig::Kind::kDs18b20;
        ds1820 += d.kind == DeviceConfig::Kind::kDs1820;
        ds2413 += d.kind == DeviceConfig::Kind::kDs2413;
    }
    EXPECT_EQ(ds18b20, 4);
    EXPECT_EQ(ds1820, 1);
    EXPECT_EQ(ds2413, 1);
    ASSERT_EQ(def.couplings.size(), 1u);
    EXPECT_EQ(def.couplings[0].sensor_id48, def.bridges[0].devices[0].id48);
    EXPECT_EQ(def.couplings[0].channel, 0);
    EXPECT_GT(def.couplings[0].rate_c_per_min, 0);
}

TEST(SimConfig, BuildsTheWorldItDescribes) {
    BusConfig c;
    ConfigError e;
    ASSERT_TRUE(ParseBusConfig(R"(
bridge serial=FAIL open=fail
bridge serial=A50285BI description="FT232R USB UART"
ds18b20 id=00000A1B2C3D temp=21.5 resolution=9
ds2413  id=0000000ABCDE
couple  switch=0000000ABCDE channel=A sensor=00000A1B2C3D rate=6
latency_ms=2
)",
                               &c, &e))
        << e.Text();
    ManualClock clock;
    auto world = MakeWorld(c, clock);
    ASSERT_EQ(world->BridgeCount(), 2);
    const RomCode sensor = MakeRomCode(0x28, 0x00000A1B2C3D);
    const RomCode sw = MakeRomCode(0x3A, 0x0000000ABCDE);
    EXPECT_EQ(world->Devices(1), (std::vector<RomCode>{sensor, sw}));
    EXPECT_EQ(sensor & 0x00FFFFFFFFFFFFFFull, 0x00000A1B2C3D28ull);
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(sensor >> (8 * i));
    EXPECT_EQ(Crc8(bytes, 8), 0);

    FT_HANDLE h;
    SetActiveWorld(world.get());
    EXPECT_EQ(Api().Open(0, &h), FT_DEVICE_NOT_OPENED);
    SetActiveWorld(nullptr);
    test::UartMaster m(*world, 1);
    m.Exchange({0xFF});  // the rate change of the open is behind
    const int64_t t0 = clock.NowMs();
    m.Exchange({0xFF});
    EXPECT_EQ(clock.NowMs() - t0, 2);  // latency_ms overrides the latency timer

    ASSERT_TRUE(m.Match(sw));
    ASSERT_TRUE(m.Write(0x5A));
    ASSERT_TRUE(m.Write(0xFE));
    ASSERT_TRUE(m.Write(0x01));
    EXPECT_EQ(m.Read(), 0xAA);
    clock.Advance(60000);
    EXPECT_NEAR(world->ModelTemperature(sensor), 27.5, 0.01);
}

}  // namespace
}  // namespace kalvo::sim
