#include "drivers/sim/rom_code.h"

namespace kalvo::sim {

uint8_t Crc8(const uint8_t* data, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        for (int k = 0; k < 8; ++k) {
            const bool mix = (crc ^ b) & 1;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
            b >>= 1;
        }
    }
    return crc;
}

RomCode MakeRomCode(uint8_t family, uint64_t id48) {
    uint8_t bytes[7];
    bytes[0] = family;
    for (int i = 0; i < 6; ++i) bytes[1 + i] = uint8_t(id48 >> (8 * i));
    const RomCode code = family | ((id48 & 0xFFFFFFFFFFFFull) << 8);
    return code | RomCode(Crc8(bytes, 7)) << 56;
}

}  // namespace kalvo::sim
