#pragma once
// Command ids of the main window and the texts of its toolbar buttons.
#include <array>
#include <cstdint>

namespace kalvo {

enum Command : int {
    kCmdToggleTree = 32772,
    kCmdStop = 106,
    kCmdStart = 107,
    kCmdColourBackground = 32774,
    kCmdColourGrid = 32775,
    kCmdAutoScrollOn = 32857,   // shown while following is suspended: resumes it
    kCmdAutoScrollOff = 32858,  // shown while the live view follows: suspends it
    kCmdExport = 32859,
    kCmdAbout = 57664,
    // Notification-area menu.
    kCmdTrayTitle = 32860,
    kCmdTrayFirstThermometer = 32861,
};

// Forwards a command to the active page (wParam: the command).
constexpr uint32_t WM_FORWARDMSG = 0x037F;
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
