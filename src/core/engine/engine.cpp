#include "core/engine/engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "core/archive/day_archive.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "core/engine/platform_thread.h"

namespace kalvo {
namespace {

constexpr int kPaneCycleBegun = 3;
constexpr int kPaneCycleEnded = 4;

std::string InRoot(const std::string& root, const char* name) {
    return root.empty() ? std::string() : root + SHELL::kPathSeparator + name;
}

}  // namespace

// What the engine reports to: the attached host and live view, or nothing. Without a live view
// the chart colours are kept here, so the settings file still saves what it loaded.
class Engine::Link : public EngineHost, public LiveView {
  public:
    EngineHost* host = nullptr;
    LiveView* live = nullptr;

    void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) override {
        if (host) host->Post(target, message, wparam, lparam);
    }
    void ShowMessageBox(std::u16string_view caption, std::u16string_view text) override {
        if (host) host->ShowMessageBox(caption, text);
    }
    void HideMainWindow() override {
        if (host) host->HideMainWindow();
    }
    WindowRect MainWindowRect() const override { return host ? host->MainWindowRect() : rect_; }
    void MoveMainWindow(const WindowRect& rect) override {
        if (host)
            host->MoveMainWindow(rect);
        else
            rect_ = rect;
    }
    void ShowPeriodAndFlags(int period, uint16_t flags) override {
        if (host) host->ShowPeriodAndFlags(period, flags);
    }

    void SetSeriesCount(int count) override {
        if (live) live->SetSeriesCount(count);
    }
    void SetEngineReady(uint32_t ready) override {
        if (live) live->SetEngineReady(ready);
    }
    void ReplaceLiveSamples(const SampleList& samples) override {
        if (live) live->ReplaceLiveSamples(samples);
    }
    uint32_t GetBackgroundColor() const override {
        return live ? live->GetBackgroundColor() : background_;
    }
    void SetBackgroundColor(uint32_t colorref) override {
        if (live) live->SetBackgroundColor(colorref);
        background_ = colorref;
    }
    uint32_t GetGridColor() const override { return live ? live->GetGridColor() : grid_; }
    void SetGridColor(uint32_t colorref) override {
        if (live) live->SetGridColor(colorref);
        grid_ = colorref;
    }

  private:
    uint32_t background_ = Rgb(255, 255, 255);
    uint32_t grid_ = Rgb(192, 192, 192);
    WindowRect rect_;
};

// The settings file's view of the engine, the live view and the main window.
class Engine::Peer : public SettingsPeer {
  public:
    explicit Peer(Engine& engine) : engine_(engine) {}
    uint32_t BackgroundColour() const override { return engine_.link_->GetBackgroundColor(); }
    void SetBackgroundColour(uint32_t c) override { engine_.link_->SetBackgroundColor(c); }
    uint32_t GridColour() const override { return engine_.link_->GetGridColor(); }
    void SetGridColour(uint32_t c) override { engine_.link_->SetGridColor(c); }
    int Period() const override { return engine_.Period(); }
    uint16_t Flags() const override { return engine_.Flags(); }
    void ApplyPeriodAndFlags(int period, uint16_t flags) override {
        engine_.ApplyPeriodAndFlags(period, flags);
    }
    WindowRect MainWindowRect() const override { return engine_.link_->MainWindowRect(); }
    void MoveMainWindow(const WindowRect& rect) override { engine_.link_->MoveMainWindow(rect); }

  private:
    Engine& engine_;
};

void Engine::Gate::Open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    opened_.notify_all();
}

void Engine::Gate::Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

bool Engine::Gate::Pass() {
    std::unique_lock lock(mutex_);
    if (open_) return false;
    opened_.wait(lock, [this] { return open_; });
    return true;
}

Engine::Engine(COneWireBus& bus, GridKalvo& thermometers, GridSw& switches, GridSn* scenarios,
               EngineOptions options)
    : bus_(bus),
      thermometers_(thermometers),
      switches_(switches),
      scenarios_(scenarios),
      options_(std::move(options)),
      day_file_ops_(options_.day_file_ops ? *options_.day_file_ops : SHELL::DefaultFileOps()),
      setting_ops_(options_.setting_ops ? *options_.setting_ops : SHELL::DefaultSettingFileOps()),
      link_(std::make_unique<Link>()),
      alarm_log_(InRoot(options_.archive_root, kAlarmLogName)),
      alarm_command_(
          [this](const std::string& line) {
              alarm_log_.Append(AlarmTimeText(NowSeconds()) + '\t' + line);
              std::fprintf(stderr, "%s\n", line.c_str());
              std::fflush(stderr);
          },
          std::chrono::milliseconds(options_.alarm_command_limit_ms)),
      keeper_(options_.archive_root),
      recorder_(options_.archive_root, day_file_ops_),
      outputs_(bus_),
      thermostat_(thermometers_, switches_, scenarios_, outputs_),
      cycle_(bus_, thermometers_, switches_, thermostat_, *link_, *link_, recorder_),
      peer_(std::make_unique<Peer>(*this)) {
    if (options_.ms_per_second <= 0) options_.ms_per_second = 1000;
    bus_.SetThermometerTable(&thermometers_);
    bus_.SetSwitchTable(&switches_);
    if (options_.bus_clock) bus_.SetClock(*options_.bus_clock);
    Clock& clock = options_.bus_clock ? *options_.bus_clock : SystemClock();
    thermostat_.SetClock(clock);
    cycle_.SetClock(clock);
    cycle_.SetOutputs(&listeners_, &alarm_log_, &alarm_command_);
}

