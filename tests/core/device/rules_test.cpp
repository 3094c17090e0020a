// Table-driven checks of the arithmetic the bus relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/device/bus_health.h"
#include "core/device/ft_link.h"
#include "core/device/registers.h"
#include "core/device/rom_code.h"

namespace kalvo {
namespace {

TEST(Crc8, TableEntriesAndCheckValues) {
    const auto& table = Crc8Table();
    EXPECT_EQ(table[0x00], 0x00);
    EXPECT_EQ(table[0x01], 0x5E);
    EXPECT_EQ(table[0x02], 0xBC);
    EXPECT_EQ(table[0x80], 0x8C);
    EXPECT_EQ(table[0xFF], 0x35);

    const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(Crc8(digits, 9, 0x00), 0xA1);
    EXPECT_EQ(Crc8(digits, 9, 0xFF), 0x0B);
    EXPECT_EQ(Crc8(digits, 0, 0x5A), 0x5A);  // nothing to fold in

    const uint8_t rom[8] = {0x28, 0x6B, 0x3C, 0x1F, 0x03, 0x00, 0x00, 0xC6};
    EXPECT_EQ(Crc8(rom, 8, 0), 0);
    EXPECT_EQ(Crc8(rom, 7, 0), 0xC6);

    // Nine 0xFF bytes, what a vanished sensor reads as, do not check.
    const uint8_t ones[9] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Crc8(ones, 8, 0), 0xC9);
}

TEST(RomCode, BytesTextAndOrder) {
    const RomCode code = RomFromBytes({0x28, 0x6B, 0x3C, 0x1F, 0x03, 0x00, 0x00, 0xC6});
    EXPECT_EQ(code, 0xC60000031F3C6B28ull);
    EXPECT_EQ(FamilyOf(code), 0x28);
    EXPECT_EQ(RomByte(code, 7), 0xC6);
    EXPECT_EQ(RomBytes(code)[1], 0x6B);
    EXPECT_TRUE(RomCrcValid(code));
    EXPECT_FALSE(RomCrcValid(code ^ (1ull << 20)));

    EXPECT_EQ(RomText(code), u"c60000031f3c6b28");
    const RomCode low_crc = 0x0A0000031F3C6B28ull;  // CRC byte below 0x10
    EXPECT_EQ(RomText(low_crc), u"a0000031f3c6b28");
    EXPECT_EQ(RomText(low_crc).size(), 15u);

    EXPECT_EQ(RomFromText(u"C60000031F3C6B28"), code);
    EXPECT_EQ(RomFromText(u"a0000031f3c6b28"), low_crc);
    EXPECT_EQ(RomFromText(u"  3a zz"), 0x3Au);  // blanks before, stops at a non-hex character
    EXPECT_EQ(RomFromText(u"ffffffffffffffff"), ~0ull);
    for (const char16_t* bad : {u"", u"xyz", u"1ffffffffffffffff"}) EXPECT_EQ(RomFromText(bad), 0u);

    // The CRC byte sorts first: 0x1A before 0xC6 whatever the serial numbers; then byte 6 down.
    std::vector<RomCode> codes = {0xC6000000000001'28ull, 0x1AFFFFFFFFFFFF'28ull,
                                  0x1A010000000000'28ull, 0x1A000000000000'10ull};
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, (std::vector<RomCode>{0x1A000000000000'10ull, 0x1A010000000000'28ull,
                                           0x1AFFFFFFFFFFFF'28ull, 0xC6000000000001'28ull}));
}

TEST(Registers, Ds18b20Table) {
    const struct {
        uint16_t raw;
        double celsius;
    } table[] = {{0x07D0, 125.0},    {0x0550, 85.0}, {0x0191, 25.0625}, {0x00A2, 10.125},
                 {0x0008, 0.5},      {0x0000, 0.0},  {0xFFF8, -0.5},    {0xFF5E, -10.125},
                 {0xFE6F, -25.0625}, {0xFC90, -55.0}};
    for (const auto& row : table) {
        EXPECT_DOUBLE_EQ(Ds18b20Celsius(row.raw), row.celsius) << std::hex << row.raw;
        Scratchpad pad{
            uint8_t(row.raw), uint8_t(row.raw >> 8), 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0};
        EXPECT_DOUBLE_EQ(ScratchpadCelsius(kFamilyDs18b20, pad), row.celsius);
    }
}

// Which scratchpads are measurements. Byte 6 of a DS18B20 is 0x10 - (LSB & 0x0F) after a
// conversion and 0x0C after power-on.
TEST(Registers, ScratchpadVerdicts) {
    auto pad = [](uint8_t lsb, uint8_t msb, uint8_t byte6) {
        Scratchpad p{lsb, msb, 0x4B, 0x46, 0x7F, 0xFF, byte6, 0x10, 0};
        p[8] = Crc8(p.data(), 8, 0);
        return p;
    };
    Scratchpad spoilt = pad(0x91, 0x01, 0x0F);
    spoilt[3] ^= 0x20;
    Scratchpad zeros{}, ones;
    ones.fill(0xFF);
    const struct {
        const char* name;
        uint8_t family;
        Scratchpad pad;
        PadVerdict verdict;
    } table[] = {
        {"25.0625", kFamilyDs18b20, pad(0x91, 0x01, 0x0F), PadVerdict::kReading},
        {"85.0 converted", kFamilyDs18b20, pad(0x50, 0x05, 0x10), PadVerdict::kReading},
        {"85.0 power-on", kFamilyDs18b20, pad(0x50, 0x05, 0x0C), PadVerdict::kPowerOn},
        {"0x0C with another value", kFamilyDs18b20, pad(0x54, 0x05, 0x0C), PadVerdict::kReading},
        {"127.94: too little power", kFamilyDs18b20, pad(0xFF, 0x07, 0x01), PadVerdict::kLowPower},
        {"DS1820 85.0 cannot be told", kFamilyDs1820, pad(0xAA, 0x00, 0x0C), PadVerdict::kReading},
        {"DS1820 0x07FF is a value", kFamilyDs1820, pad(0xFF, 0x07, 0x01), PadVerdict::kReading},
        {"a bit lost", kFamilyDs18b20, spoilt, PadVerdict::kCrcError},
        {"zeros pass the CRC", kFamilyDs18b20, zeros, PadVerdict::kNoAnswer},
        {"nobody sent", kFamilyDs1820, ones, PadVerdict::kNoAnswer},
    };
    for (const auto& row : table)
        EXPECT_EQ(JudgeScratchpad(row.family, row.pad), row.verdict) << row.name;
}

