#include "desktop/chart/chart.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/common/colour.h"
#include "core/common/text.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

bool GuiRunning() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance());
}
bool (*g_starter)() = &GuiRunning;

QFont ChartFont() {
    QFont font;
    if (QFontDatabase::hasFamily(QStringLiteral("Arial"))) {
        font.setFamily(QStringLiteral("Arial"));
    } else {
        font.setFamily(QStringLiteral("sans-serif"));
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPixelSize(12);
    return font;
}

QColor Argb(uint32_t argb) {
    return QColor::fromRgba(argb);
}

// a / b rounded to the nearest whole number, halves upward; b > 0.
int64_t RoundedRatio(int64_t a, int64_t b) {
    const int64_t num = 2 * a + b, den = 2 * b;
    int64_t q = num / den;
    if (num % den != 0 && num < 0) --q;
    return q;
}

constexpr char16_t kTemperatureCaption[] = u"Температура в \u00B0\u0421";
constexpr char16_t kTimeCaption[] = u"Время";
constexpr char16_t kEllipsis[] = u"\u2026";
constexpr int kLegendGap = 12;  // pixels between legend entries and after the caption
constexpr int kLabelGap = 6;    // pixels kept clear before "Время"

// A sample that is drawn as a point: not a failed reading, and a finite temperature.
bool Drawable(const SampleRecord& s) {
    return s.valid != 0 && std::isfinite(s.temperature);
}

}  // namespace

void SetChartStarterForTesting(bool (*starter)()) {
    g_starter = starter ? starter : &GuiRunning;
}

CChart::CChart() {
    samples_.reserve(kReservedSamples);
    next_same_rom_.reserve(kReservedSamples);
}

CChart::~CChart() = default;

bool CChart::Init() {
    if (!g_starter()) return false;
    layout_ = {};
    background_ = kDefaultBackground;
    grid_ = kDefaultGrid;
    grid_step_ = 5;
    upper_ = 125;
    lower_ = -55;
    scroll_x_ = 0;
    series_count_ = 1;
    stages_ = {&CChart::DrawBackground, &CChart::DrawAxes, &CChart::DrawPlot};
    font_ = ChartFont();
    const QFontMetrics metrics(font_);
    font_ascent_ = metrics.ascent();
    line_height_ = std::max(1, metrics.height());
    started_ = true;
    return true;
}

void CChart::Draw(QPainter& target, const QRect& rect) {
    const QImage& image = Compose(rect.width(), rect.height());
    if (image.isNull()) return;
    target.save();
    target.setCompositionMode(QPainter::CompositionMode_Source);
    target.drawImage(rect.topLeft(), image);
    target.restore();
}

const QImage& CChart::Compose(int width, int height) {
    EnsureIndex();
    PlanTexts(width, height);
    if (width <= 0 || height <= 0) {
        frame_image_ = QImage();
        return frame_image_;
    }
    if (frame_image_.width() != width || frame_image_.height() != height) {
        frame_image_ = QImage(width, height, QImage::Format_RGB32);
        frame_image_.fill(Qt::black);
    }
    // Taken before painting starts: the image is not detached behind the painter's back later.
    frame_bits_ = frame_image_.bits();
    frame_stride_ = frame_image_.bytesPerLine();
    QPainter p(&frame_image_);
    // Curves are told apart by the exact colour of their pixels, so no blending at their edges.
    p.setRenderHint(QPainter::Antialiasing, false);
    for (Stage stage : stages_)
        if (stage) (this->*stage)(p);
    return frame_image_;
}

bool CChart::PixelAt(int x, int y, uint32_t* argb) const {
    if (!frame_image_.valid(x, y)) return false;
    *argb = 0xFF000000u | frame_image_.pixel(x, y);
    return true;
}

void CChart::SetRange(int upper, int lower) {
    upper_ = upper;
    lower_ = lower;
}

void CChart::SetSeriesCount(int count) {
    series_count_ = std::max(1, count);
}

void CChart::SetAutoScrollSuspended(uint32_t value) {
    if (auto_scroll_suspended_ == 0 && value == 1 && !samples_.empty()) marked_ = samples_.back();
    auto_scroll_suspended_ = value;
}

