// The thermostat driving simulated DS2413 channels: fixed thresholds with hysteresis, which
// thermometer controls, the conservative cases (invalid thresholds among them), a scenario
// through delay, steps and finish, and the compressor protection.
#include <gtest/gtest.h>

#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/fake_peer.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/engine/thermostat.h"
#include "core/scenario/grid_sn.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

constexpr int A = 0, B = 1;

class ThermostatTest : public ::testing::Test {
  protected:
    ThermostatTest() {
        sim::SetActiveWorld(&world);
        const int b = world.AddBridge("KALVO001", "FT232R USB UART");
        world.AddDs18b20(b, 1, {});
        world.AddDs18b20(b, 2, {});
        first = world.AddDs2413(b, 0x10);
        second = world.AddDs2413(b, 0x11);
        bus.SetStatusBar(&bar);
        bus.SetClock(clock);
        bus.SetSwitchTable(&switches);
        EXPECT_TRUE(bus.SearchBridges() && bus.OpenBus());
        thermometers.Fill(bus);
        switches.Fill(bus);
        scenarios.SetTimeSource([this] { return now; });
    }
    ~ThermostatTest() override { sim::SetActiveWorld(nullptr); }

    void Channel(RomCode code, int ch, std::u16string_view thermometer, std::u16string_view low,
                 std::u16string_view high, int type = 0, int scenario = 0) {
        const int row = switches.FindRow(code);
        switches.SetCellText(row, GridSw::Col(ch, GridSw::kColThermometerA), thermometer);
        switches.SetCellText(row, GridSw::Col(ch, GridSw::kColLowA), low);
        switches.SetCellText(row, GridSw::Col(ch, GridSw::kColHighA), high);
        switches.SetCellNumber(row, GridSw::Col(ch, GridSw::kColTypeA), type);
        switches.SetCellNumber(row, GridSw::Col(ch, GridSw::kColScenarioA), scenario);
    }
    void Temp(int row, std::u16string_view text) { thermometers.SetCellText(row, 3, text); }
    bool On(RomCode code, int ch) { return world.ChannelOn(code, ch); }
    // The start-up's switch-off, the protection's time zero.
    void AllOff() {
        start_ms = protection_clock.NowMs();
        thermostat.AllSwitchesOff();
    }
    void Force(RomCode code, int ch) { bus.SetChannel(code, 1, ch); }

    ManualClock clock{1'000'000};
    sim::World world{clock};
    RecordingStatusBar bar;
    COneWireBus bus{sim::Api()};
    GridKalvo thermometers;
    GridSw switches;
    GridSn scenarios;
    BusSwitchOutputs outputs{bus};
    Thermostat thermostat{thermometers, switches, &scenarios, outputs};
    RomCode first = 0, second = 0;
    int64_t now = 1'700'000'000;
    ManualClock protection_clock{5'000'000};  // the bus's own moves with every exchange
    int64_t start_ms = 0;
};

TEST_F(ThermostatTest, HeaterAndCoolerHysteresis) {
    Channel(first, A, u"Термометр 1", u"20", u"22", GridSw::kTypeHeaterIndex);
    Channel(first, B, u"Термометр 2", u"20,0", u"22.0", GridSw::kTypeCoolerIndex);
    struct Step {
        const char16_t *heater_temp, *cooler_temp;
        bool heater_on, cooler_on;
    } steps[] = {
        {u"  19,50", u"  20,00", true, false}, {u"  21,00", u"  22,00", true, true},
        {u"  22,00", u"  21,00", false, true}, {u"  21,00", u"  19,99", false, false},
        {u"  20,00", u"  22,01", true, true},
    };
    for (const Step& s : steps) {
        Temp(0, s.heater_temp);
        Temp(1, s.cooler_temp);
        EXPECT_TRUE(thermostat.Pass());
        EXPECT_EQ(On(first, A), s.heater_on) << Utf16ToUtf8(s.heater_temp);
        EXPECT_EQ(On(first, B), s.cooler_on) << Utf16ToUtf8(s.cooler_temp);
    }
    // Crossed thresholds are no valid pair: neither a heater nor a cooler runs on them. (A
    // scenario step still decides by the lower one first.)
    Channel(second, A, u"Термометр 1", u"22", u"20", GridSw::kTypeHeaterIndex);
    Channel(second, B, u"Термометр 1", u"22", u"20", GridSw::kTypeCoolerIndex);
    Force(second, A);
    Force(second, B);
    Temp(0, u"  21,00");
    thermostat.Pass();
    EXPECT_FALSE(On(second, A));
    EXPECT_FALSE(On(second, B));
    EXPECT_EQ(Hysteresis(21.0, 22.0, 20.0, GridSw::kTypeHeaterIndex), 1);
    EXPECT_EQ(Hysteresis(21.0, 22.0, 20.0, GridSw::kTypeCoolerIndex), 0);
}

