#include "core/engine/thermostat.h"

#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/scenario/grid_sn.h"

namespace kalvo {
namespace {

bool IsBlank(std::u16string_view text) {
    return text.find_first_not_of(u" \t") == std::u16string_view::npos;
}

}  // namespace

int BusSwitchOutputs::SetChannel(RomCode code, int value, int channel) {
    return bus_.SetChannel(code, value, channel);
}

int BusSwitchOutputs::SetChannels(RomCode code, int a, int b) {
    return bus_.SetChannels(code, a, b);
}

std::vector<ControlPair> BuildControlPairs(const GridKalvo& thermometers, const GridSw& switches) {
    const int rows = switches.RowCount();
    const int sensors = thermometers.RowCount();
    std::vector<ControlPair> pairs(size_t(rows > 0 ? rows : 0));
    for (int row = 0; row < rows; ++row) {
        const std::u16string name_a =
            switches.CellText(row, GridSw::Col(0, GridSw::kColThermometerA));
        const std::u16string name_b =
            switches.CellText(row, GridSw::Col(1, GridSw::kColThermometerA));
        ControlPair& pair = pairs[size_t(row)];
        for (int t = 0; t < sensors; ++t) {
            if (thermometers.CellNumber(t, GridKalvo::kColState) != GridKalvo::kStateControlling)
                continue;
            const std::u16string name = thermometers.CellText(t, GridKalvo::kColName);
            if (name == name_a) pair.a = t;
            if (name == name_b) pair.b = t;
        }
    }
    return pairs;
}

std::optional<int> Hysteresis(double temperature, double low, double high, int type) {
    if (type == GridSw::kTypeHeaterIndex) {
        if (temperature <= low) return 1;
        if (temperature >= high) return 0;
        return std::nullopt;
    }
    if (type == GridSw::kTypeCoolerIndex) {
        if (temperature <= low) return 0;
        if (temperature >= high) return 1;
        return std::nullopt;
    }
    // Neither heater nor cooler: nothing to drive it by.
    return 0;
}

std::optional<double> ReadNumber(std::u16string_view text) {
    double value = 0;
    if (!ParseDecimal(text, &value)) return std::nullopt;
    return value;
}

bool Thermostat::Pass() {
    for (auto& [key, track] : tracks_) track.held_s = 0;
    if (thermometers_.RowCount() == 0 || switches_.RowCount() == 0) return false;
    const std::vector<ControlPair> pairs = BuildControlPairs(thermometers_, switches_);
    for (int row = 0; row < int(pairs.size()); ++row) {
        const RomCode code = switches_.SwitchRom(row);
        DriveChannel(row, code, 0, pairs[size_t(row)].a);
        DriveChannel(row, code, 1, pairs[size_t(row)].b);
    }
    for (int row = 0; row < int(pairs.size()); ++row) {
        const RomCode code = switches_.SwitchRom(row);
        for (int channel = 0; channel < 2; ++channel)
            switches_.SetHeldSeconds(code, channel, HeldSeconds(code, channel));
    }
    return true;
}

void Thermostat::AllSwitchesOff() {
    const int rows = switches_.RowCount();
    const int64_t now = clock_->NowMs();
    for (int row = 0; row < rows; ++row) {
        const RomCode code = switches_.SwitchRom(row);
        outputs_.SetChannels(code, 0, 0);
        Note(code, 0, false, now);
        Note(code, 1, false, now);
    }
}

int Thermostat::HeldSeconds(RomCode code, int channel) const {
    const auto it = tracks_.find(Key(code, channel));
    return it == tracks_.end() ? 0 : it->second.held_s;
}

void Thermostat::Note(RomCode code, int channel, bool on, int64_t now_ms) {
    const auto [it, added] = tracks_.try_emplace(Key(code, channel), Track{on, now_ms, 0});
    if (!added && it->second.on != on) {
        it->second.on = on;
        it->second.since_ms = now_ms;
    }
}

void Thermostat::Send(RomCode code, int channel, int value) {
    outputs_.SetChannel(code, value, channel);
    Note(code, channel, value != 0, clock_->NowMs());
}

void Thermostat::Off(RomCode code, int channel) {
    Send(code, channel, 0);
}

void Thermostat::Apply(RomCode code, int channel, std::optional<int> command) {
    if (!command) return;
    const auto track = tracks_.find(Key(code, channel));
    const auto rules = protection_.find(Key(code, channel));
    if (track != tracks_.end() && rules != protection_.end() &&
        track->second.on != (*command != 0)) {
        // A compressor switched again too soon is damaged: the change waits its time out.
        const int hold_s = track->second.on ? rules->second.min_on : rules->second.min_off;
        const int64_t left_ms = track->second.since_ms + int64_t(hold_s) * 1000 - clock_->NowMs();
        if (left_ms > 0) {
            track->second.held_s = int((left_ms + 999) / 1000);
            return;
        }
    }
    // The command goes out whenever a test fires, even if the channel is already so.
    Send(code, channel, *command);
}

void Thermostat::DriveChannel(int row, RomCode code, int channel, int thermometer) {
    // A thermometer that shows no number (a failed reading) controls nothing: a heater must not
    // run on a value that was never measured.
    const std::optional<double> temperature =
        thermometer < 0
            ? std::nullopt
            : ReadNumber(thermometers_.CellText(thermometer, GridKalvo::kColTemperature));
    if (!temperature) {
        Off(code, channel);
        return;
    }
    const int scenario = switches_.CellNumber(row, GridSw::Col(channel, GridSw::kColScenarioA));
    if (scenario == 0) {
        FixedControl(row, code, channel, *temperature);
    } else if (scenario >= 1 && scenario <= GridSw::kMaxScenario && scenarios_) {
        const int type = switches_.CellNumber(row, GridSw::Col(channel, GridSw::kColTypeA));
        ScenarioControl(scenario - 1, code, channel, type, *temperature);
    } else {
        // A number that names no scenario.
        Off(code, channel);
    }
}

void Thermostat::FixedControl(int row, RomCode code, int channel, double temperature) {
    const GridSw::Thresholds texts = switches_.ChannelThresholds(row, channel);
    // An empty threshold leaves the channel as it is.
    if (IsBlank(texts.low) || IsBlank(texts.high)) return;
    // Thresholds that are no numbers, lie outside what a sensor measures or are crossed (an
    // older file, a typing slip) control nothing: the output goes off rather than heat or cool
    // towards a threshold nobody meant.
    const std::optional<ThresholdPair> thresholds = ValidThresholds(texts.low, texts.high);
    if (!thresholds) {
        Off(code, channel);
        return;
    }
    const int type = switches_.CellNumber(row, GridSw::Col(channel, GridSw::kColTypeA));
    Apply(code, channel, Hysteresis(temperature, thresholds->low, thresholds->high, type));
}

void Thermostat::ScenarioControl(int scenario, RomCode code, int channel, int type,
                                 double temperature) {
    ScenarioStep step;
    // Polled first, whatever the scenario's state: this advances its timeline.
    const int result = scenarios_->FindActiveStep(scenario, &step);
    const uint32_t flags = scenarios_->RecordFlags(scenario);
    if (!(flags & kScenarioActive) || (flags & kScenarioFinished)) {
        Off(code, channel);
        return;
    }
    if (flags & kScenarioDelayRunning) {
        // Everything goes off once, when the delay begins, and is then left alone.
        if (scenarios_->TakeDelayNotice(scenario)) AllSwitchesOff();
        return;
    }
    if (result >= 0 && result < kScenarioSteps && (step.flags & kStepExecuting)) {
        Apply(code, channel, Hysteresis(temperature, step.lower, step.upper, type));
    } else if (result == GridSn::kEndOfCycle) {
        scenarios_->ClearRunMarks(scenario);
    }
}

}  // namespace kalvo
