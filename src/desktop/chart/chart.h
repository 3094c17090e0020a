#pragma once
// Temperature/time chart: one curve per thermometer, one column of points per measurement time.
// All calls come from the owning window's thread.
#include <QFont>
#include <QImage>
#include <QMouseEvent>

#include <array>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/common/sample_record.h"
#include "desktop/chart/chart_layout.h"

class QPainter;
class QRect;

namespace kalvo {

// A chart click counts only as a plain left click: no other button, no Shift or Ctrl.
inline bool IsPlainLeftClick(const QMouseEvent& event) {
    return event.button() == Qt::LeftButton && event.buttons() == Qt::LeftButton &&
           !(event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier));
}

// Edges of the plot in the owner's client coordinates; right and bottom lie just outside.
struct ChartEdges {
    int left = 0, top = 0, right = 0, bottom = 0;
};

class CChart {
  public:
    static constexpr uint32_t kDefaultBackground = 0xFF000000;  // ARGB
    static constexpr uint32_t kDefaultGrid = 0xFFA9A9A9;        // ARGB
    static constexpr uint32_t kZeroLine = 0xFFFF0000;           // ARGB
    static constexpr int kReservedSamples = 7200;

    CChart();
    ~CChart();
    CChart(const CChart&) = delete;
    CChart& operator=(const CChart&) = delete;

    // Prepares drawing (needs a running GUI application); false leaves the chart untouched. On
    // success every setting returns to its initial value.
    bool Init();
    bool IsStarted() const { return started_; }

    // Composes the frame off-screen and copies it to the target at rect's top-left in one step.
    void Draw(QPainter& target, const QRect& rect);
    // The off-screen composition alone; the image stays valid until the next frame.
    const QImage& Compose(int width, int height);
    const QImage& LastFrame() const { return frame_image_; }
    // Colour of the last frame at a point of it, as opaque ARGB; false outside the frame.
    bool PixelAt(int x, int y, uint32_t* argb) const;

    void SetRange(int upper, int lower);  // degrees C, order not checked
    int GetUpperLimit() const { return upper_; }
    int GetLowerLimit() const { return lower_; }
    // Samples per time group; values below 1 count as 1.
    void SetSeriesCount(int count);
    int GetSeriesCount() const { return series_count_; }
    void SetScrollX(int x) { scroll_x_ = x; }
    int GetScrollX() const { return scroll_x_; }
    // Switching from 0 to 1 remembers the newest sample: the label then ends at it.
    void SetAutoScrollSuspended(uint32_t value);
    uint32_t GetAutoScrollSuspended() const { return auto_scroll_suspended_; }
    const SampleRecord& GetMarkedSample() const { return marked_; }

    void Append(std::span<const SampleRecord> samples);
    void Clear();
    int GetCount() const { return int(samples_.size()); }
    const SampleList& GetSamples() const { return samples_; }
    // For owners that rework the list in place; the chart re-indexes it at the next frame.
    SampleList& GetSamples();

    uint32_t GetDataWidth() const;
    static int GetStepWidth() { return kChartStepWidth; }
    static int GetLeftMargin() { return kChartLeftMargin; }
    int GetGridStep() const { return grid_step_; }
    const ChartLayout& GetLayout() const { return layout_; }

    // Index of the first sample drawn at the plot's left edge: series count * scroll x / 9.
    int64_t FirstVisibleIndex() const;
    // The line under the plot: the span shown and the elapsed observation time; empty when no
    // sample is in view.
    std::u16string ObservationText() const;

    // One legend entry per thermometer in the order they first appear: the name (the ROM code
    // when unnamed) and the colour of its newest sample.
    struct LegendEntry {
        uint64_t rom = 0;
        std::u16string name;
        uint32_t colour = 0;  // ARGB
    };
    std::vector<LegendEntry> Legend();
    // Where the texts around the plot went in the last frame, in frame coordinates (tops of the
    // texts); for checks that nothing overlaps.
    struct PlacedText {
        enum Kind { kAxis, kLegend, kLabel };  // axis captions, legend, observation label
        Kind kind = kAxis;
        std::u16string text;
        int x = 0, y = 0, width = 0, height = 0;
        uint32_t colour = 0;  // ARGB
    };
    const std::vector<PlacedText>& PlacedTexts() const { return placed_; }

