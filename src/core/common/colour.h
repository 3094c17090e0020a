#pragma once
#include <cstdint>

namespace kalvo {

// Tables and settings hold Windows COLORREF values (0x00BBGGRR); samples and charts hold ARGB.
constexpr uint32_t Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}
constexpr uint8_t RedOf(uint32_t colorref) {
    return colorref & 0xFF;
}
constexpr uint8_t GreenOf(uint32_t colorref) {
    return (colorref >> 8) & 0xFF;
}
constexpr uint8_t BlueOf(uint32_t colorref) {
    return (colorref >> 16) & 0xFF;
}

// 0x00BBGGRR -> 0xFFRRGGBB
constexpr uint32_t ColorrefToArgb(uint32_t c) {
    return 0xFF000000u | (uint32_t(RedOf(c)) << 16) | (uint32_t(GreenOf(c)) << 8) | BlueOf(c);
}
// 0xAARRGGBB -> 0x00BBGGRR (alpha dropped)
constexpr uint32_t ArgbToColorref(uint32_t a) {
    return Rgb((a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
}

}  // namespace kalvo
