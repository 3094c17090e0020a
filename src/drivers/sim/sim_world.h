#pragma once
// A simulated FT232R bridge with its 1-Wire line and devices, byte-exact as the program's link
// sees it, driven by a thermal model on an injectable millisecond clock. The world is a D2XX
// driver like any other (its functions come from the front); on top it builds the bus, injects
// faults and shows its state to tests. One mutex guards the whole world, so tests may inject
// faults from another thread while the bus is in use.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "core/device/d2xx.h"
#include "drivers/front/d2xx_front.h"
#include "drivers/sim/faults.h"
#include "drivers/sim/rom_code.h"
#include "drivers/sim/thermal.h"

namespace kalvo::sim {

using front::kFtInvalidBaudRate;
using front::kFtInvalidParameter;

// What a test may want to check about a bridge.
struct BridgeState {
    bool open = false;
    bool unplugged = false;
    uint32_t baud = 0;
    uint8_t latency_timer_ms = front::ft232r::kOpenLatencyMs;
    uint32_t read_timeout_ms = 0;
    uint32_t write_timeout_ms = 0;
    uint32_t usb_in_size = 0;
    uint64_t bytes_written = 0;
    uint64_t reads = 0;
    uint64_t resets = 0;  // reset pulses seen on the line
};

class World final : public front::Driver {
  public:
    // `seed` drives the sensor noise, so runs repeat exactly.
    explicit World(Clock& clock, uint64_t seed = 1);
    ~World() override;
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    Clock& clock() { return clock_; }

    // --- Building (allowed at any time; adding a device at run time is a hot plug) ---------
    // Serial and description are cut to 15 and 63 characters, as the driver's buffers hold.
    // Returns the bridge's number, 0 for the first.
    int AddBridge(const std::string& serial, const std::string& description,
                  uint32_t type = FT_DEVICE_232R, bool open_fails = false);
    // Each returns the device's ROM code, or 0 when the bridge does not exist, the id has more
    // than 48 bits, `resolution` is not 9 to 12, or the code is already on a bus.
    RomCode AddDs18b20(int bridge, uint64_t id48, const Thermal& thermal, int resolution = 12);
    RomCode AddDs1820(int bridge, uint64_t id48, const Thermal& thermal);
    RomCode AddDs2413(int bridge, uint64_t id48);
    // A device of a family the simulator has no function model for: ROM commands only.
    RomCode AddDevice(int bridge, uint8_t family, uint64_t id48);
    // While `channel` (0 = A, 1 = B) of the switch conducts, the sensor warms at rate_c_per_min
    // (negative cools); when it stops, the accumulated offset relaxes to 0 at half that rate.
    bool Couple(RomCode switch_code, int channel, RomCode sensor, double rate_c_per_min);
    // Time a read of the echo takes, ms; a negative value means "the latency timer the
    // program set" (the default).
    void SetLatencyMs(int ms);

    // --- Faults (faults.cpp) ------------------------------------------------------------------
    bool RemoveDevice(RomCode code);                    // gone for good
    bool SetAttached(RomCode code, bool attached);      // unplug/replug, state kept
    bool CorruptNextScratchpad(RomCode sensor);         // next READ SCRATCHPAD has a bad CRC
    bool SetNeverConverts(RomCode sensor, bool never);  // CONVERT T never ends
    bool SetPinFault(RomCode switch_code, int channel, PinFault fault);
    void SetLineHeldLow(int bridge, bool low);      // every echo 0x00
    void SetUnplugged(int bridge, bool unplugged);  // gone from the list; handles fail
    // The next `reads` reads of the bridge return at most `max_bytes` bytes.
    void ShortenNextReads(int bridge, uint32_t max_bytes, int reads = 1);
    // A fault that starts at `at_ms` of the run (RunMs) and lasts `for_ms` or to the end, as the
    // `fault` statement of simbus.conf schedules it. False, and nothing scheduled, when the
    // device or bridge it names does not exist or is of a kind the fault cannot hit, or a time
    // or rate is out of range.
    bool ScheduleFault(const TimedFault& fault);

    // --- Inspection -------------------------------------------------------------------------
    // ms since the world was made, on its clock: the time line of timed faults.
    int64_t RunMs() const;
    int BridgeCount() const;
    BridgeState Bridge(int bridge) const;
    std::vector<RomCode> Devices(int bridge) const;  // devices on the line, in the order added
    // The noise-free model temperature of a sensor now (before the register's rounding).
    double ModelTemperature(RomCode sensor) const;
    // The temperature the last finished conversion captured, noise included; NaN before one.
    double LastConversion(RomCode sensor) const;
    // DS2413 status byte as PIO ACCESS READ would give it now; -1 for no such switch.
    int SwitchStatus(RomCode switch_code) const;
    // True while the channel's output transistor conducts (the heater is on).
    bool ChannelOn(RomCode switch_code, int channel) const;

    // The D2XX functions (Open, Close, ..., ListDevices) are the front's, over the hooks below.

    struct State;  // the model itself (world_state.h)

  private:
    FT_STATUS OpenBridge(int index, FT_HANDLE* handle) override;
    FT_STATUS CloseBridge(FT_HANDLE handle) override;
    FT_STATUS WithPort(FT_HANDLE handle, front::PortUse use) override;
    std::vector<front::Listed> ListBridges() override;

    Clock& clock_;
    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

}  // namespace kalvo::sim
