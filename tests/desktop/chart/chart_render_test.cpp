// CChart on rendered frames: pixels of the axes and curves, the hit test, and the visible-only
// drawing against the plain walk over the whole day.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <climits>
#include <cmath>

#include "core/common/colour.h"
#include "core/common/text.h"
#include "desktop/chart/chart.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

constexpr uint32_t kBlack = 0xFF000000;
constexpr uint32_t kGrey = 0xFFA9A9A9;
constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kColourA = 0xFF11AA33;
constexpr uint32_t kColourB = 0xFF3344CC;
constexpr int64_t kT0 = 1700000000;  // 15.11.2023 01:13:20 at UTC+3

SampleRecord Sample(uint64_t rom, int64_t time, double temperature, uint32_t colour,
                    uint32_t valid = 1) {
    SampleRecord r;
    r.rom = rom;
    r.time = time;
    r.temperature = temperature;
    r.colour = colour;
    r.valid = valid;
    return r;
}

uint32_t Px(const QImage& image, int x, int y) {
    return 0xFF000000u | image.pixel(x, y);
}

bool Contains(const QImage& image, uint32_t argb) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (Px(image, x, y) == argb) return true;
    return false;
}

class ChartTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(chart.Init()); }
    void TearDown() override { SetChartStarterForTesting(nullptr); }
    CChart chart;
};

TEST_F(ChartTest, AxesOutlineGridAndZeroLine) {
    // 100 x 300 with 125 / -55: plot (35, 60, 65, 180), lines every 20 px from 125 to -55.
    QImage image = chart.Compose(100, 300);
    EXPECT_EQ(chart.GetGridStep(), 20);
    EXPECT_EQ(Px(image, 35, 150), kGrey);  // left edge of the outline
    for (int k = 0; k < 10; ++k) EXPECT_EQ(Px(image, 60, 60 + 20 * k), kGrey) << k;
    for (int k = 0; k < 9; ++k) EXPECT_EQ(Px(image, 60, 70 + 20 * k), kBlack) << k;
    EXPECT_FALSE(Contains(image, kRed));  // 0 is not on this grid

    chart.SetRange(10, -10);  // 300 x 255: plot y 27, 10 px per degree, lines 50 px apart
    image = chart.Compose(300, 255);
    EXPECT_EQ(Px(image, 36, 127), kRed);
    EXPECT_EQ(Px(image, 100, 77), kGrey);
    chart.SetRange(12, -8);
    EXPECT_FALSE(Contains(chart.Compose(300, 255), kRed));

    // Colours go in as COLORREF and are drawn as ARGB.
    chart.SetBackgroundColor(Rgb(0x11, 0x22, 0x33));
    chart.SetGridColor(Rgb(0xFE, 0x80, 0x01));
    EXPECT_EQ(chart.GetBackgroundColor(), 0x00332211u);
    image = chart.Compose(300, 255);
    EXPECT_EQ(Px(image, 100, 100), 0xFF112233u);
    EXPECT_EQ(Px(image, 35, 100), 0xFFFE8001u);
}

TEST_F(ChartTest, InitResetsEverythingOrNothingAndDrawCopiesToTheRectangle) {
    chart.SetRange(30, 10);  // plot (35, 35, 65, 80) in a 100 x 150 frame
    SetChartStarterForTesting([] { return false; });
    EXPECT_FALSE(chart.Init());
    EXPECT_EQ(chart.GetUpperLimit(), 30);
    QImage target(200, 200, QImage::Format_RGB32);
    target.fill(Qt::white);
    {
        QPainter p(&target);
        chart.Draw(p, QRect(10, 20, 100, 150));
    }
    EXPECT_EQ(Px(target, 9, 19), 0xFFFFFFFFu);
    EXPECT_EQ(Px(target, 10, 20), kBlack);
    EXPECT_EQ(Px(target, 110, 170), 0xFFFFFFFFu);
    EXPECT_EQ(Px(target, 10 + 35, 20 + 80), kGrey);
    SetChartStarterForTesting(nullptr);
    EXPECT_TRUE(chart.Init());
    EXPECT_EQ(chart.GetUpperLimit(), 125);
}

// Range 30 / 10 in 400 x 255: plot y 27, 10 px per degree; group k is drawn at x = 35 + 9k.
class CurveTest : public ChartTest {
  protected:
    void SetUp() override {
        ChartTest::SetUp();
        chart.SetRange(30, 10);
    }
    static int Row(double t) { return int((30 - t) * 10) + 27; }
};

