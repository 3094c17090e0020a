// kalvo-archive plot DAYFILE OUT.png [--size WxH] [--scroll X]: the day as its tab shows it.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/archive/data_file.h"
#include "desktop/chart/chart.h"
#include "desktop/chart/chart_layout.h"
#include "plot_command.h"

namespace kalvo {
namespace {

constexpr int kMaxSide = 16384;  // pixels; beyond this the image would not be drawn usefully

const char kPlotUsage[] =
    "usage: kalvo-archive plot DAYFILE OUT.png [--size WxH] [--scroll X]\n"
    "  WxH: image size in pixels (default 1000x600), X: scroll position in pixels (default 0)\n";

int PlotFail(const std::string& text) {
    std::fprintf(stderr, "kalvo-archive plot: %s\n", text.c_str());
    return 1;
}

// A whole decimal number in [low, high], all of the text.
bool ParseBounded(const std::string& text, long low, long high, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || v < low || v > high || !std::isdigit(uint8_t(text[0]))) return false;
    *value = int(v);
    return true;
}

bool ParseSize(const std::string& text, int* width, int* height) {
    const size_t x = text.find_first_of("xX");
    return x != std::string::npos && ParseBounded(text.substr(0, x), 1, kMaxSide, width) &&
           ParseBounded(text.substr(x + 1), 1, kMaxSide, height);
}

// Qt needs an application object for fonts; a tool run has none, and no display either.
std::unique_ptr<QGuiApplication> EnsureGuiApplication() {
    if (QCoreApplication::instance()) return nullptr;
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "kalvo-archive";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

}  // namespace

int RunPlotCommand(int argc, char** argv) {
    std::string day, out;
    int width = 1000, height = 600, scroll = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--size" && has_value) {
            if (!ParseSize(argv[++i], &width, &height))
                return PlotFail("bad --size (WxH, 1 to 16384 each): " + std::string(argv[i]));
        } else if (arg == "--scroll" && has_value) {
            if (!ParseBounded(argv[++i], 0, INT_MAX / 64, &scroll))
                return PlotFail("bad --scroll (pixels, 0 or more): " + std::string(argv[i]));
        } else if (!arg.empty() && arg[0] != '-' && day.empty()) {
            day = arg;
        } else if (!arg.empty() && arg[0] != '-' && out.empty()) {
            out = arg;
        } else {
            std::fputs(kPlotUsage, stderr);
            return 1;
        }
    }
    if (day.empty() || out.empty()) {
        std::fputs(kPlotUsage, stderr);
        return 1;
    }

    SampleList records;
    SHELL::ReadError why = SHELL::ReadError::kNone;
    SHELL::CDataFile file;
    const uint32_t thermometers = file.Read(day, records, &why);
    if (thermometers == 0) return PlotFail(day + ": " + SHELL::ReadErrorText(why));

    const std::unique_ptr<QGuiApplication> app = EnsureGuiApplication();
    CChart chart;
    if (!chart.Init()) return PlotFail("cannot start drawing");
    chart.SetSeriesCount(int(std::min<uint32_t>(thermometers, INT_MAX)));
    chart.Append(records);
    const TemperatureRange range = DayRange(records);
    chart.SetRange(range.upper, range.lower);
    chart.SetScrollX(scroll);

    QImage image(width, height, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        chart.Draw(painter, QRect(0, 0, width, height));
    }
    if (!image.save(QString::fromLocal8Bit(out.c_str()), "PNG"))
        return PlotFail("cannot write " + out);
    return 0;
}

}  // namespace kalvo