// A threshold that is no number, or beyond what a sensor measures, never reads as 0 °C: the
// channel is off, whether it was typed into an older program or comes from its file.
TEST_F(ThermostatTest, InvalidThresholdsSwitchTheChannelOff) {
    Temp(0, u"  -10,00");  // a heater at 0 °C would stay off here; at -10 it would heat
    const std::pair<const char16_t*, const char16_t*> pairs[] = {
        {u"abc", u"22"}, {u"20", u"99999"}, {u"-60", u"5"}, {u"5x", u"10"}};
    for (const auto& [low, high] : pairs) {
        Channel(first, A, u"Термометр 1", low, high, GridSw::kTypeHeaterIndex);
        Force(first, A);
        thermostat.Pass();
        EXPECT_FALSE(On(first, A)) << Utf16ToUtf8(low) << "/" << Utf16ToUtf8(high);
    }

    // The same thresholds through the settings file of an earlier version.
    Channel(first, A, u"Термометр 1", u"abc", u"22", GridSw::kTypeHeaterIndex);
    Channel(first, B, u"Термометр 1", u"0", u"5", GridSw::kTypeHeaterIndex);
    testing_util::FakePeer peer;
    const std::vector<uint8_t> image = BuildSettingsImage(peer, thermometers, switches);
    GridSw loaded;
    loaded.Fill(bus);
    ASSERT_TRUE(ApplySettingsImage(image, peer, thermometers, loaded));
    EXPECT_EQ(loaded.CellText(loaded.FindRow(first), GridSw::kColLowA), u"abc");
    Thermostat again{thermometers, loaded, nullptr, outputs};
    Force(first, A);
    again.Pass();
    EXPECT_FALSE(On(first, A)) << "no valid thresholds";
    EXPECT_TRUE(On(first, B)) << "-10 is below 0";
}

TEST_F(ThermostatTest, WhichThermometerControlsAndWhenNone) {
    Channel(first, B, u"Термометр 2", u"20", u"22");  // A has no thermometer: off every pass
    Channel(second, B, u"Термометр 2", u"", u"22");   // blank Тн: left as it is
    Force(first, A);
    Force(second, B);
    Temp(1, u"  18,00");
    thermostat.Pass();
    EXPECT_FALSE(On(first, A));
    EXPECT_TRUE(On(first, B));
    EXPECT_TRUE(On(second, B));

    // Two thermometers of one name: a forbidden one never controls, else the last one wins.
    thermometers.SetCellText(0, 2, u"Общий");
    thermometers.SetCellText(1, 2, u"Общий");
    thermometers.SetCellNumber(1, 4, GridKalvo::kStateDisabled);
    Channel(second, A, u"Общий", u"20", u"22");
    Temp(0, u"  19,00");
    Temp(1, u"  25,00");
    thermostat.Pass();
    EXPECT_TRUE(On(second, A));
    thermometers.SetCellNumber(1, 4, GridKalvo::kStateControlling);
    thermostat.Pass();
    EXPECT_FALSE(On(second, A));
    EXPECT_EQ(BuildControlPairs(thermometers, switches)[size_t(switches.FindRow(second))],
              (ControlPair{1, -1}));

    // A failed reading and a number that names no scenario switch off.
    Channel(first, A, u"Общий", u"20,5", u"21,5");
    Temp(1, u"  20,40");
    thermostat.Pass();
    EXPECT_TRUE(On(first, A)) << "20,40 is below 20,5";
    Temp(1, u"н/д");
    thermostat.Pass();
    EXPECT_FALSE(On(first, A)) << "no reading, no heating";
    Temp(1, u"  10,00");
    for (int scenario : {17, -3}) {
        Channel(second, B, u"Общий", u"20", u"22", GridSw::kTypeHeaterIndex, scenario);
        Force(second, B);
        thermostat.Pass();
        EXPECT_FALSE(On(second, B)) << scenario;
    }
    thermometers.ClearRows();
    EXPECT_FALSE(thermostat.Pass());
}

