// `kalvo-archive plot` on generated day files: the image, its range and scroll, and refusals.
#include <gtest/gtest.h>

#include <QImage>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/archive/data_file.h"
#include "day_file_generator.h"
#include "desktop/chart/chart_layout.h"
#include "plot_command.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;

class PlotCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kalvo_plot_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        day = (dir / "day7.dat").string();
        png = (dir / "day.png").string();
        DayFileOptions options;
        options.passes = 400;
        ASSERT_TRUE(WriteDayFile(day, options));
        range = DayRange(MakeDay(options));
    }
    void TearDown() override { fs::remove_all(dir); }

    int Plot(std::vector<std::string> args) {
        args.insert(args.begin(), "plot");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        testing::internal::CaptureStderr();
        const int rc = RunPlotCommand(int(argv.size()), argv.data());
        errors = testing::internal::GetCapturedStderr();
        return rc;
    }
    QImage Image() const { return QImage(QString::fromStdString(png)); }
    static uint32_t Px(const QImage& image, int x, int y) {
        return 0xFF000000u | image.pixel(x, y);
    }

    fs::path dir;
    std::string day, png, errors;
    TemperatureRange range;
};

TEST_F(PlotCommandTest, DrawsTheDayWithItsOwnRangeSizeAndScroll) {
    ASSERT_EQ(Plot({day, png, "--size", "640x400"}), 0);
    const QImage image = Image();
    ASSERT_EQ(image.size(), QSize(640, 400));
    // The day's range puts the top grid line on the plot's top edge and 0 degrees in red.
    const ChartLayout layout = ComputeChartLayout(640, 400, range.upper, range.lower);
    ASSERT_EQ(range.upper % 5, 0);
    EXPECT_EQ(Px(image, 600, layout.plot.y), 0xFFA9A9A9u);
    EXPECT_EQ(Px(image, 600, layout.plot.y + range.upper * layout.pixels_per_degree), 0xFFFF0000u);
    // Every thermometer's curve is there in its own colour.
    for (uint32_t colour : {0xFF4FA3FFu, 0xFF5CD65Cu, 0xFFFF9933u, 0xFFE05CE0u}) {
        int found = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) found += Px(image, x, y) == colour;
        EXPECT_GT(found, 100) << std::hex << colour;
    }
    ASSERT_EQ(Plot({day, png}), 0);
    const QImage start = Image();
    EXPECT_EQ(start.size(), QSize(1000, 600));
    ASSERT_EQ(Plot({day, png, "--scroll", "900"}), 0);
    EXPECT_NE(Image(), start);
}

TEST_F(PlotCommandTest, RejectedFilesAndBadArgumentsExitOneWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {day},
        {day, png, "--size", "0x5"},
        {day, png, "--size", "800"},
        {day, png, "--size", "99999x600"},
        {day, png, "--scroll", "-3"},
        {day, png, "--scroll", "12px"},
        {day, png, "extra"},
        {(dir / "missing.dat").string(), png},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(Plot(args), 1) << args.size();
        EXPECT_FALSE(errors.empty());
    }
    EXPECT_FALSE(fs::exists(png));
    EXPECT_EQ(Plot({day, (dir / "no" / "dir.png").string()}), 1);
    EXPECT_NE(errors.find("cannot write"), std::string::npos);

    std::FILE* f = std::fopen(day.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fputs("not a day file", f);
    std::fclose(f);
    EXPECT_EQ(Plot({day, png}), 1);
    EXPECT_NE(errors.find(day + ": " + SHELL::ReadErrorText(SHELL::ReadError::kMagic)),
              std::string::npos)
        << errors;
    EXPECT_FALSE(fs::exists(png));

    // 2 GiB of whole records (sparse): refused before anything is read or allocated.
    const std::string huge = (dir / "day8.dat").string();
    DayFileOptions options;
    options.passes = 2;
    ASSERT_TRUE(WriteDayFile(huge, options));
    fs::resize_file(huge, 32 + 96 * ((uint64_t(2) << 30) / 96));
    EXPECT_EQ(Plot({huge, png}), 1);
    EXPECT_NE(errors.find(SHELL::ReadErrorText(SHELL::ReadError::kTooLarge)), std::string::npos)
        << errors;
    EXPECT_FALSE(fs::exists(png));
}

}  // namespace
}  // namespace kalvo
