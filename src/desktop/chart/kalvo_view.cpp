#include "desktop/chart/kalvo_view.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <atomic>

#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "desktop/chart/live_view_host.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/colour_dialog.h"

namespace kalvo {
namespace {

std::atomic<CKalvoView*> g_instance{nullptr};

// Bounds of the live range, kept from batch to batch for the life of the process.
std::mutex g_range_mutex;
TemperatureRange g_live_range;

QString ToQString(const std::u16string& s) {
    return QString::fromUtf16(s.data(), qsizetype(s.size()));
}

}  // namespace

CKalvoView::CKalvoView(LiveViewHost* host, QWidget* parent)
    : QAbstractScrollArea(parent), host_(host) {
    setObjectName(QStringLiteral("KalvoView"));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameShape(QFrame::NoFrame);
    // The chart covers every pixel, so no background is erased under it.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAttribute(Qt::WA_NoSystemBackground);
    horizontalScrollBar()->setRange(0, 0);
    // Any scrolling by the user stops the view from following new samples.
    connect(horizontalScrollBar(), &QScrollBar::actionTriggered, this, [this](int action) {
        if (action != QAbstractSlider::SliderNoAction && host_) host_->SetAutoScrollSuspended(1);
    });
    g_instance.store(this);
}

CKalvoView::~CKalvoView() {
    CKalvoView* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

CKalvoView* CKalvoView::Instance() {
    return g_instance.load();
}

void CKalvoView::ReplaceLiveSamples(const SampleList& samples) {
    std::lock_guard lock(live_mutex_);
    live_samples_ = samples;
}

void CKalvoView::PostLiveSamples(const SampleList& samples) {
    PostAppEvent(this, std::make_unique<AppEvent>(WM_APP_SAMPLES, 0, 0, samples));
}

void CKalvoView::SetBackgroundColor(uint32_t colorref) {
    chart_.SetBackgroundColor(colorref);
    viewport()->update();
}

void CKalvoView::SetGridColor(uint32_t colorref) {
    chart_.SetGridColor(colorref);
    viewport()->update();
}

TemperatureRange CKalvoView::LiveRange() {
    std::lock_guard lock(g_range_mutex);
    return g_live_range;
}

void CKalvoView::ResetLiveRangeForTesting() {
    std::lock_guard lock(g_range_mutex);
    g_live_range = {};
}

bool CKalvoView::event(QEvent* event) {
    if (AppEvent* e = AppEvent::From(event)) {
        switch (e->Message()) {
            case WM_APP_INIT_VIEW:
                OnInitView();
                return true;
            case WM_APP_SAMPLES: {
                if (SampleList* carried = e->Payload<SampleList>()) {
                    OnSamples(*carried);
                } else {
                    SampleList batch;
                    {
                        std::lock_guard lock(live_mutex_);
                        batch.swap(live_samples_);
                    }
                    OnSamples(batch);
                }
                return true;
            }
            default:
                break;
        }
    }
    return QAbstractScrollArea::event(event);
}

void CKalvoView::OnInitView() {
    if (!chart_.Init()) {
        ShowMessageBox(u"Error GDI+", u"Failed GDI+");
        return;
    }
    SetScrollExtent(9, 1);
    horizontalScrollBar()->setSingleStep(9);
    tooltip_created_ = true;
    if (host_) host_->PostToFrame(WM_APP_INIT_NEXT, 0, 2);
}

void CKalvoView::OnSamples(const SampleList& batch) {
    if (batch.empty()) return;
    const int n = int(batch.size());
    // The live chart starts again empty rather than dropping its oldest points.
    if (chart_.GetCount() > kMaxSamples - n) chart_.Clear();
    chart_.Append(batch);
    {
        std::lock_guard lock(g_range_mutex);
        if (RebuildLiveRange(batch, &g_live_range))
            chart_.SetRange(g_live_range.upper, g_live_range.lower);
    }
    const int suspended = host_ ? host_->GetAutoScrollSuspended() : 0;
    chart_.SetAutoScrollSuspended(uint32_t(suspended));
    if (suspended == 1) {
        viewport()->update();  // new points within sight show; the position stays
        return;
    }
    const int width = int(chart_.GetDataWidth());
    const int margin = CChart::GetLeftMargin();
    if (width > viewport()->width() - margin) {
        const int end = margin + width + CChart::GetStepWidth();
        SetScrollExtent(end, 1);
        horizontalScrollBar()->setValue(
            end);  // held at the last position: newest time at the right
    } else {
        SetScrollExtent(1, 1);
    }
}

void CKalvoView::SetScrollExtent(int cx, int cy) {
    extent_cx_ = std::max(1, cx);
    (void)cy;  // horizontal scrolling only
    QScrollBar* bar = horizontalScrollBar();
    bar->setSingleStep(std::max(1, extent_cx_ / 100));
    bar->setPageStep(std::max(1, extent_cx_ / 10));
    UpdateScrollRange();
    bar->setValue(0);
    viewport()->update();
}

void CKalvoView::UpdateScrollRange() {
    horizontalScrollBar()->setRange(0, std::max(0, extent_cx_ - viewport()->width()));
}

int CKalvoView::ChartScrollX() const {
    // Whole time groups only: a click then finds the group drawn under it.
    const int x = horizontalScrollBar()->value();
    return x - x % CChart::GetStepWidth();
}

void CKalvoView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    if (!chart_.IsStarted()) {
        p.fillRect(viewport()->rect(), palette().window());
        return;
    }
    if (engine_ready_) chart_.SetScrollX(ChartScrollX());
    chart_.Draw(p, viewport()->rect());
}

void CKalvoView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollRange();
    if (engine_ready_) SetScrollExtent(int(chart_.GetDataWidth()) + CChart::GetLeftMargin(), 1);
}

void CKalvoView::scrollContentsBy(int, int) {
    viewport()->update();
}

void CKalvoView::wheelEvent(QWheelEvent* event) {
    // There is only the time axis to scroll, so the ordinary wheel moves along it.
    QApplication::sendEvent(horizontalScrollBar(), event);
}

void CKalvoView::mousePressEvent(QMouseEvent* event) {
    const bool plain_left = IsPlainLeftClick(*event);
    if (!plain_left || !tooltip_created_) return;
    const QPoint pos = event->position().toPoint();
    if (!chart_.HitTestPlot(pos.x(), pos.y())) return;
    uint32_t argb;
    if (!chart_.PixelAt(pos.x(), pos.y(), &argb)) return;
    SampleRecord found;
    if (!chart_.FindSampleAt(pos.x(), pos.y(), argb, &found)) return;
    tooltip_text_ = SampleTooltipText(found, true);
    viewport()->setToolTip(ToQString(tooltip_text_));
}

bool CKalvoView::OnCommand(int command_id) {
    if (command_id != kCommandBackground && command_id != kCommandGrid) return false;
    QWidget* owner = QApplication::activeWindow() ? QApplication::activeWindow() : window();
    if (const auto colour = ChooseColour(owner, 0)) {
        if (command_id == kCommandBackground)
            SetBackgroundColor(*colour);
        else
            SetGridColor(*colour);
    }
    return true;
}

}  // namespace kalvo
