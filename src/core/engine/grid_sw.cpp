#include "core/engine/grid_sw.h"

#include "core/common/text.h"
#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

// The channel letters are written as the page shows them: some Latin, some Cyrillic.
std::vector<GridColumn> SwitchColumns() {
    const std::vector<std::u16string> types = {kTypeHeater, kTypeCooler};
    return {
        {u"№ п/п", 50, CellKind::kReadOnlyText, u"", {}},
        {u"Серийный номер", 100, CellKind::kReadOnlyText, u"", {}},
        {u"Имя канала А", 100, CellKind::kText, u"", {}},
        {u"Тн А С°", 50, CellKind::kText, u"", {}},
        {u"Тв А С°", 50, CellKind::kText, u"", {}},
        {u"N сценария", 70, CellKind::kNumber, u"", {}},
        {u"Имя термометра", 120, CellKind::kText, u"", {}},
        {u"Тип А", 80, CellKind::kList, u"", types},
        {u"Вкл/Выкл A", 60, CellKind::kStateColour, u"", {}},
        {u"Имя канала В", 100, CellKind::kText, u"", {}},
        {u"Тн B С°", 50, CellKind::kText, u"", {}},
        {u"Тв B С°", 50, CellKind::kText, u"", {}},
        {u"N сценария", 70, CellKind::kNumber, u"", {}},
        {u"Имя термометра", 120, CellKind::kText, u"", {}},
        {u"Тип В", 80, CellKind::kList, u"", types},
        {u"Вкл/Выкл В", 60, CellKind::kStateColour, u"", {}},
    };
}

}  // namespace

GridSw::GridSw() {
    SetColumns(SwitchColumns());
}

void GridSw::Fill(const COneWireBus& bus) {
    Fill(bus.Switches());
}

void GridSw::Fill(const std::vector<RomCode>& switches) {
    SetColumns(SwitchColumns());
    for (size_t i = 0; i < switches.size(); ++i) {
        const int row = AppendRow();
        SetCellText(row, kColNumber, ToU16(row + 1));
        SetCellText(row, kColSerial, RomText(switches[i]));
        for (int channel = 0; channel < 2; ++channel) {
            SetCellNumber(row, Col(channel, kColScenarioA), 0);
            SetCellText(row, Col(channel, kColThermometerA), kDefaultControllerName);
            SetCellNumber(row, Col(channel, kColTypeA), kTypeHeaterIndex);
            // Unknown until the switch has been read back.
            SetCellColour(row, Col(channel, kColStateA), kSwitchCellColour);
        }
    }
}

RomCode GridSw::SwitchRom(int row) const {
    return RomFromText(CellText(row, kColSerial));
}

int GridSw::FindRow(RomCode code) const {
    const std::u16string serial = RomText(code);
    const int rows = RowCount();
    for (int row = 0; row < rows; ++row)
        if (CellText(row, kColSerial) == serial) return row;
    return -1;
}

GridSw::Thresholds GridSw::ChannelThresholds(int row, int channel) const {
    std::lock_guard lock(mutex_);
    Thresholds out;
    if (const Cell* low = CellAt(row, Col(channel, kColLowA))) out.low = low->text;
    if (const Cell* high = CellAt(row, Col(channel, kColHighA))) out.high = high->text;
    return out;
}

void GridSw::RefreshSwitchRow(RomCode code, uint8_t status) {
    const int row = FindRow(code);
    if (row < 0) return;
    SetCellColour(row, Col(0, kColStateA), (status & 0x01) ? kChannelOffColour : kChannelOnColour);
    SetCellColour(row, Col(1, kColStateA), (status & 0x04) ? kChannelOffColour : kChannelOnColour);
}

uint32_t GridSw::CellBackground(int row, int col) const {
    if (col == Col(0, kColNameA) || col == Col(1, kColNameA)) return kChannelNameColour;
    if (col == Col(0, kColStateA) || col == Col(1, kColStateA)) return CellColour(row, col);
    return kSwitchCellColour;
}

void GridSw::OnUserEdit(int row, int col) {
    if (col == Col(0, kColThermometerA) || col == Col(1, kColThermometerA)) {
        CutToNameField(*this, row, col);
    } else if (col == Col(0, kColScenarioA) || col == Col(1, kColScenarioA)) {
        const int32_t number = CellNumber(row, col);
        if (number < 0 || number > kMaxScenario) SetCellNumber(row, col, 0);
    }
}

}  // namespace kalvo
