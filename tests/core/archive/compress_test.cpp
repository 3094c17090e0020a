#include <gtest/gtest.h>

#include <cmath>

#include "archive_test_util.h"
#include "core/archive/compress.h"
#include "core/common/messages.h"

namespace kalvo {
namespace {

using namespace testing_util;

// A day of `passes` passes over three thermometers in device-table order (ROM codes not
// sorted), temperatures from the given functions of the pass number.
template <typename F>
SampleList Day(int passes, F temperature_of_a) {
    SampleList day;
    for (int p = 0; p < passes; ++p) {
        day.push_back(Rec(kRomA, u"A", temperature_of_a(p), kT0 + 2 * p));
        day.push_back(Rec(kRomC, u"C", 50.0 + p, kT0 + 2 * p));
        day.push_back(Rec(kRomB, u"B", -p, kT0 + 2 * p));
    }
    return day;
}

std::vector<double> Temperatures(const SampleList& list) {
    std::vector<double> t;
    for (const auto& r : list) t.push_back(r.temperature);
    return t;
}

TEST(CompressSeries, ThinsAgainstTheLastKeptRecord) {
    struct Case {
        const char* name;
        std::vector<double> series;
        std::vector<double> want;
    } cases[] = {
        {"quiet run keeps first and last", {20.0, 20.49, 19.51, 20.2, 20.3}, {20.0, 20.3}},
        {"last kept only once", {20.0, 20.1, 21.0}, {20.0, 21.0}},
        {"slow drift adds up", {0.0, 0.3, 0.6, 0.8, 1.0, 1.1}, {0.0, 0.6, 1.1}},
        {"exactly 0.5 is kept", {10.0, 10.5, 10.0, 9.75}, {10.0, 10.5, 10.0, 9.75}},
        {"single record", {7.0}, {7.0}},
        {"falls as well as rises", {5.0, 4.0, 4.2, 3.4}, {5.0, 4.0, 3.4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SampleList day = Day(int(c.series.size()), [&](int p) { return c.series[size_t(p)]; });
        const SampleRecord selected = day[0];
        ASSERT_EQ(CompressSeries(day, selected), CompressOutcome::kCompressed);
        EXPECT_EQ(Temperatures(day), c.want);
        for (const auto& r : day) EXPECT_EQ(r.rom, kRomA);
        EXPECT_EQ(day.back().time, kT0 + 2 * int64_t(c.series.size() - 1));
    }
}

TEST(CompressSeries, SteadyRiseKeepsEveryFourthRecordInTimeOrder) {
    SampleList day = Day(17, [](int p) { return 20.0 + 0.125 * p; });
    const SampleRecord selected = day[3];  // any record of the thermometer
    ASSERT_EQ(CompressSeries(day, selected), CompressOutcome::kCompressed);
    ASSERT_EQ(day.size(), 5u);
    for (size_t i = 0; i < day.size(); ++i) {
        EXPECT_EQ(day[i].time, kT0 + 8 * int64_t(i));
        EXPECT_EQ(day[i].name, u"A");
    }
    // Compressing the compressed list thins it again with the same threshold.
    ASSERT_EQ(CompressSeries(day, selected), CompressOutcome::kCompressed);
    EXPECT_EQ(day.size(), 5u);
}

// A failed reading is never a curve point: each run of them is one gap (valid 0), and the
// first reading after it is kept. 'x' marks a failed reading (valid 0, a stale 85 or another
// sensor's value), 'n' and 'i' a NaN or an infinity under a valid flag.
TEST(CompressSeries, FailedReadingsBecomeOneGapAndNeverPoints) {
    const double kNaN = std::nan(""), kInf = INFINITY;
    struct Case {
        const char* name;
        std::vector<double> series;
        std::string failed;  // per record: '.' a reading, else failed as above
        std::vector<double> want;
        std::string want_failed;
    } cases[] = {
        {"stale 85 in a quiet run",
         {20.0, 85.0, 20.1, 20.2},
         ".x..",
         {20.0, 85.0, 20.1, 20.2},
         ".x.."},
        {"a run of failures is one gap",
         {20.0, 85.0, 30.0, 85.0, 20.0},
         ".xxx.",
         {20.0, 85.0, 20.0},
         ".x."},
        {"NaN and infinity flagged valid",
         {20.0, kNaN, 20.6, kInf, 20.7},
         ".n.i.",
         {20.0, kNaN, 20.6, kInf, 20.7},
         ".n.i."},
        {"a failure is never the reference",
         {20.0, 20.6, 20.7, 20.8},
         ".x..",
         {20.0, 20.6, 20.7, 20.8},
         ".x.."},
        {"a failure close to the curve still breaks it",
         {20.0, 20.1, 20.2},
         ".x.",
         {20.0, 20.1, 20.2},
         ".x."},
        {"failures at both ends", {85.0, 20.0, 20.1, 85.0}, "x..x", {85.0, 20.0, 85.0}, "x.x"},
        {"nothing but failures", {85.0, 85.0}, "xx", {85.0}, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SampleList day = Day(int(c.series.size()), [&](int p) { return c.series[size_t(p)]; });
        for (size_t p = 0; p < c.failed.size(); ++p)
            if (c.failed[p] == 'x') day[3 * p].valid = 0;
        const SampleRecord selected = day[0];
        ASSERT_EQ(CompressSeries(day, selected), CompressOutcome::kCompressed);
        ASSERT_EQ(day.size(), c.want.size());
        for (size_t i = 0; i < day.size(); ++i) {
            SCOPED_TRACE(i);
            const bool gap = c.want_failed[i] != '.';
            EXPECT_EQ(day[i].valid, gap ? 0u : 1u);
            if (c.want_failed[i] == 'n')
                EXPECT_TRUE(std::isnan(day[i].temperature));
            else
                EXPECT_EQ(day[i].temperature, c.want[i]);
        }
    }
}

TEST(CompressSeries, ReportsWhatItCannotDo) {
    RecordingStatusBar status;
    SampleList empty;
    EXPECT_EQ(CompressSeries(empty, Rec(kRomA, u"A", 1, kT0), &status),
              CompressOutcome::kNoRecords);
    EXPECT_TRUE(status.Texts().empty());

    SampleList day = Day(3, [](int p) { return double(p); });
    EXPECT_EQ(CompressSeries(day, Rec(0x1234560028, u"gone", 1, kT0), &status),
              CompressOutcome::kNotFound);
    EXPECT_TRUE(day.empty());
    EXPECT_EQ(status.LastText(kPaneMain), u"file can not be processed");

    // A record that is not from a sensor is warned about; its run is still thinned.
    day = Day(3, [](int p) { return double(p); });
    for (auto& r : day)
        if (r.rom == kRomB) r.rom = 0x55000000000000'3A;
    EXPECT_EQ(CompressSeries(day, Rec(0x55000000000000'3A, u"", 0, kT0), &status),
              CompressOutcome::kCompressed);
    EXPECT_EQ(status.Texts().back().text, u"The device is not a DS18B20 or DS1820 sensor");
    EXPECT_EQ(Temperatures(day), (std::vector<double>{0.0, -1.0, -2.0}));
}

}  // namespace
}  // namespace kalvo
