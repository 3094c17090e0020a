#pragma once
// The program without its windows: the two device tables, the scenario table, the bus and the
// engine that works on them. It is made before the main window and outlives every window, so a
// window only binds to what it shows; a service without windows runs the same object.
#include <cstdint>
#include <string>

#include "core/device/d2xx.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/engine.h"
#include "core/engine/engine_host.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_file.h"

namespace kalvo {

class Program {
  public:
    // `options.archive_root` is used as it is (PrepareProgramArchive makes the program's own);
    // empty: nothing is recorded or saved.
    explicit Program(const D2xxApi& api, EngineOptions options = {});
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // While an Attachment lives the engine reports to its host and live view. Its end stops the
    // engine's threads and cuts the link, so the host, the live view and the status bar given
    // at start-up may go right after it. Hold it in the object that owns them, declared so
    // that it ends before they do. A newer attachment takes over; the end of the one it
    // replaced then changes nothing.
    class Attachment {
      public:
        Attachment() = default;
        Attachment(Attachment&& other) noexcept;
        Attachment& operator=(Attachment&& other) noexcept;
        ~Attachment();

      private:
        friend class Program;
        Attachment(Program* program, uint64_t id) : program_(program), id_(id) {}
        void End();
        Program* program_ = nullptr;
        uint64_t id_ = 0;
    };
    // `live` may be null: the engine then keeps the chart colours itself. Window thread.
    [[nodiscard]] Attachment Attach(EngineHost& host, LiveView* live);

    // The start command: every scenario from its beginning, then the worker resumed. The first
    // start after the last run ended without its orderly close continues each scenario that
    // ran where it was instead, and the status bar says so.
    void StartMeasuring();
    // The stop command: the worker pauses after the cycle it may be running.
    void PauseMeasuring();
    // The last run ended without its orderly close while scenarios ran (until the first start).
    bool ScenarioResumePending() const { return engine_.Keeper().ResumePending(); }

    // Offsets, alarm limits, protection times and the alarm command (kalvo.ini), from the next
    // pass on. Any thread, any time.
    void SetRules(const Rules& rules) { engine_.SetRules(rules); }
    // After every pass, on the worker; see PassListener. Safe while the worker runs; once
    // RemoveListener returns the listener is not called again.
    void AddListener(PassListener& listener) { engine_.AddListener(listener); }
    void RemoveListener(PassListener& listener) { engine_.RemoveListener(listener); }

    // A .snr file into the scenario table exactly as "Load Scenario" loads it, remembered as the
    // last scenario file on success (the headless logger's --scenarios, or the window's reload).
    ScenarioFileResult LoadScenarioFile(const std::string& path);
    // After the window's "Load Scenario" or "Save Scenario" succeeded with `path`.
    void RememberScenarioFile(const std::string& path);
    // Empty when none was loaded or saved yet.
    std::string LastScenarioFile() const;
    // Loads the last scenario file again (at start); {false, ""} when there is none.
    ScenarioFileResult ReloadLastScenarioFile();

    Engine& GetEngine() { return engine_; }
    const Engine& GetEngine() const { return engine_; }
    GridKalvo& Thermometers() { return thermometers_; }
    GridSw& Switches() { return switches_; }
    GridSn& Scenarios() { return scenarios_; }
    COneWireBus& Bus() { return bus_; }
    const std::string& ArchiveRoot() const { return engine_.ArchiveRoot(); }
    // Today's day file when the program was made; empty without an archive.
    const std::string& StartDayFile() const { return start_day_file_; }

  private:
    // The tables and the bus are declared before the engine that works on them, so its threads
    // have ended before any of them goes.
    GridKalvo thermometers_;
    GridSw switches_;
    GridSn scenarios_;
    COneWireBus bus_;
    std::string start_day_file_;
    uint64_t attachment_ = 0;  // the attachment in force; 0: none
    uint64_t attachments_made_ = 0;
    Engine engine_;
};

// An archive folder made ready, with today's day file created. When it cannot be made a box
// says so and the result is empty: the program then runs without recording.
std::string PrepareProgramArchive(const std::string& root);
// The same for the program's own folder: beside the executable, or the per-user folder.
std::string PrepareProgramArchive();

}  // namespace kalvo
