#include "drivers/sim/bridge.h"

#include <algorithm>
#include <bit>

namespace kalvo::sim {
namespace {

constexpr size_t kRxCapacity = 65536;  // the driver's receive buffer; overflow is lost

}  // namespace

void BridgeModel::Open(uintptr_t value) {
    handle = value;
    baud = front::ft232r::kOpenBaud;
    bits = FT_BITS_8;
    stop = FT_STOP_BITS_1;
    parity = FT_PARITY_NONE;
    latency_timer = front::ft232r::kOpenLatencyMs;
    read_timeout = write_timeout = 0;
    usb_in = front::ft232r::kOpenUsbInSize;
    rx.clear();
}

uint8_t BridgeModel::Character(uint8_t byte, Rng& rng) {
    if (held_low || timed.line_low) {
        DesyncAll(devices);
        return 0x00;
    }
    const bool any = AnyPresent(devices);
    // The line is low for the start bit and every low-order zero bit after it.
    const int low = 1 + (byte == 0 ? 8 : std::countr_zero(byte));
    const bool one_pulse = byte == uint8_t(0xFF << (low - 1)) || byte == 0;
    const bool framed = bits == FT_BITS_8 && stop == FT_STOP_BITS_1 && parity == FT_PARITY_NONE;

    auto garbage = [&] {
        DesyncAll(devices);
        return any ? uint8_t(byte & (rng.Next() | 0x0F)) : byte;
    };
    if (!framed) return garbage();

    if (baud == 9600) {
        if (low < 5) {  // too long for a slot, too short for a reset
            DesyncAll(devices);
            return byte;
        }
        ++resets;  // at least 480 us low: a reset pulse
        const int presence = ResetPulse(devices);
        // The presence pulse pulls the line low in the data bits right after the release.
        uint8_t echo = byte;
        for (int k = low - 1; k < low - 1 + presence && k < 8; ++k) echo &= uint8_t(~(1u << k));
        return echo;
    }
    if (baud == 115200) {
        if (!one_pulse) return garbage();
        // Devices sample about 30 us after the falling edge: four bit times low writes 0.
        const bool master = low < 4;
        const bool line = TimeSlot(devices, master);
        // A device answering 0 holds the line for about 25 us past the edge.
        return master && !line ? uint8_t(byte & 0xFC) : byte;
    }
    return garbage();
}

double BridgeModel::NoiseRate() const {
    double rate = timed.noise_rate;
    for (const auto& d : devices)
        if (d->noise_rate > 0 && d->Present() && d->Selected())
            rate = std::max(rate, d->noise_rate);
    return rate;
}

// ------------------------------------------------------------------------------------------------

front::Port::Info BridgePort::Describe() {
    return {b_.type, front::ft232r::kUsbId, b_.serial, b_.description};
}

FT_STATUS BridgePort::SetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) {
    b_.bits = bits;
    b_.stop = stop;
    b_.parity = parity;
    return FT_OK;
}

FT_STATUS BridgePort::SetBaudRate(ULONG baud) {
    b_.baud = baud;
    return FT_OK;
}

FT_STATUS BridgePort::SetUSBParameters(ULONG in_size, ULONG) {
    b_.usb_in = in_size;
    return FT_OK;
}

FT_STATUS BridgePort::SetLatencyTimer(UCHAR ms) {
    b_.latency_timer = ms;
    return FT_OK;
}

FT_STATUS BridgePort::SetTimeouts(ULONG read_ms, ULONG write_ms) {
    b_.read_timeout = read_ms;
    b_.write_timeout = write_ms;
    return FT_OK;
}

FT_STATUS BridgePort::Purge(ULONG mask) {
    if (mask & FT_PURGE_RX) b_.rx.clear();
    return FT_OK;  // nothing ever waits in the transmit buffer
}

FT_STATUS BridgePort::Write(const uint8_t* bytes, DWORD n, DWORD* written) {
    for (DWORD i = 0; i < n; ++i) {
        // The noise of a transaction starts with the byte after the one that selects.
        const double noise = b_.NoiseRate();
        uint8_t echo = b_.Character(bytes[i], env_.rng);
        if (noise > 0 && env_.line_noise.Uniform() < noise)
            echo ^= uint8_t(1u << (env_.line_noise.Next() % 8));
        if (b_.rx.size() < kRxCapacity) b_.rx.push_back(echo);
    }
    b_.bytes_written += n;
    *written = n;
    return FT_OK;
}

FT_STATUS BridgePort::Read(uint8_t* bytes, DWORD n, DWORD* got) {
    if (n == 0) return FT_OK;
    ++b_.reads;
    size_t count = std::min<size_t>(n, b_.rx.size());
    if (b_.short_reads > 0) {
        --b_.short_reads;
        count = std::min<size_t>(count, b_.short_max);
    }
    if (b_.timed.short_reads) count = std::min<size_t>(count, n / 2);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = b_.rx.front();
        b_.rx.pop_front();
    }
    *got = DWORD(count);
    // The echo waits in the chip for the latency timer; a short read waits for the timeout.
    wait_ms_ = latency_ms_ >= 0 ? latency_ms_ : b_.latency_timer;
    if (count < n) wait_ms_ = std::max<int64_t>(wait_ms_, b_.read_timeout);
    return FT_OK;
}

}  // namespace kalvo::sim
