#include "core/device/registers.h"

#include "core/device/rom_code.h"

namespace kalvo {

double Ds18b20Celsius(uint16_t raw) {
    if (raw & 0xF800) return -double(uint16_t(~raw + 1)) * 0.0625;
    return double(raw) * 0.0625;
}

double Ds1820Celsius(const Scratchpad& pad) {
    const int16_t raw = int16_t(uint16_t(pad[1] << 8 | pad[0]));
    const uint8_t count_remain = pad[6];
    const uint8_t count_per_c = pad[7];
    if (count_per_c == 0) return raw * 0.5;
    const int whole = raw >> 1;  // drops the half-degree bit, toward minus infinity
    return whole - 0.25 + double(count_per_c - count_remain) / count_per_c;
}

double ScratchpadCelsius(uint8_t family, const Scratchpad& pad) {
    if (family == kFamilyDs1820) return Ds1820Celsius(pad);
    return Ds18b20Celsius(uint16_t(pad[1] << 8 | pad[0]));
}

}  // namespace kalvo
