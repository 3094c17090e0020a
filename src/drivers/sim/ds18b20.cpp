#include "drivers/sim/ds18b20.h"

#include <cmath>

namespace kalvo::sim {

Ds18b20::Ds18b20(Environment* env, RomCode code, const Thermal& thermal, int resolution)
    : Thermometer(env, code, thermal) {
    config_ = eeprom_config_ = uint8_t(0x1F | (resolution - 9) << 5);
}

void Ds18b20::Store(double c) {
    const int drop = 12 - Resolution();  // undefined low bits read as 0
    const long steps = std::lround(c * 16.0 / (1 << drop));
    raw_ = uint16_t(int16_t(steps * (1 << drop)));
}

std::vector<uint8_t> Ds18b20::Scratchpad() const {
    return {uint8_t(raw_), uint8_t(raw_ >> 8), th_, tl_, config_, 0xFF, 0x0C, 0x10};
}

void Ds18b20::WriteByte(int index, uint8_t v) {
    if (index == 0) th_ = v;
    if (index == 1) tl_ = v;
    if (index == 2) config_ = uint8_t((v & 0x60) | 0x1F);
}

}  // namespace kalvo::sim
