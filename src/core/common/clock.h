#pragma once
#include <atomic>
#include <cstdint>

namespace kalvo {

// Millisecond time base shared by the bus master and the simulator, so tests can run the bus on
// a manual clock instead of waiting.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t NowMs() = 0;  // monotonic, ms
    virtual void SleepMs(int64_t ms) = 0;
};

// steady_clock and real sleeps.
Clock& SystemClock();

// Advances only when told to or when something sleeps on it.
class ManualClock : public Clock {
  public:
    explicit ManualClock(int64_t start_ms = 0) : now_(start_ms) {}
    int64_t NowMs() override { return now_.load(); }
    void SleepMs(int64_t ms) override {
        if (ms > 0) now_.fetch_add(ms);
    }
    void Advance(int64_t ms) { now_.fetch_add(ms); }

  private:
    std::atomic<int64_t> now_;
};

}  // namespace kalvo
