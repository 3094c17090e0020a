#pragma once
// The chart's arithmetic, kept apart from painting so it can be checked number by number.
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/sample_record.h"

namespace kalvo {

struct ChartRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ChartRect&) const = default;
};

struct ChartLayout {
    ChartRect frame;
    ChartRect plot;
    int pixels_per_degree = 0;
};

constexpr int kChartStepWidth = 9;    // pixels per time group
constexpr int kChartLeftMargin = 35;  // pixels left of the plot
constexpr int kChartTopMargin = 25;
constexpr int kChartBottomMargin = 30;

// Frame (0, 0, width, height) and the plot inside it, its height cut to a whole number of degrees
// and centred vertically. A window too small for the margins gets an empty plot and a scale of 0
// rather than a negative one. `extra_top` and `extra_bottom` widen the margins for texts that
// need more than one line there; the plot is then centred between them.
ChartLayout ComputeChartLayout(int width, int height, int upper, int lower, int extra_top = 0,
                               int extra_bottom = 0);

// Words (or legend entries) of the given widths set from `left` in rows that end at `right`,
// `gap` pixels apart; a piece wider than a row gets a row of its own, cut to it. `first_right`
// limits the first row alone. At most `max_rows` rows: what does not fit is left out, and room
// for an ellipsis of `ellipsis_width` is kept at the end of the last row.
struct FlowItem {
    int x = 0;
    int row = 0;
    int width = 0;  // cut to the row when wider
};
struct FlowLayout {
    std::vector<FlowItem> items;  // of the pieces placed, in order
    int rows = 0;
    int ellipsis_x = -1;  // where the ellipsis goes when pieces were left out, else -1
};
FlowLayout FlowPieces(const std::vector<int>& widths, int left, int right, int gap, int first_right,
                      int max_rows, int ellipsis_width = 0);

// Grid step (degrees) for a scale: doubled until the lines are 16 px apart, halved (not below 5)
// while they are more than 20 px apart. A scale of 0 keeps the step.
int AdaptGridStep(int step, int pixels_per_degree);

struct GridLine {
    int temperature;  // degrees C
    int y;            // row of the line
    int label_y;      // top of its label
};
// Lines from the upper limit down to the lower one, step degrees apart. Lines whose label would
// start below max_y are left out (they lie off the bitmap); with no vertical scale only the top
// line is given, since all would fall on the same row.
std::vector<GridLine> ComputeGridLines(const ChartLayout& layout, int step, int upper, int lower,
                                       int max_y);

// "     Время наблюдения - HHч.MMм.SSсек." for an elapsed time; whole days are not shown.
std::u16string ElapsedText(int64_t seconds);

// Row of a temperature: (upper - t) * scale + top, truncated toward zero. Values far off the
// bitmap are held at +-1e6 so the conversion stays defined; NaN gives false.
bool TemperatureRow(double temperature, int upper, int pixels_per_degree, int top, int* row);

// Positions of the first sample with the lowest / highest temperature (strict comparison, the
// earliest of equal extremes wins); an empty range gives last.
template <class It>
It MinSampleByTemperature(It first, It last) {
    It best = first;
    for (It it = first; it != last; ++it)
        if (it->temperature < best->temperature) best = it;
    return best;
}
template <class It>
It MaxSampleByTemperature(It first, It last) {
    It best = first;
    for (It it = first; it != last; ++it)
        if (it->temperature > best->temperature) best = it;
    return best;
}

// Whole degrees toward zero, held inside +-1e6 (NaN gives 0), so odd readings cannot overflow.
int TruncDegrees(double temperature);

struct TemperatureRange {
    int upper = 0;
    int lower = 0;
};
// Range of a stored day: upper = (t(max) / 5 + 1) * 5, lower = (t(min) / 5 - 1) * 5, over all
// samples whose temperature is a finite number. None gives 0 / 0.
TemperatureRange DayRange(const SampleList& samples);

// The live chart's bounds follow the newest batch: when a value of the batch touches or crosses
// a bound, both are rebuilt from that batch alone. True when they were rebuilt.
bool RebuildLiveRange(const SampleList& batch, TemperatureRange* bounds);

// The click tooltip of a reading: name, " t= 21,25", its local time, and a note for a doubtful
// reading. The live view drops the first line feed of the name; a stored day shows it as kept.
std::u16string SampleTooltipText(const SampleRecord& sample, bool drop_first_line_feed);

}  // namespace kalvo
