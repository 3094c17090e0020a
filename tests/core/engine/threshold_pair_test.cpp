// A channel's two thresholds are one pair for the thermostat. Whatever changes both in one step
// (a settings load, a pasted row) must never let a pass see the old Тн with the new Тв.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/engine/thermostat.h"

namespace kalvo {
namespace {

class PairedSwitches : public GridSw {
  public:
    // Both thresholds of channel A of the first row under the table's lock.
    void SetPair(std::u16string_view low, std::u16string_view high) {
        std::lock_guard lock(mutex_);
        SetCellText(0, Col(0, kColLowA), low);
        SetCellText(0, Col(0, kColHighA), high);
    }
};

struct CountingOutputs : SwitchOutputs {
    int SetChannel(RomCode, int, int channel) override {
        if (channel == 0) ++commands;
        return 1;
    }
    int SetChannels(RomCode, int, int) override { return 1; }
    int commands = 0;
};

TEST(ThresholdPairTest, APassNeverMixesTwoPairs) {
    GridKalvo thermometers;
    PairedSwitches switches;
    thermometers.Fill(std::vector<RomCode>{0x28});
    switches.Fill(std::vector<RomCode>{0x3A});
    thermometers.SetCellText(0, GridKalvo::kColTemperature, u"  25,00");
    switches.SetCellText(0, GridSw::Col(0, GridSw::kColThermometerA),
                         thermometers.ThermometerName(0));
    switches.SetPair(u"20", u"22");
    CountingOutputs outputs;
    Thermostat thermostat(thermometers, switches, nullptr, outputs);

    // A heater at 25: (20, 22) switches it off and (30, 32) on, so every pass sends a command.
    // Only the mixed pair (20, 32) holds 25 between its thresholds and sends none.
    std::atomic<bool> stop{false};
    std::thread editor([&] {
        while (!stop.load()) {
            switches.SetPair(u"30", u"32");
            switches.SetPair(u"20", u"22");
        }
    });
    constexpr int kPasses = 40000;
    for (int i = 0; i < kPasses; ++i) thermostat.Pass();
    stop = true;
    editor.join();
    EXPECT_EQ(outputs.commands, kPasses);
}

}  // namespace
}  // namespace kalvo
