#pragma once
// The 1-Wire bus master on the bridge's echo: reset, byte and bit slots, ROM addressing, the
// bridge search, the bus inventory, the temperature pass and the DS2413 operations.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "core/common/sample_record.h"
#include "core/common/status_bar.h"
#include "core/device/bus_health.h"
#include "core/device/d2xx.h"
#include "core/device/ft_link.h"
#include "core/device/rom_code.h"
#include "core/device/table_links.h"

namespace kalvo {

// Threads: the worker that measures owns the bus; Fault(), LastPassFailure(), FailedPasses(),
// Health(), HealthOf() and StuckSensors() give copies and may be called from any thread.
class COneWireBus {
  public:
    // MeasureAll: no thermometers.
    static constexpr int32_t kMeasureNotDone = INT32_MIN;
    // Added to a conversion's longest time before the wait gives up on it.
    static constexpr int64_t kConversionMarginMs = 250;
    // Failed passes in a row before a failure other than a dead handle becomes the fault.
    static constexpr int kFaultPasses = 3;
    // While the sensor holding the line is not one of the list, the conversion is waited for by
    // the clock, and the line is polled again every this many passes.
    static constexpr int kRecheckPasses = 15;
    // SearchStep: a position where neither a bit nor its complement was pulled low.
    static constexpr uint8_t kSearchNoAnswer = 0xFF;
    // A command whose echo comes back disturbed while the line answers its reset is sent again
    // after a new reset, up to this many times in all.
    static constexpr int kCommandAttempts = 4;
    // Searches a reopen makes at most while a device listed before is missing from them.
    static constexpr int kReopenSearches = 3;

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

    // Transactions go to the bridge in as few exchanges as the protocol allows (the reset
    // alone, then the ROM command, the function command and every data slot in one), unless
    // KALVO_BUS=bytewise in the environment asks for one exchange per byte: for comparison, and
    // for adapters that cannot take a batch. Both give the same results.
    void SetBytewise(bool bytewise) { bytewise_ = bytewise; }
    bool Bytewise() const { return bytewise_; }

    CFtLink& Link() { return link_; }
    const CFtLink& Link() const { return link_; }
    int SelectedBridge() const { return selected_; }
    // NOT_OPEN when no bridge is selected or the selected one is closed.
    FT_HANDLE SelectedHandle() const;

    // Primitives on the selected bridge; each is one complete exchange (two for ReadTwoBits).
    // Batched, a reset leaves the bridge at the reset's rate and the next slots change it back.
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
    // After a lost bridge: forgets the dead handle, lists the bridges again, opens the one with
    // the serial number OpenBus chose and takes the inventory again (when that search fails,
    // the lists stay as they were). The codes listed before make the search quick while the
    // bus is unchanged, and while one of them is missing the bus is searched again, up to
    // kReopenSearches times; what any search found is listed. true when the bridge is open
    // again; the thermometer and switch lists may differ then.
    bool Reopen();
    // Serial number of the bridge OpenBus opened; empty before.
    const std::u16string& OpenSerial() const { return open_serial_; }
    // Why OpenBus found bridges but could open none of them (another program holds it, no
    // access to it, or the kernel's driver holds it); empty when that was not the failure.
    const std::u16string& OpenFailure() const { return open_failure_; }
    static std::u16string OpenFailureText(std::u16string_view serials, FT_STATUS status);

    // Temperature pass over the thermometer list: 1 every thermometer has its sample (invalid
    // where the sensor gave no measurement), 0 the line or the bridge failed (samples of the
    // sensors read before the failure stay), kMeasureNotDone no thermometers.
    int32_t MeasureAll();
    // Invalid samples for a pass that could not be taken: after a MeasureAll that failed
    // half-way, for the thermometers it did not reach (with that pass's time); otherwise one
    // per thermometer, stamped now. The pending samples then hold whole passes.
    void RecordMissedPass();

    // kNone after a pass that completed. A dead handle is the fault at once; the other
    // failures once kFaultPasses passes in a row failed.
    BusFault Fault() const { return BusFault(fault_.load()); }
    // Why the last pass failed; kNone when it completed.
    BusFault LastPassFailure() const { return BusFault(last_failure_.load()); }
    int FailedPasses() const { return failed_passes_.load(); }
    // Counters of the listed thermometers, in list order.
    std::vector<SensorHealth> Health() const;
    // Zero counters for a code never read.
    SensorHealth HealthOf(RomCode code) const;
    // Sensors that hold the line after CONVERT T; their samples are invalid.
    std::vector<RomCode> StuckSensors() const;
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
    // What the last reset's echo showed.
    enum class LineEcho { kPresence, kNobody, kLow, kLost };
    // How the conversion of a pass was waited for.
    enum class Wait { kPoll, kProbe, kClock };
    struct Conversion {
        Wait wait = Wait::kPoll;
        bool failed = false;   // the line or the bridge failed
        bool overran = false;  // kPoll: the line was still held at the deadline
        bool recheck = false;  // kPoll after passes waited by the clock
        RomCode probe = 0;     // kProbe: the sensor converted and polled on its own
        bool probe_done = false;
        // kClock after a broadcast that did not pass: the sensors that could not be told to
        // convert on their own either.
        std::vector<RomCode> unaddressed;
    };
    // Per sensor, for the worker only.
    struct SensorState {
        int64_t conversion_ms = kFullConversionMs;
        uint64_t read_in = 0;           // the pass of the last reading, 0 for none
        std::array<uint8_t, 3> last{};  // bytes 0, 1 and 6 of that reading
    };

