#pragma once
// One measurement cycle, run by the worker at every timer signal: a lost bridge opened again,
// the temperature pass, the table update, the thermostat, the live samples, the pass appended to
// the day file, and what the status bar and stderr say about faults and stuck sensors.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "core/common/pass_report.h"
#include "core/common/rules.h"
#include "core/common/sample_record.h"
#include "core/device/bus_health.h"
#include "core/device/rom_code.h"
#include "core/engine/alarms.h"

namespace kalvo {

class AlarmCommandRunner;
class COneWireBus;
class EngineHost;
class GridKalvo;
class GridSw;
class LiveView;
class PassListeners;
class PassRecorder;
class StatusBar;
class Thermostat;

// Main-pane texts of the cycle (the faults themselves are FaultText's).
inline constexpr char16_t kBusRestoredText[] = u"1-Wire bus restored, measuring resumed";
inline constexpr char16_t kNoThermometersText[] = u"No thermometer answers on the 1-Wire line";
inline constexpr char16_t kStuckSensorText[] = u"Stuck sensor, its readings are invalid: ";
inline constexpr char16_t kStuckSensorsText[] = u"Stuck sensors, their readings are invalid: ";
inline constexpr char16_t kStuckClearedText[] = u"Every sensor converts again";
inline constexpr char16_t kOverPeriodText[] = u"Measurement takes longer than the period";
inline constexpr char16_t kFitsPeriodText[] = u"Measurement fits the period again";

class MeasurementCycle {
  public:
    struct Result {
        // What the temperature pass returned; 0 also when a lost bridge could not be reopened.
        int32_t measure = 0;
        bool complete = false;  // a whole pass reached the table, thermostat and live view
        bool reopened = false;  // the lost bridge was opened again before the pass
        bool refilled = false;  // and the tables follow its new inventory
        size_t recorded = 0;    // records of this cycle handed to the day file
        BusFault fault = BusFault::kNone;  // standing after the cycle
        int64_t duration_ms = 0;           // of the cycle up to the day file and the switches
        bool over_period = false;          // passes take longer than the period (standing)
    };

    MeasurementCycle(COneWireBus& bus, GridKalvo& thermometers, GridSw& switches,
                     Thermostat& thermostat, LiveView& live, EngineHost& host,
                     PassRecorder& recorder)
        : bus_(bus),
          thermometers_(thermometers),
          switches_(switches),
          thermostat_(thermostat),
          live_(live),
          host_(host),
          recorder_(recorder) {}

    // Where fault and stuck-sensor texts go; set while no cycle runs. Null: stderr only.
    void SetStatusBar(StatusBar* status_bar) { status_bar_ = status_bar; }
    // The time a cycle takes is read from it (monotonic); the system clock unless set.
    void SetClock(Clock& clock) { clock_ = &clock; }
    // Who hears of passes, channels and alarms, where alarms are logged and the alarm command
    // run; each may be null. Set while no cycle runs.
    void SetOutputs(PassListeners* listeners, AlarmLog* log, AlarmCommandRunner* command) {
        listeners_ = listeners;
        alarm_log_ = log;
        alarm_command_ = command;
    }
    // Offsets and alarm limits from the next cycle on. Worker, between cycles.
    void SetRules(std::shared_ptr<const Rules> rules) {
        if (rules) rules_ = std::move(rules);
    }

    // `record`: the passes go to the day file; otherwise they are dropped. `period_s`: the
    // period in force, which a cycle should not outlast (0: not judged).
    Result Run(bool record, int period_s = 0);

  private:
    // Adds each sensor's offset to the valid samples from `from` on.
    void Correct(size_t from);
    void ReportAlarms(const SampleList& pass, int64_t time);
    void ReportChannels();
    void JudgeDuration(Result& result, int period_s);
    bool ReopenBridge(Result& result);
    void ShowPass(const SampleList& latest);
    void ShowNoReadings();
    // Invalid samples for the table's rows, when the bus lists no thermometer to miss.
    void RecordMissedRows();
    void Record(bool record, Result& result);
    void RefillTables();
    // `text`: the standing fault; empty for none.
    void ReportFault(std::u16string_view text);
    void ReportStuck();
    void Show(std::u16string_view text);

    COneWireBus& bus_;
    GridKalvo& thermometers_;
    GridSw& switches_;
    Thermostat& thermostat_;
    LiveView& live_;
    EngineHost& host_;
    PassRecorder& recorder_;
    StatusBar* status_bar_ = nullptr;
    Clock* clock_ = &SystemClock();
    PassListeners* listeners_ = nullptr;
    AlarmLog* alarm_log_ = nullptr;
    AlarmCommandRunner* alarm_command_ = nullptr;
    std::shared_ptr<const Rules> rules_ = std::make_shared<const Rules>();
    AlarmMonitor alarms_;
    // A reopened bridge's inventory found no thermometer: opened again every period. The
    // worker's own, like the rest below.
    bool no_thermometers_ = false;
    // What the status bar and stderr were last told.
    std::u16string shown_fault_;
    std::vector<RomCode> shown_stuck_;
    std::u16string last_shown_;    // the main pane as this cycle object last set it
    bool shown_in_cycle_ = false;  // something took the main pane in the running cycle
    bool over_period_ = false;
    bool channels_told_ = false;
    std::vector<ChannelState> told_channels_;
};

}  // namespace kalvo