void CChart::Append(std::span<const SampleRecord> samples) {
    EnsureIndex();
    const size_t begin = samples_.size();
    samples_.insert(samples_.end(), samples.begin(), samples.end());
    IndexFrom(begin);
}

void CChart::Clear() {
    samples_.clear();
    next_same_rom_.clear();
    last_of_rom_.clear();
    rom_order_.clear();
    index_dirty_ = false;
}

SampleList& CChart::GetSamples() {
    index_dirty_ = true;
    return samples_;
}

void CChart::IndexFrom(size_t begin) {
    next_same_rom_.resize(samples_.size(), kNoNext);
    for (size_t i = begin; i < samples_.size(); ++i) {
        auto [it, inserted] = last_of_rom_.try_emplace(samples_[i].rom, uint32_t(i));
        if (inserted) {
            rom_order_.push_back(samples_[i].rom);
        } else {
            next_same_rom_[it->second] = uint32_t(i);
            it->second = uint32_t(i);
        }
    }
}

void CChart::EnsureIndex() {
    if (!index_dirty_ && next_same_rom_.size() == samples_.size()) return;
    next_same_rom_.clear();
    last_of_rom_.clear();
    rom_order_.clear();
    IndexFrom(0);
    index_dirty_ = false;
}

size_t CChart::NextOfSameRom(size_t index) const {
    if (culling_) {
        const uint32_t next = next_same_rom_[index];
        return next == kNoNext ? samples_.size() : next;
    }
    for (size_t k = index + 1; k < samples_.size(); ++k)
        if (samples_[k].rom == samples_[index].rom) return k;
    return samples_.size();
}

size_t CChart::GroupEnd(size_t begin) const {
    // Upper bound of the group's time, galloping first: a group is short, the day is long.
    const int64_t t = samples_[begin].time;
    const size_t n = samples_.size();
    size_t lo = begin + 1, step = 1;
    size_t hi = lo;
    while (hi < n && samples_[hi].time <= t) {
        lo = hi + 1;
        hi = begin + (step *= 2);
    }
    hi = std::min(hi, n);
    auto later = [](int64_t time, const SampleRecord& s) { return time < s.time; };
    return size_t(std::upper_bound(samples_.begin() + lo, samples_.begin() + hi, t, later) -
                  samples_.begin());
}

uint32_t CChart::GetDataWidth() const {
    return uint32_t(samples_.size() / size_t(series_count_) * kChartStepWidth);
}

bool CChart::HitTestPlot(int x, int y) const {
    const ChartRect& r = layout_.plot;
    return r.x <= x && x < r.x + r.width && r.y <= y && y < r.y + r.height;
}

ChartEdges CChart::GetPlotRect() const {
    const ChartRect& r = layout_.plot;
    return {r.x, r.y, r.x + r.width, r.y + r.height};
}

bool CChart::FindSampleAt(int x, int /*y*/, uint32_t argb, SampleRecord* found) const {
    const int64_t n = int64_t(samples_.size());
    if (n == 0) return false;
    if (argb == background_ || argb == grid_) return false;
    const int64_t series = series_count_;
    const int64_t d = int64_t(scroll_x_) - layout_.plot.x;
    const int64_t r = (d + x) % kChartStepWidth;
    const int64_t aligned = x - r;
    const int64_t group = (aligned + d) / kChartStepWidth;
    int64_t begin, end;
    if (n % series == 0) {
        begin = std::min(group * series, n - series);
        if (begin < 0) return false;  // left of the first time group
        end = begin + series;
    } else {
        // A pass cut short or a thinned curve: the groups are walked as the drawing lays them
        // out, rather than every click after the odd group finding nothing.
        const int64_t first = FirstVisibleIndex();
        const int64_t column = group - int64_t(scroll_x_) / kChartStepWidth;
        if (group < 0 || column < 0 || first >= n) return false;
        begin = first;
        end = int64_t(GroupEnd(size_t(begin)));
        for (int64_t c = 0; c < column && end < n; ++c) {
            begin = end;
            end = int64_t(GroupEnd(size_t(begin)));
        }
    }
    for (int64_t k = begin; k < end; ++k) {
        if (samples_[size_t(k)].colour == argb) {
            *found = samples_[size_t(k)];
            return true;
        }
    }
    return false;
}

