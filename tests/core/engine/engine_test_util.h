#pragma once
// Fakes of the engine's surroundings: a host that queues what the engine posts and pumps it on
// the test thread as the windows would, a live view and a settings peer that remember.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "core/archive/archive_test_util.h"
#include "core/common/messages.h"
#include "core/engine/engine.h"
#include "core/scenario/grid_sn.h"

namespace kalvo::testing_util {

struct FakePeer : SettingsPeer {
    uint32_t BackgroundColour() const override { return background; }
    void SetBackgroundColour(uint32_t c) override { background = c; }
    uint32_t GridColour() const override { return grid; }
    void SetGridColour(uint32_t c) override { grid = c; }
    int Period() const override { return period; }
    uint16_t Flags() const override { return flags; }
    void ApplyPeriodAndFlags(int p, uint16_t f) override { period = p, flags = f; }
    WindowRect MainWindowRect() const override { return rect; }
    void MoveMainWindow(const WindowRect& r) override { rect = r; }
    uint32_t background = 1, grid = 2;
    int period = 2;
    uint16_t flags = 1;
    WindowRect rect{1, 1, 1, 1};
};

struct FakeLiveView : LiveView {
    void SetSeriesCount(int count) override { series = count; }
    void SetEngineReady(uint32_t ready) override { engine_ready = ready; }
    void ReplaceLiveSamples(const SampleList& samples) override {
        std::lock_guard lock(mutex);
        live = samples;
    }
    uint32_t GetBackgroundColor() const override { return 0; }
    void SetBackgroundColor(uint32_t) override {}
    uint32_t GetGridColor() const override { return 0; }
    void SetGridColor(uint32_t) override {}
    int series = -1;
    uint32_t engine_ready = 0;
    std::mutex mutex;
    SampleList live;
};

class TestHost : public EngineHost {
  public:
    struct Posted {
        PostTarget target;
        uint32_t message;
        uintptr_t wparam;
    };
    void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t) override {
        std::lock_guard lock(mutex_);
        queue_.push_back({target, message, wparam});
        posted_.notify_all();
    }
    void ShowMessageBox(std::u16string_view caption, std::u16string_view text) override {
        boxes.push_back(std::u16string(caption) + u": " + std::u16string(text));
    }
    void RunStartCommand() override {
        ++start_commands;
        scenarios->RestartAll();
        engine->StartMeasuring(true);
    }
    void HideToTray() override { ++tray_hides; }
    void HideMainWindow() override { hidden = true; }
    WindowRect MainWindowRect() const override { return {100, 100, 900, 700}; }
    void MoveMainWindow(const WindowRect&) override {}
    void ShowPeriodAndFlags(int period, uint16_t) override { shown_period = period; }

    // Handles posted messages until `done` holds (false after `limit`), or, without `done`, until
    // the queue is empty.
    bool Pump(const std::function<bool()>& done = nullptr,
              std::chrono::milliseconds limit = std::chrono::minutes(2)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done || !done()) {
            Posted m;
            {
                std::unique_lock lock(mutex_);
                if (!done && queue_.empty()) return true;
                if (!posted_.wait_until(lock, deadline, [&] { return !queue_.empty(); }))
                    return false;
                m = queue_.front();
                queue_.pop_front();
            }
            Handle(m);
        }
        return true;
    }
    int Count(PostTarget target, uint32_t message, intptr_t wparam = -1) const {
        int n = 0;
        for (const Posted& m : handled)
            n += m.target == target && m.message == message &&
                 (wparam < 0 || intptr_t(m.wparam) == wparam);
        return n;
    }
    int Begun() const { return Count(PostTarget::kPage, WM_APP_CYCLE, 0); }
    int Ended() const { return Count(PostTarget::kPage, WM_APP_CYCLE, 1); }

    Engine* engine = nullptr;
    GridSn* scenarios = nullptr;
    std::vector<Posted> handled;
    std::vector<std::u16string> boxes;
    std::vector<size_t> batch_sizes;  // write batch size at each WM_APP_WRITE_BATCH
    std::vector<int> batch_cycles;    // cycles begun by then
    bool closed = false, hidden = false;
    int start_commands = 0, tray_hides = 0, shown_period = 0;

  private:
    void Handle(const Posted& m) {
        handled.push_back(m);
        if (m.target == PostTarget::kFrame && m.message == WM_CLOSE_REQUEST)
            closed = closed || engine->OnClose(m.wparam);
        if (m.target != PostTarget::kPage) return;
        if (m.message == WM_APP_BRIDGE_SEARCHED) engine->OnBridgeSearched(m.wparam);
        if (m.message == WM_APP_CYCLE) engine->OnCycle(m.wparam);
        if (m.message == WM_APP_WRITE_BATCH) {
            batch_sizes.push_back(engine->WriteBatchSize());
            batch_cycles.push_back(Begun());
            engine->OnWriteBatch();
        }
    }

    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Posted> queue_;
};

}  // namespace kalvo::testing_util
