#pragma once
// The measurement and control engine: start-up of the bridge and the bus, the settings file, the
// worker thread paced by a periodic timer, the cycles with their day-file appends and the orderly
// shutdown.
// It works on the tables and the bus its Program owns. No toolkit: it reports to one EngineHost
// (and a LiveView) while they are attached, and the host hands its messages back to OnMessage on
// the window thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/common/clock.h"
#include "core/common/file_ops.h"
#include "core/common/pass_report.h"
#include "core/common/rules.h"
#include "core/common/status_bar.h"
#include "core/device/one_wire_bus.h"
#include "core/engine/alarm_command.h"
#include "core/engine/alarms.h"
#include "core/engine/engine_host.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/engine/measurement_cycle.h"
#include "core/engine/pass_listeners.h"
#include "core/engine/pass_recorder.h"
#include "core/engine/periodic_timer.h"
#include "core/engine/scenario_keeper.h"
#include "core/engine/thermostat.h"

namespace kalvo {

class GridSn;

struct EngineOptions {
    // Day files and setting.stg live here; empty: nothing is recorded or saved.
    std::string archive_root;
    // Real milliseconds per second of the engine's time (period, first due time, wait time-out).
    // 1000 in the program; tests shrink it to run many cycles quickly.
    int ms_per_second = 1000;
    // Tick source of the conversion wait; null: the system clock.
    Clock* bus_clock = nullptr;
    // File-system seams; null: the real ones.
    SHELL::FileOps* day_file_ops = nullptr;
    SHELL::SettingFileOps* setting_ops = nullptr;
    // How long the alarm command may run before it is killed.
    int alarm_command_limit_ms = 30000;
};

inline constexpr char kAlarmLogName[] = "alarms.log";

class Engine {
  public:
    // What the worker is doing. A worker exists from a successful bridge search until the
    // shutdown; without one the state is kStopped.
    enum class State : int32_t {
        kStopped = 1,  // no worker, or it has ended
        kPaused = 2,   // waits at the gate before its next cycle
        kRunning = 4,
    };
    static constexpr double kFirstDueMs = 10.0;

