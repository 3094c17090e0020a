#include "core/engine/grid_kalvo.h"

#include <array>
#include <cmath>

#include "core/common/text.h"
#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

// Curve colours: each stands out from the others and stays readable on the white and on the
// black chart background (the pale ones of old vanished on white).
constexpr std::array<uint32_t, 16> kPalette = {
    Rgb(255, 99, 71),  Rgb(199, 21, 133), Rgb(0, 165, 0),     Rgb(255, 0, 255),
    Rgb(195, 135, 0),  Rgb(138, 43, 226), Rgb(100, 149, 237), Rgb(15, 150, 180),
    Rgb(105, 90, 30),  Rgb(60, 179, 113), Rgb(30, 135, 255),  Rgb(135, 90, 120),
    Rgb(255, 30, 105), Rgb(120, 150, 30), Rgb(195, 120, 90),  Rgb(45, 90, 150),
};

// Beyond the table: the hue turns by the golden angle per row, at a middle brightness.
uint32_t RotatedColour(int row) {
    const double hue = std::fmod(row * 137.508, 360.0) / 60.0;  // sector 0..6
    const double s = 0.8, v = 0.8;
    const double f = hue - std::floor(hue);
    const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    double r = v, g = t, b = p;
    switch (int(hue) % 6) {
        case 1:
            r = q, g = v, b = p;
            break;
        case 2:
            r = p, g = v, b = t;
            break;
        case 3:
            r = p, g = q, b = v;
            break;
        case 4:
            r = t, g = p, b = v;
            break;
        case 5:
            r = v, g = p, b = q;
            break;
        default:
            break;
    }
    auto byte = [](double c) { return uint8_t(std::lround(c * 255)); };
    return Rgb(byte(r), byte(g), byte(b));
}

std::vector<GridColumn> ThermometerColumns() {
    return {
        {u"№ п/п", 50, CellKind::kReadOnlyText, u"", {}},
        {u"Серийный номер", 120, CellKind::kReadOnlyText, u"", {}},
        {u"Имя термометра", 120, CellKind::kText, u"", {}},
        {u"Температура", 100, CellKind::kReadOnlyText, u"", {}},
        {u"Состояние", 100, CellKind::kList, u"", {kStateControls, kStateForbidden}},
        {u"Цвет графика", 100, CellKind::kColour, u"", {}},
    };
}

}  // namespace

void CutToNameField(GridBase& grid, int row, int col) {
    const std::u16string text = grid.CellText(row, col);
    if (text.size() > kNameUnits) grid.SetCellText(row, col, text.substr(0, kNameUnits));
}

void AbsentDevices::Keep(AbsentDevice device) {
    std::lock_guard lock(mutex_);
    for (AbsentDevice& kept : devices_) {
        if (kept.serial == device.serial) {
            kept = std::move(device);
            return;
        }
    }
    devices_.push_back(std::move(device));
}

std::vector<AbsentDevice> AbsentDevices::List() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void AbsentDevices::Clear() {
    std::lock_guard lock(mutex_);
    devices_.clear();
}

uint32_t PaletteColour(int row) {
    if (row < 0) return kPalette[0];
    return row < int(kPalette.size()) ? kPalette[size_t(row)] : RotatedColour(row);
}

GridKalvo::GridKalvo() {
    SetColumns(ThermometerColumns());
}

bool GridKalvo::Fill(const COneWireBus& bus) {
    return Fill(bus.Thermometers());
}

bool GridKalvo::Fill(const std::vector<RomCode>& thermometers) {
    SetColumns(ThermometerColumns());
    absent_.Clear();
    if (thermometers.empty()) return false;
    for (size_t i = 0; i < thermometers.size(); ++i) {
        const int row = AppendRow();
        const std::u16string number = ToU16(row + 1);
        SetCellText(row, kColNumber, number);
        SetCellText(row, kColSerial, RomText(thermometers[i]));
        SetCellText(row, kColName, u"Термометр " + number);
        SetCellNumber(row, kColState, kStateControlling);
        SetCellColour(row, kColColour, PaletteColour(row));
    }
    return true;
}

bool GridKalvo::ThermometerRowExists(int row) const {
    return row >= 0 && row < RowCount();
}

std::u16string GridKalvo::ThermometerName(int row) const {
    return CellText(row, kColName);
}

uint32_t GridKalvo::ThermometerColour(int row) const {
    return CellColour(row, kColColour);
}

uint32_t GridKalvo::CellBackground(int row, int col) const {
    if (col == kColColour) return CellColour(row, kColColour);
    if (col == kColState && CellNumber(row, kColState) == kStateDisabled)
        return kForbiddenStateColour;
    return kThermometerCellColour;
}

AlarmKind GridKalvo::RowAlarm(int row) const {
    const RomCode code = RomFromText(CellText(row, kColSerial));
    std::lock_guard lock(alarm_mutex_);
    const auto it = alarms_.find(code);
    return it == alarms_.end() ? AlarmKind::kOk : it->second;
}

void GridKalvo::SetAlarm(RomCode code, AlarmKind kind) {
    {
        std::lock_guard lock(alarm_mutex_);
        if (kind == AlarmKind::kOk)
            alarms_.erase(code);
        else
            alarms_[code] = kind;
    }
    const std::u16string serial = RomText(code);
    const int rows = RowCount();
    for (int row = 0; row < rows; ++row) {
        if (CellText(row, kColSerial) != serial) continue;
        for (int col = 0; col < kColumnCount; ++col) RedrawCell(row, col);
    }
}

void GridKalvo::OnUserEdit(int row, int col) {
    if (col == kColName) CutToNameField(*this, row, col);
}

}  // namespace kalvo
