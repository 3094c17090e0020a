#pragma once
// The 64-bit identity every simulated 1-Wire device carries.
#include <cstddef>
#include <cstdint>

namespace kalvo::sim {

// Family code in the least significant byte, CRC-8 in the most.
using RomCode = uint64_t;

constexpr uint8_t kFamilyDs18b20 = 0x28;
constexpr uint8_t kFamilyDs1820 = 0x10;
constexpr uint8_t kFamilyDs2413 = 0x3A;

// The 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected), start value 0.
uint8_t Crc8(const uint8_t* data, size_t n);
// family | id48 << 8 | crc << 56.
RomCode MakeRomCode(uint8_t family, uint64_t id48);

}  // namespace kalvo::sim
