#pragma once
// The device page "Установки": the measurement options above the thermometer and switch tables,
// and the two channel diagrams. The page owns the engine and is its host on Qt: the engine's
// messages come back here as AppEvents and are handed to its handlers on the window thread.
#include <QWidget>

#include <memory>

#include "core/engine/engine.h"
#include "core/engine/engine_host.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;

namespace kalvo {

class CKalvoView;
class ChannelDiagram;
class FrameLink;
class GridSn;
class PropertyGrid;

class CViewDev : public QWidget, private EngineHost {
  public:
    static constexpr uint32_t kThermometerListColour = Rgb(255, 250, 205);
    static constexpr uint32_t kSwitchListColour = Rgb(224, 255, 255);

    // The frame, the live view and the scenario table must outlive the page; the live view and
    // the scenario table may be null.
    CViewDev(const D2xxApi& api, FrameLink* frame, CKalvoView* live_view, GridSn* scenarios,
             EngineOptions options = {}, QWidget* parent = nullptr);
    ~CViewDev() override;

    Engine& GetEngine() { return *engine_; }

    PropertyGrid* ThermometerView() const { return thermometer_view_; }
    PropertyGrid* SwitchView() const { return switch_view_; }
    QGroupBox* OptionsBox() const { return options_box_; }
    QCheckBox* WriteFileBox() const { return write_file_; }
    QCheckBox* MeasureAtStartBox() const { return measure_at_start_; }
    QCheckBox* HideToTrayBox() const { return hide_to_tray_; }
    QLineEdit* PeriodEdit() const { return period_; }
    ChannelDiagram* HeaterDiagram() const { return heater_; }
    ChannelDiagram* CoolerDiagram() const { return cooler_; }

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    class LiveLink;

    // EngineHost.
    void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) override;
    void ShowMessageBox(std::u16string_view caption, std::u16string_view text) override;
    void RunStartCommand() override;
    void HideToTray() override;
    void HideMainWindow() override;
    WindowRect MainWindowRect() const override;
    void MoveMainWindow(const WindowRect& rect) override;
    void ShowPeriodAndFlags(int period, uint16_t flags) override;

    void BuildLayout();

    FrameLink* frame_;
    CKalvoView* live_view_;
    std::unique_ptr<LiveLink> live_link_;
    std::unique_ptr<Engine> engine_;

    QGroupBox* options_box_ = nullptr;
    QCheckBox* write_file_ = nullptr;
    QCheckBox* measure_at_start_ = nullptr;
    QCheckBox* hide_to_tray_ = nullptr;
    QLineEdit* period_ = nullptr;
    PropertyGrid* thermometer_view_ = nullptr;
    PropertyGrid* switch_view_ = nullptr;
    ChannelDiagram* heater_ = nullptr;
    ChannelDiagram* cooler_ = nullptr;
};

}  // namespace kalvo