    bool HitTestPlot(int x, int y) const;
    ChartEdges GetPlotRect() const;
    // The sample drawn at (x, y) in the given opaque ARGB colour, from the time group under x.
    bool FindSampleAt(int x, int y, uint32_t argb, SampleRecord* found) const;

    // Colours are given and taken as COLORREF (0x00BBGGRR) and kept as ARGB.
    void SetBackgroundColor(uint32_t colorref);
    uint32_t GetBackgroundColor() const;
    void SetGridColor(uint32_t colorref);
    uint32_t GetGridColor() const;
    uint32_t BackgroundArgb() const { return background_; }
    uint32_t GridArgb() const { return grid_; }

    // With culling off the plot walks every group to the end and finds each curve's next point by
    // a linear search: the plain reference the fast path must match pixel for pixel.
    void SetCullingForTesting(bool on) { culling_ = on; }

  private:
    using Stage = void (CChart::*)(QPainter&);
    static constexpr uint32_t kNoNext = UINT32_MAX;

    void DrawBackground(QPainter& p);
    void DrawAxes(QPainter& p);
    void DrawPlot(QPainter& p);
    void FillSquare(QPainter& p, int x, int y, uint32_t argb);
    void DrawSegment(QPainter& p, int x0, int y0, int x1, int y1, uint32_t argb);
    void DrawText(QPainter& p, int x, int y, const std::u16string& text) const;
    void DrawText(QPainter& p, int x, int y, const std::u16string& text, uint32_t argb) const;
    int TextWidth(const std::u16string& text) const;
    // Times of the observation label; false when no sample is in view.
    bool ObservationSpan(int64_t* from, int64_t* to, int64_t* elapsed) const;
    // Lays out the legend above the plot and the observation label below it, widening the
    // margins only when they need more than the plot leaves.
    void PlanTexts(int width, int height);
    void IndexFrom(size_t begin);
    void EnsureIndex();
    size_t NextOfSameRom(size_t index) const;
    // First sample after begin with a later time (the end of begin's time group).
    size_t GroupEnd(size_t begin) const;

    ChartLayout layout_;  // frame and plot rectangles and the vertical scale of the last frame
    uint32_t background_ = kDefaultBackground;
    uint32_t grid_ = kDefaultGrid;
    int grid_step_ = 5;  // degrees, adapted while drawing and kept
    int upper_ = 125;    // degrees C at the plot's top edge
    int lower_ = -55;    // degrees C of the last grid line
    int scroll_x_ = 0;   // pixels
    int series_count_ = 1;
    bool started_ = false;
    QFont font_;
    int font_ascent_ = 0;             // pixels from a text's top to its baseline
    int line_height_ = 14;            // pixels from one text row to the next
    std::vector<PlacedText> placed_;  // texts of the frame around the plot
    // The order in which thermometers first appear, for the legend.
    std::vector<uint64_t> rom_order_;
    uint32_t auto_scroll_suspended_ = 0;
    SampleRecord marked_;
    SampleList samples_;
    std::array<Stage, 3> stages_{};

    // For every sample the index of the next one of the same thermometer, kept up to date by
    // Append so a frame never searches the rest of the day.
    std::vector<uint32_t> next_same_rom_;
    std::unordered_map<uint64_t, uint32_t> last_of_rom_;
    bool index_dirty_ = false;
    bool culling_ = true;
    QImage frame_image_;
    uchar* frame_bits_ = nullptr;  // the frame's pixels while it is composed
    qsizetype frame_stride_ = 0;
};

// Replaces the check that the graphics system is up (tests simulate a failed start).
void SetChartStarterForTesting(bool (*starter)());

}  // namespace kalvo
