#include "logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "core/common/colour.h"
#include "core/common/folder_lock.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/paths.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/connect/connections.h"
#include "core/device/d2xx_binding.h"
#include "core/device/output_guard.h"
#include "core/device/rom_code.h"
#include "core/engine/program.h"
#include "core/scenario/scenario_file.h"
#include "platform.h"

namespace kalvo {
namespace {

constexpr const char* kProgramName = "kalvo-logger";
constexpr int kExitFailed = 1;
// lParam of a WM_CLOSE_REQUEST that a signal asked for (the engine's own carry 0).
constexpr intptr_t kCloseBySignal = 1;

void Line(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

// A box's text on one line: the line breaks a window would show become spaces.
std::u16string OneLine(std::u16string_view text) {
    std::u16string line;
    for (const char16_t c : text) {
        if (c == u'\n' || c == u'\r') {
            if (!line.empty() && line.back() != u' ') line.push_back(u' ');
        } else {
            line.push_back(c);
        }
    }
    return line;
}

// Every pane text as one stderr line, when it changes: the engine writes a standing bus fault
// into the pane every period, and a log needs it once. The main pane is also the service's
// status.
class StderrStatusBar : public StatusBar {
  public:
    void SetPaneText(int pane_id, std::u16string_view text) override {
        {
            std::lock_guard lock(mutex_);
            std::u16string& shown = panes_[pane_id];
            if (shown == text) return;
            shown = text;
        }
        if (text.empty()) return;
        const std::string line = Utf16ToUtf8(OneLine(text));
        Line(line);
        if (pane_id == kPaneMain) NotifyServiceManager("STATUS=" + line);
    }
    void CreateProgress(int, int, int, int) override {}
    void SetProgressPos(int pos) override { pos_ = pos; }
    int ProgressPos() const override { return pos_; }
    void StepProgress() override { ++pos_; }
    void RemoveProgress() override {}
    void SetPaneMark(int, Mark) override {}

  private:
    std::mutex mutex_;
    std::map<int, std::u16string> panes_;
    std::atomic<int> pos_{0};
};

// The engine's host without windows. Posted messages queue here and come back on the thread
// that runs Run(), in the order the window's event loop would deliver them.
class HeadlessHost : private EngineHost, private LiveView {
  public:
    HeadlessHost(Program& program, OutputGuard& guard, StatusBar& bar, const LoggerOptions& options)
        : program_(program),
          guard_(guard),
          bar_(bar),
          options_(options),
          attachment_(program.Attach(*this, this)) {}

    // Any thread: the orderly close, as the window's close button asks for it.
    void RequestClose() { Post(PostTarget::kFrame, WM_CLOSE_REQUEST, 0, kCloseBySignal); }

    // Until the close has completed; the exit code.
    int Run() {
        program_.GetEngine().OnInitView(&bar_);
        while (!closed_) {
            const Message m = Take();
            Dispatch(m);
        }
        return exit_code_;
    }
    bool Closed() const { return closed_; }

  private:
    struct Message {
        PostTarget target;
        uint32_t message;
        uintptr_t wparam;
        intptr_t lparam;
    };

    Message Take() {
        std::unique_lock lock(mutex_);
        posted_.wait(lock, [this] { return !queue_.empty(); });
        const Message m = queue_.front();
        queue_.pop_front();
        return m;
    }

    void Dispatch(const Message& m) {
        switch (m.target) {
            case PostTarget::kEngine:
                program_.GetEngine().OnMessage(m.message, m.wparam);
                if (m.message == WM_APP_BRIDGE_SEARCHED) AfterBridgeSearch();
                if (m.message == WM_APP_CYCLE && m.wparam == 1) OnPassDone();
                break;
            case PostTarget::kFrame:
                if (m.message == WM_APP_ENGINE_READY) OnEngineReady();
                if (m.message == WM_CLOSE_REQUEST) {
                    // A close the engine asks for before it is ready is a failed start-up.
                    if (m.lparam != kCloseBySignal && !ready_ && !close_requested_)
                        exit_code_ = kExitFailed;
                    OnClose(m.wparam);
                }
                break;
            case PostTarget::kLiveView:
                break;  // the samples went to ReplaceLiveSamples already
        }
    }

    // A bus with switches but no thermometer: the window stays open to show it, but a logger
    // that can never measure ends, so a service manager sees the failure.
    void AfterBridgeSearch() {
        const Engine& engine = program_.GetEngine();
        if (closed_ || close_requested_ || !engine.HasWorker() || engine.EngineStarted()) return;
        exit_code_ = kExitFailed;
        OnClose(0);
    }

    void OnEngineReady() {
        if (close_requested_ || closed_) return;
        ready_ = true;
        Engine& engine = program_.GetEngine();
        // Before the first pass can switch anything on.
        if (!guard_.Armed()) {
            std::string why;
            if (!StartOutputGuard(guard_, program_.Bus().OpenSerial(), &why))
                bar_.SetPaneText(kPaneMain, u"Output guard not started: " + Utf8ToUtf16(why));
        }
        // Measuring from the start is what the logger is for, whatever the window's start-up
        // option says.
        program_.StartMeasuring();
        if (!engine.WriteDataFile())
            Line("Recording is off in the settings: the passes are not written to the day file");
        NotifyServiceManager("READY=1");
        NotifyServiceManager("STATUS=Measuring " +
                             std::to_string(program_.Thermometers().RowCount()) +
                             " thermometers every " + std::to_string(engine.Period()) + " s");
    }

    // After every pass, complete or not: the worker and this loop are both alive.
    void OnPassDone() {
        if (closed_) return;
        NotifyServiceManager("WATCHDOG=1");
        if (!options_.once || close_requested_) return;
        PrintTable();
        // The close right after this pass, without the cycle another period would bring.
        OnClose(1);
    }

    // A line per thermometer: its id as Linux names 1-Wire devices, name and reading.
    void PrintTable() {
        GridKalvo& rows = program_.Thermometers();
        for (int row = 0; row < rows.RowCount(); ++row) {
            const RomCode rom = RomFromText(rows.CellText(row, GridKalvo::kColSerial));
            std::u16string value = rows.CellText(row, GridKalvo::kColTemperature);
            value.erase(0, value.find_first_not_of(u' '));
            if (value.empty()) value = kNoReading;
            std::printf("%s\t%s\t%s\n", W1Id(rom).c_str(),
                        Utf16ToUtf8(rows.ThermometerName(row)).c_str(), Utf16ToUtf8(value).c_str());
        }
        std::fflush(stdout);
    }

    // The window's close: with a worker, a request only asks it to stop; its own close
    // (wParam 1) shuts the engine down.
    void OnClose(uintptr_t wparam) {
        if (closed_) return;
        if (!closing_said_) {
            closing_said_ = true;
            NotifyServiceManager("STOPPING=1");
        }
        if ((wparam == 0 || wparam == 1) && !program_.GetEngine().OnClose(wparam)) {
            close_requested_ = true;
            return;
        }
        closed_ = true;
    }

    // ---- EngineHost ----
    void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) override {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back({target, message, wparam, lparam});
        }
        posted_.notify_one();
    }
    void ShowMessageBox(std::u16string_view caption, std::u16string_view text) override {
        kalvo::ShowMessageBox(caption, OneLine(text), BoxKind::kOk);
    }
    void HideMainWindow() override {}
    // The stored rectangle is kept as it came, for the window's next start.
    WindowRect MainWindowRect() const override { return rect_; }
    void MoveMainWindow(const WindowRect& rect) override { rect_ = rect; }
    void ShowPeriodAndFlags(int, uint16_t) override {}

