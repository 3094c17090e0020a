#include "core/engine/grid_sw.h"

#include <cmath>
#include <cstdio>

#include "core/common/text.h"
#include "core/device/one_wire_bus.h"

namespace kalvo {
namespace {

std::u16string_view TrimBlanks(std::u16string_view text) {
    const size_t first = text.find_first_not_of(u" \t");
    if (first == std::u16string_view::npos) return {};
    const size_t last = text.find_last_not_of(u" \t");
    return text.substr(first, last - first + 1);
}

// The typed number as the settings file will keep it: as typed when it fits, else rounded to
// the decimals that fit, with the separator the user chose.
std::u16string FitThreshold(std::u16string_view typed, double value) {
    if (typed.size() <= kThresholdUnits) return std::u16string(typed);
    const char16_t separator = typed.find(u'.') != std::u16string_view::npos ? u'.' : u',';
    std::u16string text;
    for (int decimals = 2; decimals >= 0; --decimals) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
        std::string ascii = buffer;
        if (ascii.find('.') != std::string::npos) {
            while (ascii.back() == '0') ascii.pop_back();
            if (ascii.back() == '.') ascii.pop_back();
        }
        if (ascii == "-0") ascii = "0";
        text = WidenAnsi(ascii);
        for (char16_t& c : text)
            if (c == u'.') c = separator;
        if (text.size() <= kThresholdUnits) break;
    }
    return text;
}

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

std::optional<double> ReadThreshold(std::u16string_view text) {
    double value = 0;
    if (!ParseDecimal(text, &value) || !std::isfinite(value)) return std::nullopt;
    if (value < kThresholdMin || value > kThresholdMax) return std::nullopt;
    return value;
}

std::optional<ThresholdPair> ValidThresholds(std::u16string_view low, std::u16string_view high) {
    const std::optional<double> l = ReadThreshold(low);
    const std::optional<double> h = ReadThreshold(high);
    if (!l || !h || *l > *h) return std::nullopt;
    return ThresholdPair{*l, *h};
}

GridSw::GridSw() {
    SetColumns(SwitchColumns());
}

void GridSw::Fill(const COneWireBus& bus) {
    Fill(bus.Switches());
}

void GridSw::Fill(const std::vector<RomCode>& switches) {
    SetColumns(SwitchColumns());
    absent_.Clear();
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

bool GridSw::IsThresholdColumn(int col) {
    for (int channel = 0; channel < 2; ++channel)
        if (col == Col(channel, kColLowA) || col == Col(channel, kColHighA)) return true;
    return false;
}

GridSw::ThresholdEntry GridSw::CheckThresholdEntry(int row, int col,
                                                   std::u16string_view typed) const {
    ThresholdEntry entry;
    const std::u16string_view trimmed = TrimBlanks(typed);
    // A cleared threshold takes the channel out of fixed control.
    if (trimmed.empty()) {
        entry.text = std::u16string();
        return entry;
    }
    const std::optional<double> value = ReadThreshold(trimmed);
    if (!value) {
        entry.refusal = kThresholdRangeText;
        return entry;
    }
    std::u16string text = FitThreshold(trimmed, *value);
    const double stored = ReadThreshold(text).value_or(*value);
    const bool low = col == Col(0, kColLowA) || col == Col(1, kColLowA);
    const std::optional<double> other = ReadThreshold(CellText(row, low ? col + 1 : col - 1));
    if (other && (low ? stored > *other : stored < *other)) {
        entry.refusal = kThresholdOrderText;
        return entry;
    }
    entry.text = std::move(text);
    return entry;
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

int GridSw::HeldSeconds(int row, int channel) const {
    const RomCode code = SwitchRom(row);
    std::lock_guard lock(held_mutex_);
    const auto it = held_.find({code, channel});
    return it == held_.end() ? 0 : it->second;
}

void GridSw::SetHeldSeconds(RomCode code, int channel, int seconds) {
    std::lock_guard lock(held_mutex_);
    if (seconds > 0)
        held_[{code, channel}] = seconds;
    else
        held_.erase({code, channel});
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
