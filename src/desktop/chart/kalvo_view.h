#pragma once
// The live chart tab: the samples of the running measurement, following the newest time.
#include <QAbstractScrollArea>

#include <cstdint>
#include <mutex>
#include <string>

#include "core/common/sample_record.h"
#include "desktop/chart/chart.h"
#include "desktop/chart/chart_layout.h"

namespace kalvo {

class LiveViewHost;

class CKalvoView : public QAbstractScrollArea {
  public:
    static constexpr int kMaxSamples = 7200;
    static constexpr int kCommandBackground = 32774;
    static constexpr int kCommandGrid = 32775;

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

    // Chart colours as COLORREF (settings file).
    uint32_t GetBackgroundColor() const { return chart_.GetBackgroundColor(); }
    void SetBackgroundColor(uint32_t colorref);
    uint32_t GetGridColor() const { return chart_.GetGridColor(); }
    void SetGridColor(uint32_t colorref);

    // The two colour commands; false for any other command.
    bool OnCommand(int command_id);

    CChart& Chart() { return chart_; }
    const std::u16string& TooltipText() const { return tooltip_text_; }
    bool HasTooltip() const { return tooltip_created_; }
    int ScrollExtentX() const { return extent_cx_; }

    // The range bounds shared by every batch of the process.
    static TemperatureRange LiveRange();
    static void ResetLiveRangeForTesting();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    void OnInitView();
    void OnSamples(const SampleList& batch);
    void SetScrollExtent(int cx, int cy);
    void UpdateScrollRange();
    int ChartScrollX() const;

    LiveViewHost* host_;
    CChart chart_;
    uint32_t engine_ready_ = 0;
    bool tooltip_created_ = false;
    std::u16string tooltip_text_;
    int extent_cx_ = 1;  // scroll extent in pixels
    mutable std::mutex live_mutex_;
    SampleList live_samples_;
};

}  // namespace kalvo