    // ---- LiveView ----
    void SetSeriesCount(int) override {}
    void SetEngineReady(uint32_t) override {}
    void ReplaceLiveSamples(const SampleList&) override {}
    uint32_t GetBackgroundColor() const override { return background_; }
    void SetBackgroundColor(uint32_t colorref) override { background_ = colorref; }
    uint32_t GetGridColor() const override { return grid_; }
    void SetGridColor(uint32_t colorref) override { grid_ = colorref; }

    Program& program_;
    OutputGuard& guard_;
    StatusBar& bar_;
    const LoggerOptions& options_;

    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Message> queue_;

    // This thread's.
    bool ready_ = false;
    bool close_requested_ = false;
    bool closing_said_ = false;
    bool closed_ = false;
    int exit_code_ = 0;
    WindowRect rect_;
    uint32_t background_ = Rgb(255, 255, 255);
    uint32_t grid_ = Rgb(192, 192, 192);
    // Last, so it ends first: the engine's threads stop while everything above still stands.
    Program::Attachment attachment_;
};

}  // namespace

// ---- KeepWindowSettings ----

int KeepWindowSettings::Open(const std::string& path, Access access) {
    if (access == Access::kRead) return SettingFileOps::Open(path, access);
    const int handle = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (handle >= 0) {
        discarded_handles_[handle] = path;
        discarded_paths_.insert(path);
    }
    return handle;
}

