#pragma once
// A simulated FT232R bridge with its 1-Wire line and devices, byte-exact as the program's link
// sees it, driven by a thermal model on an injectable millisecond clock. One mutex guards the
// whole world, so tests may inject faults from another thread while the bus is in use.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "core/device/d2xx.h"

namespace kalvo::sim {

// 64-bit 1-Wire identity: family code in the least significant byte, CRC-8 in the most.
using RomCode = uint64_t;

constexpr uint8_t kFamilyDs18b20 = 0x28;
constexpr uint8_t kFamilyDs1820 = 0x10;
constexpr uint8_t kFamilyDs2413 = 0x3A;

// D2XX status values the simulator returns besides those in device/d2xx.h.
constexpr FT_STATUS kFtInvalidParameter = 6;
constexpr FT_STATUS kFtInvalidBaudRate = 7;

// The 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected), start value 0.
uint8_t Crc8(const uint8_t* data, size_t n);
// family | id48 << 8 | crc << 56.
RomCode MakeRomCode(uint8_t family, uint64_t id48);

// Temperature of one sensor over time: base + swing * sin(2 pi t / period + phase) + noise.
struct Thermal {
    double base_c = 20.0;     // degrees C
    double swing_c = 0.0;     // amplitude, degrees C
    double period_s = 600.0;  // seconds
    double phase_rad = 0.0;
    double noise_c = 0.0;  // amplitude of the uniform noise drawn per conversion, degrees C
    bool operator==(const Thermal&) const = default;
};

// A fault on one DS2413 output pin.
enum class PinFault {
    kNone,
    kForcedLow,  // something outside pulls the pin low whatever the latch
    kStuckHigh,  // the output transistor never conducts
};

// What a test may want to check about a bridge.
struct BridgeState {
    bool open = false;
    bool unplugged = false;
    uint32_t baud = 0;
    uint8_t latency_timer_ms = 16;
    uint32_t read_timeout_ms = 0;
    uint32_t write_timeout_ms = 0;
    uint32_t usb_in_size = 0;
    uint64_t bytes_written = 0;
    uint64_t reads = 0;
    uint64_t resets = 0;  // reset pulses seen on the line
};

class World {
  public:
    // `seed` drives the sensor noise, so runs repeat exactly.
    explicit World(Clock& clock, uint64_t seed = 1);
    ~World();
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

    // --- Faults ------------------------------------------------------------------------------
    bool RemoveDevice(RomCode code);                    // gone for good
    bool SetAttached(RomCode code, bool attached);      // unplug/replug, state kept
    bool CorruptNextScratchpad(RomCode sensor);         // next READ SCRATCHPAD has a bad CRC
    bool SetNeverConverts(RomCode sensor, bool never);  // CONVERT T never ends
    bool SetPinFault(RomCode switch_code, int channel, PinFault fault);
    void SetLineHeldLow(int bridge, bool low);      // every echo 0x00
    void SetUnplugged(int bridge, bool unplugged);  // gone from the list; handles fail
    // The next `reads` reads of the bridge return at most `max_bytes` bytes.
    void ShortenNextReads(int bridge, uint32_t max_bytes, int reads = 1);

    // --- Inspection -------------------------------------------------------------------------
    int BridgeCount() const;
    BridgeState Bridge(int bridge) const;
    std::vector<RomCode> Devices(int bridge) const;  // attached devices, in the order added
    // The noise-free model temperature of a sensor now (before the register's rounding).
    double ModelTemperature(RomCode sensor) const;
    // The temperature the last finished conversion captured, noise included; NaN before one.
    double LastConversion(RomCode sensor) const;
    // DS2413 status byte as PIO ACCESS READ would give it now; -1 for no such switch.
    int SwitchStatus(RomCode switch_code) const;
    // True while the channel's output transistor conducts (the heater is on).
    bool ChannelOn(RomCode switch_code, int channel) const;

    // --- The D2XX functions ------------------------------------------------------------------
    FT_STATUS Open(int index, FT_HANDLE* handle);
    FT_STATUS Close(FT_HANDLE handle);
    FT_STATUS GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                            char* description, void* reserved);
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop, UCHAR parity);
    FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baud);
    FT_STATUS SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size);
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, UCHAR ms);
    FT_STATUS SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms);
    FT_STATUS Purge(FT_HANDLE handle, ULONG mask);
    FT_STATUS Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written);
    FT_STATUS Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got);
    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags);

    struct State;  // the model itself (sim_world.cpp)

  private:
    Clock& clock_;
    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

}  // namespace kalvo::sim
