// Test entry: every test runs in a fixed time zone (UTC+3, no summer time) and, for Qt, offscreen.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
    setenv("TZ", "MSK-3", 1);
    tzset();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
