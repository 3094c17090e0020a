// Batched transactions against one exchange per byte: the same simulated bus, the same faults
// started between the same passes, and everything the layer tells its callers must match.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

using sim::FaultKind;

struct Bus {
    RomCode sensor = 0, hot = 0, old = 0, sw = 0, sw2 = 0;
};

// One run of the scenario; returns what the bus said, line by line.
using Fault = std::function<void(sim::World&, const Bus&, int bridge, bool on)>;

std::vector<std::string> Scenario(bool bytewise, const Fault& fault) {
    ManualClock clock{1'000'000};
    sim::World world(clock, 5);
    const int bridge = world.AddBridge("A50285BI", "FT232R USB UART");
    Bus b;
    b.sensor = world.AddDs18b20(bridge, 0x0A1B2C3D, {.base_c = 21.5});
    b.hot = world.AddDs18b20(bridge, 0x0A1B2C3E, {.base_c = 85.0}, 10);
    world.AddDs18b20(bridge, 0x0A1B2C3F, {.base_c = -3.25}, 9);
    b.old = world.AddDs1820(bridge, 0xB0B0B0, {.base_c = 30.0});
    b.sw = world.AddDs2413(bridge, 0xABCDE);
    b.sw2 = world.AddDs2413(bridge, 0xABCDF);
    sim::SetActiveWorld(&world);
    RecordingStatusBar bar;
    std::vector<std::string> log;
    {
        COneWireBus bus(sim::Api());
        bus.SetBytewise(bytewise);
        bus.SetClock(clock);
        bus.SetStatusBar(&bar);
        auto say = [&](std::string line) { log.push_back(std::move(line)); };
        auto codes = [](const std::vector<RomCode>& list) {
            std::string text;
            for (RomCode code : list) text += Utf16ToUtf8(RomText(code)) + " ";
            return text;
        };
        say("open " + std::to_string(bus.SearchBridges() && bus.OpenBus()));
        say("inventory " + codes(bus.Thermometers()) + "| " + codes(bus.Switches()));
        for (int pass = 0; pass < 8; ++pass) {
            if (pass == 2) fault(world, b, bridge, true);
            if (pass == 6) fault(world, b, bridge, false);
            if (bus.Fault() == BusFault::kBridgeLost) {
                say("reopen " + std::to_string(bus.Reopen()));
                say("inventory " + codes(bus.Thermometers()) + "| " + codes(bus.Switches()));
            }
            const int32_t result = bus.MeasureAll();
            if (result != 1) bus.RecordMissedPass();
            std::string line = "pass " + std::to_string(result) + " failure " +
                               std::to_string(int(bus.LastPassFailure())) + " fault " +
                               std::to_string(int(bus.Fault())) + ":";
            SampleList samples;
            bus.TakeLatest(samples);
            for (const SampleRecord& r : samples) {
                char text[64];
                std::snprintf(text, sizeof text, " %.4f/%u", r.temperature, r.valid);
                line += text;
            }
            say(line);
            bus.ClearPending();
            say("switch " + std::to_string(bus.SetChannel(b.sw, pass % 2, 0)) + " " +
                std::to_string(bus.SetChannel(b.sw, 1, 1)) + " " +
                std::to_string(bus.SetChannels(b.sw2, pass % 3 == 0, 1)));
            const std::optional<uint8_t> status = bus.PioRead(b.sw2);
            say("status " + (status ? std::to_string(*status) : std::string("none")));
        }
        for (const SensorHealth& h : bus.Health())
            say("health " + Utf16ToUtf8(RomText(h.rom)) + " " + std::to_string(h.crc_failures) +
                " " + std::to_string(h.power_on_values) + " " + std::to_string(h.low_power_values) +
                " " + std::to_string(h.missing_answers) + " " +
                std::to_string(h.overran_conversions) + " " + std::to_string(h.stuck));
    }
    for (const RecordingStatusBar::Entry& e : bar.Texts())
        if (!e.text.empty()) log.push_back("text " + Utf16ToUtf8(e.text));
    sim::SetActiveWorld(nullptr);
    return log;
}

// A timed fault from the moment it is set to the end of the run.
Fault Timed(FaultKind kind, RomCode Bus::*device = nullptr, double rate = 0) {
    return [=](sim::World& world, const Bus& b, int bridge, bool on) {
        if (!on) return;
        sim::TimedFault f{.kind = kind, .at_ms = world.RunMs(), .bridge = bridge};
        if (device) f.device = b.*device;
        if (rate > 0) f.rate = rate;
        ASSERT_TRUE(world.ScheduleFault(f));
    };
}

TEST(BusPaths, BatchedAndBytewiseTellTheSame) {
    const struct {
        const char* name;
        Fault fault;
    } cases[] = {
        {"none", [](sim::World&, const Bus&, int, bool) {}},
        {"gone sensor", Timed(FaultKind::kGone, &Bus::sensor)},
        {"gone switch", Timed(FaultKind::kGone, &Bus::sw)},
        {"never-converts", Timed(FaultKind::kNeverConverts, &Bus::hot)},
        {"crc-noise sensor", Timed(FaultKind::kCrcNoise, &Bus::sensor, 0.3)},
        {"crc-noise switch", Timed(FaultKind::kCrcNoise, &Bus::sw, 0.3)},
        {"crc-noise line", Timed(FaultKind::kCrcNoise, nullptr, 0.03)},
        {"power-on", Timed(FaultKind::kPowerOn, &Bus::sensor)},
        {"low-power", Timed(FaultKind::kLowPower, &Bus::sensor)},
        {"short-reads", Timed(FaultKind::kShortReads)},
        {"line-low", [](sim::World& world, const Bus&, int bridge,
                        bool on) { world.SetLineHeldLow(bridge, on); }},
        {"unplug", [](sim::World& world, const Bus&, int bridge,
                      bool on) { world.SetUnplugged(bridge, on); }},
        {"bad scratchpad",
         [](sim::World& world, const Bus& b, int, bool on) {
             if (on) world.CorruptNextScratchpad(b.old);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> batched = Scenario(false, c.fault);
        const std::vector<std::string> bytewise = Scenario(true, c.fault);
        EXPECT_EQ(batched, bytewise);
    }
}

}  // namespace
}  // namespace kalvo