void CChart::SetBackgroundColor(uint32_t colorref) {
    background_ = ColorrefToArgb(colorref);
}
uint32_t CChart::GetBackgroundColor() const {
    return ArgbToColorref(background_);
}
void CChart::SetGridColor(uint32_t colorref) {
    grid_ = ColorrefToArgb(colorref);
}
uint32_t CChart::GetGridColor() const {
    return ArgbToColorref(grid_);
}

void CChart::DrawText(QPainter& p, int x, int y, const std::u16string& text) const {
    DrawText(p, x, y, text, grid_);
}

void CChart::DrawText(QPainter& p, int x, int y, const std::u16string& text, uint32_t argb) const {
    // The point is the top-left corner of the text, not its baseline.
    p.setPen(Argb(argb));
    p.drawText(QPoint(x, y + font_ascent_), ToQString(text));
}

int CChart::TextWidth(const std::u16string& text) const {
    return QFontMetrics(font_).horizontalAdvance(ToQString(text));
}

std::vector<CChart::LegendEntry> CChart::Legend() {
    EnsureIndex();
    std::vector<LegendEntry> legend;
    legend.reserve(rom_order_.size());
    for (uint64_t rom : rom_order_) {
        const SampleRecord& newest = samples_[last_of_rom_.at(rom)];
        std::u16string name = newest.name.empty() ? ToHex(rom) : newest.name;
        for (char16_t& c : name)
            if (c < 0x20) c = u' ';  // one line per entry
        legend.push_back({rom, std::move(name), newest.colour});
    }
    return legend;
}

void CChart::PlanTexts(int width, int height) {
    placed_.clear();
    layout_ = ComputeChartLayout(width, height, upper_, lower_);
    if (!started_ || width <= 0 || height <= 0) return;
    const int lh = line_height_;

    // Above the plot: the caption, and right of it the legend, in rows as the width allows.
    const std::u16string caption = kTemperatureCaption;
    const int caption_x = layout_.plot.x - 30;
    const int legend_left = caption_x + TextWidth(caption) + kLegendGap;
    const int legend_right = width - 4;
    std::vector<LegendEntry> legend;
    if (!samples_.empty()) legend = Legend();
    std::vector<int> legend_widths;
    for (const LegendEntry& e : legend) legend_widths.push_back(TextWidth(e.name));
    const FlowLayout legend_flow =
        FlowPieces(legend_widths, legend_left, legend_right, kLegendGap, legend_right,
                   std::max(1, height / 4 / lh), TextWidth(kEllipsis));

    // Below the plot: the observation label, broken before "Время" when it would run into it.
    std::vector<std::u16string> pieces;
    std::vector<int> piece_widths;
    int64_t from = 0, to = 0, elapsed = 0;
    const int time_x = layout_.plot.x + layout_.plot.width - 70;
    if (ObservationSpan(&from, &to, &elapsed)) {
        const std::u16string whole = ObservationText();
        if (layout_.plot.x + TextWidth(whole) + kLabelGap <= time_x) {
            pieces = {whole};
        } else {
            // Broken between its word groups; the blanks before the elapsed time are the gap
            // that a new row makes.
            std::u16string tail = ElapsedText(elapsed);
            tail.erase(0, tail.find_first_not_of(u' '));
            pieces = {FormatTimeC(from) + u" -", FormatTimeC(to), tail};
        }
        for (const std::u16string& piece : pieces) piece_widths.push_back(TextWidth(piece));
    }
    const FlowLayout label_flow =
        FlowPieces(piece_widths, layout_.plot.x, width - 2, TextWidth(u" "), time_x - kLabelGap, 4);

    // Rows beyond the first need margins; the plot keeps its place while they fit in what
    // the layout leaves above and below it.
    const auto legend_top = [&] { return layout_.plot.y - std::max(20, legend_flow.rows * lh); };
    const auto label_offset = [&] {
        const int space = height - (layout_.plot.y + layout_.plot.height);
        return label_flow.rows <= 1 ? 5 : std::min(5, space - label_flow.rows * lh);
    };
    int extra_top = 0, extra_bottom = 0;
    if (legend_flow.rows > 1 && legend_top() < 1)
        extra_top = std::max(20, legend_flow.rows * lh) + 1 - kChartTopMargin;
    if (label_flow.rows > 1 && label_offset() < 1)
        extra_bottom = 1 + label_flow.rows * lh - kChartBottomMargin;
    if (extra_top > 0 || extra_bottom > 0)
        layout_ = ComputeChartLayout(width, height, upper_, lower_, extra_top, extra_bottom);

    const int top = legend_top();
    placed_.push_back({PlacedText::kAxis, caption, caption_x, top, TextWidth(caption), lh, grid_});
    for (size_t i = 0; i < legend_flow.items.size(); ++i) {
        const FlowItem& item = legend_flow.items[i];
        std::u16string name = legend[i].name;
        if (item.width < legend_widths[i]) {
            const QFontMetrics metrics(font_);
            name = FromQString(metrics.elidedText(ToQString(name), Qt::ElideRight, item.width));
        }
        placed_.push_back({PlacedText::kLegend, std::move(name), item.x, top + item.row * lh,
                           item.width, lh, legend[i].colour});
    }
    if (legend_flow.ellipsis_x >= 0) {
        placed_.push_back({PlacedText::kLegend, kEllipsis, legend_flow.ellipsis_x,
                           top + (legend_flow.rows - 1) * lh, TextWidth(kEllipsis), lh, grid_});
    }
    const int below = layout_.plot.y + layout_.plot.height + label_offset();
    placed_.push_back(
        {PlacedText::kAxis, kTimeCaption, time_x, below, TextWidth(kTimeCaption), lh, grid_});
    for (size_t i = 0; i < label_flow.items.size(); ++i) {
        const FlowItem& item = label_flow.items[i];
        placed_.push_back(
            {PlacedText::kLabel, pieces[i], item.x, below + item.row * lh, item.width, lh, grid_});
    }
}

