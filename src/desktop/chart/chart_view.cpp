#include "desktop/chart/chart_view.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <optional>

#include "core/common/message_box.h"
#include "desktop/widgets/colour_dialog.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {

CChartView::CChartView(QWidget* parent) : QAbstractScrollArea(parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameShape(QFrame::NoFrame);
    // The chart covers every pixel, so no background is erased under it.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAttribute(Qt::WA_NoSystemBackground);
    ClearScrollExtent();
}

CChartView::~CChartView() = default;

void CChartView::SetBackgroundColor(uint32_t colorref) {
    chart_.SetBackgroundColor(colorref);
    viewport()->update();
}

void CChartView::SetGridColor(uint32_t colorref) {
    chart_.SetGridColor(colorref);
    viewport()->update();
}

bool CChartView::OnCommand(int command_id) {
    if (command_id != kCmdColourBackground && command_id != kCmdColourGrid) return false;
    QWidget* owner = QApplication::activeWindow() ? QApplication::activeWindow() : window();
    const std::optional<uint32_t> chosen = ChooseColour(owner, 0);
    if (!chosen.has_value()) return true;
    const uint32_t colour = chosen.value();  // a plain copy keeps GCC 12's -Wdangling-pointer quiet
    if (command_id == kCmdColourBackground)
        SetBackgroundColor(colour);
    else
        SetGridColor(colour);
    return true;
}

bool CChartView::HitTestRecord(QPoint at, SampleRecord* found) const {
    if (!chart_.IsStarted() || !chart_.HitTestPlot(at.x(), at.y())) return false;
    uint32_t argb = 0;
    if (!chart_.PixelAt(at.x(), at.y(), &argb)) return false;
    return chart_.FindSampleAt(at.x(), at.y(), argb, found);
}

int CChartView::ChartScrollX() const {
    const int x = horizontalScrollBar()->value();
    return x - x % CChart::GetStepWidth();
}

bool CChartView::StartChart() {
    if (chart_.Init()) return true;
    ShowMessageBox(u"Error GDI+", u"Failed GDI+");
    return false;
}

void CChartView::SetScrollBar(int extent_cx, int single_step, int page_step) {
    extent_cx_ = extent_cx;
    QScrollBar* bar = horizontalScrollBar();
    bar->setSingleStep(single_step);
    bar->setPageStep(page_step);
    UpdateScrollRange();
}

void CChartView::UpdateScrollRange() {
    horizontalScrollBar()->setRange(0, std::max(0, extent_cx_ - viewport()->width()));
}

void CChartView::ClearScrollExtent() {
    extent_cx_ = 1;
    horizontalScrollBar()->setRange(0, 0);
}

void CChartView::PaintChart(bool scroll) {
    QPainter p(viewport());
    if (!chart_.IsStarted()) {
        p.fillRect(viewport()->rect(), palette().window());
        return;
    }
    if (scroll) chart_.SetScrollX(ChartScrollX());
    chart_.Draw(p, viewport()->rect());
}

void CChartView::mousePressEvent(QMouseEvent* event) {
    if (!IsPlainLeftClick(*event)) return;
    SampleRecord found;
    if (!HitTestRecord(event->position().toPoint(), &found)) return;
    tooltip_text_ = ClickTooltip(found);
    viewport()->setToolTip(ToQString(tooltip_text_));
}

void CChartView::scrollContentsBy(int, int) {
    viewport()->update();
}

void CChartView::wheelEvent(QWheelEvent* event) {
    // There is only the time axis to scroll, so the ordinary wheel moves along it.
    QApplication::sendEvent(horizontalScrollBar(), event);
}

}  // namespace kalvo
