#pragma once
// The program's command ids, one list for the toolbar, the views' own menus and the notification
// area. The numbers are fixed: forwarded messages carry them as they are.
#include <cstdint>

namespace kalvo {

enum Command : int {
    // Context menu of a stored day.
    kCmdRestore = 104,
    kCmdCompress = 105,
    // Toolbar.
    kCmdStop = 106,
    kCmdStart = 107,
    kCmdToggleTree = 32772,
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

// Window messages whose wParam is a command id; they reach a view as AppEvents.
constexpr uint32_t WM_COMMAND_MSG = 0x0111;  // WM_COMMAND (the bare name is the system's macro)
constexpr uint32_t WM_FORWARDMSG = 0x037F;   // the frame forwarding a command to the active page

}  // namespace kalvo