void Engine::SetRules(const Rules& rules) {
    auto copy = std::make_shared<const Rules>(rules);
    std::lock_guard lock(rules_mutex_);
    new_rules_ = std::move(copy);
}

void Engine::Announce(std::u16string_view text) {
    ShowStatus(text);
    std::fprintf(stderr, "%s\n", Utf16ToUtf8(text).c_str());
    std::fflush(stderr);
}

Engine::~Engine() {
    EndThreads();
}

void Engine::EndThreads() {
    StopWorker();
    if (startup_.joinable()) startup_.join();
}

void Engine::Attach(EngineHost* host, LiveView* live) {
    EndThreads();
    link_->host = host;
    link_->live = live;
}

void Engine::Detach() {
    Attach(nullptr, nullptr);
    status_bar_ = nullptr;
    bus_.SetStatusBar(nullptr);
    cycle_.SetStatusBar(nullptr);
}

// ---- start-up ----

void Engine::ShowStatus(std::u16string_view text) {
    if (status_bar_) status_bar_->SetPaneText(kPaneMain, text);
}

void Engine::OnInitView(StatusBar* status_bar) {
    status_bar_ = status_bar;
    bus_.SetStatusBar(status_bar);
    if (startup_.joinable()) startup_.join();
    // Before any worker exists: the worker reads it at every cycle.
    cycle_.SetStatusBar(status_bar);
    try {
        startup_ = std::thread([this] {
            const bool found = bus_.SearchBridges();
            link_->Post(PostTarget::kEngine, WM_APP_BRIDGE_SEARCHED, found ? 1 : 0, 0);
        });
    } catch (const std::system_error&) {
        link_->Post(PostTarget::kEngine, WM_APP_BRIDGE_SEARCHED, 0, 0);
    }
}

bool Engine::OnMessage(uint32_t message, uintptr_t wparam) {
    switch (message) {
        case WM_APP_BRIDGE_SEARCHED:
            OnBridgeSearched(wparam);
            return true;
        case WM_APP_CYCLE:
            OnCycle(wparam);
            return true;
        default:
            return false;
    }
}

void Engine::FailStartUp(std::u16string_view status, std::u16string_view text,
                         std::u16string_view caption) {
    ShowStatus(status);
    link_->ShowMessageBox(caption, text);
    link_->Post(PostTarget::kFrame, WM_CLOSE_REQUEST, 0, 0);
}

void Engine::OnBridgeSearched(uintptr_t result) {
    // The search has posted its result; after the join the bus belongs to this thread.
    if (startup_.joinable()) startup_.join();
    // The window has closed while the search was out: nothing may start behind it.
    if (closed_) return;
    // A bridge that is there but will not open is told apart from none: the box says why.
    auto no_bridge = [this] {
        std::u16string text = u"Не найдены устройства FT232R, приложение будет закрыто.";
        if (!bus_.OpenFailure().empty()) text += u"\n\n" + bus_.OpenFailure();
        FailStartUp(u"Devices search FT232R failed", text, u"Error FT232R");
    };
    if (result == 0) {
        no_bridge();
        return;
    }
    const bool opened = result == 1 && bus_.OpenBus();
    if (!opened && !bus_.OpenFailure().empty()) {
        no_bridge();
        return;
    }
    if (!opened) {
        FailStartUp(u"Devices search 1Wire failed",
                    u"Не найдены устройства на шине 1-wire, приложение будет закрыто.",
                    u"Error 1-wire");
        return;
    }
    CreateWorker(period_.load() * 1000);
    ShowStatus(u"Devices search 1Wire completed successfully");

    if (!thermometers_.Fill(bus_)) {
        ShowStatus(u"Thermometers have not been found, the application can not be used");
        link_->SetEngineReady(0);
        // Nothing will ever control these outputs in this run; one left on by a crash stays off.
        for (const RomCode code : bus_.Switches()) bus_.SetChannels(code, 0, 0);
        return;
    }
    switches_.Fill(bus_);
    // An output left on by a crash or a power cut of the computer must not run uncontrolled
    // until the first cycle; this is also the state an orderly shutdown leaves.
    thermostat_.AllSwitchesOff();
    series_count_ = thermometers_.RowCount();
    link_->SetSeriesCount(series_count_);

    // The stored start-up options apply only when the file that holds them has loaded whole;
    // the host applies them when it hears that the engine is ready.
    uint16_t start_up = 0;
    SettingsError why = SettingsError::kNone;
    if (!LoadSettings(&why)) {
        const SettingsNotice notice = SetAsideFailedSettings(SettingsPath(), why, setting_ops_);
        ShowStatus(notice.status);
        if (!notice.box.empty()) link_->ShowMessageBox(kSettingsBoxCaption, notice.box);
    } else {
        start_up = flags_ & (kFlagHideToTray | kFlagMeasureAtStart);
        ReportAbsentDevices(thermometers_, switches_, status_bar_);
    }
    engine_started_ = 1;
    link_->Post(PostTarget::kFrame, WM_APP_ENGINE_READY, start_up, 0);
    link_->SetEngineReady(1);
}

