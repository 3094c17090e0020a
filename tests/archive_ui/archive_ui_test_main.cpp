// Entry of the archive window tests: fixed time zone (UTC+3), Qt offscreen, one QApplication.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <ctime>

// Qt and fontconfig keep caches until exit that the leak checker would report; only theirs.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6Core\nleak:libQt6Gui\nleak:libQt6Widgets\n"
           "leak:libglib\nleak:libfreetype\n";
}

int main(int argc, char** argv) {
    setenv("TZ", "MSK-3", 1);
    tzset();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
