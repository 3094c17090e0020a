#pragma once
// What the settings file reads from and applies to besides the two device tables: the live
// chart's colours, the engine's period and flags, and the main window's rectangle.
#include <cstdint>

namespace kalvo {

// Screen coordinates of the main window.
struct WindowRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool operator==(const WindowRect&) const = default;
};

// Flag bits of the engine's three options, as the page and the settings file hold them.
constexpr uint16_t kFlagWriteDataFile = 0x1;
constexpr uint16_t kFlagMeasureAtStart = 0x2;
constexpr uint16_t kFlagHideToTray = 0x4;
constexpr uint16_t kFlagMask = 0x7;

// Measurement period limits, seconds.
constexpr int kPeriodMin = 2;
constexpr int kPeriodMax = 10;
constexpr int kPeriodDefault = 2;
// Status text of a refused period entry.
inline constexpr char16_t kPeriodRangeText[] = u"Значения должны быть в диапазоне 2 - 10 секунд";

class SettingsPeer {
  public:
    virtual ~SettingsPeer() = default;
    // Live chart colours, COLORREF.
    virtual uint32_t BackgroundColour() const = 0;
    virtual void SetBackgroundColour(uint32_t colorref) = 0;
    virtual uint32_t GridColour() const = 0;
    virtual void SetGridColour(uint32_t colorref) = 0;
    // Seconds between cycles and the flag bits above.
    virtual int Period() const = 0;
    virtual uint16_t Flags() const = 0;
    // Takes a period within the limits and the stored flags, shows them on the page and
    // re-arms the measurement timer.
    virtual void ApplyPeriodAndFlags(int period, uint16_t flags) = 0;
    virtual WindowRect MainWindowRect() const = 0;
    virtual void MoveMainWindow(const WindowRect& rect) = 0;
};

}  // namespace kalvo
