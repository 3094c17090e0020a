#pragma once
// The device page "Установки": the measurement options above the thermometer and switch tables,
// and the two channel diagrams. It shows the program's tables and options and hands the user's
// entries to the engine; it owns nothing of the program.
#include <QWidget>

#include <functional>

#include <string>

#include "core/common/colour.h"
#include "core/device/bus_health.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace kalvo {

class ChannelDiagram;
class Program;
class PropertyGrid;
class StatusBar;

class CViewDev : public QWidget {
  public:
    static constexpr uint32_t kThermometerListColour = Rgb(255, 250, 205);
    static constexpr uint32_t kSwitchListColour = Rgb(224, 255, 255);

    // The program must outlive the page.
    explicit CViewDev(Program& program, QWidget* parent = nullptr);

    // The tooltip of a thermometer row: the sensor's counters since the program started.
    static std::u16string HealthText(const SensorHealth& health);

    // The period edit and the three check boxes, as the engine holds them.
    void ShowPeriodAndFlags(int period, uint16_t flags);

    // The main window's status bar (it arrives with the start-up); refused table entries say
    // why in its main pane. May be null; it must outlive the page or be reset first.
    void SetStatusBar(StatusBar* status_bar) { status_bar_ = status_bar; }

    PropertyGrid* ThermometerView() const { return thermometer_view_; }
    PropertyGrid* SwitchView() const { return switch_view_; }
    QGroupBox* OptionsBox() const { return options_box_; }
    QCheckBox* WriteFileBox() const { return write_file_; }
    QCheckBox* MeasureAtStartBox() const { return measure_at_start_; }
    QCheckBox* HideToTrayBox() const { return hide_to_tray_; }
    QLineEdit* PeriodEdit() const { return period_; }
    ChannelDiagram* HeaterDiagram() const { return heater_; }
    ChannelDiagram* CoolerDiagram() const { return cooler_; }
    // "Тревоги и поправки…": shown once there is something to open it with.
    void SetRulesEditor(std::function<void()> open);
    QPushButton* RulesButton() const { return rules_; }
    // The tooltip of a channel's cells: what holds it, if anything; empty when nothing does.
    static std::u16string HeldText(int seconds);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildLayout();
    // The period that runs, in the edit: after Enter, and when the edit is left without it.
    void ShowRunningPeriod();

    Program& program_;
    StatusBar* status_bar_ = nullptr;
    bool refusal_shown_ = false;  // the main pane says why an entry was refused

    QGroupBox* options_box_ = nullptr;
    QCheckBox* write_file_ = nullptr;
    QCheckBox* measure_at_start_ = nullptr;
    QCheckBox* hide_to_tray_ = nullptr;
    QLineEdit* period_ = nullptr;
    PropertyGrid* thermometer_view_ = nullptr;
    PropertyGrid* switch_view_ = nullptr;
    ChannelDiagram* heater_ = nullptr;
    ChannelDiagram* cooler_ = nullptr;
    QPushButton* rules_ = nullptr;
    std::function<void()> open_rules_;
};

}  // namespace kalvo
