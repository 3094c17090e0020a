#pragma once
// The start-up chain of the main window, in one place. The frame posts WM_APP_INIT_VIEW to one
// part after the other; each part, once ready, answers with WM_APP_INIT_NEXT and its step in
// lParam, and the frame starts the next part. A step that never comes stops the chain there.
#include <cstdint>

namespace kalvo {

enum InitStep : intptr_t {
    // The archive tree (or the empty pane) is filled: the live view is next.
    // Sent by CTreeWnd (src/desktop/archive/tree_wnd.cpp), or by the frame for an empty pane.
    kInitTreeDone = 1,
    // The live view is ready: the scenario page is next.
    // Sent by CKalvoView (src/desktop/chart/kalvo_view.cpp).
    kInitLiveViewDone = 2,
    // The scenario page has its status bar: the engine is next.
    kInitScenariosDone = 3,
    // The engine's bridge search is out; the chain ends, and the engine says when it is ready
    // (WM_APP_ENGINE_READY).
    kInitEngineStarted = 4,
};

}  // namespace kalvo
