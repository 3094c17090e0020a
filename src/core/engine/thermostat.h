#pragma once
// The thermostat pass: every cycle drives each DS2413 channel as a heater or a cooler from the
// temperature of its controlling thermometer, between fixed thresholds or along a scenario.
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/clock.h"
#include "core/common/rules.h"
#include "core/device/rom_code.h"

namespace kalvo {

class COneWireBus;
class GridKalvo;
class GridSn;
class GridSw;

// The DS2413 operations the pass needs; COneWireBus provides them.
class SwitchOutputs {
  public:
    virtual ~SwitchOutputs() = default;
    // One channel (0 = A, 1 = B) to value (0 off, 1 on), the other kept.
    virtual int SetChannel(RomCode code, int value, int channel) = 0;
    // Both channels at once.
    virtual int SetChannels(RomCode code, int a, int b) = 0;
};

class BusSwitchOutputs : public SwitchOutputs {
  public:
    explicit BusSwitchOutputs(COneWireBus& bus) : bus_(bus) {}
    int SetChannel(RomCode code, int value, int channel) override;
    int SetChannels(RomCode code, int a, int b) override;

  private:
    COneWireBus& bus_;
};

// Thermometer rows controlling the two channels of one switch row; -1 for none.
struct ControlPair {
    int a = -1;
    int b = -1;
    bool operator==(const ControlPair&) const = default;
};

// One pair per switch row. A channel gets the last thermometer in table order whose name equals
// its "Имя термометра" and whose state allows control.
std::vector<ControlPair> BuildControlPairs(const GridKalvo& thermometers, const GridSw& switches);

// The decision of the hysteresis rule: 1 on, 0 off, nothing between the thresholds. Type 0 is a
// heater, 1 a cooler; the lower threshold is tested first.
std::optional<int> Hysteresis(double temperature, double low, double high, int type);

// A temperature or threshold text as a number (decimal comma or point); nothing when the text
// holds no number.
std::optional<double> ReadNumber(std::u16string_view text);

class Thermostat {
  public:
    // `scenarios` may be null: channels that name a scenario are then switched off.
    Thermostat(GridKalvo& thermometers, GridSw& switches, GridSn* scenarios, SwitchOutputs& outputs)
        : thermometers_(thermometers),
          switches_(switches),
          scenarios_(scenarios),
          outputs_(outputs) {}

    // One pass over the switch table. False, doing nothing, when either table is empty.
    bool Pass();
    // Both channels of every switch off. This counts as a switch-off for the protection, so a
    // compressor stopped at start-up still waits its min_off.
    void AllSwitchesOff();

    // Compressor protection per channel, from the next pass on; absent channels have none.
    using Protection = std::map<std::pair<uint64_t, int>, ChannelRules>;
    void SetProtection(Protection protection) { protection_ = std::move(protection); }
    // Time base of the protection (monotonic); the system clock unless set.
    void SetClock(Clock& clock) { clock_ = &clock; }
    // Seconds the protection held the channel against the last pass's decision; 0 none.
    int HeldSeconds(RomCode code, int channel) const;

  private:
    // What the pass last commanded a channel, and since when.
    struct Track {
        bool on = false;
        int64_t since_ms = 0;
        int held_s = 0;
    };
    using Key = std::pair<uint64_t, int>;

    void DriveChannel(int row, RomCode code, int channel, int thermometer);
    void FixedControl(int row, RomCode code, int channel, double temperature);
    void ScenarioControl(int scenario, RomCode code, int channel, int type, double temperature);
    // A control decision: subject to min_off / min_on.
    void Apply(RomCode code, int channel, std::optional<int> command);
    // Off at once, whatever the protection says (no reading, nothing to control by).
    void Off(RomCode code, int channel);
    void Send(RomCode code, int channel, int value);
    void Note(RomCode code, int channel, bool on, int64_t now_ms);

    GridKalvo& thermometers_;
    GridSw& switches_;
    GridSn* scenarios_;
    SwitchOutputs& outputs_;
    Clock* clock_ = &SystemClock();
    Protection protection_;
    std::map<Key, Track> tracks_;
};

}  // namespace kalvo
