#pragma once
// The switch table: one row per DS2413 of the bus inventory, with the user's thresholds, types,
// scenarios and controlling thermometers for its two channels, and the channels' states.
#include <cstdint>
#include <string>
#include <vector>

#include "core/engine/grid_kalvo.h"

namespace kalvo {

class GridSw : public GridBase, public SwitchRows {
  public:
    static constexpr int kColNumber = 0;
    static constexpr int kColSerial = 1;
    // Channel A block; channel B's columns are these plus kChannelStride.
    static constexpr int kColNameA = 2;
    static constexpr int kColLowA = 3;
    static constexpr int kColHighA = 4;
    static constexpr int kColScenarioA = 5;
    static constexpr int kColThermometerA = 6;
    static constexpr int kColTypeA = 7;
    static constexpr int kColStateA = 8;
    static constexpr int kChannelStride = 7;
    static constexpr int kColumnCount = 16;

    static constexpr int kTypeHeaterIndex = 0;
    static constexpr int kTypeCoolerIndex = 1;
    static constexpr int kMaxScenario = 16;

    // Column of a channel block field: channel 0 is A, 1 is B.
    static constexpr int Col(int channel, int col_a) { return col_a + channel * kChannelStride; }

    GridSw();

    // Columns, then one row per DS2413 of the bus inventory (none: the table stays empty).
    void Fill(const COneWireBus& bus);
    void Fill(const std::vector<RomCode>& switches);

    // The "Серийный номер" text read as base 16; 0 for a missing row.
    RomCode SwitchRom(int row) const;
    // First row whose serial text is the code's; -1 when none.
    int FindRow(RomCode code) const;

    // A channel's Тн and Тв texts, read under one lock: the worker must never pair a low
    // threshold from before an edit with a high one from after it. Empty for a missing row.
    struct Thresholds {
        std::u16string low;
        std::u16string high;
    };
    Thresholds ChannelThresholds(int row, int channel) const;

    // SwitchRows: both state cells from a DS2413 status byte (pin bits 0 and 2, low = on).
    void RefreshSwitchRow(RomCode code, uint8_t status) override;

    uint32_t CellBackground(int row, int col) const override;

  protected:
    void OnUserEdit(int row, int col) override;
};

}  // namespace kalvo
