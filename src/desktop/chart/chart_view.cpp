#include "desktop/chart/chart_view.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>
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

void CChartView::ShowTooltipAt(QPoint at, const std::u16string& text) {
    if (text.empty()) {
        QToolTip::hideText();
        return;
    }
    // Shown at once, and only while the pointer stays on the point it names.
    const int step = CChart::GetStepWidth();
    const QRect point(at - QPoint(step / 2, step / 2), QSize(step, step));
    QToolTip::showText(viewport()->mapToGlobal(at), ToQString(text), viewport(), point);
}

void CChartView::mousePressEvent(QMouseEvent* event) {
    if (!IsPlainLeftClick(*event)) return;
    const QPoint at = event->position().toPoint();
    SampleRecord found;
    // A click beside every point takes the old reading away rather than leaving it on show.
    tooltip_text_ = HitTestRecord(at, &found) ? ClickTooltip(found) : std::u16string();
    if (tooltip_text_.empty()) QToolTip::hideText();
    // Any tooltip goes when the button is released, so the reading is shown then.
    tip_pending_at_ = at;
    tip_pending_ = true;
}

void CChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (tip_pending_ && event->button() == Qt::LeftButton)
        ShowTooltipAt(tip_pending_at_, tooltip_text_);
    tip_pending_ = false;
}

bool CChartView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        // Resting on a point names that point; anywhere else shows nothing.
        const QPoint at = static_cast<QHelpEvent*>(event)->pos();
        SampleRecord found;
        ShowTooltipAt(at, HitTestRecord(at, &found) ? ClickTooltip(found) : std::u16string());
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void CChartView::scrollContentsBy(int, int) {
    viewport()->update();
}

void CChartView::wheelEvent(QWheelEvent* event) {
    // There is only the time axis to scroll, so the ordinary wheel moves along it.
    QApplication::sendEvent(horizontalScrollBar(), event);
}

}  // namespace kalvo
