#pragma once
// One simulated FT232R: the settings an open starts from, its receive buffer, each UART
// character on the 1-Wire line and its echo, and the D2XX operations on an open handle.
#include <cstdint>
#include <deque>
#include <string>

#include "core/device/d2xx.h"
#include "drivers/front/d2xx_front.h"
#include "drivers/sim/environment.h"
#include "drivers/sim/one_wire.h"

namespace kalvo::sim {

struct BridgeModel {
    std::string serial;       // at most 15 bytes
    std::string description;  // at most 63 bytes
    uint32_t type = FT_DEVICE_232R;
    bool open_fails = false;
    bool unplugged = false;  // fault: gone from the list, its handle fails
    bool held_low = false;   // fault: every echo 0x00
    uintptr_t handle = 0;    // 0 while closed
    // Line settings, back to the chip's defaults at every open.
    uint32_t baud = front::ft232r::kOpenBaud;
    UCHAR bits = FT_BITS_8, stop = FT_STOP_BITS_1, parity = FT_PARITY_NONE;
    uint8_t latency_timer = front::ft232r::kOpenLatencyMs;
    uint32_t read_timeout = 0, write_timeout = 0;
    uint32_t usb_in = front::ft232r::kOpenUsbInSize;
    std::deque<uint8_t> rx;
    uint32_t short_max = 0;  // fault: the next short_reads reads return at most short_max bytes
    int short_reads = 0;
    // What the timed faults in force now ask of the bridge (World::ScheduleFault).
    struct Timed {
        bool line_low = false;
        bool unplugged = false;
        bool short_reads = false;  // every read returns at most half the bytes asked for
        double noise_rate = 0;     // fraction of echo bytes with a flipped bit
    } timed;
    uint64_t bytes_written = 0, reads = 0, resets = 0;
    DeviceList devices;

    bool Unplugged() const { return unplugged || timed.unplugged; }
    // Opened as `value`: the chip's defaults, an empty receive buffer.
    void Open(uintptr_t value);
    // One character on the line; returns its echo.
    uint8_t Character(uint8_t byte, Rng& rng);
    // The fraction of echo bytes the line noise hits now.
    double NoiseRate() const;
};

// An open bridge for one D2XX call, under the world's lock. A read's wait (the latency timer,
// or the read timeout when it came short) is left for after the lock: wait_ms().
class BridgePort final : public front::Port {
  public:
    // latency_ms < 0: the latency timer the program set.
    BridgePort(BridgeModel& bridge, Environment& env, int latency_ms)
        : b_(bridge), env_(env), latency_ms_(latency_ms) {}

    Info Describe() override;
    FT_STATUS SetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) override;
    FT_STATUS SetBaudRate(ULONG baud) override;
    FT_STATUS SetUSBParameters(ULONG in_size, ULONG out_size) override;
    FT_STATUS SetLatencyTimer(UCHAR ms) override;
    FT_STATUS SetTimeouts(ULONG read_ms, ULONG write_ms) override;
    FT_STATUS Purge(ULONG mask) override;
    FT_STATUS Write(const uint8_t* bytes, DWORD n, DWORD* written) override;
    FT_STATUS Read(uint8_t* bytes, DWORD n, DWORD* got) override;

    int64_t wait_ms() const { return wait_ms_; }  // -1: no read, no wait

  private:
    BridgeModel& b_;
    Environment& env_;
    int latency_ms_;
    int64_t wait_ms_ = -1;
};

}  // namespace kalvo::sim