// ---- worker ----

PeriodicTimer::Duration Engine::Scaled(double engine_ms) const {
    // One engine millisecond lasts ms_per_second microseconds of real time.
    return PeriodicTimer::Duration(
        int64_t(std::llround(engine_ms * options_.ms_per_second * 1000.0)));
}

void Engine::CreateWorker(int32_t period_ms) {
    if (worker_.joinable()) return;
    timer_ = std::make_unique<PeriodicTimer>();
    timer_first_due_ms_ = kFirstDueMs;
    timer_period_ms_.store(period_ms);
    stop_request_.store(0);
    gate_.Close();
    try {
        worker_ = std::thread(&Engine::WorkerMain, this);
        state_.store(int32_t(State::kPaused));
    } catch (const std::system_error&) {
        state_.store(int32_t(State::kStopped));
        timer_.reset();
    }
}

void Engine::WorkerMain() {
    RaiseCurrentThreadPriority();
    // Created suspended: nothing happens before the first start command (or a close).
    gate_.Pass();
    timer_->Arm(Scaled(timer_first_due_ms_), Scaled(timer_period_ms_.load()));
    for (;;) {
        int32_t expected = kStopRequested;
        if (stop_request_.compare_exchange_strong(expected, 0)) {
            state_.exchange(int32_t(State::kStopped));
            link_->Post(PostTarget::kFrame, WM_CLOSE_REQUEST, 1, 0);
            return;
        }
        const PeriodicTimer::Duration timeout = Scaled(2.0 * period_.load() * 1000.0);
        if (timer_->Wait(timeout) != PeriodicTimer::WaitResult::kSignalled) continue;
        // A pause that took hold after the signal holds it; that signal stands for every
        // expiry of the pause, so the resume brings one cycle, not two.
        if (gate_.Pass()) timer_->ClearPending();
        link_->Post(PostTarget::kEngine, WM_APP_CYCLE, 0, 0);
        std::shared_ptr<const Rules> rules;
        {
            std::lock_guard lock(rules_mutex_);
            rules.swap(new_rules_);
        }
        if (rules) {
            thermostat_.SetProtection(rules->channels);
            cycle_.SetRules(std::move(rules));
        }
        cycle_.Run(WriteDataFile(), period_.load());
        if (scenarios_) keeper_.Pass(*scenarios_);
        link_->Post(PostTarget::kEngine, WM_APP_CYCLE, 1, 0);
    }
}

void Engine::StopWorker() {
    if (!worker_.joinable()) return;
    stop_request_.store(kStopRequested);
    if (timer_) timer_->Close();
    gate_.Open();
    worker_.join();
}

void Engine::StartMeasuring(bool start) {
    if (!worker_.joinable()) return;
    if (start) {
        // The state first: once the gate is open the worker may run to its end and stop.
        int32_t expected = int32_t(State::kPaused);
        if (state_.compare_exchange_strong(expected, int32_t(State::kRunning))) gate_.Open();
    } else {
        // Once a stop is asked for, a pause would hold the worker at the gate and the close
        // would never finish.
        if (stop_request_.load() == kStopRequested) return;
        int32_t expected = int32_t(State::kRunning);
        if (state_.compare_exchange_strong(expected, int32_t(State::kPaused))) gate_.Close();
    }
}

bool Engine::HasWorker() const {
    return worker_.joinable();
}

void Engine::RequestStop() {
    stop_request_.store(kStopRequested);
}

// ---- window-thread messages ----

