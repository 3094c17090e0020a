#pragma once
// The scenario page "Сценарий": the 16 scenarios in the scenario grid, their run marks as cell
// colours, and the scenario file buttons.
#include <QWidget>

#include "core/scenario/grid_sn.h"

class QPushButton;

namespace kalvo {

class FrameLink;
class PropertyGrid;
class StatusBar;

class CDlgSn : public QWidget {
  public:
    // The page registers itself as the process's scenario page.
    explicit CDlgSn(FrameLink* frame, QWidget* parent = nullptr);
    ~CDlgSn() override;

    static CDlgSn* Instance();

    // The scenario table the switch grid and the thermostat run on.
    GridSn& Grid() { return grid_; }
    PropertyGrid* GridView() const { return view_; }
    QPushButton* SaveButton() const { return save_; }
    QPushButton* LoadButton() const { return load_; }

    // Normally arrives with WM_APP_INIT_VIEW (lParam); status texts go to its main pane.
    void SetStatusBar(StatusBar* status_bar);
    StatusBar* GetStatusBar() const { return status_bar_; }

    // The two buttons.
    void SaveScenarios();
    bool LoadScenarios();

  protected:
    bool event(QEvent* event) override;

  private:
    FrameLink* frame_;
    StatusBar* status_bar_ = nullptr;
    GridSn grid_;
    PropertyGrid* view_;
    QPushButton* save_;
    QPushButton* load_;
};

}  // namespace kalvo
