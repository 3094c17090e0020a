#pragma once
#include <cstdint>

namespace kalvo {

// Window message ids of the program; on Qt they are the types of posted AppEvents.
enum AppMessage : uint32_t {
    WM_APP_INIT_VIEW = 0x8001,
    WM_APP_OPEN_DAY = 0x8002,
    WM_APP_LOAD_DAY = 0x8003,
    WM_APP_SAMPLES = 0x8004,
    WM_APP_WRITE_BATCH = 0x8005,
    WM_APP_CYCLE = 0x8006,
    WM_APP_BRIDGE_SEARCHED = 0x8007,
    WM_APP_ENGINE_READY = 0x800A,
    WM_APP_TRAY = 0x800C,
    WM_APP_INIT_NEXT = 0x800D,
    WM_CLOSE_REQUEST = 0x0010,  // WM_CLOSE
};

// Grid notifications.
constexpr int kNotifyItemChanged = -3003;
constexpr int kNotifyCellClicked = -3007;

// Status bar pane ids and indices.
constexpr int kPaneMain = 0;    // id of the main text pane
constexpr int kPaneDevice = 2;  // id of the device pane
constexpr int kPaneIndexProgress = 1;

// The start-up chain of the main window. The frame posts WM_APP_INIT_VIEW to one part after the
// other; each part, once ready, answers with WM_APP_INIT_NEXT and its step in lParam, and the
// frame starts the next part. A step that never comes stops the chain there.
enum InitStep : intptr_t {
    kInitTreeDone = 1,       // archive tree (CTreeWnd) or the empty pane filled: live view next
    kInitLiveViewDone = 2,   // live view (CKalvoView) ready: scenario page next
    kInitScenariosDone = 3,  // scenario page has its status bar: engine next
    // The engine's bridge search is out; the chain ends, and the engine says when it is ready
    // (WM_APP_ENGINE_READY).
    kInitEngineStarted = 4,
};

}  // namespace kalvo
