#include "core/engine/grid_kalvo.h"

#include <array>

#include "core/common/text.h"
#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

constexpr std::array<uint32_t, 10> kPalette = {
    Rgb(255, 99, 71),   Rgb(199, 21, 133), Rgb(127, 255, 212), Rgb(255, 0, 255),
    Rgb(255, 228, 196), Rgb(138, 43, 226), Rgb(100, 149, 237), Rgb(245, 245, 220),
    Rgb(255, 248, 220), Rgb(60, 179, 113),
};
constexpr uint32_t kPaletteRest = Rgb(154, 205, 50);

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
    return row >= 0 && row < int(kPalette.size()) ? kPalette[size_t(row)] : kPaletteRest;
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

void GridKalvo::OnUserEdit(int row, int col) {
    if (col == kColName) CutToNameField(*this, row, col);
}

}  // namespace kalvo
