// Entry of every Qt test: fixed time zone (UTC+3), Qt offscreen, one QApplication for all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>

#include <clocale>
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
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
