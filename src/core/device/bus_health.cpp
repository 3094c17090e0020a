#include "core/device/bus_health.h"

#include <algorithm>

namespace kalvo {

PadVerdict JudgeScratchpad(uint8_t family, const Scratchpad& pad) {
    // Nine zeros pass the CRC, but no sensor sends them (its byte 5 reads 0xFF).
    const auto all = [&](uint8_t v) {
        return std::all_of(pad.begin(), pad.end(), [v](uint8_t b) { return b == v; });
    };
    if (all(0x00) || all(0xFF)) return PadVerdict::kNoAnswer;
    if (Crc8(pad.data(), 8, 0) != pad[8]) return PadVerdict::kCrcError;
    if (family == kFamilyDs18b20) {
        const uint16_t raw = uint16_t(pad[1] << 8 | pad[0]);
        if (raw == 0x0550 && pad[6] == 0x0C) return PadVerdict::kPowerOn;
        if (raw == 0x07FF) return PadVerdict::kLowPower;
    }
    return PadVerdict::kReading;
}

int64_t ConversionMs(uint8_t family, uint8_t config) {
    if (family != kFamilyDs18b20) return kFullConversionMs;
    const int bits = 9 + ((config >> 5) & 3);
    // 93.75 ms at 9 bits, doubling with each bit; rounded up.
    return (kFullConversionMs * 8 / (1 << (12 - bits)) + 7) / 8;
}

std::u16string_view FaultText(BusFault fault) {
    switch (fault) {
        case BusFault::kBridgeLost:
            return u"Bridge FT232R lost";
        case BusFault::kNoPresence:
            return u"No device answers on the 1-Wire line";
        case BusFault::kLineLow:
            return u"1-Wire line held low";
        case BusFault::kNone:
            break;
    }
    return {};
}

}  // namespace kalvo
