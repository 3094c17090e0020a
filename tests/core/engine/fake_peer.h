#pragma once
// A settings peer that only remembers: the engine's and the window's side of setting.stg for the
// settings tests, the fuzz target and the end-to-end tests.
#include <cstdint>

#include "core/engine/settings_peer.h"

namespace kalvo::testing_util {

struct FakePeer : SettingsPeer {
    uint32_t BackgroundColour() const override { return background; }
    void SetBackgroundColour(uint32_t c) override { background = c; }
    uint32_t GridColour() const override { return grid; }
    void SetGridColour(uint32_t c) override { grid = c; }
    int Period() const override { return period; }
    uint16_t Flags() const override { return flags; }
    void ApplyPeriodAndFlags(int p, uint16_t f) override { period = p, flags = f; }
    WindowRect MainWindowRect() const override { return rect; }
    void MoveMainWindow(const WindowRect& r) override { rect = r; }
    uint32_t background = 1, grid = 2;
    int period = 2;
    uint16_t flags = 1;
    WindowRect rect{1, 1, 1, 1};
};

}  // namespace kalvo::testing_util
