#include "desktop/chart/chart_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/common/text.h"

namespace kalvo {

ChartLayout ComputeChartLayout(int width, int height, int upper, int lower) {
    ChartLayout l;
    l.frame = {0, 0, width, height};
    l.plot = {kChartLeftMargin, kChartTopMargin, std::max(0, width - kChartLeftMargin),
              std::max(0, height - kChartTopMargin - kChartBottomMargin)};
    int64_t range = std::llabs(int64_t(upper) - int64_t(lower));
    if (range == 0) range = 10;
    // Largest whole number of degrees that fits.
    l.plot.height -= int(l.plot.height % range);
    // Centre: move the plot by half the difference of the two doubled centres.
    const int64_t diff =
        2 * int64_t(l.plot.y) + l.plot.height - 2 * int64_t(l.frame.y) - l.frame.height;
    l.plot.y -= int(diff / 2);
    l.pixels_per_degree = int(l.plot.height / range);
    return l;
}

int AdaptGridStep(int step, int pixels_per_degree) {
    if (step <= 0) step = 5;
    const int64_t p = pixels_per_degree;
    if (p <= 0) return step;
    int64_t s = step;
    while (p * s < 16) s *= 2;
    if (p * s > 20) {
        for (;;) {
            s /= 2;
            if (s < 5) {
                s = 5;
                break;
            }
            if (p * s <= 20) break;
        }
    }
    return int(s);
}

std::vector<GridLine> ComputeGridLines(const ChartLayout& layout, int step, int upper, int lower,
                                       int max_y) {
    std::vector<GridLine> lines;
    if (step <= 0) return lines;
    const int64_t gap = int64_t(step) * layout.pixels_per_degree;
    int64_t t = upper;
    int64_t y = layout.plot.y;
    int64_t label_y = y - 5;
    while (t >= lower && label_y < max_y) {
        lines.push_back({int(t), int(y), int(label_y)});
        if (gap <= 0) break;
        t -= step;
        y += gap;
        label_y += gap;
    }
    return lines;
}

std::u16string ElapsedText(int64_t e) {
    const int64_t h = e / 3600 - (e / 86400) * 24;
    const int64_t m = e / 60 - (e / 3600) * 60;
    const int64_t s = e - (e / 60) * 60;
    return FormatRus(u"     Время наблюдения - %.2dч.", int(h)) + FormatRus(u"%.2dм.", int(m)) +
           FormatRus(u"%.2dсек.", int(s));
}

bool TemperatureRow(double temperature, int upper, int pixels_per_degree, int top, int* row) {
    if (std::isnan(temperature)) return false;
    double v = (double(upper) - temperature) * pixels_per_degree + top;
    if (std::isnan(v)) return false;  // inf * 0
    v = std::clamp(v, -1e6, 1e6);
    *row = int(v);
    return true;
}

int TruncDegrees(double temperature) {
    if (std::isnan(temperature)) return 0;
    return int(std::clamp(std::trunc(temperature), -1e6, 1e6));
}

TemperatureRange DayRange(const SampleList& samples) {
    if (samples.empty()) return {};
    const double hi = MaxSampleByTemperature(samples.begin(), samples.end())->temperature;
    const double lo = MinSampleByTemperature(samples.begin(), samples.end())->temperature;
    return {(TruncDegrees(hi) / 5 + 1) * 5, (TruncDegrees(lo) / 5 - 1) * 5};
}

bool RebuildLiveRange(const SampleList& batch, TemperatureRange* bounds) {
    if (batch.empty()) return false;
    const double lo = MinSampleByTemperature(batch.begin(), batch.end())->temperature;
    const double hi = MaxSampleByTemperature(batch.begin(), batch.end())->temperature;
    if (!(double(bounds->lower) >= lo || hi >= double(bounds->upper))) return false;
    bounds->lower = (TruncDegrees(lo) / 5) * 5 - 5;
    bounds->upper = (TruncDegrees(hi) / 5 + 1) * 5;
    return true;
}

std::u16string SampleTooltipText(const SampleRecord& sample, bool drop_first_line_feed) {
    std::u16string name = sample.name;
    if (drop_first_line_feed) {
        if (const size_t lf = name.find(u'\n'); lf != std::u16string::npos) name.erase(lf, 1);
    }
    std::u16string text =
        name + FormatRus(u" t= %.2f\nвремя - ", sample.temperature) + FormatTimeC(sample.time);
    if (sample.valid != 1) text += u"\nИзмерение недостоверное";
    return text;
}

}  // namespace kalvo