bool KeepWindowSettings::Close(int handle) {
    discarded_handles_.erase(handle);
    return SettingFileOps::Close(handle);
}

bool KeepWindowSettings::Write(int handle, const void* data, size_t n) {
    return discarded_handles_.count(handle) ? true : SettingFileOps::Write(handle, data, n);
}

bool KeepWindowSettings::Truncate(int handle, uint64_t size) {
    return discarded_handles_.count(handle) ? true : SettingFileOps::Truncate(handle, size);
}

bool KeepWindowSettings::Sync(int handle) {
    return discarded_handles_.count(handle) ? true : SettingFileOps::Sync(handle);
}

bool KeepWindowSettings::SetAttributes(const std::string&, Attributes) {
    return true;  // the window's file keeps its mode
}

bool KeepWindowSettings::SyncFile(const std::string& path) {
    return discarded_paths_.count(path) ? true : SettingFileOps::SyncFile(path);
}

bool KeepWindowSettings::Replace(const std::string& from, const std::string& to) {
    if (discarded_paths_.erase(from)) return true;
    return SettingFileOps::Replace(from, to);
}

bool KeepWindowSettings::Remove(const std::string& path) {
    if (discarded_paths_.erase(path)) return true;
    errno = EPERM;
    return false;
}

// ---- the run ----

int RunLogger(const LoggerOptions& options) {
    // First, so that every thread made from here on leaves the signals to the listener.
    CloseSignals signals;
    StderrStatusBar bar;

    const std::string root = options.data.empty() ? ArchiveRoot() : options.data;
    FolderLock lock;
    const FolderLock::Outcome locked = lock.Take(root, kProgramName);
    if (locked == FolderLock::Outcome::kHeld) {
        ShowMessageBox(u"Error", FolderInUseText(root, lock.Holder()));
        return kExitFailed;
    }
    if (locked == FolderLock::Outcome::kUnavailable)
        Line("The data folder is not locked against a second program: " + lock.Why());

    // Switches the outputs off should this process end other than through its close protocol.
    // Declared before the program, so on any other way out of here the bridge is let go first.
    OutputGuard guard;
    KeepWindowSettings settings;
    EngineOptions engine;
    engine.archive_root = PrepareProgramArchive(root);
    engine.setting_ops = &settings;
    // A logger that cannot record has nothing to do.
    if (engine.archive_root.empty()) return kExitFailed;
    const std::string engine_root = engine.archive_root;
    Program program(DriverApi(), std::move(engine));
    if (!options.scenarios.empty()) {
        const ScenarioFileResult loaded = program.LoadScenarioFile(options.scenarios);
        if (!loaded.ok)
            bar.SetPaneText(kPaneMain,
                            std::u16string(kScenarioLoadFailedText) + u": " +
                                (loaded.status.empty() ? kScenarioOpenFailedText : loaded.status));
        else if (!loaded.status.empty())
            bar.SetPaneText(kPaneMain, loaded.status);
        if (!loaded.ok) {
            Line("The scenario file " + options.scenarios + " could not be loaded");
            return kExitFailed;
        }
    }
    // Rules and publishing from kalvo.ini, in force from the first pass; ends before the
    // program, after the host's orderly close, so "offline" follows the last pass.
    Connections connections(program, engine_root, [](const std::string& line) { Line(line); });
    connections.Start(program.GetEngine().Period());

    int code = 0;
    bool closed_in_order = false;
    {
        HeadlessHost host(program, guard, bar, options);
        signals.SetReceiver([&host] { host.RequestClose(); });
        code = host.Run();
        closed_in_order = host.Closed();
        signals.SetReceiver({});
    }
    // The engine has shut down and left the outputs as an orderly close leaves them.
    if (closed_in_order) guard.Disarm();
    return code;
}

}  // namespace kalvo
