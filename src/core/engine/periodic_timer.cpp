#include "core/engine/periodic_timer.h"

namespace kalvo {

void PeriodicTimer::Arm(Duration due, Duration period) {
    {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        armed_due_ = due;
        period_ = period.count() > 0 ? period : Duration(0);
        pending_ = false;
        armed_ = true;
        if (due.count() <= 0) {
            pending_ = true;
            if (period_.count() > 0)
                next_ = now + period_;
            else
                armed_ = false;
        } else {
            next_ = now + due;
        }
    }
    changed_.notify_all();
}

void PeriodicTimer::Cancel() {
    {
        std::lock_guard lock(mutex_);
        // Expiries up to now have happened; only later ones are cancelled.
        ExpireLocked(Clock::now());
        armed_ = false;
    }
    changed_.notify_all();
}

void PeriodicTimer::ClearPending() {
    std::lock_guard lock(mutex_);
    ExpireLocked(Clock::now());
    pending_ = false;
}

void PeriodicTimer::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        armed_ = false;
        pending_ = false;
    }
    changed_.notify_all();
}

bool PeriodicTimer::IsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void PeriodicTimer::ExpireLocked(Clock::time_point now) {
    if (!armed_ || now < next_) return;
    pending_ = true;
    if (period_.count() <= 0) {
        armed_ = false;
        return;
    }
    // Every expiry up to now folds into the one signal; the schedule keeps its phase.
    const auto missed = (now - next_) / period_ + 1;
    next_ += period_ * missed;
}

PeriodicTimer::WaitResult PeriodicTimer::Wait(Duration timeout) {
    std::unique_lock lock(mutex_);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    for (;;) {
        if (closed_) return WaitResult::kFailed;
        const Clock::time_point now = Clock::now();
        ExpireLocked(now);
        if (pending_) {
            pending_ = false;
            return WaitResult::kSignalled;
        }
        if (now >= deadline) return WaitResult::kTimedOut;
        const Clock::time_point wake = armed_ && next_ < deadline ? next_ : deadline;
        changed_.wait_until(lock, wake);
    }
}

PeriodicTimer::Duration PeriodicTimer::ArmedDue() const {
    std::lock_guard lock(mutex_);
    return armed_due_;
}

PeriodicTimer::Duration PeriodicTimer::ArmedPeriod() const {
    std::lock_guard lock(mutex_);
    return period_;
}

bool PeriodicTimer::IsArmed() const {
    std::lock_guard lock(mutex_);
    return armed_;
}

}  // namespace kalvo
