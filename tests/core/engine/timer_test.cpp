// The periodic timer's waitable-timer semantics. Expiries are kept far from the waits, so a
// slow machine cannot change an outcome.
#include <gtest/gtest.h>

#include <thread>

#include "core/engine/periodic_timer.h"

namespace kalvo {
namespace {

using namespace std::chrono_literals;
using R = PeriodicTimer::WaitResult;

TEST(PeriodicTimerTest, Semantics) {
    PeriodicTimer timer;
    EXPECT_EQ(timer.Wait(0ms), R::kTimedOut);  // never armed
    timer.Arm(0ms, 1h);                        // due 0: signalled at once
    EXPECT_EQ(timer.Wait(0ms), R::kSignalled);
    EXPECT_EQ(timer.Wait(0ms), R::kTimedOut);  // auto-reset
    timer.Arm(1h, 1h);
    EXPECT_EQ(timer.Wait(5ms), R::kTimedOut);

    timer.Arm(1ms, 1ms);  // twenty expiries nobody waited for make one signal
    std::this_thread::sleep_for(20ms);
    timer.Cancel();  // stops the expiries, keeps the signal
    EXPECT_EQ(timer.Wait(0ms), R::kSignalled);
    EXPECT_EQ(timer.Wait(5ms), R::kTimedOut);

    timer.Arm(2ms, 1h);  // a blocked wait wakes at the expiry
    EXPECT_EQ(timer.Wait(1h), R::kSignalled);
    timer.Arm(0ms, 1h);  // re-arming drops the old schedule's signal
    timer.Arm(1h, 1h);
    EXPECT_EQ(timer.Wait(0ms), R::kTimedOut);
    timer.Arm(0ms, 1h);
    timer.ClearPending();
    EXPECT_EQ(timer.Wait(0ms), R::kTimedOut);

    std::thread closer([&] {
        std::this_thread::sleep_for(5ms);
        timer.Close();
    });
    EXPECT_EQ(timer.Wait(1h), R::kFailed);
    closer.join();
    timer.Arm(0ms, 1h);
    EXPECT_EQ(timer.Wait(0ms), R::kFailed);
}

}  // namespace
}  // namespace kalvo