    // The tables, the scenario table (may be null) and the bus must outlive the engine.
    Engine(COneWireBus& bus, GridKalvo& thermometers, GridSw& switches, GridSn* scenarios,
           EngineOptions options = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Reports go to `host` and `live` from now on (null: nowhere; the chart colours are then
    // kept here). The engine's threads are ended first, since they report too, so whatever was
    // attached before may go once this returns. Window thread.
    void Attach(EngineHost* host, LiveView* live);
    // Attach(nullptr, nullptr), and the status bar given at start-up is dropped as well.
    void Detach();

    // ---- messages (window thread) ----
    // The start-up (WM_APP_INIT_VIEW of the device part): the bridge search on its own thread.
    // Texts and marks go to `status_bar`, which must stay until Detach.
    void OnInitView(StatusBar* status_bar);
    // A message the engine posted to itself (PostTarget::kEngine); false for any other.
    bool OnMessage(uint32_t message, uintptr_t wparam);
    // WM_APP_BRIDGE_SEARCHED. On success the engine posts WM_APP_ENGINE_READY to the frame,
    // wParam the start-up options the host is to apply now (kFlagHideToTray,
    // kFlagMeasureAtStart): those the settings file asks for, none when it failed to load.
    void OnBridgeSearched(uintptr_t result);
    // WM_APP_CYCLE: the activity marks; at a cycle's end the live chart's series count follows
    // the thermometer table (a bridge found again may bring another inventory).
    void OnCycle(uintptr_t wparam);
    // WM_CLOSE. True when the window may close now; with wParam 0 and a worker it waits for
    // the worker's own WM_CLOSE (wParam 1), which shuts down.
    bool OnClose(uintptr_t wparam);
    // Enter in the period edit, with the edit's text.
    void OnPeriodEntered(std::u16string_view text);
    // A check box: one of kFlagWriteDataFile, kFlagMeasureAtStart, kFlagHideToTray.
    void SetOption(uint16_t flag, bool on);

    // ---- operations ----
    // Resumes (true) or pauses (false) the worker; nothing without a worker.
    void StartMeasuring(bool start);
    State GetState() const { return State(state_.load()); }
    bool HasWorker() const;
    void RequestStop();
    // Timer off, switches off, settings saved, what is left appended and the day file synced
    // (once).
    void Shutdown();

    // ---- state ----
    int Period() const { return period_.load(); }
    uint16_t Flags() const { return flags_; }
    bool WriteDataFile() const { return write_data_file_.load() != 0; }
    bool MeasureAtStart() const { return measure_at_start_ != 0; }
    bool HideToTrayAtStart() const { return hide_to_tray_ != 0; }
    bool EngineStarted() const { return engine_started_ != 0; }
    double TimerFirstDueMs() const { return timer_first_due_ms_; }
    int32_t TimerPeriodMs() const { return timer_period_ms_.load(); }
    const PeriodicTimer* Timer() const { return timer_.get(); }
    const std::string& ArchiveRoot() const { return options_.archive_root; }

    std::string SettingsPath() const;
    bool LoadSettings(SettingsError* why = nullptr);
    // `why`: the text of the box a failed save shows (empty when there is nothing to say).
    bool SaveSettings(std::u16string* why = nullptr);

    GridKalvo& Thermometers() { return thermometers_; }
    GridSw& Switches() { return switches_; }
    COneWireBus& Bus() { return bus_; }
    // Records an append refused, waiting for the next one. Any thread.
    size_t KeptRecordCount() const { return recorder_.KeptCount(); }

    // ---- weeks of running ----
    // Offsets, alarm limits, protection times and the alarm command, from the next cycle on.
    // Any thread.
    void SetRules(const Rules& rules);
    // See PassListeners: called on the worker after each pass; they must only queue.
    void AddListener(PassListener& listener) { listeners_.Add(listener); }
    void RemoveListener(PassListener& listener) { listeners_.Remove(listener); }
    ScenarioKeeper& Keeper() { return keeper_; }
    const ScenarioKeeper& Keeper() const { return keeper_; }
    // The main pane and one line on stderr. Window thread.
    void Announce(std::u16string_view text);
    // Every alarm command has ended (tests).
    bool AlarmCommandsIdle() const { return alarm_command_.Idle(); }

  private:
    class Link;
    class Peer;
    // Opens when measuring is resumed; the worker waits on it between the timer and a cycle.
    class Gate {
      public:
        void Open();
        void Close();
        // Blocks while closed; true when it had to wait.
        bool Pass();

      private:
        std::mutex mutex_;
        std::condition_variable opened_;
        bool open_ = false;
    };

    static constexpr int32_t kStopRequested = 8;

    void ShowStatus(std::u16string_view text);
    void FailStartUp(std::u16string_view status, std::u16string_view text,
                     std::u16string_view caption);
    void CreateWorker(int32_t period_ms);
    void WorkerMain();
    void StopWorker();
    void EndThreads();
    void SetFlags(uint16_t flags);
    void ApplyPeriodAndFlags(int period, uint16_t flags);
    void ReArm();
    PeriodicTimer::Duration Scaled(double engine_ms) const;

    COneWireBus& bus_;
    GridKalvo& thermometers_;
    GridSw& switches_;
    GridSn* scenarios_;
    EngineOptions options_;
    SHELL::FileOps& day_file_ops_;
    SHELL::SettingFileOps& setting_ops_;
    // What the engine reports to; the threads below reach it, so it is declared before them.
    std::unique_ptr<Link> link_;
    PassListeners listeners_;
    AlarmLog alarm_log_;
    AlarmCommandRunner alarm_command_;
    ScenarioKeeper keeper_;
    std::mutex rules_mutex_;
    std::shared_ptr<const Rules> new_rules_;  // for the worker's next cycle; null: no change

    // Window thread only, unless atomic.
    std::atomic<int32_t> period_{kPeriodDefault};
    std::atomic<uint8_t> write_data_file_{1};  // read by the worker at every cycle
    uint8_t measure_at_start_ = 0;
    uint8_t hide_to_tray_ = 0;
    uint16_t flags_ = kFlagWriteDataFile;
    int32_t engine_started_ = 0;
    bool shut_down_ = false;
    bool closed_ = false;          // closed without a worker
    bool period_refused_ = false;  // the main pane shows kPeriodRangeText
    int series_count_ = 0;         // what the live chart was told
    StatusBar* status_bar_ = nullptr;

    // The worker's while it runs, the window thread's after the join.
    PassRecorder recorder_;
    BusSwitchOutputs outputs_;
    Thermostat thermostat_;
    MeasurementCycle cycle_;
    std::unique_ptr<Peer> peer_;
    std::atomic<int32_t> state_{int32_t(State::kStopped)};
    std::atomic<int32_t> stop_request_{0};
    Gate gate_;
    std::unique_ptr<PeriodicTimer> timer_;
    double timer_first_due_ms_ = kFirstDueMs;
    std::atomic<int32_t> timer_period_ms_{kPeriodDefault * 1000};
    // Last: they are joined before anything they use goes.
    std::thread worker_;
    std::thread startup_;
};

}  // namespace kalvo