TEST_F(CurveTest, PointsAndLinesCarryTheirSampleColour) {
    chart.SetSeriesCount(2);
    chart.Append(SampleList{Sample(1, kT0, 20.0, kColourA), Sample(2, kT0, 15.0, kColourB)});
    chart.Append(SampleList{Sample(1, kT0 + 2, 20.0, kColourA), Sample(2, kT0 + 2, 16, kColourB)});
    const QImage image = chart.Compose(400, 255);
    // A 3 x 3 outline filled: 4 x 4 pixels, every one in the exact colour.
    for (int dy = 0; dy < 4; ++dy)
        for (int dx = 0; dx < 4; ++dx) {
            EXPECT_EQ(Px(image, 35 + dx, Row(20) + dy), kColourA);
            EXPECT_EQ(Px(image, 44 + dx, Row(16) + dy), kColourB);
        }
    // A's flat line from (38, 130) to (44, 130) and nothing beside it; none out of the last group.
    EXPECT_EQ(Px(image, 41, Row(20) + 3), kColourA);
    EXPECT_EQ(Px(image, 41, Row(20) + 4), kBlack);
    EXPECT_EQ(Px(image, 50, Row(20) + 3), kBlack);
    // B rises from row 180 to row 170 without a gap.
    for (int row = Row(16) + 4; row < Row(15) + 3; ++row) {
        int hits = 0;
        for (int x = 38; x <= 44; ++x) hits += Px(image, x, row) == kColourB;
        EXPECT_GE(hits, 1) << row;
    }
}

TEST_F(CurveTest, DoubtfulPointsGetNoLineInAndInvalidOnesNothing) {
    const uint32_t valid[] = {1, 2, 1, 0, 1};
    for (int g = 0; g < 5; ++g)
        chart.Append(SampleList{Sample(1, kT0 + g, 22.0, kColourA, valid[g])});
    const QImage image = chart.Compose(400, 255);
    const int y = Row(22);
    EXPECT_EQ(Px(image, 44, y), kColourA);      // the doubtful point is drawn
    EXPECT_EQ(Px(image, 41, y + 3), kBlack);    // but no line leads into it
    EXPECT_EQ(Px(image, 50, y + 3), kColourA);  // one leads out of it to a valid point
    for (int dy = 0; dy < 4; ++dy)
        for (int x = 57; x < 71; ++x)  // neither the invalid point nor lines around it
            EXPECT_EQ(Px(image, x, y + dy), kBlack) << x << "," << dy;
    EXPECT_EQ(Px(image, 71, y), kColourA);
}

TEST_F(CurveTest, NonNumbersUnderAValidFlagAreNotDrawn) {
    // NaN at group 1, infinity at group 3: neither a point nor a line into or out of them (an
    // infinity used to draw a line up off the plot).
    const double t[] = {22.0, NAN, 22.0, INFINITY, 22.0};
    for (int g = 0; g < 5; ++g) chart.Append(SampleList{Sample(1, kT0 + g, t[g], kColourA)});
    const QImage image = chart.Compose(400, 255);
    const int y = Row(22);
    // The three readings are their squares and nothing else of the colour is there.
    for (int x = 35; x < 89; ++x) {
        for (int row = 0; row < image.height(); ++row) {
            const bool square = (x - 35) % 18 < 4 && row >= y && row < y + 4;
            EXPECT_EQ(Px(image, x, row) == kColourA, square) << x << "," << row;
        }
    }
}

TEST_F(CurveTest, ObservationLabelSpansTheDayOrTheViewUpToTheMarkedSample) {
    chart.SetAutoScrollSuspended(1);  // an empty chart has nothing to mark
    chart.SetAutoScrollSuspended(0);
    for (int g = 0; g < 5; ++g) chart.Append(SampleList{Sample(1, kT0 + 10 * g, 20, kColourA)});
    EXPECT_EQ(chart.ObservationText(),
              u"15.11.2023 01:13:20 - 15.11.2023 01:14:00" + ElapsedText(40));
    chart.SetAutoScrollSuspended(1);  // marks the newest sample
    chart.Append(SampleList{Sample(1, kT0 + 90061, 20, kColourA)});
    chart.SetAutoScrollSuspended(1);  // 1 -> 1 marks nothing new
    chart.SetScrollX(27);             // first visible: group 3
    EXPECT_EQ(chart.ObservationText(),
              FormatTimeC(kT0 + 30) + u" - " + FormatTimeC(kT0 + 40) + ElapsedText(40));
    chart.SetAutoScrollSuspended(0);
    EXPECT_EQ(chart.ObservationText(), FormatTimeC(kT0) + u" - " + FormatTimeC(kT0 + 90061) +
                                           u"     Время наблюдения - 01ч.01м.01сек.");
    chart.SetScrollX(9 * 6);  // past the end: no label
    EXPECT_EQ(chart.ObservationText(), u"");
}

