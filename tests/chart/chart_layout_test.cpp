// The chart's arithmetic: layout, grid, label time, temperature rows and range rules.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "chart/chart_layout.h"
#include "common/text.h"

namespace kalvo {
namespace {

TEST(ChartLayout, PlotIsCutToWholeDegreesAndCentred) {
    struct Case {
        const char* name;
        int width, height, upper, lower;
        ChartRect plot;
        int ppd;
    } cases[] = {
        // 245 rows for 180 degrees: cut to 180, centred in 300.
        {"client 100x300, 125/-55", 100, 300, 125, -55, {35, 60, 65, 180}, 1},
        {"30/15 at 12 px per degree", 400, 240, 30, 15, {35, 30, 365, 180}, 12},
        // A range of 0 counts as 10 degrees and divides nothing by zero.
        {"range 0", 200, 200, 20, 20, {35, 30, 165, 140}, 14},
        {"limits in either order", 200, 200, -10, 10, {35, 30, 165, 140}, 7},
        {"height exactly a multiple", 100, 155, 100, 0, {35, 27, 65, 100}, 1},
    };
    for (const Case& c : cases) {
        const ChartLayout l = ComputeChartLayout(c.width, c.height, c.upper, c.lower);
        EXPECT_EQ(l.frame, (ChartRect{0, 0, c.width, c.height})) << c.name;
        EXPECT_EQ(l.plot, c.plot) << c.name;
        EXPECT_EQ(l.pixels_per_degree, c.ppd) << c.name;
        // Centred: the two doubled centres differ by at most one pixel.
        EXPECT_LE(std::abs(2 * l.plot.y + l.plot.height - c.height), 1) << c.name;
    }
}

TEST(ChartLayout, WindowsTooSmallOrRangesTooWideGiveAnEmptyPlot) {
    // Smaller than the margins: no negative sizes and no negative scale (which would make the
    // grid step adaptation spin for ever).
    for (int h : {0, 1, 30, 54}) {
        const ChartLayout l = ComputeChartLayout(20, h, 125, -55);
        EXPECT_EQ(l.plot.width, 0) << h;
        EXPECT_EQ(l.plot.height, 0) << h;
        EXPECT_EQ(l.pixels_per_degree, 0) << h;
        EXPECT_LE(std::abs(2 * l.plot.y - h), 1) << h;
    }
    // Limits at the ends of the integer range do not overflow the range.
    const ChartLayout wide = ComputeChartLayout(800, 600, INT_MAX, INT_MIN);
    EXPECT_EQ(wide.plot.height, 0);
    EXPECT_EQ(wide.pixels_per_degree, 0);
}

TEST(ChartGrid, StepAdaptsToTheScale) {
    struct Case {
        int step, ppd, want;
    } cases[] = {
        {5, 1, 20},               // 5 -> 10 -> 20: lines 20 px apart
        {5, 12, 5},               // 60 px: halving gives 2 < 5, so 5 stays
        {20, 12, 5},              // a step kept from a coarser frame comes down again
        {5, 2, 10},               // 10 < 16 -> 10, then 20 is close enough
        {5, 3, 5},                // 15 -> 10 (30 px) -> 5 (15 px): stops at 5
        {5, 4, 5},                // exactly 20 px
        {5, 0, 5},                // no scale: kept, no endless doubling
        {7, -3, 7},  {0, 2, 10},  // a broken step starts again from 5
    };
    for (const auto& c : cases)
        EXPECT_EQ(AdaptGridStep(c.step, c.ppd), c.want) << c.step << " at " << c.ppd;
}

TEST(ChartGrid, LinesRunFromTheUpperToTheLowerLimit) {
    const ChartLayout l = ComputeChartLayout(100, 300, 125, -55);
    const auto lines = ComputeGridLines(l, 20, 125, -55, 300);
    ASSERT_EQ(lines.size(), 10u);
    for (size_t k = 0; k < lines.size(); ++k) {
        EXPECT_EQ(lines[k].temperature, 125 - 20 * int(k));
        EXPECT_EQ(lines[k].y, 60 + 20 * int(k));
        EXPECT_EQ(lines[k].label_y, lines[k].y - 5);
        EXPECT_NE(lines[k].temperature, 0);  // 0 is not on this grid: no red line
    }

    const ChartLayout l12 = ComputeChartLayout(400, 240, 30, 15);
    const auto four = ComputeGridLines(l12, 5, 30, 15, 240);
    ASSERT_EQ(four.size(), 4u);
    EXPECT_EQ(four[0].temperature, 30);
    EXPECT_EQ(four[3].temperature, 15);
    EXPECT_EQ(four[3].y, 30 + 180);

    // Lines whose labels start below the bitmap are not produced; nor are lines for a range
    // with its limits the wrong way round.
    EXPECT_EQ(ComputeGridLines(l, 20, 125, -55, 100).size(), 3u);
    EXPECT_TRUE(ComputeGridLines(l, 20, -55, 125, 300).empty());
    // Without a scale every line would fall on one row: one is enough.
    const ChartLayout flat = ComputeChartLayout(800, 600, INT_MAX, INT_MIN);
    EXPECT_EQ(ComputeGridLines(flat, 5, INT_MAX, INT_MIN, 600).size(), 1u);
}

TEST(ChartLabel, ElapsedTimeDropsWholeDays) {
    EXPECT_EQ(ElapsedText(90061), u"     Время наблюдения - 01ч.01м.01сек.");
    EXPECT_EQ(ElapsedText(0), u"     Время наблюдения - 00ч.00м.00сек.");
    EXPECT_EQ(ElapsedText(86399), u"     Время наблюдения - 23ч.59м.59сек.");
    EXPECT_EQ(ElapsedText(86400), u"     Время наблюдения - 00ч.00м.00сек.");
    EXPECT_EQ(ElapsedText(3599), u"     Время наблюдения - 00ч.59м.59сек.");
    // A clock that stepped back gives negative parts rather than garbage.
    EXPECT_EQ(ElapsedText(-61), u"     Время наблюдения - 00ч.-01м.-01сек.");
}

TEST(ChartRows, TemperaturesTruncateTowardZero) {
    int row = 0;
    ASSERT_TRUE(TemperatureRow(29.95, 30, 12, 20, &row));  // 0.6 + 20
    EXPECT_EQ(row, 20);
    ASSERT_TRUE(TemperatureRow(15.0, 30, 12, 20, &row));
    EXPECT_EQ(row, 200);
    ASSERT_TRUE(TemperatureRow(31.05, 30, 12, 0, &row));  // above the top: -12.6 -> -12
    EXPECT_EQ(row, -12);
    // Readings far off the plot stay drawable (held far outside), NaN is not drawn.
    ASSERT_TRUE(TemperatureRow(1e300, 30, 12, 0, &row));
    EXPECT_EQ(row, -1000000);
    ASSERT_TRUE(TemperatureRow(-std::numeric_limits<double>::infinity(), 30, 12, 0, &row));
    EXPECT_EQ(row, 1000000);
    EXPECT_FALSE(TemperatureRow(std::nan(""), 30, 12, 0, &row));
    EXPECT_FALSE(TemperatureRow(std::numeric_limits<double>::infinity(), 30, 0, 0, &row));
}

SampleList Temps(std::initializer_list<double> values) {
    SampleList list;
    for (double v : values) {
        SampleRecord r;
        r.temperature = v;
        list.push_back(r);
    }
    return list;
}

TEST(ChartRange, ExtremesAreTheEarliestOfEquals) {
    const SampleList list = Temps({3.0, 1.0, 7.0, 1.0, 7.0});
    EXPECT_EQ(MinSampleByTemperature(list.begin(), list.end()) - list.begin(), 1);
    EXPECT_EQ(MaxSampleByTemperature(list.begin(), list.end()) - list.begin(), 2);
    const SampleList empty;
    EXPECT_EQ(MinSampleByTemperature(empty.begin(), empty.end()), empty.end());
    EXPECT_EQ(MaxSampleByTemperature(empty.begin(), empty.end()), empty.end());
}

TEST(ChartRange, StoredDayRange) {
    struct Case {
        SampleList samples;
        int upper, lower;
    } cases[] = {
        {Temps({27.8, 12.3}), 30, 5},
        {Temps({20.0, 24.9, 22.0}), 25, 15},
        {Temps({-0.5}), 5, -5},
        {Temps({-3.7, 1.0}), 5, -5},
        {Temps({-7.2, -9.0}), 0, -10},
        {Temps({1e300, -1e300}), 1000005, -1000005},  // odd records cannot overflow
    };
    for (const auto& c : cases) {
        const TemperatureRange r = DayRange(c.samples);
        EXPECT_EQ(r.upper, c.upper);
        EXPECT_EQ(r.lower, c.lower);
    }
    EXPECT_EQ(DayRange({}).upper, 0);
}

TEST(ChartRange, LiveBoundsFollowTheNewestBatch) {
    TemperatureRange b;  // 0 / 0 at start
    EXPECT_TRUE(RebuildLiveRange(Temps({21.4, 23.9}), &b));
    EXPECT_EQ(b.lower, 15);
    EXPECT_EQ(b.upper, 25);

    // Strictly inside: unchanged, whatever older samples did.
    EXPECT_FALSE(RebuildLiveRange(Temps({15.5, 24.9}), &b));
    EXPECT_EQ(b.lower, 15);
    EXPECT_EQ(b.upper, 25);

    // Touching a bound rebuilds from this batch alone, so the range may shrink.
    EXPECT_TRUE(RebuildLiveRange(Temps({19.0, 15.0}), &b));
    EXPECT_EQ(b.lower, 10);
    EXPECT_EQ(b.upper, 20);

    // -0.5 truncates to 0: the lower bound becomes -5.
    EXPECT_TRUE(RebuildLiveRange(Temps({-0.5, 3.0}), &b));
    EXPECT_EQ(b.lower, -5);
    EXPECT_EQ(b.upper, 5);

    EXPECT_FALSE(RebuildLiveRange({}, &b));
    // A NaN reading compares false both ways: no crash and no range from garbage.
    EXPECT_FALSE(RebuildLiveRange(Temps({std::nan(""), 300.0}), &b));
    EXPECT_EQ(b.upper, 5);
    EXPECT_EQ(b.lower, -5);
}

}  // namespace
}  // namespace kalvo
