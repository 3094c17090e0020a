#pragma once
// What the pages need from the main frame. The frame implements it; tests fake it.
#include <QRect>

#include <cstdint>

namespace kalvo {

class FrameLink {
  public:
    virtual ~FrameLink() = default;
    // Posted to the frame (WM_APP_INIT_NEXT, WM_APP_ENGINE_READY, WM_CLOSE ...); any thread.
    virtual void PostToFrame(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
    // Hides the main window while the measurement thread finishes before the close.
    virtual void HideMainWindow() = 0;
    // The main window's rectangle in screen coordinates, and moving it there.
    virtual QRect MainWindowRect() const = 0;
    virtual void MoveMainWindow(const QRect& rect) = 0;
};

}  // namespace kalvo
