#pragma once
// One measurement cycle, run by the worker at every timer signal: a lost bridge opened again,
// the temperature pass, the table update, the thermostat, the live samples, the pass appended to
// the day file, and what the status bar and stderr say about faults and stuck sensors.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/sample_record.h"
#include "core/device/bus_health.h"
#include "core/device/rom_code.h"

namespace kalvo {

class COneWireBus;
class EngineHost;
class GridKalvo;
class GridSw;
class LiveView;
class PassRecorder;
class StatusBar;
class Thermostat;

// Main-pane texts of the cycle (the faults themselves are FaultText's).
inline constexpr char16_t kBusRestoredText[] = u"1-Wire bus restored, measuring resumed";
inline constexpr char16_t kNoThermometersText[] = u"No thermometer answers on the 1-Wire line";
inline constexpr char16_t kStuckSensorText[] = u"Stuck sensor, its readings are invalid: ";
inline constexpr char16_t kStuckSensorsText[] = u"Stuck sensors, their readings are invalid: ";
inline constexpr char16_t kStuckClearedText[] = u"Every sensor converts again";

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

    // `record`: the passes go to the day file; otherwise they are dropped.
    Result Run(bool record);

  private:
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
    // A reopened bridge's inventory found no thermometer: opened again every period. The
    // worker's own, like the rest below.
    bool no_thermometers_ = false;
    // What the status bar and stderr were last told.
    std::u16string shown_fault_;
    std::vector<RomCode> shown_stuck_;
};

}  // namespace kalvo
