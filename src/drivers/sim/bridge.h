#pragma once
// One simulated FT232R: the settings an open starts from, its receive buffer, each UART
// character on the 1-Wire line and its echo, and the D2XX operations on an open handle.
#include <algorithm>
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
    // An echo byte in the chip or the driver, and when it reaches the host (ns).
    struct Echo {
        uint8_t byte;
        int64_t arrival_ns;
    };
    std::deque<Echo> rx;
    // Time model. The host's time on this bridge (ns; ahead of the ms clock by the part of a ms
    // not slept yet), when the UART has sent everything written, and the echo bytes waiting in
    // the chip for a full USB packet or the latency timer (`fill`, the last one ready at
    // `fill_ready_ns`).
    int64_t host_ns = 0;
    int64_t wire_free_ns = 0;
    int fill = 0;
    int64_t fill_ready_ns = 0;
    uint64_t since_reset = 0;  // characters since the last reset pulse: the noise's position
    uint32_t short_max = 0;    // fault: the next short_reads reads return at most short_max bytes
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
    // Forgets the echo not read yet, in the chip too.
    void DropEcho();
};

// Echo bytes in one USB packet (64 bytes less two status bytes).
constexpr int kPacketBytes = 62;
// What a control request (a rate change) costs, ns: the next bytes go on the line that much
// later.
constexpr int64_t kControlRequestNs = 1'000'000;
// Time of one character (start, eight data bits, stop) at `baud`, ns.
constexpr int64_t CharacterNs(uint32_t baud) {
    return baud ? int64_t(10'000'000'000 / baud) : 0;
}

// An open bridge for one D2XX call, under the world's lock. The host's time moves on with what
// the call waits for (the echo's packets, the latency timer, the read timeout, a rate change);
// sleeping the clock up to it is left for after the lock: host_ns().
class BridgePort final : public front::Port {
  public:
    // latency_ms < 0: the latency timer the program set.
    BridgePort(BridgeModel& bridge, Environment& env, int latency_ms)
        : b_(bridge), env_(env), latency_ms_(latency_ms) {
        b_.host_ns = std::max(b_.host_ns, env.now * 1'000'000);
    }

    Info Describe() override;
    FT_STATUS SetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) override;
    FT_STATUS SetBaudRate(ULONG baud) override;
    FT_STATUS SetUSBParameters(ULONG in_size, ULONG out_size) override;
    FT_STATUS SetLatencyTimer(UCHAR ms) override;
    FT_STATUS SetTimeouts(ULONG read_ms, ULONG write_ms) override;
    FT_STATUS Purge(ULONG mask) override;
    FT_STATUS Write(const uint8_t* bytes, DWORD n, DWORD* written) override;
    FT_STATUS Read(uint8_t* bytes, DWORD n, DWORD* got) override;

    int64_t host_ns() const { return b_.host_ns; }

  private:
    int64_t LatencyNs() const;

    BridgeModel& b_;
    Environment& env_;
    int latency_ms_;
};

}  // namespace kalvo::sim
