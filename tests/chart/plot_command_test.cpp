// `kalvo-archive plot` on generated day files: the image, its range and scroll, and refusals.
#include <gtest/gtest.h>

#include <QImage>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/data_file.h"
#include "chart/chart_layout.h"
#include "day_file_generator.h"
#include "kalvo_archive/plot_command.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;

class PlotCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("kalvo_plot_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        day = (dir / "day7.dat").string();
        png = (dir / "day.png").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    int Plot(std::vector<std::string> args) {
        args.insert(args.begin(), "plot");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return RunPlotCommand(int(argv.size()), argv.data());
    }
    static uint32_t Px(const QImage& image, int x, int y) {
        return 0xFF000000u | image.pixel(x, y);
    }

    fs::path dir;
    std::string day, png;
};

TEST_F(PlotCommandTest, DrawsTheDayWithItsOwnRangeAtTheGivenSize) {
    DayFileOptions options;
    options.passes = 400;
    ASSERT_TRUE(WriteDayFile(day, options));
    ASSERT_EQ(Plot({day, png, "--size", "640x400"}), 0);
    QImage image(QString::fromStdString(png));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(640, 400));

    // The range comes from the day's extremes: the top grid line lies at the plot's top edge
    // and the red line at 0 degrees where that is on the grid.
    const TemperatureRange range = DayRange(MakeDay(options));
    const ChartLayout layout = ComputeChartLayout(640, 400, range.upper, range.lower);
    EXPECT_EQ(Px(image, 3, 3), 0xFF000000u);
    EXPECT_EQ(Px(image, 600, layout.plot.y), 0xFFA9A9A9u);
    const int step = AdaptGridStep(5, layout.pixels_per_degree);
    if (range.upper % step == 0 && range.upper >= 0 && range.lower <= 0) {
        EXPECT_EQ(Px(image, 600, layout.plot.y + range.upper * layout.pixels_per_degree),
                  0xFFFF0000u);
    }
    // Every thermometer's curve is there in its own colour.
    for (uint32_t colour : {0xFF4FA3FFu, 0xFF5CD65Cu, 0xFFFF9933u, 0xFFE05CE0u}) {
        bool found = false;
        for (int y = 0; y < image.height() && !found; ++y)
            for (int x = 0; x < image.width() && !found; ++x) found = Px(image, x, y) == colour;
        EXPECT_TRUE(found) << std::hex << colour;
    }
}

TEST_F(PlotCommandTest, DefaultSizeAndScrolling) {
    DayFileOptions options;
    options.passes = 400;
    ASSERT_TRUE(WriteDayFile(day, options));
    ASSERT_EQ(Plot({day, png}), 0);
    const QImage first(QString::fromStdString(png));
    EXPECT_EQ(first.size(), QSize(1000, 600));
    ASSERT_EQ(Plot({day, png, "--scroll", "900"}), 0);
    const QImage scrolled(QString::fromStdString(png));
    EXPECT_EQ(scrolled.size(), QSize(1000, 600));
    EXPECT_NE(first, scrolled);
    // Past the end of the day only the axes remain.
    ASSERT_EQ(Plot({day, png, "--scroll", "100000", "--size", "300x200"}), 0);
    const QImage empty(QString::fromStdString(png));
    for (int y = 0; y < empty.height(); ++y)
        for (int x = 0; x < empty.width(); ++x) {
            const uint32_t p = Px(empty, x, y);
            ASSERT_TRUE(p != 0xFF4FA3FFu && p != 0xFFFF9933u) << x << "," << y;
        }
}

TEST_F(PlotCommandTest, RejectedFilesAndBadArgumentsExitOneWithAReason) {
    {
        std::FILE* f = std::fopen(day.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const char junk[200] = "not a day file";
        std::fwrite(junk, 1, sizeof junk, f);
        std::fclose(f);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(Plot({day, png}), 1);
    const std::string reason = testing::internal::GetCapturedStderr();
    EXPECT_NE(reason.find(SHELL::ReadErrorText(SHELL::ReadError::kMagic)), std::string::npos)
        << reason;
    EXPECT_NE(reason.find(day), std::string::npos);
    EXPECT_FALSE(fs::exists(png));

    testing::internal::CaptureStderr();
    EXPECT_EQ(Plot({(dir / "missing.dat").string(), png}), 1);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());

    DayFileOptions options;
    options.passes = 10;
    ASSERT_TRUE(WriteDayFile(day, options));
    const std::vector<std::vector<std::string>> bad = {
        {day},
        {},
        {day, png, "--size", "0x5"},
        {day, png, "--size", "800"},
        {day, png, "--size", "99999x600"},
        {day, png, "--size", "-8x600"},
        {day, png, "--scroll", "-3"},
        {day, png, "--scroll", "12px"},
        {day, png, "--scroll"},
        {day, png, "extra"},
    };
    for (const auto& args : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Plot(args), 1) << args.size();
        EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    }
    EXPECT_FALSE(fs::exists(png));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Plot({day, (dir / "no" / "such" / "dir.png").string()}), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write"), std::string::npos);
}

TEST(DayFileGenerator, WritesWhatTheReaderReadsBack) {
    const std::string path =
        (fs::temp_directory_path() / ("kalvo_gen_" + std::to_string(::getpid()) + ".dat")).string();
    DayFileOptions options;
    options.passes = 1200;
    ASSERT_TRUE(WriteDayFile(path, options));
    SampleList read;
    SHELL::CDataFile file;
    EXPECT_EQ(file.Read(path, read, nullptr), 4u);
    const SampleList made = MakeDay(options);
    ASSERT_EQ(read.size(), made.size());
    EXPECT_EQ(read.size(), 1200u * 4 - 2);  // one pass cut short
    for (size_t i = 0; i < made.size(); ++i) {
        EXPECT_EQ(read[i].rom, made[i].rom);
        EXPECT_EQ(read[i].name, made[i].name);
        EXPECT_EQ(read[i].temperature, made[i].temperature);
        EXPECT_EQ(read[i].time, made[i].time);
        EXPECT_EQ(read[i].valid, made[i].valid);
    }
    fs::remove(path);
}

}  // namespace
}  // namespace kalvo
