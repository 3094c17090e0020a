#pragma once
// The main window's toolbar texts and notification-area constants; the command ids themselves
// (kCmd..., WM_FORWARDMSG) come from desktop/widgets/command_ids.h.
#include <array>
#include <cstdint>

#include "desktop/widgets/command_ids.h"

namespace kalvo {

// Icon events of the notification area arrive as WM_APP_TRAY with these in lParam.
constexpr intptr_t kTrayLeftDoubleClick = 0x0203;  // WM_LBUTTONDBLCLK
constexpr intptr_t kTrayRightButtonUp = 0x0205;    // WM_RBUTTONUP
constexpr uintptr_t kTrayIconId = 1;

constexpr int kTrayMaxThermometers = 32;

struct ToolButton {
    int command;  // 0: separator
    // "prompt\ntooltip": the prompt goes to the status bar, the tooltip beside the button.
    const char16_t* text;
};

// The toolbar, left to right.
inline constexpr std::array<ToolButton, 10> kToolButtons{{
    {kCmdToggleTree, u"Toggle Tree\nПанель документов"},
    {kCmdStop, u"Measurement stop\nОстановка измерений"},
    {kCmdStart, u"Measurement start\nСтарт измерений"},
    {0, nullptr},
    {kCmdColourBackground, u"Color Background\nЦвет фона"},
    {kCmdColourGrid, u"Color grid\nЦвет сетки"},
    {kCmdAutoScrollOff, u"AutoScroll\nАвтопрокрутка"},
    {kCmdAutoScrollOn, nullptr},
    {kCmdExport, u"Data Exel\nДанные для Exel"},
    {kCmdAbout, u"Display program information, version number and copyright\nAbout"},
}};

}  // namespace kalvo
