#pragma once
// How the engine reaches the windows around it. The program implements these with the device
// page, the main frame and the live view; tests implement them with a message queue they pump.
#include <cstdint>
#include <string_view>

#include "core/common/sample_record.h"
#include "core/engine/settings_peer.h"

namespace kalvo {

// Receivers of posted messages.
enum class PostTarget { kPage, kFrame, kLiveView };

class EngineHost {
  public:
    virtual ~EngineHost() = default;
    // Any thread: queue a message for the window thread. Page messages come back to the
    // engine's handlers; frame messages go to the main frame's own handling.
    virtual void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
    // Window thread, from here on.
    // An OK-only message box owned by the page.
    virtual void ShowMessageBox(std::u16string_view caption, std::u16string_view text) = 0;
    // The frame's start command: buttons, scenario restart, then StartMeasuring(true).
    virtual void RunStartCommand() = 0;
    // Into the notification area (start-up option).
    virtual void HideToTray() = 0;
    // Hides the main window while the worker finishes before the close.
    virtual void HideMainWindow() = 0;
    virtual WindowRect MainWindowRect() const = 0;
    virtual void MoveMainWindow(const WindowRect& rect) = 0;
    // The page's period edit and its three check boxes.
    virtual void ShowPeriodAndFlags(int period, uint16_t flags) = 0;
};

// The live chart as the engine sees it.
class LiveView {
  public:
    virtual ~LiveView() = default;
    virtual void SetSeriesCount(int count) = 0;
    virtual void SetEngineReady(uint32_t ready) = 0;
    // Any thread: replaces the samples the next WM_APP_SAMPLES shows.
    virtual void ReplaceLiveSamples(const SampleList& samples) = 0;
    virtual uint32_t GetBackgroundColor() const = 0;  // COLORREF
    virtual void SetBackgroundColor(uint32_t colorref) = 0;
    virtual uint32_t GetGridColor() const = 0;
    virtual void SetGridColor(uint32_t colorref) = 0;
};

}  // namespace kalvo
