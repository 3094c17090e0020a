#pragma once
// The 1-Wire bus master on the bridge's echo: reset, byte and bit slots, ROM addressing, the
// bridge search, the bus inventory, the temperature pass and the DS2413 operations.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/common/clock.h"
#include "core/common/sample_record.h"
#include "core/common/status_bar.h"
#include "core/device/d2xx.h"
#include "core/device/ft_link.h"
#include "core/device/rom_code.h"
#include "core/device/table_links.h"

namespace kalvo {

class COneWireBus {
  public:
    // MeasureAll: no thermometers, or the conversion did not end in time.
    static constexpr int32_t kMeasureNotDone = INT32_MIN;
    static constexpr int64_t kConversionLimitMs = 2000;
    // SearchStep: a position where neither a bit nor its complement was pulled low.
    static constexpr uint8_t kSearchNoAnswer = 0xFF;

    // 1-Wire commands.
    static constexpr uint8_t kSearchRom = 0xF0;
    static constexpr uint8_t kMatchRom = 0x55;
    static constexpr uint8_t kSkipRom = 0xCC;
    static constexpr uint8_t kConvertT = 0x44;
    static constexpr uint8_t kReadScratchpad = 0xBE;
    static constexpr uint8_t kPioWrite = 0x5A;
    static constexpr uint8_t kPioRead = 0xF5;

    // The driver table is always named, so a test cannot reach the real driver by forgetting it.
    explicit COneWireBus(const D2xxApi& api);
    ~COneWireBus();
    COneWireBus(const COneWireBus&) = delete;
    COneWireBus& operator=(const COneWireBus&) = delete;

    void SetStatusBar(StatusBar* status_bar) { status_bar_ = status_bar; }
    void SetThermometerTable(const ThermometerRows* table) { thermometer_table_ = table; }
    void SetSwitchTable(SwitchRows* table) { switch_table_ = table; }
    // Tick source of the conversion wait.
    void SetClock(Clock& clock) { clock_ = &clock; }

    CFtLink& Link() { return link_; }
    const CFtLink& Link() const { return link_; }
    int SelectedBridge() const { return selected_; }
    // NOT_OPEN when no bridge is selected or the selected one is closed.
    FT_HANDLE SelectedHandle() const;

    // Primitives on the selected bridge; each is one complete exchange (two for ReadTwoBits).
    bool Reset();                   // true when a presence pulse was seen
    bool WriteByte(uint8_t value);  // true when all eight slots echoed as sent
    uint8_t ReadByte();
    void ReadTwoBits(bool& first, bool& second);
    uint8_t WriteSlot(uint8_t pattern);  // the echo
    bool MatchRom(RomCode code);

    // Fills the link's bridge list with the FT232R bridges attached.
    bool SearchBridges();
    // One SEARCH ROM pass. Returns the next last discrepancy (0: last device), 1 with *error set
    // when the bus did not answer the reset or the command, kSearchNoAnswer when no device
    // answered a position.
    uint8_t SearchStep(std::array<uint8_t, 8>& rom, uint8_t last_discrepancy, bool* error);
    // Inventory of the bus into the thermometer and switch lists.
    bool SearchBus();
    // Opens the first bridge that opens, selects it and takes the inventory.
    bool OpenBus();

    // Temperature pass over the thermometer list: 1 all read, 0 a bus step failed,
    // kMeasureNotDone no thermometers or conversion timeout.
    int32_t MeasureAll();
    // Copies the last pass (the last N pending samples, N thermometers).
    bool TakeLatest(SampleList& out) const;
    SampleList& PendingSamples() { return pending_; }
    const SampleList& PendingSamples() const { return pending_; }
    size_t PendingCount() const { return pending_.size(); }
    void ClearPending() { pending_.clear(); }

    const std::vector<RomCode>& Thermometers() const { return thermometers_; }
    const std::vector<RomCode>& Switches() const { return switches_; }

    // DS2413. Channel values: 0 off, anything else on. channel 0 is A, anything else B.
    bool PioWrite(RomCode code, int a, int b, uint8_t* status);
    std::optional<uint8_t> PioRead(RomCode code);
    int SetChannels(RomCode code, int a, int b);
    int SetChannel(RomCode code, int value, int channel);

  private:
    void ShowText(int pane_id, std::u16string_view text);
    void RefreshSwitch(RomCode code, uint8_t status);

    const ThermometerRows* thermometer_table_ = nullptr;
    CFtLink link_;
    StatusBar* status_bar_ = nullptr;
    int selected_ = -1;
    SampleList pending_;
    std::vector<RomCode> thermometers_;
    std::vector<RomCode> switches_;
    SwitchRows* switch_table_ = nullptr;
    Clock* clock_ = &SystemClock();
};

}  // namespace kalvo
