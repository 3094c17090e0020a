#pragma once
// Register arithmetic of the sensors and the dual switch.
#include <array>
#include <cstdint>

namespace kalvo {

using Scratchpad = std::array<uint8_t, 9>;

// DS18B20 temperature register (bytes 0-1), 0.0625 degrees C per unit.
double Ds18b20Celsius(uint16_t raw);
// DS1820: 0.5 degrees C register refined with COUNT_REMAIN (byte 6) and COUNT_PER_C (byte 7);
// the plain half-degree value when COUNT_PER_C is 0.
double Ds1820Celsius(const Scratchpad& pad);
// Degrees C of a scratchpad by the sensor's family code.
double ScratchpadCelsius(uint8_t family, const Scratchpad& pad);

// PIO output byte: bit 0 channel A latch, bit 1 channel B latch (1 = off), bits 2-7 set.
// A channel value of 0 is off, anything else on.
constexpr uint8_t PioOutputByte(int a, int b) {
    return uint8_t(0xFC | (a == 0 ? 1 : 0) | (b == 0 ? 2 : 0));
}

// Switch result codes: 1 both pins follow their latches, -1 channel A does not, -2 channel B
// does not, -3 neither; 0 when the switch could not be read or written.
constexpr int kSwitchOk = 1;
constexpr int kSwitchAWrong = -1;
constexpr int kSwitchBWrong = -2;
constexpr int kSwitchBothWrong = -3;
constexpr int kSwitchFailed = 0;

constexpr int EvaluatePioStatus(uint8_t status) {
    const bool a_wrong = ((status >> 0) & 1) != ((status >> 1) & 1);
    const bool b_wrong = ((status >> 2) & 1) != ((status >> 3) & 1);
    if (a_wrong && b_wrong) return kSwitchBothWrong;
    if (a_wrong) return kSwitchAWrong;
    if (b_wrong) return kSwitchBWrong;
    return kSwitchOk;
}

}  // namespace kalvo