    void ShowText(int pane_id, std::u16string_view text);
    void RefreshSwitch(RomCode code, uint8_t status);
    bool ListBridges(bool show);
    // Reset and SEARCH ROM, then `slots` (replaced with their echo); a disturbed echo of the
    // command is retried. False when the line did not take it.
    bool SearchCommand(std::vector<uint8_t>& slots);
    // A search step walked as the codes in predicted_ would have it, in one exchange: 1 when
    // the bus answered so (rom and next set), 0 when it did not or nothing is predicted, -1
    // when the line failed.
    int PredictedStep(std::array<uint8_t, 8>& rom, uint8_t last_discrepancy, uint8_t& next);
    bool SearchInventory();
    void PublishInventory();

    // Slots at the slot rate; false when the echo came back short or not at all.
    bool SlotExchange(std::vector<uint8_t>& buffer);
    // Sends `writes` and then reads `reads.size()` bytes, batched in one exchange (padded with
    // read slots to a full USB packet where `pad` and that is quicker than the latency timer)
    // or a byte an exchange. Returns how many written bytes echoed as sent, judged as WriteByte
    // judges them; the reads are taken only when all did.
    size_t Send(std::span<const uint8_t> writes, std::span<uint8_t> reads, bool pad);
    // Reset, MATCH ROM of `code` (SKIP ROM for 0), `body` (the function command and its data),
    // then the reads. A disturbed echo of the addressing or the command is retried from the
    // reset; false when nobody answered the reset or a written byte did not echo as sent.
    bool Transaction(RomCode code, std::initializer_list<uint8_t> body,
                     std::span<uint8_t> reads = {}, bool pad = false);

    Conversion Convert(int64_t t0);
    // Each sensor told to convert on its own, then the conversion waited for by the clock.
    Conversion ConvertEach();
    bool PollUntil(int64_t deadline_ms);
    // The conversion CONVERT T started at `sent_ms`: batched, waited for by the clock for
    // `conversion_ms` and then polled; bytewise, polled all along.
    bool WaitConversion(int64_t sent_ms, int64_t conversion_ms, int64_t deadline_ms);
    bool LineFailed() const;
    // Reads a scratchpad, once more when the read is unusable; false when the line failed.
    bool ReadScratchpad(RomCode code, Scratchpad& pad, PadVerdict& verdict);
    bool Fresh(const Conversion& c, RomCode code, bool changed) const;
    void Settle(const Conversion& c, const std::vector<RomCode>& unproven,
                const std::vector<RomCode>& changed);
    int32_t FailPass();
    void PassCompleted();
    int64_t LongestConversionMs() const;  // of the sensors not stuck
    void Count(RomCode code, uint32_t SensorHealth::*counter);
    void PublishStuck();
    bool IsStuck(RomCode code) const;
    bool IsSuspect(RomCode code) const;

    const ThermometerRows* thermometer_table_ = nullptr;
    CFtLink link_;
    StatusBar* status_bar_ = nullptr;
    int selected_ = -1;
    SampleList pending_;
    std::vector<RomCode> thermometers_;
    std::vector<RomCode> switches_;
    SwitchRows* switch_table_ = nullptr;
    Clock* clock_ = &SystemClock();
    bool bytewise_ = false;
    std::u16string open_serial_;
    std::u16string open_failure_;

    // Worker state of the conversion wait and the failure classification.
    LineEcho last_echo_ = LineEcho::kPresence;
    uint64_t pass_driver_failures_ = 0;
    uint64_t pass_number_ = 0;     // MeasureAll calls with thermometers
    size_t cut_pass_samples_ = 0;  // samples of the last pass when it failed half-way
    int64_t cut_pass_time_ = 0;
    int64_t convert_sent_ms_ = 0;  // when the pass's CONVERT T went out
    int64_t sent_ms_ = 0;          // when the last transaction's slots went out
    // Batched: the reset that ends a PIO write goes out with the next reset, in one exchange.
    bool pending_reset_ = false;
    // Set with pending_reset_ when its echo decides the transaction after it: nobody answered
    // it, and the next transaction fails at its own reset.
    bool judge_pending_ = false;
    bool pending_unanswered_ = false;
    std::vector<RomCode> predicted_;  // codes the bus had before it was lost
    std::map<RomCode, SensorState> sensors_;
    std::vector<RomCode> stuck_;     // hold the line after CONVERT T
    std::vector<RomCode> suspects_;  // one of them may; each is probed in turn
    bool holder_unlisted_ = false;   // something outside the list holds the line
    int clock_passes_ = 0;
    unsigned probe_turn_ = 0;

    std::atomic<int> fault_{int(BusFault::kNone)};
    std::atomic<int> last_failure_{int(BusFault::kNone)};
    std::atomic<int> failed_passes_{0};
    mutable std::mutex health_mutex_;
    std::vector<SensorHealth> health_;  // the thermometer list's, in its order
};

}  // namespace kalvo