void Engine::OnCycle(uintptr_t wparam) {
    if (wparam == 1 && engine_started_ && thermometers_.RowCount() != series_count_) {
        series_count_ = thermometers_.RowCount();
        link_->SetSeriesCount(series_count_);
    }
    if (!status_bar_) return;
    if (wparam == 0) {
        status_bar_->SetPaneMark(kPaneCycleBegun, StatusBar::kMarkRed);
        status_bar_->SetPaneMark(kPaneCycleEnded, StatusBar::kMarkNone);
    } else {
        status_bar_->SetPaneMark(kPaneCycleEnded, StatusBar::kMarkGreen);
        status_bar_->SetPaneMark(kPaneCycleBegun, StatusBar::kMarkNone);
    }
}

bool Engine::OnClose(uintptr_t wparam) {
    if (wparam == 1) {
        Shutdown();
        return true;
    }
    if (wparam != 0 || !HasWorker()) {
        closed_ = true;
        return true;
    }
    // The stop request goes first, so a worker that never measured ends without a cycle; one
    // that was paused after a timer signal still runs that cycle.
    RequestStop();
    if (GetState() == State::kPaused) StartMeasuring(true);
    link_->HideMainWindow();
    return false;
}

void Engine::Shutdown() {
    if (shut_down_) return;
    shut_down_ = true;
    // The worker has ended (or is made to); after the join the bus is this thread's.
    StopWorker();
    timer_.reset();
    thermostat_.AllSwitchesOff();
    if (scenarios_) keeper_.Close(*scenarios_);
    if (!engine_started_) return;
    std::u16string unsaved;
    if (!SaveSettings(&unsaved) && !unsaved.empty())
        link_->ShowMessageBox(kSettingsBoxCaption, unsaved);
    // The cycles append every pass; what is left are records an append refused.
    SampleList rest;
    rest.swap(bus_.PendingSamples());
    bus_.ClearPending();
    if (!WriteDataFile()) {
        recorder_.Drop();
        return;
    }
    const size_t waiting = rest.size() + recorder_.KeptCount();
    const bool written = recorder_.Record(rest, uint32_t(thermometers_.RowCount())).ok();
    const bool synced = recorder_.Flush();
    if (options_.archive_root.empty()) return;
    // The last chance for these samples: a loss is said, not silent.
    if (!written) {
        link_->ShowMessageBox(u"Error", FormatRus(u"The day file could not be written: %d "
                                                  u"measurements of this run are lost",
                                                  int(waiting)));
    } else if (!synced) {
        link_->ShowMessageBox(u"Error",
                              u"The day file could not be synced to the disk: the "
                              u"last minute of measurements may be lost on a power cut");
    }
}

// ---- period and options ----

void Engine::SetFlags(uint16_t flags) {
    flags_ = flags & kFlagMask;
    write_data_file_ = (flags_ & kFlagWriteDataFile) ? 1 : 0;
    measure_at_start_ = (flags_ & kFlagMeasureAtStart) ? 1 : 0;
    hide_to_tray_ = (flags_ & kFlagHideToTray) ? 1 : 0;
}

void Engine::SetOption(uint16_t flag, bool on) {
    SetFlags(on ? uint16_t(flags_ | flag) : uint16_t(flags_ & ~flag));
}

void Engine::ReArm() {
    const int32_t period_ms = period_.load() * 1000;
    timer_period_ms_.store(period_ms);
    if (timer_) timer_->Arm(PeriodicTimer::Duration(0), Scaled(period_ms));
}

void Engine::ApplyPeriodAndFlags(int period, uint16_t flags) {
    SetFlags(flags);
    period_.store(period);
    link_->ShowPeriodAndFlags(period, flags_);
    ReArm();
}

void Engine::OnPeriodEntered(std::u16string_view text) {
    int64_t value = 0;
    if (!ParseInteger(text, &value) || value < kPeriodMin || value > kPeriodMax) {
        ShowStatus(kPeriodRangeText);
        period_refused_ = true;
        period_.store(kPeriodDefault);
        link_->ShowPeriodAndFlags(kPeriodDefault, flags_);
    } else {
        period_.store(int32_t(value));
        // The refusal no longer holds.
        if (period_refused_) ShowStatus(u"");
        period_refused_ = false;
    }
    ReArm();
}

// ---- settings ----

std::string Engine::SettingsPath() const {
    if (options_.archive_root.empty()) return {};
    return options_.archive_root + SHELL::kPathSeparator + kSettingsFileName;
}

bool Engine::LoadSettings(SettingsError* why) {
    SHELL::CFileSetting file(setting_ops_);
    return file.Load(SettingsPath(), *peer_, thermometers_, switches_, why);
}

bool Engine::SaveSettings(std::u16string* why) {
    SHELL::CFileSetting file(setting_ops_);
    return file.Save(SettingsPath(), *peer_, thermometers_, switches_, why);
}

}  // namespace kalvo
