#pragma once
// A periodic timer with the semantics of an auto-reset waitable timer: each expiry signals it,
// one wait consumes the signal, and expiries nobody waited for coalesce into one pending signal.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kalvo {

class PeriodicTimer {
  public:
    using Duration = std::chrono::nanoseconds;
    enum class WaitResult { kSignalled, kTimedOut, kFailed };

    PeriodicTimer() = default;
    ~PeriodicTimer() = default;
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // First expiry `due` from now (zero or less: signalled at once), then every `period`
    // (zero: once only). A pending signal of the previous schedule is dropped.
    void Arm(Duration due, Duration period);
    // No further expiries; a signal already pending stays.
    void Cancel();
    // Drops a pending signal, keeping the schedule.
    void ClearPending();
    // Every wait, present and future, fails.
    void Close();
    bool IsClosed() const;

    // Blocks until the timer is signalled (consuming the signal) or `timeout` has passed.
    WaitResult Wait(Duration timeout);

    // The schedule last armed, for inspection.
    Duration ArmedDue() const;
    Duration ArmedPeriod() const;
    bool IsArmed() const;

  private:
    using Clock = std::chrono::steady_clock;
    // Marks expiries up to `now` as one pending signal; caller holds mutex_.
    void ExpireLocked(Clock::time_point now);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool pending_ = false;
    bool closed_ = false;
    Clock::time_point next_{};
    Duration period_{0};
    Duration armed_due_{0};
};

}  // namespace kalvo