// Delay 60 s, then steps of 10 s (20/22) and 20 s (25/30), one cycle.
TEST_F(ThermostatTest, ScenarioThroughDelayStepsAndFinish) {
    scenarios.SetCellNumber(0, GridSn::kColCycles, 1);
    scenarios.SetCellText(0, GridSn::kColDelay, u"0:1:0;");
    scenarios.SetCellText(0, GridSn::kColFirstStep, u"0:0:10;20/22");
    scenarios.SetCellText(0, GridSn::kColFirstStep + 1, u"0:0:20;25/30");
    scenarios.SetCellText(0, GridSn::kColFirstStep + 2, u"0:0:0;");
    const int64_t t0 = now;
    scenarios.RestartAll();
    Channel(first, A, u"Термометр 1", u"", u"", GridSw::kTypeHeaterIndex, 1);
    Channel(second, A, u"Термометр 2", u"", u"");  // keeps whatever it is given
    Force(second, A);
    Temp(1, u"  19,00");
    struct Step {
        int64_t at;
        const char16_t* temp;
        bool scenario_on, other_on;
    } steps[] = {
        {0, u"  19,00", false, false},  // the delay begins: every output off once
        {30, u"  19,00", false, true},  // then left alone (the other one switched on again)
        {61, u"  19,00", true, true},   // step 0: 19 <= 20
        {71, u"  31,00", false, true},  // step 1: 31 >= 30
        {90, u"  19,00", true, true},   // step 1: 19 <= 25
        {91, u"  40,00", true, true},   // end of the cycle: no thresholds applied
        {92, u"  19,00", false, true},  // finished: off from now on
        {500, u"  19,00", false, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at);
        now = t0 + s.at;
        Temp(0, s.temp);
        if (s.at == 30) Force(second, A);
        thermostat.Pass();
        EXPECT_EQ(On(first, A), s.scenario_on);
        EXPECT_EQ(On(second, A), s.other_on);
    }
    EXPECT_EQ(scenarios.CompletedCycles(0), 1);
}

// A cooler (min_off 300 s) and a heater (min_on 60 s) through a fast swing, the time from the
// thermostat's clock: a switch the protection holds waits, says how long in the switch table,
// and goes once its time is out; a failed reading switches off at once; a scenario is held alike.
TEST_F(ThermostatTest, CompressorProtectionHoldsAcrossAFastSwing) {
    thermostat.SetClock(protection_clock);
    thermostat.SetProtection({{{first, A}, {.min_off = 300, .min_on = 0}},
                              {{first, B}, {.min_off = 0, .min_on = 60}},
                              {{second, A}, {.min_off = 300, .min_on = 0}}});
    Channel(first, A, u"Термометр 1", u"4", u"6", GridSw::kTypeCoolerIndex);
    Channel(first, B, u"Термометр 2", u"20", u"22", GridSw::kTypeHeaterIndex);
    scenarios.SetCellNumber(0, GridSn::kColCycles, 1);
    scenarios.SetCellText(0, GridSn::kColFirstStep, u"10:0:0;4/6");
    scenarios.RestartAll();
    Channel(second, A, u"Термометр 1", u"", u"", GridSw::kTypeCoolerIndex, 1);
    const int row = switches.FindRow(first);
    struct Step {
        int64_t at_s;  // since the start
        const char16_t *cold, *warm;
        bool cooler_on, heater_on;
        int cooler_held_s, heater_held_s;
    } steps[] = {
        {0, u"  7,00", u"  18,00", false, true, 300, 0},  // stopped at start-up: waits
        {299, u"  7,00", u"  18,00", false, true, 1, 0},
        {300, u"  7,00", u"  18,00", true, true, 0, 0},
        {310, u"  3,00", u"  23,00", false, false, 0, 0},    // min_on 0: stops at once
        {320, u"  7,00", u"  18,00", false, true, 290, 0},   // fast swing: held off
        {330, u"  7,00", u"  23,00", false, true, 280, 50},  // held on
        {380, u"  7,00", u"  23,00", false, false, 230, 0},
        {610, u"  7,00", u"н/д", true, false, 0, 0},
        {611, u"  7,00", u"  18,00", true, true, 0, 0},
        {612, u"  7,00", u"н/д", true, false, 0, 0},  // no reading: off at once despite min_on
    };
    AllOff();
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at_s);
        protection_clock.Advance(s.at_s * 1000 - (protection_clock.NowMs() - start_ms));
        Temp(0, s.cold);
        Temp(1, s.warm);
        thermostat.Pass();
        EXPECT_EQ(On(first, A), s.cooler_on);
        EXPECT_EQ(On(first, B), s.heater_on);
        EXPECT_EQ(On(second, A), s.cooler_on) << "the scenario's cooler alike";
        EXPECT_EQ(switches.HeldSeconds(row, A), s.cooler_held_s);
        EXPECT_EQ(switches.HeldSeconds(row, B), s.heater_held_s);
    }
}

}  // namespace
}  // namespace kalvo
