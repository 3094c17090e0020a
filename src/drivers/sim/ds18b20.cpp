#include "drivers/sim/ds18b20.h"

#include <cmath>

namespace kalvo::sim {
namespace {

// The part sets the reserved byte 6 from the register a conversion leaves.
uint8_t Byte6After(uint16_t raw) {
    return uint8_t(0x10 - (raw & 0x0F));
}

constexpr uint16_t kLowPowerRaw = 0x07FF;  // 127.94 degrees C: too little power to convert

}  // namespace

Ds18b20::Ds18b20(Environment* env, RomCode code, const Thermal& thermal, int resolution)
    : Thermometer(env, code, thermal) {
    config_ = eeprom_config_ = uint8_t(0x1F | (resolution - 9) << 5);
}

void Ds18b20::Store(double c) {
    const int drop = 12 - Resolution();  // undefined low bits read as 0
    const long steps = std::lround(c * 16.0 / (1 << drop));
    raw_ = uint16_t(int16_t(steps * (1 << drop)));
    byte6_ = Byte6After(raw_);
}

std::vector<uint8_t> Ds18b20::Scratchpad() const {
    const uint16_t raw = low_power ? kLowPowerRaw : raw_;
    const uint8_t byte6 = low_power ? Byte6After(kLowPowerRaw) : byte6_;
    return {uint8_t(raw), uint8_t(raw >> 8), th_, tl_, config_, 0xFF, byte6, 0x10};
}

void Ds18b20::WriteByte(int index, uint8_t v) {
    if (index == 0) th_ = v;
    if (index == 1) tl_ = v;
    if (index == 2) config_ = uint8_t((v & 0x60) | 0x1F);
}

}  // namespace kalvo::sim
