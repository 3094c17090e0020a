#pragma once
// The thermometer table: one row per thermometer of the bus inventory with the user's name,
// state and chart colour for it. The cells are the store; every thread reads and writes them
// through GridBase's accessors.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/colour.h"
#include "core/common/grid_base.h"
#include "core/common/pass_report.h"
#include "core/device/rom_code.h"
#include "core/device/table_links.h"

namespace kalvo {

class COneWireBus;

// Names and colours the tables share with the settings file and the thermostat.
inline constexpr char16_t kStateControls[] = u"Управляет";
inline constexpr char16_t kStateForbidden[] = u"Запрещен";
inline constexpr char16_t kTypeHeater[] = u"Нагреватель";
inline constexpr char16_t kTypeCooler[] = u"Охладитель";
inline constexpr char16_t kDefaultControllerName[] = u"Имя термометра";
// What the temperature cell shows for a reading that failed its check.
inline constexpr char16_t kNoReading[] = u"н/д";

constexpr uint32_t kChannelOnColour = Rgb(255, 160, 122);  // output pin low
constexpr uint32_t kChannelOffColour = Rgb(154, 205, 50);  // output pin high
constexpr uint32_t kThermometerCellColour = Rgb(255, 250, 205);
constexpr uint32_t kForbiddenStateColour = Rgb(193, 205, 205);
constexpr uint32_t kSwitchCellColour = Rgb(224, 255, 255);
constexpr uint32_t kChannelNameColour = Rgb(171, 130, 255);

// Default chart colour of thermometer row `row` (COLORREF).
uint32_t PaletteColour(int row);

// Names longer than the stored fields are cut to 31 units when the user commits them.
constexpr size_t kNameUnits = 31;
void CutToNameField(GridBase& grid, int row, int col);

// A device the settings file knows but the bus did not show in this run. Its record is kept
// byte for byte, so the next save writes it back and a device unplugged for one start keeps
// its settings.
struct AbsentDevice {
    std::u16string serial;
    std::u16string name;  // what the user calls it; empty when it has no name
    std::vector<uint8_t> record;
};

// The absent devices of one table, in the order the file gave them.
class AbsentDevices {
  public:
    // Replaces a device of the same serial, which keeps its place.
    void Keep(AbsentDevice device);
    std::vector<AbsentDevice> List() const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::vector<AbsentDevice> devices_;
};

class GridKalvo : public GridBase, public ThermometerRows {
  public:
    static constexpr int kColNumber = 0;
    static constexpr int kColSerial = 1;
    static constexpr int kColName = 2;
    static constexpr int kColTemperature = 3;
    static constexpr int kColState = 4;
    static constexpr int kColColour = 5;
    static constexpr int kColumnCount = 6;

    static constexpr int kStateControlling = 0;
    static constexpr int kStateDisabled = 1;

    GridKalvo();

    // Columns, then one row per thermometer of the bus inventory. False, with no rows, when the
    // bus has no thermometer.
    bool Fill(const COneWireBus& bus);
    // The same from a list of codes (tools and tests).
    bool Fill(const std::vector<RomCode>& thermometers);

    // ThermometerRows, for the temperature pass.
    bool ThermometerRowExists(int row) const override;
    std::u16string ThermometerName(int row) const override;
    uint32_t ThermometerColour(int row) const override;

    uint32_t CellBackground(int row, int col) const override;

    // Thermometers of the settings file that are not on the bus in this run.
    AbsentDevices& Absent() { return absent_; }
    const AbsentDevices& Absent() const { return absent_; }

    // The alarm standing for the row's thermometer (kOk: none), for the view to mark the row.
    // Any thread.
    AlarmKind RowAlarm(int row) const;
    // Marks the thermometer's row and asks the views to redraw it.
    void SetAlarm(RomCode code, AlarmKind kind);

  protected:
    void OnUserEdit(int row, int col) override;

  private:
    AbsentDevices absent_;
    mutable std::mutex alarm_mutex_;
    std::map<RomCode, AlarmKind> alarms_;
};

}  // namespace kalvo
