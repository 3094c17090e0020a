#include "core/engine/measurement_cycle.h"

#include <algorithm>
#include <cstdio>

#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/engine_host.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
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

MeasurementCycle::Result MeasurementCycle::Run(bool record) {
    Result result;
    const bool bridge = bus_.Fault() != BusFault::kBridgeLost || ReopenBridge(result);
    if (bridge) result.measure = bus_.MeasureAll();
    if (result.measure == COneWireBus::kMeasureNotDone) {
        result.fault = bus_.Fault();
        ReportFault(result.fault);
        return result;
    }

    SampleList latest;
    if (result.measure == 1) {
        bus_.TakeLatest(latest);
        ShowPass(latest);
    } else {
        // The pass (or what it did not reach) is recorded invalid, so the day holds whole passes
        // and charts show a gap. One disturbed pass changes nothing else; once the fault stands
        // there is no reading, and channels go off where the bus still takes commands.
        bus_.RecordMissedPass();
        bus_.TakeLatest(latest);
        if (!bridge || bus_.Fault() != BusFault::kNone) ShowNoReadings();
    }
    // Into the file before the switches are driven: the pass is safe as early as it can be.
    Record(record, result);
    if (result.measure == 1) {
        thermostat_.Pass();
        result.complete = true;
    } else if (bridge && bus_.Fault() != BusFault::kNone && bus_.Fault() != BusFault::kBridgeLost) {
        thermostat_.Pass();
    }
    if (!latest.empty()) {
        live_.ReplaceLiveSamples(latest);
        host_.Post(PostTarget::kLiveView, WM_APP_SAMPLES, 0, 0);
    }
    result.fault = bus_.Fault();
    ReportFault(result.fault);
    if (result.complete) ReportStuck();
    return result;
}

bool MeasurementCycle::ReopenBridge(Result& result) {
    const std::vector<RomCode> thermometers = bus_.Thermometers();
    const std::vector<RomCode> switches = bus_.Switches();
    if (!bus_.Reopen()) return false;
    result.reopened = true;
    if (bus_.Thermometers() != thermometers || bus_.Switches() != switches) {
        RefillTables();
        result.refilled = true;
    }
    return true;
}

void MeasurementCycle::RefillTables() {
    // The rows go through the settings image and come back by serial number, so every device
    // keeps its name, colour, thresholds and scenario, and one that left is kept like a device
    // absent at start-up.
    TablesOnly peer;
    const std::vector<uint8_t> image = BuildSettingsImage(peer, thermometers_, switches_);
    thermometers_.Fill(bus_);
    switches_.Fill(bus_);
    ApplySettingsImage(image, peer, thermometers_, switches_);
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
}

void MeasurementCycle::ReportFault(BusFault fault) {
    if (fault != BusFault::kNone) {
        const std::u16string_view text = FaultText(fault);
        if (fault != shown_fault_) Say(u"Bus fault: " + std::u16string(text));
        // Every period: a reopening bridge's inventory writes over the pane.
        Show(text);
    } else if (shown_fault_ != BusFault::kNone) {
        Show(kBusRestoredText);
        Say(kBusRestoredText);
    }
    shown_fault_ = fault;
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