TEST_F(CurveTest, FindSampleAtMatchesColourWithinTheGroupUnderThePoint) {
    chart.SetSeriesCount(2);
    // A falls 24 -> 20 -> 16, B rises 16 -> 20 -> 24: they cross on group 1.
    for (int g = 0; g < 3; ++g)
        chart.Append(SampleList{Sample(1, kT0 + g, 24 - 4 * g, kColourA),
                                Sample(2, kT0 + g, 16 + 4 * g, kColourB)});
    chart.Compose(400, 255);
    auto find = [&](int x, int y, SampleRecord* s) {
        uint32_t argb = 0;
        return chart.PixelAt(x, y, &argb) && chart.FindSampleAt(x, y, argb, s);
    };
    SampleRecord s;
    ASSERT_TRUE(find(36, Row(24) + 1, &s));
    EXPECT_EQ(s.rom, 1u);
    EXPECT_EQ(s.time, kT0);
    ASSERT_TRUE(find(45, Row(20) + 1, &s));  // the crossing: B was drawn last and is found
    EXPECT_EQ(s.rom, 2u);
    EXPECT_EQ(s.time, kT0 + 1);
    EXPECT_FALSE(find(60, Row(20) - 5, &s));                        // background
    EXPECT_FALSE(chart.FindSampleAt(45, Row(20) + 1, kBlack, &s));  // background at a crossing
    EXPECT_FALSE(chart.FindSampleAt(45, Row(20) + 1, kGrey, &s));
    EXPECT_FALSE(chart.FindSampleAt(0, 10, kColourA, &s));   // left of the first group
    ASSERT_TRUE(chart.FindSampleAt(300, 10, kColourA, &s));  // right of the data: newest group
    EXPECT_EQ(s.time, kT0 + 2);
}

TEST_F(CurveTest, FindSampleAtWalksGroupsOfUnequalSize) {
    // A pass cut short (B missing at group 1) must not shift or blank the later groups.
    chart.SetSeriesCount(2);
    chart.Append(SampleList{Sample(1, kT0, 24, kColourA), Sample(2, kT0, 16, kColourB)});
    chart.Append(SampleList{Sample(1, kT0 + 1, 22, kColourA)});
    for (int g = 2; g < 5; ++g)
        chart.Append(
            SampleList{Sample(1, kT0 + g, 20, kColourA), Sample(2, kT0 + g, 18, kColourB)});
    chart.Compose(400, 255);
    SampleRecord s;
    for (int g = 0; g < 5; ++g) {
        ASSERT_TRUE(chart.FindSampleAt(36 + 9 * g, 10, kColourA, &s)) << g;
        EXPECT_EQ(s.time, kT0 + g);
    }
    EXPECT_FALSE(chart.FindSampleAt(45, 10, kColourB, &s));  // B has no reading there
    ASSERT_TRUE(chart.FindSampleAt(54, 10, kColourB, &s));
    EXPECT_EQ(s.time, kT0 + 2);
    ASSERT_TRUE(chart.FindSampleAt(300, 10, kColourB, &s));  // right of the data: newest group
    EXPECT_EQ(s.time, kT0 + 4);
    EXPECT_FALSE(chart.FindSampleAt(0, 10, kColourA, &s));
}

TEST_F(ChartTest, OddSettingsNeitherDivideByZeroNorHang) {
    chart.SetSeriesCount(4);
    for (int g = 0; g < 10; ++g) chart.Append(SampleList(4, Sample(1, kT0 + g, 20, kColourA)));
    EXPECT_EQ(chart.GetDataWidth(), 90u);
    chart.SetScrollX(5);
    EXPECT_EQ(chart.FirstVisibleIndex(), 2);  // product first: 4 * 5 / 9
    chart.SetScrollX(-40);
    EXPECT_EQ(chart.FirstVisibleIndex(), 0);
    chart.SetSeriesCount(0);  // a header claiming no thermometers
    EXPECT_EQ(chart.GetDataWidth(), 360u);
    EXPECT_EQ(chart.Compose(20, 30).size(), QSize(20, 30));
    EXPECT_TRUE(chart.Compose(0, 0).isNull());
    chart.SetRange(INT_MAX, INT_MIN);
    EXPECT_EQ(chart.Compose(300, 1000).height(), 1000);
}

