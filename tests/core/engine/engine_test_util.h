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
#include "core/engine/fake_peer.h"
#include "core/engine/program.h"
#include "core/scenario/grid_sn.h"

namespace kalvo::testing_util {

struct FakeLiveView : LiveView {
    void SetSeriesCount(int count) override { series = count; }
    void SetEngineReady(uint32_t ready) override { engine_ready = ready; }
    void ReplaceLiveSamples(const SampleList& samples) override {
        std::lock_guard lock(mutex);
        live = samples;
        ++replacements;
    }
    uint32_t GetBackgroundColor() const override { return 0; }
    void SetBackgroundColor(uint32_t) override {}
    uint32_t GetGridColor() const override { return 0; }
    void SetGridColor(uint32_t) override {}
    int series = -1;
    uint32_t engine_ready = 0;
    std::mutex mutex;
    SampleList live;
    int replacements = 0;
};

class TestHost : public EngineHost {
  public:
    struct Posted {
        PostTarget target;
        uint32_t message;
        uintptr_t wparam;
    };
    void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t) override {
        if (target == PostTarget::kEngine && message == WM_APP_CYCLE && on_cycle) on_cycle(wparam);
        std::lock_guard lock(mutex_);
        queue_.push_back({target, message, wparam});
        posted_.notify_all();
    }
    void ShowMessageBox(std::u16string_view caption, std::u16string_view text) override {
        boxes.push_back(std::u16string(caption) + u": " + std::u16string(text));
    }
    void HideMainWindow() override { hidden = true; }
    WindowRect MainWindowRect() const override { return {100, 100, 900, 700}; }
    void MoveMainWindow(const WindowRect&) override {}
    void ShowPeriodAndFlags(int period, uint16_t) override { shown_period = period; }

    // The frame's start command.
    void RunStartCommand() {
        ++start_commands;
        program->StartMeasuring();
    }

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
    // True while the message waits in the queue.
    bool Queued(PostTarget target, uint32_t message) {
        std::lock_guard lock(mutex_);
        for (const Posted& m : queue_)
            if (m.target == target && m.message == message) return true;
        return false;
    }
    int Begun() const { return Count(PostTarget::kEngine, WM_APP_CYCLE, 0); }
    int Ended() const { return Count(PostTarget::kEngine, WM_APP_CYCLE, 1); }

    Program* program = nullptr;
    Engine* engine = nullptr;
    // On the worker as it posts WM_APP_CYCLE: wparam 0 just before a cycle, 1 just after it. Set
    // before the worker starts.
    std::function<void(uintptr_t)> on_cycle;
    std::vector<Posted> handled;
    std::vector<std::u16string> boxes;
    bool closed = false, hidden = false;
    int start_commands = 0, tray_hides = 0, shown_period = 0;

  private:
    void Handle(const Posted& m) {
        handled.push_back(m);
        if (m.target == PostTarget::kFrame && m.message == WM_CLOSE_REQUEST)
            closed = closed || engine->OnClose(m.wparam);
        // The frame applies the stored start-up options once the engine is ready.
        if (m.target == PostTarget::kFrame && m.message == WM_APP_ENGINE_READY) {
            if (m.wparam & kFlagHideToTray) ++tray_hides;
            if (m.wparam & kFlagMeasureAtStart) RunStartCommand();
        }
        if (m.target != PostTarget::kEngine) return;
        engine->OnMessage(m.message, m.wparam);
    }

    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Posted> queue_;
};

// Makes the bus's manual clock keep the engine's pace: each cycle begins a period after the one
// before (or as soon as that one ends, when it overran), so timed faults of the simulator meet
// the passes as on a real bus however fast the test runs. Call Begin on the worker just before
// each cycle.
class PeriodPacer {
  public:
    PeriodPacer(ManualClock& clock, int64_t period_ms) : clock_(clock), period_ms_(period_ms) {}
    void Begin() {
        const int64_t now = clock_.NowMs();
        if (begun_ && now < last_ + period_ms_) clock_.Advance(last_ + period_ms_ - now);
        begun_ = true;
        last_ = clock_.NowMs();
    }

  private:
    ManualClock& clock_;
    int64_t period_ms_;
    bool begun_ = false;
    int64_t last_ = 0;
};

}  // namespace kalvo::testing_util
