#pragma once
// The main window's status bar: five panes (the stretching main text pane, then 200, 120, 30
// and 30 pixels), a progress bar laid over one pane, and the red and green cycle marks.
// Every StatusBar call is accepted from any thread: the state changes at once under a lock and
// the widgets follow on the window thread.
#include <QStatusBar>

#include <array>
#include <atomic>
#include <mutex>

#include "core/common/status_bar.h"

class QLabel;
class QProgressBar;

namespace kalvo {

class CMPSBarWithProgressAndBMP : public QStatusBar, public StatusBar {
  public:
    static constexpr int kPaneCount = 5;
    static constexpr int kMarkSize = 23;  // pixels, square
    static constexpr std::array<int, kPaneCount> kPaneWidths{0, 200, 120, 30, 30};  // 0: stretch

    explicit CMPSBarWithProgressAndBMP(QWidget* parent = nullptr);
    ~CMPSBarWithProgressAndBMP() override;

    // StatusBar. Pane ids and indices are the same here.
    void SetPaneText(int pane_id, std::u16string_view text) override;
    void CreateProgress(int pane_index, int lower, int upper, int step) override;
    void SetProgressPos(int pos) override;
    int ProgressPos() const override;
    void StepProgress() override;
    void RemoveProgress() override;
    void SetPaneMark(int pane_id, Mark mark) override;

    // State as the calls left it (any thread).
    std::u16string PaneText(int pane_id) const;
    Mark PaneMark(int pane_id) const;
    bool HasProgress() const;

    // Widgets (window thread): the pane labels, the progress bar while one exists, and the mark
    // shown in a pane (null when none).
    QLabel* Pane(int index) const;
    QProgressBar* Progress() const;
    QLabel* MarkLabel(int pane_id) const;

  private:
    struct State {
        std::array<std::u16string, kPaneCount> texts;
        std::array<Mark, kPaneCount> marks{kMarkNone, kMarkNone, kMarkNone, kMarkNone, kMarkNone};
        bool progress = false;
        int progress_pane = 1;
        int lower = 0, upper = 100, step = 1, pos = 0;
    };

    // Brings the widgets up to the state: at once on the window thread, else queued there (many
    // changes from another thread share one refresh).
    void Changed();
    void Refresh();

    mutable std::mutex mutex_;
    State state_;
    std::atomic<bool> refresh_queued_{false};

    std::array<QLabel*, kPaneCount> panes_{};
    std::array<QLabel*, kPaneCount> marks_{};
    QProgressBar* progress_ = nullptr;
};

}  // namespace kalvo
