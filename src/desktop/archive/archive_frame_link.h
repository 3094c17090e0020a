#pragma once
// What the archive tree needs from the main frame; the frame implements it, tests fake it.
#include <cstdint>

namespace kalvo {

class ArchiveFrameLink {
  public:
    virtual ~ArchiveFrameLink() = default;
    // Posted to the frame: WM_APP_INIT_NEXT once the tree is filled, WM_APP_OPEN_DAY with the
    // point of a double click.
    virtual void PostToFrame(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
};

// A client point as a mouse message carries it: x in the low 16 bits, y in the next 16, both
// signed.
constexpr intptr_t PackPoint(int x, int y) {
    return intptr_t(uint32_t(uint16_t(x)) | (uint32_t(uint16_t(y)) << 16));
}
constexpr int PointX(intptr_t lparam) {
    return int16_t(uint16_t(lparam & 0xFFFF));
}
constexpr int PointY(intptr_t lparam) {
    return int16_t(uint16_t((lparam >> 16) & 0xFFFF));
}

}  // namespace kalvo