TEST(Registers, ConversionTimeByResolution) {
    EXPECT_EQ(ConversionMs(kFamilyDs18b20, 0x1F), 94);  // 9 bits: 93.75 rounded up
    EXPECT_EQ(ConversionMs(kFamilyDs18b20, 0x3F), 188);
    EXPECT_EQ(ConversionMs(kFamilyDs18b20, 0x5F), 375);
    EXPECT_EQ(ConversionMs(kFamilyDs18b20, 0x7F), 750);
    EXPECT_EQ(ConversionMs(kFamilyDs18b20, 0x80), 94);  // only bits 5 and 6 count
    EXPECT_EQ(ConversionMs(kFamilyDs1820, 0xFF), 750);
}

TEST(Registers, Ds1820UsesItsOwnHalfDegreeRegisterAndCounts) {
    const struct {
        uint8_t lsb, msb, count_remain, count_per_c;
        double celsius;
    } table[] = {
        {0xAA, 0x00, 0x0C, 0x10, 85.0},     // power-on value
        {0x32, 0x00, 0x0C, 0x10, 25.0},     // 25.0 from TEMP_READ 25, 0.25 back
        {0x33, 0x00, 0x0C, 0x10, 25.0},     // bit 0 is dropped before refining
        {0x32, 0x00, 0x01, 0x10, 25.6875},  // 25 - 0.25 + 15/16
        {0x01, 0x00, 0x0C, 0x10, 0.0},      // +0.5 register, refined
        {0xFF, 0xFF, 0x0C, 0x10, -1.0},     // -0.5 register: TEMP_READ -1
        {0xCE, 0xFF, 0x04, 0x10, -24.5},    // -25 - 0.25 + 12/16
        {0x92, 0xFF, 0x0C, 0x10, -55.0},
        {0x33, 0x00, 0x0C, 0x00, 25.5},  // no COUNT_PER_C: the plain half degrees
        {0xFF, 0xFF, 0x0C, 0x00, -0.5},
    };
    for (const auto& row : table) {
        Scratchpad pad{row.lsb,          row.msb,         0x4B, 0x46, 0xFF, 0xFF,
                       row.count_remain, row.count_per_c, 0};
        EXPECT_DOUBLE_EQ(ScratchpadCelsius(kFamilyDs1820, pad), row.celsius)
            << int(row.lsb) << " " << int(row.count_remain);
    }
    // The same register read on the DS18B20 scale would be sixteen times too small per unit.
    Scratchpad pad{0x32, 0x00, 0, 0, 0, 0, 0x0C, 0x10, 0};
    EXPECT_DOUBLE_EQ(ScratchpadCelsius(kFamilyDs18b20, pad), 3.125);
}

TEST(Registers, PioBytesAndEvaluation) {
    EXPECT_EQ(PioOutputByte(1, 1), 0xFC);
    EXPECT_EQ(PioOutputByte(1, 0), 0xFE);
    EXPECT_EQ(PioOutputByte(0, 1), 0xFD);
    EXPECT_EQ(PioOutputByte(0, 0), 0xFF);
    EXPECT_EQ(PioOutputByte(-7, 42), 0xFC);  // any non-zero value is on

    EXPECT_EQ(EvaluatePioStatus(0xC3), 1);
    EXPECT_EQ(EvaluatePioStatus(0x2D), -1);
    EXPECT_EQ(EvaluatePioStatus(0x4B), -2);
    EXPECT_EQ(EvaluatePioStatus(0xA5), -3);
    EXPECT_EQ(EvaluatePioStatus(0xF0), 1);
    EXPECT_EQ(EvaluatePioStatus(0x0F), 1);  // the inverted nibble is not checked
}

TEST(ExchangeTimeout, TenBitCharactersAt131072Baud) {
    EXPECT_EQ(ExchangeWriteTimeoutMs(1), 0u);
    EXPECT_EQ(ExchangeWriteTimeoutMs(8), 0u);
    EXPECT_EQ(ExchangeWriteTimeoutMs(13), 0u);
    EXPECT_EQ(ExchangeWriteTimeoutMs(14), 1u);
    EXPECT_EQ(ExchangeWriteTimeoutMs(1690), 128u);
    EXPECT_EQ(ExchangeWriteTimeoutMs(1691), 139u);
    EXPECT_EQ(ExchangeWriteTimeoutMs(size_t(1) << 40), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace kalvo
