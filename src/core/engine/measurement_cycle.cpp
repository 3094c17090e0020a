#include "core/engine/measurement_cycle.h"

#include <algorithm>
#include <cstdio>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/alarm_command.h"
#include "core/engine/engine_host.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/engine/pass_listeners.h"
#include "core/engine/pass_recorder.h"
#include "core/engine/thermostat.h"

namespace kalvo {
namespace {

void Say(std::u16string_view line) {
    std::fprintf(stderr, "%s\n", Utf16ToUtf8(line).c_str());
    std::fflush(stderr);
}

// Takes the rows of a refill through the settings image without touching anything else.
class TablesOnly : public SettingsPeer {
  public:
    uint32_t BackgroundColour() const override { return 0; }
    void SetBackgroundColour(uint32_t) override {}
    uint32_t GridColour() const override { return 0; }
    void SetGridColour(uint32_t) override {}
    int Period() const override { return kPeriodDefault; }
    uint16_t Flags() const override { return 0; }
    void ApplyPeriodAndFlags(int, uint16_t) override {}
    WindowRect MainWindowRect() const override { return {}; }
    void MoveMainWindow(const WindowRect&) override {}
};

}  // namespace

MeasurementCycle::Result MeasurementCycle::Run(bool record, int period_s) {
    Result result;
    shown_in_cycle_ = false;
    const int64_t begun_ms = clock_->NowMs();
    const size_t before = bus_.PendingCount();
    const bool lost = bus_.Fault() == BusFault::kBridgeLost || no_thermometers_;
    const bool bridge = !lost || ReopenBridge(result);
    if (bridge) result.measure = bus_.MeasureAll();
    if (result.measure == COneWireBus::kMeasureNotDone) {
        result.fault = bus_.Fault();
        ReportFault(FaultText(result.fault));
        return result;
    }

    SampleList latest;
    if (result.measure == 1) {
        Correct(before);
        bus_.TakeLatest(latest);
        ShowPass(latest);
    } else {
        // The pass (or what it did not reach) is recorded invalid, so the day holds whole passes
        // and charts show a gap. One disturbed pass changes nothing else; once the fault stands
        // there is no reading, and channels go off where the bus still takes commands.
        if (no_thermometers_)
            RecordMissedRows();
        else
            bus_.RecordMissedPass();
        Correct(before);
        const SampleList& pending = bus_.PendingSamples();
        const size_t n = size_t(std::max(thermometers_.RowCount(), 0));
        if (pending.size() >= n) latest.assign(pending.end() - std::ptrdiff_t(n), pending.end());
        if (!bridge || bus_.Fault() != BusFault::kNone) ShowNoReadings();
    }
    // Into the file before the switches are driven: the pass is safe as early as it can be.
    Record(record, result);
    if (result.measure == 1) {
        thermostat_.Pass();
        result.complete = true;
    } else if (bus_.Fault() != BusFault::kBridgeLost &&
               (no_thermometers_ || bus_.Fault() != BusFault::kNone)) {
        thermostat_.Pass();
    }
    if (!latest.empty()) {
        live_.ReplaceLiveSamples(latest);
        host_.Post(PostTarget::kLiveView, WM_APP_SAMPLES, 0, 0);
    }
    result.duration_ms = clock_->NowMs() - begun_ms;
    result.fault = bus_.Fault();
    ReportFault(no_thermometers_ ? std::u16string_view(kNoThermometersText)
                                 : FaultText(result.fault));
    if (result.refilled) ReportAbsentDevices(thermometers_, switches_, status_bar_);
    if (result.complete) ReportStuck();
    if (!latest.empty()) {
        const int64_t time = latest.front().time;
        ReportAlarms(latest, time);
        if (listeners_) {
            PassReport report;
            report.time = time;
            report.period = period_s;
            report.samples = latest;
            listeners_->Pass(report);
        }
    }
    ReportChannels();
    JudgeDuration(result, period_s);
    return result;
}

void MeasurementCycle::Correct(size_t from) {
    if (rules_->sensors.empty()) return;
    SampleList& pending = bus_.PendingSamples();
    for (size_t i = from; i < pending.size(); ++i) {
        SampleRecord& sample = pending[i];
        if (sample.valid != 1) continue;
        const auto it = rules_->sensors.find(sample.rom);
        if (it != rules_->sensors.end() && it->second.offset)
            sample.temperature += *it->second.offset;
    }
}

void MeasurementCycle::ReportAlarms(const SampleList& pass, int64_t time) {
    for (const AlarmEvent& event : alarms_.Pass(pass, time, *rules_)) {
        thermometers_.SetAlarm(event.rom, event.kind);
        if (alarm_log_) alarm_log_->Append(AlarmLogLine(event));
        const std::u16string text = AlarmStatusText(event);
        Show(text);
        Say(text);
        if (listeners_) listeners_->Alarm(event);
        if (alarm_command_) alarm_command_->Run(rules_->alarm_command, event);
    }
}

void MeasurementCycle::ReportChannels() {
    if (!listeners_) return;
    std::vector<ChannelState> channels;
    const std::vector<ControlPair> pairs = BuildControlPairs(thermometers_, switches_);
    for (int row = 0; row < int(pairs.size()); ++row) {
        const RomCode code = switches_.SwitchRom(row);
        for (int channel = 0; channel < 2; ++channel) {
            ChannelState state;
            state.rom = code;
            state.channel = channel;
            state.on = switches_.CellColour(row, GridSw::Col(channel, GridSw::kColStateA)) ==
                       kChannelOnColour;
            state.type = switches_.CellNumber(row, GridSw::Col(channel, GridSw::kColTypeA));
            const int thermometer = channel == 0 ? pairs[size_t(row)].a : pairs[size_t(row)].b;
            state.driven = thermometer >= 0;
            if (state.driven) state.name = thermometers_.ThermometerName(thermometer);
            state.held_s = switches_.HeldSeconds(row, channel);
            channels.push_back(std::move(state));
        }
    }
    // A hold counting down is no news; its start and its end are.
    const auto same = [](const ChannelState& a, const ChannelState& b) {
        return a.rom == b.rom && a.channel == b.channel && a.on == b.on && a.type == b.type &&
               a.driven == b.driven && a.name == b.name && (a.held_s > 0) == (b.held_s > 0);
    };
    // A listener added since has not heard them yet.
    const bool changed =
        listeners_->TakeNewcomer() || !channels_told_ || channels.size() != told_channels_.size() ||
        !std::equal(channels.begin(), channels.end(), told_channels_.begin(), same);
    if (!changed) return;
    channels_told_ = true;
    told_channels_ = channels;
    listeners_->Channels(channels);
}

void MeasurementCycle::JudgeDuration(Result& result, int period_s) {
    // Only whole passes are judged: a bridge found again pays its inventory once.
    if (period_s > 0 && result.complete && !result.reopened) {
        const bool over = result.duration_ms > int64_t(period_s) * 1000;
        if (over && !over_period_) Say(kOverPeriodText);
        if (!over && over_period_) {
            Say(kFitsPeriodText);
            if (last_shown_ == kOverPeriodText) Show(u"");
        }
        over_period_ = over;
        // While it lasts it is said every period, unless this cycle had more to say.
        if (over && !shown_in_cycle_) Show(kOverPeriodText);
    }
    result.over_period = over_period_;
}

bool MeasurementCycle::ReopenBridge(Result& result) {
    const std::vector<RomCode> thermometers = bus_.Thermometers();
    const std::vector<RomCode> switches = bus_.Switches();
    if (!bus_.Reopen()) return false;
    // An inventory without a single thermometer is a bus not answering yet (a loose contact
    // during the search), not a bus to measure no more: the tables stay, and the next period
    // looks again.
    no_thermometers_ = bus_.Thermometers().empty() && thermometers_.RowCount() > 0;
    if (no_thermometers_) return false;
    result.reopened = true;
    if (bus_.Thermometers() != thermometers || bus_.Switches() != switches) {
        RefillTables();
        result.refilled = true;
        // A switch the inventory missed is driven no more; its outputs go off while it may
        // still hear, rather than stay latched with nothing watching them.
        const std::vector<RomCode>& now = bus_.Switches();
        for (RomCode code : switches)
            if (std::find(now.begin(), now.end(), code) == now.end()) bus_.SetChannels(code, 0, 0);
    }
    return true;
}

void MeasurementCycle::RefillTables() {
    // The rows go through the settings image and come back by serial number, so every device
    // keeps its name, colour, thresholds and scenario, and one that left is kept like a device
    // absent at start-up.
    TablesOnly peer;
    const std::vector<uint8_t> image = BuildSettingsImage(peer, thermometers_, switches_);
    std::vector<std::u16string> known;
    for (int row = 0; row < thermometers_.RowCount(); ++row)
        known.push_back(thermometers_.CellText(row, GridKalvo::kColSerial));
    for (const AbsentDevice& device : thermometers_.Absent().List()) known.push_back(device.serial);
    thermometers_.Fill(bus_);
    switches_.Fill(bus_);
    ApplySettingsImage(image, peer, thermometers_, switches_);

    // A thermometer new to this run has a default name by its place, which may be another's
    // name now; channels find their thermometer by name, so it gets one nobody has.
    const int rows = thermometers_.RowCount();
    const std::vector<AbsentDevice> absent = thermometers_.Absent().List();
    const auto taken = [&](const std::u16string& name, int except) {
        for (int row = 0; row < rows; ++row)
            if (row != except && thermometers_.ThermometerName(row) == name) return true;
        for (const AbsentDevice& device : absent)
            if (device.name == name) return true;
        return false;
    };
    for (int row = 0; row < rows; ++row) {
        const std::u16string serial = thermometers_.CellText(row, GridKalvo::kColSerial);
        if (std::find(known.begin(), known.end(), serial) != known.end()) continue;
        if (!taken(thermometers_.ThermometerName(row), row)) continue;
        for (int n = 1;; ++n) {
            const std::u16string name = u"Термометр " + ToU16(n);
            if (!taken(name, row)) {
                thermometers_.SetCellText(row, GridKalvo::kColName, name);
                break;
            }
        }
    }
}

void MeasurementCycle::ShowPass(const SampleList& latest) {
    for (size_t i = 0; i < latest.size(); ++i) {
        // A sample that failed its check carries another sensor's value, not a reading.
        const std::u16string text = latest[i].valid == 1
                                        ? FormatRus(u"  %.2f", latest[i].temperature)
                                        : std::u16string(kNoReading);
        thermometers_.SetCellText(int(i), GridKalvo::kColTemperature, text);
    }
}

void MeasurementCycle::RecordMissedRows() {
    SampleRecord record;
    record.time = NowSeconds();
    record.temperature = 0.0;
    record.valid = 0;
    SampleList& pending = bus_.PendingSamples();
    const int rows = thermometers_.RowCount();
    for (int row = 0; row < rows; ++row) {
        record.rom = RomFromText(thermometers_.CellText(row, GridKalvo::kColSerial));
        record.name = thermometers_.ThermometerName(row);
        record.colour = ColorrefToArgb(thermometers_.ThermometerColour(row));
        pending.push_back(record);
    }
}

void MeasurementCycle::ShowNoReadings() {
    const int rows = thermometers_.RowCount();
    for (int row = 0; row < rows; ++row)
        thermometers_.SetCellText(row, GridKalvo::kColTemperature, kNoReading);
}

void MeasurementCycle::Record(bool record, Result& result) {
    if (!record) {
        bus_.ClearPending();
        recorder_.Drop();
        return;
    }
    result.recorded = bus_.PendingCount();
    recorder_.Record(bus_.PendingSamples(), uint32_t(std::max(thermometers_.RowCount(), 0)));
}

void MeasurementCycle::Show(std::u16string_view text) {
    if (status_bar_) status_bar_->SetPaneText(kPaneMain, text);
    last_shown_ = text;
    shown_in_cycle_ = !text.empty();
}

void MeasurementCycle::ReportFault(std::u16string_view text) {
    if (!text.empty()) {
        if (text != shown_fault_) Say(u"Bus fault: " + std::u16string(text));
        // Every period: a reopening bridge's inventory writes over the pane.
        Show(text);
    } else if (!shown_fault_.empty()) {
        Show(kBusRestoredText);
        Say(kBusRestoredText);
    }
    shown_fault_ = text;
}

void MeasurementCycle::ReportStuck() {
    const std::vector<RomCode> stuck = bus_.StuckSensors();
    if (stuck.empty()) {
        if (!shown_stuck_.empty()) {
            Show(kStuckClearedText);
            Say(kStuckClearedText);
        }
        shown_stuck_.clear();
        return;
    }
    std::u16string text = stuck.size() == 1 ? kStuckSensorText : kStuckSensorsText;
    const std::vector<RomCode>& listed = bus_.Thermometers();
    for (size_t i = 0; i < stuck.size(); ++i) {
        if (i > 0) text += u", ";
        const auto it = std::find(listed.begin(), listed.end(), stuck[i]);
        const std::u16string name = it == listed.end()
                                        ? std::u16string()
                                        : thermometers_.ThermometerName(int(it - listed.begin()));
        text += name.empty() ? RomText(stuck[i]) : name + u" (" + RomText(stuck[i]) + u")";
    }
    Show(text);
    if (stuck != shown_stuck_) Say(text);
    shown_stuck_ = stuck;
}

}  // namespace kalvo
