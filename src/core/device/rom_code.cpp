#include "core/device/rom_code.h"

#include "core/common/text.h"

namespace kalvo {
namespace {

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint8_t crc = uint8_t(i);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0x8C) : crc >> 1;
        table[size_t(i)] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kCrc8Table = MakeCrc8Table();

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

}  // namespace

RomCode RomFromBytes(const std::array<uint8_t, 8>& bytes) {
    RomCode code = 0;
    for (int i = 7; i >= 0; --i) code = (code << 8) | bytes[size_t(i)];
    return code;
}

std::array<uint8_t, 8> RomBytes(RomCode code) {
    std::array<uint8_t, 8> bytes{};
    for (int i = 0; i < 8; ++i) bytes[size_t(i)] = RomByte(code, i);
    return bytes;
}

std::u16string RomText(RomCode code) {
    return ToHex(code);
}

RomCode RomFromText(std::u16string_view text) {
    size_t pos = 0;
    while (pos < text.size() && (text[pos] == u' ' || text[pos] == u'\t')) ++pos;
    RomCode code = 0;
    bool any = false;
    for (; pos < text.size(); ++pos) {
        const int digit = HexValue(text[pos]);
        if (digit < 0) break;
        if (code >> 60) return 0;  // a 17th significant digit
        code = (code << 4) | unsigned(digit);
        any = true;
    }
    return any ? code : 0;
}

std::u16string_view FamilyName(uint8_t family) {
    switch (family) {
        case kFamilyDs18b20:
            return u"DS18B20";
        case kFamilyDs1820:
            return u"DS1820";
        case kFamilyDs2413:
            return u"DS2413";
        default:
            return {};
    }
}

const std::array<uint8_t, 256>& Crc8Table() {
    return kCrc8Table;
}

uint8_t Crc8(const uint8_t* data, size_t size, uint8_t start) {
    uint8_t crc = start;
    for (size_t i = 0; i < size; ++i) crc = kCrc8Table[crc ^ data[i]];
    return crc;
}

bool RomCrcValid(RomCode code) {
    const auto bytes = RomBytes(code);
    return Crc8(bytes.data(), 7, 0) == bytes[7];
}

}  // namespace kalvo
