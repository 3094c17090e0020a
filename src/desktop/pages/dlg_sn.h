#pragma once
// The scenario page "Сценарий": the 16 scenarios in the scenario grid, their run marks as cell
// colours, and the scenario file buttons. The scenario table is the program's; the page only
// shows it.
#include <QWidget>

#include <functional>
#include <string>

#include "core/scenario/grid_sn.h"

class QPushButton;

namespace kalvo {

class FrameLink;
class PropertyGrid;
class StatusBar;

class CDlgSn : public QWidget {
  public:
    // The table and the frame must outlive the page. The page registers itself as the process's
    // scenario page.
    CDlgSn(GridSn& grid, FrameLink* frame, QWidget* parent = nullptr);
    ~CDlgSn() override;

    static CDlgSn* Instance();

    // The scenario table the switch grid and the thermostat run on.
    GridSn& Grid() { return grid_; }
    PropertyGrid* GridView() const { return view_; }
    QPushButton* SaveButton() const { return save_; }
    QPushButton* LoadButton() const { return load_; }

    // Normally arrives with WM_APP_INIT_VIEW (its StatusBar* payload); status texts go to its
    // main pane.
    void SetStatusBar(StatusBar* status_bar);
    StatusBar* GetStatusBar() const { return status_bar_; }

    // Told the file a load or a save succeeded with, so the next start can load it again.
    void SetFileUsedHandler(std::function<void(const std::string& path)> handler) {
        file_used_ = std::move(handler);
    }

    // The two buttons.
    void SaveScenarios();
    bool LoadScenarios();

  protected:
    bool event(QEvent* event) override;

  private:
    // The table outlives the page, the status bar may not: the table forgets it with the page.
    class StatusBarBinding {
      public:
        explicit StatusBarBinding(GridSn& grid) : grid_(grid) {}
        ~StatusBarBinding() { grid_.SetStatusBar(nullptr); }
        StatusBarBinding(const StatusBarBinding&) = delete;
        StatusBarBinding& operator=(const StatusBarBinding&) = delete;
        void Set(StatusBar* status_bar) { grid_.SetStatusBar(status_bar); }

      private:
        GridSn& grid_;
    };

    GridSn& grid_;
    FrameLink* frame_;
    std::function<void(const std::string& path)> file_used_;
    StatusBar* status_bar_ = nullptr;
    // The main pane says why an entry or the last load failed; the next success clears it.
    bool refusal_shown_ = false;
    bool load_failure_shown_ = false;
    StatusBarBinding binding_{grid_};
    PropertyGrid* view_;
    QPushButton* save_;
    QPushButton* load_;
};

}  // namespace kalvo
