#include "drivers/sim/ds1820.h"

#include <cmath>

namespace kalvo::sim {

// TEMP_READ - 0.25 + (16 - COUNT_REMAIN) / 16 gives the temperature to 1/16 degree.
void Ds1820::Store(double c) {
    const long q = std::lround(c * 16.0);  // sixteenths
    const long whole = (q + 4 >= 0) ? (q + 4) / 16 : -((-(q + 4) + 15) / 16);
    const long n = q + 4 - 16 * whole;  // 0..15
    reg_ = uint16_t(int16_t(2 * whole + (n >= 8 ? 1 : 0)));
    count_remain_ = uint8_t(16 - n);
}

std::vector<uint8_t> Ds1820::Scratchpad() const {
    return {uint8_t(reg_), uint8_t(reg_ >> 8), th_, tl_, 0xFF, 0xFF, count_remain_, 0x10};
}

}  // namespace kalvo::sim
