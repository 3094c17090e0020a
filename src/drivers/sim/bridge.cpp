#include "drivers/sim/bridge.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace kalvo::sim {
namespace {

constexpr size_t kRxCapacity = 65536;  // the driver's receive buffer; overflow is lost

uint64_t Mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

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
    DropEcho();
}

void BridgeModel::DropEcho() {
    rx.clear();
    fill = 0;
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
    // The host waits for the request; what it sends next goes on the line after it.
    b_.wire_free_ns = std::max(b_.wire_free_ns, b_.host_ns) + kControlRequestNs;
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
    if (mask & FT_PURGE_RX) b_.DropEcho();
    return FT_OK;  // nothing ever waits in the transmit buffer
}

int64_t BridgePort::LatencyNs() const {
    return int64_t(latency_ms_ >= 0 ? latency_ms_ : b_.latency_timer) * 1'000'000;
}

// Each character takes its time on the wire; its echo waits in the chip until 62 of them fill a
// USB packet, or until the latency timer runs out after the last one.
FT_STATUS BridgePort::Write(const uint8_t* bytes, DWORD n, DWORD* written) {
    const int64_t character = CharacterNs(b_.baud);
    const int64_t latency = LatencyNs();
    const int64_t start = std::max(b_.host_ns, b_.wire_free_ns);
    // Echo bytes still in the chip from before either went out with the timer or wait on.
    if (b_.fill > 0 && start + character >= b_.fill_ready_ns + latency) b_.fill = 0;
    const uint64_t noise_seed = env_.line_noise.s;
    for (DWORD i = 0; i < n; ++i) {
        // The noise of a transaction starts with the byte after the one that selects.
        double noise = b_.NoiseRate();
        const uint64_t resets = b_.resets;
        uint8_t echo = b_.Character(bytes[i], env_.rng);
        b_.since_reset = b_.resets != resets ? 0 : b_.since_reset + 1;
        // The reset pulse ends a device's transaction: only the whole line's noise hits it.
        if (b_.since_reset == 0) noise = b_.timed.noise_rate;
        // Which echoes the noise hits depends only on where they stand after a reset pulse, so
        // masters that send the same transactions in other exchanges see the same noise.
        if (noise > 0) {
            const uint64_t h = Mix(noise_seed ^ Mix(b_.resets * 0x9E3779B97F4A7C15ull ^
                                                    (b_.since_reset + 1) * 0xD6E8FEB86659FD93ull));
            if (double(h >> 11) * 0x1.0p-53 < noise) echo ^= uint8_t(1u << (Mix(h) % 8));
        }
        const int64_t ready = start + int64_t(i + 1) * character;
        if (b_.rx.size() < kRxCapacity) b_.rx.push_back({echo, ready + latency});
        ++b_.fill;
        b_.fill_ready_ns = ready;
        if (b_.fill == kPacketBytes) {
            const size_t k = std::min<size_t>(size_t(kPacketBytes), b_.rx.size());
            for (size_t j = b_.rx.size() - k; j < b_.rx.size(); ++j) b_.rx[j].arrival_ns = ready;
            b_.fill = 0;
        }
    }
    // The bytes of a packet not full yet go out together when the timer runs out.
    const size_t k = std::min<size_t>(size_t(b_.fill), b_.rx.size());
    for (size_t j = b_.rx.size() - k; j < b_.rx.size(); ++j)
        b_.rx[j].arrival_ns = b_.fill_ready_ns + latency;
    b_.wire_free_ns = start + int64_t(n) * character;
    b_.bytes_written += n;
    *written = n;
    return FT_OK;
}

// A read returns when all the bytes asked for have reached the host, or at the read timeout
// with those that have (no timeout: with whatever is on its way).
FT_STATUS BridgePort::Read(uint8_t* bytes, DWORD n, DWORD* got) {
    if (n == 0) return FT_OK;
    ++b_.reads;
    const int64_t now = b_.host_ns;
    const int64_t deadline = b_.read_timeout ? now + int64_t(b_.read_timeout) * 1'000'000
                                             : std::numeric_limits<int64_t>::max();
    size_t limit = std::min<size_t>(n, b_.rx.size());
    bool cut = false;  // a short-read fault keeps bytes back: the read runs to its timeout
    if (b_.short_reads > 0) {
        --b_.short_reads;
        cut = b_.short_max < limit;
        limit = std::min<size_t>(limit, b_.short_max);
    }
    if (b_.timed.short_reads && limit > n / 2) {
        cut = true;
        limit = n / 2;
    }
    int64_t end;
    if (limit == n && !cut && b_.rx[limit - 1].arrival_ns <= deadline) {
        end = std::max(now, b_.rx[limit - 1].arrival_ns);
    } else if (b_.read_timeout) {
        end = deadline;
    } else {
        end = std::max(now, limit ? b_.rx[limit - 1].arrival_ns : now);
    }
    size_t count = 0;
    while (count < limit && b_.rx.front().arrival_ns <= end) {
        bytes[count++] = b_.rx.front().byte;
        b_.rx.pop_front();
    }
    *got = DWORD(count);
    b_.host_ns = end;
    return FT_OK;
}

}  // namespace kalvo::sim
