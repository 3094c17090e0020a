#include "desktop/chart/chart_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/common/text.h"

namespace kalvo {

ChartLayout ComputeChartLayout(int width, int height, int upper, int lower, int extra_top,
                               int extra_bottom) {
    ChartLayout l;
    l.frame = {0, 0, width, height};
    extra_top = std::max(0, extra_top);
    extra_bottom = std::max(0, extra_bottom);
    l.plot = {
        kChartLeftMargin, kChartTopMargin + extra_top, std::max(0, width - kChartLeftMargin),
        std::max(0, height - kChartTopMargin - kChartBottomMargin - extra_top - extra_bottom)};
    int64_t range = std::llabs(int64_t(upper) - int64_t(lower));
    if (range == 0) range = 10;
    // Largest whole number of degrees that fits.
    l.plot.height -= int(l.plot.height % range);
    // Centre between the extra margins: move the plot by half the difference of the two doubled
    // centres.
    const int64_t band_top = int64_t(l.frame.y) + extra_top;
    const int64_t band_height = int64_t(l.frame.height) - extra_top - extra_bottom;
    const int64_t diff = 2 * int64_t(l.plot.y) + l.plot.height - 2 * band_top - band_height;
    l.plot.y -= int(diff / 2);
    l.pixels_per_degree = int(l.plot.height / range);
    return l;
}

FlowLayout FlowPieces(const std::vector<int>& widths, int left, int right, int gap, int first_right,
                      int max_rows, int ellipsis_width) {
    FlowLayout flow;
    if (max_rows <= 0 || right <= left) return flow;
    const auto row_right = [&](int row) { return row == 0 ? std::min(first_right, right) : right; };
    int row = 0, x = left;
    bool row_empty = true;
    size_t placed = 0;
    for (; placed < widths.size(); ++placed) {
        const int w = std::max(0, widths[placed]);
        if (!row_empty && x + w > row_right(row)) {
            if (row + 1 >= max_rows) break;
            ++row;
            x = left;
            row_empty = true;
        }
        if (row_empty && x + w > row_right(row) && row == 0 && row_right(0) < right &&
            row + 1 < max_rows) {
            ++row;  // the first row is short: a piece too long for it starts on the next
        }
        const int cut = std::min(w, std::max(0, right - x));
        flow.items.push_back({x, row, cut});
        x += cut + gap;
        row_empty = false;
    }
    flow.rows = flow.items.empty() ? 0 : row + 1;
    if (placed < widths.size()) {
        // Room for the ellipsis at the end of the last row, taken from its last pieces.
        while (!flow.items.empty() && flow.items.back().row == row &&
               flow.items.back().x + flow.items.back().width + gap + ellipsis_width > right)
            flow.items.pop_back();
        flow.ellipsis_x = flow.items.empty() || flow.items.back().row != row
                              ? left
                              : flow.items.back().x + flow.items.back().width + gap;
        flow.rows = row + 1;
    }
    return flow;
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
    // A NaN or an infinity is no temperature: one such record would flatten the whole day.
    bool any = false;
    double lo = 0, hi = 0;
    for (const SampleRecord& s : samples) {
        if (!std::isfinite(s.temperature)) continue;
        if (!any || s.temperature < lo) lo = s.temperature;
        if (!any || s.temperature > hi) hi = s.temperature;
        any = true;
    }
    if (!any) return {};
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
