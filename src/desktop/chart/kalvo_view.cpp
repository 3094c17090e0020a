#include "desktop/chart/kalvo_view.h"

#include <QScrollBar>

#include <algorithm>
#include <atomic>

#include "core/common/messages.h"
#include "desktop/chart/live_view_host.h"
#include "desktop/widgets/app_event.h"

namespace kalvo {
namespace {

std::atomic<CKalvoView*> g_instance{nullptr};

// Bounds of the live range, kept from batch to batch for the life of the process.
std::mutex g_range_mutex;
TemperatureRange g_live_range;

}  // namespace

CKalvoView::CKalvoView(LiveViewHost* host, QWidget* parent) : CChartView(parent), host_(host) {
    setObjectName(QStringLiteral("KalvoView"));
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
    return CChartView::event(event);
}

void CKalvoView::OnInitView() {
    if (!StartChart()) return;
    SetScrollExtent(9);
    horizontalScrollBar()->setSingleStep(9);
    if (host_) host_->PostToFrame(WM_APP_INIT_NEXT, 0, kInitLiveViewDone);
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
    FollowNewest();
}

void CKalvoView::FollowNewest() {
    const int width = int(chart_.GetDataWidth());
    const int margin = CChart::GetLeftMargin();
    if (width > viewport()->width() - margin) {
        const int end = margin + width + CChart::GetStepWidth();
        SetScrollExtent(end);
        // Held at the last position: the newest time at the right, the thumb at the right end.
        horizontalScrollBar()->setValue(end);
    } else {
        SetScrollExtent(1);
    }
}

void CKalvoView::SetScrollExtent(int cx) {
    const int extent = std::max(1, cx);
    SetScrollBar(extent, std::max(1, extent / 100), std::max(1, extent / 10));
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

void CKalvoView::paintEvent(QPaintEvent*) {
    // Until the engine is ready the chart keeps its own offset.
    PaintChart(engine_ready_ != 0);
}

void CKalvoView::resizeEvent(QResizeEvent* event) {
    CChartView::resizeEvent(event);
    UpdateScrollRange();  // the user's position is kept where the new width allows
    // A new size (also the scroll bar appearing) must not take the view off the newest time.
    if (engine_ready_ && !(host_ && host_->GetAutoScrollSuspended() == 1)) FollowNewest();
}

std::u16string CKalvoView::ClickTooltip(const SampleRecord& record) const {
    return SampleTooltipText(record, true);
}

}  // namespace kalvo
