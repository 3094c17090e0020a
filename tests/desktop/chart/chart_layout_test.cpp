// The chart's arithmetic: layout, grid, label time, temperature rows and range rules.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "desktop/chart/chart_layout.h"

namespace kalvo {
namespace {

TEST(ChartLayout, PlotIsCutToWholeDegreesAndCentred) {
    struct Case {
        int width, height, upper, lower;
        ChartRect plot;
        int ppd;
    } cases[] = {
        {100, 300, 125, -55, {35, 60, 65, 180}, 1},  // 245 rows cut to 180, centred
        {400, 240, 30, 15, {35, 30, 365, 180}, 12},
        {200, 200, 20, 20, {35, 30, 165, 140}, 14},  // range 0 counts as 10
        {200, 200, -10, 10, {35, 30, 165, 140}, 7},  // order does not matter
        {100, 155, 100, 0, {35, 27, 65, 100}, 1},
        // Smaller than the margins, or a range wider than the plot: an empty plot and no scale
        // (a negative one would make the grid step adaptation spin for ever).
        {20, 30, 125, -55, {35, 15, 0, 0}, 0},
        {800, 600, INT_MAX, INT_MIN, {35, 300, 765, 0}, 0},
    };
    for (const Case& c : cases) {
        const ChartLayout l = ComputeChartLayout(c.width, c.height, c.upper, c.lower);
        EXPECT_EQ(l.plot, c.plot) << c.width << "x" << c.height;
        EXPECT_EQ(l.pixels_per_degree, c.ppd) << c.width << "x" << c.height;
    }
}

TEST(ChartLayout, ExtraMarginsMoveThePlotOnlyAsFarAsTheyMust) {
    EXPECT_EQ(ComputeChartLayout(800, 600, 40, -15, 0, 0).plot,
              ComputeChartLayout(800, 600, 40, -15).plot);
    // 600 - 55 - 14 rows, cut to 495 (9 per degree), centred in the 586 rows below the extra
    // 14 (without them it stands at 52).
    const ChartLayout l = ComputeChartLayout(800, 600, 40, -15, 14, 0);
    EXPECT_EQ(l.plot, (ChartRect{35, 59, 765, 495}));
    EXPECT_EQ(l.pixels_per_degree, 9);
    const ChartLayout b = ComputeChartLayout(800, 600, 40, -15, 0, 14);
    EXPECT_EQ(b.plot, (ChartRect{35, 45, 765, 495}));
}

TEST(ChartText, PiecesFlowIntoRowsAndWhatDoesNotFitIsMarked) {
    struct Case {
        const char* name;
        std::vector<int> widths;
        int right, first_right, max_rows;
        std::vector<FlowItem> items;  // x, row, width
        int rows, ellipsis_x;
    } cases[] = {
        {"one row", {30, 30}, 100, 100, 3, {{0, 0, 30}, {40, 0, 30}}, 1, -1},
        {"wraps", {50, 50, 50}, 120, 120, 5, {{0, 0, 50}, {60, 0, 50}, {0, 1, 50}}, 2, -1},
        {"too wide for any row: cut", {300, 20}, 100, 100, 3, {{0, 0, 100}, {0, 1, 20}}, 2, -1},
        {"a short first row is skipped", {100, 30}, 200, 80, 3, {{0, 1, 100}, {110, 1, 30}}, 2, -1},
        {"left out, with room for the ellipsis",
         {40, 40, 40, 40},
         100,
         100,
         1,
         {{0, 0, 40}},
         1,
         50},
        {"nothing", {}, 100, 100, 2, {}, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FlowLayout flow = FlowPieces(c.widths, 0, c.right, 10, c.first_right, c.max_rows, 10);
        ASSERT_EQ(flow.items.size(), c.items.size());
        for (size_t i = 0; i < c.items.size(); ++i) {
            EXPECT_EQ(flow.items[i].x, c.items[i].x) << i;
            EXPECT_EQ(flow.items[i].row, c.items[i].row) << i;
            EXPECT_EQ(flow.items[i].width, c.items[i].width) << i;
        }
        EXPECT_EQ(flow.rows, c.rows);
        EXPECT_EQ(flow.ellipsis_x, c.ellipsis_x);
    }
}

TEST(ChartGrid, StepAdaptsToTheScale) {
    struct Case {
        int step, ppd, want;
    } cases[] = {
        {5, 1, 20},   // 5 -> 10 -> 20
        {5, 12, 5},   // 60 px: halving gives 2 < 5, so 5 stays
        {20, 12, 5},  // a step kept from a coarser frame comes down again
        {5, 2, 10},  {5, 3, 5},  {5, 4, 5},
        {5, 0, 5},   {7, -3, 7},  // no scale: kept, no endless doubling
    };
    for (const auto& c : cases)
        EXPECT_EQ(AdaptGridStep(c.step, c.ppd), c.want) << c.step << " at " << c.ppd;
}

TEST(ChartGrid, LinesRunFromTheUpperToTheLowerLimit) {
    const ChartLayout l = ComputeChartLayout(100, 300, 125, -55);
    const auto lines = ComputeGridLines(l, 20, 125, -55, 300);
    ASSERT_EQ(lines.size(), 10u);  // 125, 105, ..., -55: 0 is not among them
    for (size_t k = 0; k < lines.size(); ++k) {
        EXPECT_EQ(lines[k].temperature, 125 - 20 * int(k));
        EXPECT_EQ(lines[k].y, 60 + 20 * int(k));
        EXPECT_EQ(lines[k].label_y, lines[k].y - 5);
    }
    const auto four = ComputeGridLines(ComputeChartLayout(400, 240, 30, 15), 5, 30, 15, 240);
    ASSERT_EQ(four.size(), 4u);
    EXPECT_EQ(four[3].temperature, 15);
    EXPECT_EQ(four[3].y, 210);
    // Lines whose labels start below the bitmap are left out; limits upside down give none;
    // without a scale all would share one row, so one is given.
    EXPECT_EQ(ComputeGridLines(l, 20, 125, -55, 100).size(), 3u);
    EXPECT_TRUE(ComputeGridLines(l, 20, -55, 125, 300).empty());
    const ChartLayout flat = ComputeChartLayout(800, 600, INT_MAX, INT_MIN);
    EXPECT_EQ(ComputeGridLines(flat, 5, INT_MAX, INT_MIN, 600).size(), 1u);
}

TEST(ChartRows, TruncateTowardZeroAndStayDefined) {
    int row = 0;
    ASSERT_TRUE(TemperatureRow(29.95, 30, 12, 20, &row));  // 0.6 + 20
    EXPECT_EQ(row, 20);
    ASSERT_TRUE(TemperatureRow(31.05, 30, 12, 0, &row));  // above the top: -12.6 -> -12
    EXPECT_EQ(row, -12);
    ASSERT_TRUE(TemperatureRow(1e300, 30, 12, 0, &row));  // held far off the bitmap
    EXPECT_EQ(row, -1000000);
    EXPECT_FALSE(TemperatureRow(std::nan(""), 30, 12, 0, &row));
    EXPECT_FALSE(TemperatureRow(INFINITY, 30, 0, 0, &row));
}

SampleList Temps(std::initializer_list<double> values) {
    SampleList list;
    for (double v : values) {
        list.emplace_back();
        list.back().temperature = v;
    }
    return list;
}

TEST(ChartRange, StoredDayRange) {
    struct Case {
        SampleList samples;
        int upper, lower;
    } cases[] = {
        {Temps({27.8, 12.3}), 30, 5},
        {Temps({20.0, 24.9}), 25, 15},
        {Temps({-0.5}), 5, -5},
        {Temps({-3.7, 1.0}), 5, -5},
        {Temps({-7.2, -9.0}), 0, -10},
        {Temps({1e300, -1e300}), 1000005, -1000005},  // odd records cannot overflow
        // NaN and infinity are no temperatures: they neither flatten the day nor hide it.
        {Temps({NAN, 21.0, INFINITY, 18.0, -INFINITY}), 25, 10},
        {Temps({NAN}), 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DayRange(c.samples).upper, c.upper);
        EXPECT_EQ(DayRange(c.samples).lower, c.lower);
    }
}

TEST(ChartRange, LiveBoundsFollowTheNewestBatch) {
    struct Step {
        SampleList batch;
        bool rebuilt;
        int lower, upper;
    } steps[] = {
        {Temps({21.4, 23.9}), true, 15, 25},           // from 0 / 0: 23.9 >= 0
        {Temps({15.5, 24.9}), false, 15, 25},          // strictly inside: unchanged
        {Temps({19.0, 15.0}), true, 10, 20},           // touching a bound: rebuilt, and shrinks
        {Temps({-0.5, 3.0}), true, -5, 5},             // -0.5 truncates to 0
        {Temps({std::nan(""), 300.0}), false, -5, 5},  // NaN compares false both ways
        {{}, false, -5, 5},
    };
    TemperatureRange bounds;
    for (const auto& s : steps) {
        EXPECT_EQ(RebuildLiveRange(s.batch, &bounds), s.rebuilt);
        EXPECT_EQ(bounds.lower, s.lower);
        EXPECT_EQ(bounds.upper, s.upper);
    }
}

}  // namespace
}  // namespace kalvo
