#pragma once
// What the live view and a stored day's view share: a chart filling a viewport that scrolls along
// the time axis only, the click tooltip and the two colour commands.
#include <QAbstractScrollArea>

#include <cstdint>
#include <string>

#include "core/common/sample_record.h"
#include "desktop/chart/chart.h"
#include "desktop/widgets/command_ids.h"

namespace kalvo {

class CChartView : public QAbstractScrollArea {
  public:
    ~CChartView() override;

    // Chart colours as COLORREF (settings file).
    uint32_t GetBackgroundColor() const { return chart_.GetBackgroundColor(); }
    void SetBackgroundColor(uint32_t colorref);
    uint32_t GetGridColor() const { return chart_.GetGridColor(); }
    void SetGridColor(uint32_t colorref);

    // kCmdColourBackground and kCmdColourGrid through the colour chooser; false for any other
    // command.
    virtual bool OnCommand(int command_id);

    // The record drawn under a client point of the viewport, by the colour of its pixel; false
    // before the chart started.
    bool HitTestRecord(QPoint at, SampleRecord* found) const;

    CChart& Chart() { return chart_; }
    const CChart& Chart() const { return chart_; }
    // The reading named by the last plain left click; empty after a click beside every point.
    const std::u16string& TooltipText() const { return tooltip_text_; }
    int ScrollExtentX() const { return extent_cx_; }
    // The horizontal offset handed to the chart: whole time groups only, or a click would find
    // the neighbouring group.
    int ChartScrollX() const;

  protected:
    explicit CChartView(QWidget* parent);

    // Starts the chart; a failed start is reported and leaves the view blank.
    bool StartChart();
    // The scroll extent in pixels with the bar's steps; the range follows from the viewport.
    void SetScrollBar(int extent_cx, int single_step, int page_step);
    void UpdateScrollRange();
    // Nothing to scroll: extent 1, the bar at 0.
    void ClearScrollExtent();
    // The window colour until the chart started, then the chart; `scroll` hands it the bar's
    // offset first.
    void PaintChart(bool scroll);
    // The text shown after a plain left click on a record.
    virtual std::u16string ClickTooltip(const SampleRecord& record) const = 0;

    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent* event) override;

    CChart chart_;

  private:
    // Shows `text` for the point at `at` (viewport coordinates); an empty text hides the tooltip.
    void ShowTooltipAt(QPoint at, const std::u16string& text);

    std::u16string tooltip_text_;
    bool tip_pending_ = false;  // a plain left click waits for its release
    QPoint tip_pending_at_;
    int extent_cx_ = 1;  // scroll extent in pixels
};

}  // namespace kalvo
