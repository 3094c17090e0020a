#pragma once
// What the live view needs from the main frame; the frame implements it, tests fake it.
#include <cstdint>

namespace kalvo {

class LiveViewHost {
  public:
    virtual ~LiveViewHost() = default;
    // Posted to the frame (e.g. WM_APP_INIT_NEXT when the view is ready).
    virtual void PostToFrame(uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
    // 1 while the live view must not follow new samples.
    virtual int GetAutoScrollSuspended() const = 0;
    // The same operation as the toolbar's auto-scroll buttons (flag and button swap).
    virtual void SetAutoScrollSuspended(int value) = 0;
};

}  // namespace kalvo