bool Overlap(const CChart::PlacedText& a, const CChart::PlacedText& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

// Names in the legend above the plot, the observation label below it: at 800 x 600 (and in a
// narrow tab) no text runs into another or into the plot, and each name wears its curve colour.
TEST_F(ChartTest, TextsAroundThePlotNeverOverlap) {
    const std::u16string long_name = u"Очень длинное имя термометра N";  // 30 units
    const uint32_t colours[] = {0xFFFF6347, 0xFFC71585, 0xFF3CB371, 0xFF6495ED,
                                0xFF8A2BE2, 0xFFFF00FF, 0xFFDAA520, 0xFF20B2AA};
    struct Case {
        int width, height, thermometers;
        bool long_names;
    } cases[] = {
        {800, 600, 2, false}, {800, 600, 8, true}, {560, 505, 6, false}, {300, 400, 8, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
                     std::to_string(c.thermometers));
        ASSERT_TRUE(chart.Init());
        chart.SetRange(40, -15);
        chart.SetSeriesCount(c.thermometers);
        for (int g = 0; g < 3; ++g) {
            SampleList batch;
            for (int k = 0; k < c.thermometers; ++k) {
                batch.push_back(Sample(0x28 + 0x100 * k, kT0 + 3600 * g, 20 + k, colours[k]));
                batch.back().name = c.long_names ? long_name + char16_t(u'1' + k)
                                                 : u"Термометр " + ToU16(int64_t(k + 1));
            }
            chart.Append(batch);
        }
        const QImage image = chart.Compose(c.width, c.height);
        const ChartRect plot = chart.GetLayout().plot;
        const auto& texts = chart.PlacedTexts();
        int legend = 0;
        for (size_t i = 0; i < texts.size(); ++i) {
            const CChart::PlacedText& t = texts[i];
            SCOPED_TRACE(ToQString(t.text).toStdString());
            EXPECT_GE(t.x, 0);
            EXPECT_GE(t.y, 0);
            EXPECT_LE(t.x + t.width, c.width);
            EXPECT_LE(t.y + t.height, c.height);
            // Above or below the plot, never on it.
            EXPECT_TRUE(t.y + t.height <= plot.y || t.y > plot.y + plot.height);
            for (size_t j = i + 1; j < texts.size(); ++j)
                EXPECT_FALSE(Overlap(t, texts[j])) << ToQString(texts[j].text).toStdString();
            if (t.kind != CChart::PlacedText::kLegend || t.text == u"\u2026") continue;
            EXPECT_EQ(t.colour, colours[legend]);
            int inked = 0;  // the name is drawn in its colour
            for (int y = t.y; y < t.y + t.height; ++y)
                for (int x = t.x; x < t.x + t.width; ++x) inked += Px(image, x, y) == t.colour;
            EXPECT_GT(inked, 5);
            ++legend;
        }
        EXPECT_GT(legend, 0);
        // One row of names leaves the plot where it was; more rows take no more than they need.
        const ChartLayout bare = ComputeChartLayout(c.width, c.height, 40, -15);
        if (!c.long_names && c.width == 800) {
            EXPECT_EQ(plot, bare.plot);
        }
        EXPECT_GE(plot.height, bare.plot.height - 55 - 3 * 20);
    }
}

// An untidy day: partial groups, a thermometer that goes silent, doubtful and missing readings,
// readings off the plot, a translucent colour and a repeated ROM code in one group.
void FillUntidyDay(CChart& chart) {
    chart.SetSeriesCount(3);
    chart.SetRange(30, 10);
    const uint32_t colours[] = {kColourA, kColourB, 0xFFEE7700};
    for (int g = 0; g < 400; ++g) {
        SampleList batch;
        for (int k = 0; k < 3; ++k) {
            if ((k == 2 && g > 150) || (k == 1 && g % 37 == 5)) continue;
            const double t = 20 + 9 * std::sin(g / 17.0 + k) + (g % 101 == 7 ? 40 : 0);
            const uint32_t valid = g % 13 == 3 ? 0 : (g % 11 == 4 ? 2 : 1);
            batch.push_back(Sample(k + 1, kT0 + 2 * g, t, colours[k], valid));
        }
        if (g == 60) batch.push_back(Sample(1, kT0 + 2 * g, 12, 0x80FFFFFF));
        chart.Append(batch);
    }
}

TEST(ChartCulling, VisibleGroupsAloneGiveTheSamePixels) {
    CChart fast, plain;
    ASSERT_TRUE(fast.Init());
    ASSERT_TRUE(plain.Init());
    plain.SetCullingForTesting(false);
    FillUntidyDay(fast);
    FillUntidyDay(plain);
    const int end = CChart::GetLeftMargin() + int(fast.GetDataWidth()) + 9;
    auto same_at = [&](int scroll) {
        fast.SetScrollX(scroll);
        plain.SetScrollX(scroll);
        return fast.Compose(500, 300) == plain.Compose(500, 300);
    };
    for (int scroll : {0, 5, 13, 1337, end - 500, end - 40, end + 100})
        EXPECT_TRUE(same_at(scroll)) << "scroll " << scroll;
    // After the owner reworks the list in place the next frame still matches.
    for (CChart* c : {&fast, &plain}) {
        SampleList& list = c->GetSamples();
        list.erase(list.begin() + 100, list.begin() + 700);
        for (size_t i = 0; i < list.size(); i += 5) list[i].rom = 3;
    }
    for (int scroll : {0, 900}) EXPECT_TRUE(same_at(scroll)) << "reworked, scroll " << scroll;
}

}  // namespace
}  // namespace kalvo
