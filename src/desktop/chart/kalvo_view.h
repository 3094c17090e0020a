#pragma once
// The live chart tab: the samples of the running measurement, following the newest time.
#include <cstdint>
#include <mutex>
#include <string>

#include "core/common/sample_record.h"
#include "desktop/chart/chart_layout.h"
#include "desktop/chart/chart_view.h"

namespace kalvo {

class LiveViewHost;

class CKalvoView : public CChartView {
  public:
    static constexpr int kMaxSamples = 7200;

    // The view registers itself as the process's one live view.
    explicit CKalvoView(LiveViewHost* host, QWidget* parent = nullptr);
    ~CKalvoView() override;

    static CKalvoView* Instance();

    // Engine start-up (window thread).
    void SetEngineReady(uint32_t ready) { engine_ready_ = ready; }
    uint32_t GetEngineReady() const { return engine_ready_; }
    void SetSeriesCount(int count) { chart_.SetSeriesCount(count); }

    // Any thread. The measurement cycle replaces the live samples, then posts WM_APP_SAMPLES; the
    // view takes them out when it handles the message, so one batch is never added twice.
    void ReplaceLiveSamples(const SampleList& samples);
    // Any thread: posts WM_APP_SAMPLES carrying its own copy of the batch.
    void PostLiveSamples(const SampleList& samples);

    // True once the chart started (WM_APP_INIT_VIEW): clicks then show tooltips.
    bool HasTooltip() const { return chart_.IsStarted(); }

    // The range bounds shared by every batch of the process.
    static TemperatureRange LiveRange();
    static void ResetLiveRangeForTesting();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    std::u16string ClickTooltip(const SampleRecord& record) const override;

  private:
    void OnInitView();
    void OnSamples(const SampleList& batch);
    // The extent over all samples and the bar at its end: the newest time at the right edge.
    void FollowNewest();
    // Extent in pixels; the bar goes back to the start.
    void SetScrollExtent(int cx);

    LiveViewHost* host_;
    uint32_t engine_ready_ = 0;
    mutable std::mutex live_mutex_;
    SampleList live_samples_;
};

}  // namespace kalvo