void CChart::DrawBackground(QPainter& p) {
    const ChartRect& f = layout_.frame;
    p.fillRect(QRect(f.x, f.y, f.width, f.height), Argb(background_));
}

void CChart::DrawAxes(QPainter& p) {
    const ChartRect& plot = layout_.plot;
    p.setFont(font_);
    QPen pen(Argb(grid_), 1);
    pen.setCosmetic(true);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    // A stroked QRect covers width + 1 columns, like the outline the layout expects.
    p.drawRect(QRect(plot.x, plot.y, plot.width, plot.height));
    for (const PlacedText& t : placed_)
        if (t.kind == PlacedText::kAxis) DrawText(p, t.x, t.y, t.text, t.colour);

    grid_step_ = AdaptGridStep(grid_step_, layout_.pixels_per_degree);
    for (const GridLine& line :
         ComputeGridLines(layout_, grid_step_, upper_, lower_, frame_image_.height())) {
        DrawText(p, plot.x - 30, line.label_y, FormatRus(u"%d", line.temperature));
        pen.setColor(Argb(line.temperature == 0 ? kZeroLine : grid_));
        p.setPen(pen);
        p.drawLine(plot.x, line.y, plot.x + plot.width, line.y);
    }
}

void CChart::FillSquare(QPainter& p, int x, int y, uint32_t argb) {
    if ((argb >> 24) != 0xFF) {
        p.fillRect(QRect(x, y, 4, 4), Argb(argb));
        return;
    }
    // Opaque: written straight into the frame, clipped to it (the same pixels, far cheaper).
    const int x0 = std::max(x, 0), x1 = std::min(x + 4, frame_image_.width());
    const int y0 = std::max(y, 0), y1 = std::min(y + 4, frame_image_.height());
    for (int row = y0; row < y1; ++row) {
        auto* line = reinterpret_cast<QRgb*>(frame_bits_ + ptrdiff_t(row) * frame_stride_);
        std::fill(line + x0, line + std::max(x0, x1), argb);
    }
}

