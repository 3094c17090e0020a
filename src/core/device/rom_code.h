#pragma once
// The 64-bit 1-Wire identity and the bus's CRC-8.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kalvo {

// Byte 0 (the family code) is the least significant byte, byte 7 (the CRC) the most significant,
// so sorting by the number sorts by CRC first.
using RomCode = uint64_t;

constexpr uint8_t kFamilyDs1820 = 0x10;
constexpr uint8_t kFamilyDs18b20 = 0x28;
constexpr uint8_t kFamilyDs2413 = 0x3A;

constexpr uint8_t FamilyOf(RomCode code) {
    return uint8_t(code & 0xFF);
}
constexpr uint8_t RomByte(RomCode code, int index) {
    return uint8_t(code >> (8 * index));
}
RomCode RomFromBytes(const std::array<uint8_t, 8>& bytes);
std::array<uint8_t, 8> RomBytes(RomCode code);

// Lower-case hex without leading zeros: the tables' serial-number text.
std::u16string RomText(RomCode code);
// Base-16 reading of a serial-number text (blanks before it allowed, stops at the first
// non-hex character). 0 when there is no hex digit or the number does not fit 64 bits.
RomCode RomFromText(std::u16string_view text);

// "DS18B20", "DS1820", "DS2413"; empty for families we do not use.
std::u16string_view FamilyName(uint8_t family);

// 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected), table driven. Start value 0 for scratchpads
// and ROM codes, 0xFF for the settings file.
const std::array<uint8_t, 256>& Crc8Table();
uint8_t Crc8(const uint8_t* data, size_t size, uint8_t start);

// True when byte 7 is the CRC-8 of bytes 0-6.
bool RomCrcValid(RomCode code);

}  // namespace kalvo
