#pragma once
// The switch table: one row per DS2413 of the bus inventory, with the user's thresholds, types,
// scenarios and controlling thermometers for its two channels, and the channels' states.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine/grid_kalvo.h"

namespace kalvo {

// What a fixed threshold may be, degrees C: the range the sensors measure.
constexpr double kThresholdMin = -55.0;
constexpr double kThresholdMax = 125.0;
// Units a threshold text keeps in the settings file.
constexpr size_t kThresholdUnits = 5;

// Status texts of a refused threshold entry.
inline constexpr char16_t kThresholdRangeText[] = u"Порог должен быть числом от -55 до 125 °C";
inline constexpr char16_t kThresholdOrderText[] = u"Тн должен быть не больше Тв";

// A threshold text as a number within the limits (decimal comma or point); nothing for any other
// text, a blank one included.
std::optional<double> ReadThreshold(std::u16string_view text);

// The two thresholds of a channel as the thermostat uses them.
struct ThresholdPair {
    double low = 0;
    double high = 0;
};
// Both texts valid thresholds with Тн <= Тв; nothing otherwise.
std::optional<ThresholdPair> ValidThresholds(std::u16string_view low, std::u16string_view high);

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

    static bool IsThresholdColumn(int col);
    // A user's entry for a threshold cell, before it reaches the cell: the text to store (blank
    // clears the threshold; a number longer than the file keeps is rounded to fit), or nothing,
    // with the status text that refuses it, when it is not a threshold or would put Тн above Тв.
    struct ThresholdEntry {
        std::optional<std::u16string> text;
        std::u16string refusal;
    };
    ThresholdEntry CheckThresholdEntry(int row, int col, std::u16string_view typed) const;

    // Switches of the settings file that are not on the bus in this run.
    AbsentDevices& Absent() { return absent_; }
    const AbsentDevices& Absent() const { return absent_; }

    // SwitchRows: both state cells from a DS2413 status byte (pin bits 0 and 2, low = on).
    void RefreshSwitchRow(RomCode code, uint8_t status) override;

    uint32_t CellBackground(int row, int col) const override;

    // Seconds the compressor protection still holds a channel against the thermostat (min_off
    // or min_on); 0 when it does not. Any thread.
    int HeldSeconds(int row, int channel) const;
    // The thermostat's report after each pass.
    void SetHeldSeconds(RomCode code, int channel, int seconds);

  protected:
    void OnUserEdit(int row, int col) override;

  private:
    AbsentDevices absent_;
    mutable std::mutex held_mutex_;
    std::map<std::pair<RomCode, int>, int> held_;
};

}  // namespace kalvo