void CChart::DrawSegment(QPainter& p, int x0, int y0, int x1, int y1, uint32_t argb) {
    if ((argb >> 24) != 0xFF) {
        QPen pen(Argb(argb), 1);
        pen.setCosmetic(true);
        p.setPen(pen);
        p.drawLine(x0, y0, x1, y1);
        return;
    }
    // Opaque: one pixel per step along the longer axis, both ends included, rows outside the
    // frame skipped without walking them (a far-off point may lie a million rows away).
    const int64_t dx = int64_t(x1) - x0, dy = int64_t(y1) - y0;
    const int64_t w = frame_image_.width(), h = frame_image_.height();
    auto put = [&](int64_t px, int64_t py) {
        if (px < 0 || px >= w || py < 0 || py >= h) return;
        reinterpret_cast<QRgb*>(frame_bits_ + ptrdiff_t(py) * frame_stride_)[px] = argb;
    };
    if (std::llabs(dx) >= std::llabs(dy)) {
        const int64_t len = std::llabs(dx), sx = dx < 0 ? -1 : 1;
        for (int64_t i = 0; i <= len; ++i)
            put(x0 + i * sx, len ? y0 + RoundedRatio(i * dy, len) : y0);
    } else {
        const int64_t len = std::llabs(dy), sy = dy < 0 ? -1 : 1;
        // Steps i whose row y0 + i * sy lies inside the frame.
        int64_t from = sy > 0 ? -int64_t(y0) : int64_t(y0) - (h - 1);
        int64_t to = sy > 0 ? (h - 1) - y0 : int64_t(y0);
        from = std::max<int64_t>(from, 0);
        to = std::min(to, len);
        for (int64_t i = from; i <= to; ++i) put(x0 + RoundedRatio(i * dx, len), y0 + i * sy);
    }
}

int64_t CChart::FirstVisibleIndex() const {
    return std::max<int64_t>(0, int64_t(series_count_) * scroll_x_ / kChartStepWidth);
}

bool CChart::ObservationSpan(int64_t* from, int64_t* to, int64_t* elapsed) const {
    const int64_t first = FirstVisibleIndex();
    if (first >= int64_t(samples_.size())) return false;
    const int64_t very_first = samples_.front().time;
    if (auto_scroll_suspended_) {
        *from = samples_[size_t(first)].time;
        *to = marked_.time;
    } else {
        *from = very_first;
        *to = samples_.back().time;
    }
    *elapsed = int64_t(uint64_t(*to) - uint64_t(very_first));  // wraps, never traps
    return true;
}

std::u16string CChart::ObservationText() const {
    int64_t from = 0, to = 0, elapsed = 0;
    if (!ObservationSpan(&from, &to, &elapsed)) return {};
    return FormatTimeC(from) + u" - " + FormatTimeC(to) + ElapsedText(elapsed);
}

void CChart::DrawPlot(QPainter& p) {
    p.setFont(font_);
    for (const PlacedText& t : placed_)
        if (t.kind != PlacedText::kAxis) DrawText(p, t.x, t.y, t.text, t.colour);
    const int64_t first_index = FirstVisibleIndex();
    if (first_index >= int64_t(samples_.size())) return;
    EnsureIndex();
    const ChartRect& plot = layout_.plot;
    const size_t n = samples_.size();

    const int ppd = layout_.pixels_per_degree;
    const int right_edge = frame_image_.width();  // columns from here on are cut off
    int x = plot.x;
    for (size_t i = size_t(first_index); i < n; x += kChartStepWidth) {
        // A group, its points and the lines leading out of it lie within x .. x + 9.
        if (culling_ && x >= right_edge) break;
        const size_t end = GroupEnd(i);
        for (size_t j = i; j < end; ++j) {
            const SampleRecord& s = samples_[j];
            int y;
            if (!Drawable(s) || !TemperatureRow(s.temperature, upper_, ppd, plot.y, &y)) continue;
            // A 3 x 3 outline with a one-pixel pen, filled: a solid 4 x 4 square.
            FillSquare(p, x, y, s.colour);
            const size_t next = NextOfSameRom(j);
            int next_y;
            if (next < n && samples_[next].valid == 1 && Drawable(samples_[next]) &&
                TemperatureRow(samples_[next].temperature, upper_, ppd, plot.y, &next_y)) {
                DrawSegment(p, x + 3, y + 3, x + 9, next_y + 3, s.colour);
            }
        }
        i = end;
    }
}

}  // namespace kalvo
