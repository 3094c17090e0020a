#pragma once
// What the engine reports to: one host for its messages, boxes and the main window, and the live
// chart. The desktop implements both with DesktopHost (src/desktop/pages); a service without
// windows or a test implements them with stand-ins of its own. Attached through Program::Attach.
#include <cstdint>
#include <string_view>

#include "core/common/sample_record.h"
#include "core/engine/settings_peer.h"

namespace kalvo {

// Receivers of posted messages.
enum class PostTarget {
    // The engine's own messages (WM_APP_BRIDGE_SEARCHED, WM_APP_CYCLE):
    // the host hands them back to Engine::OnMessage on the window thread.
    kEngine,
    // The main frame: WM_APP_ENGINE_READY, WM_CLOSE_REQUEST.
    kFrame,
    // The live chart: WM_APP_SAMPLES.
    kLiveView,
};

class EngineHost {
  public:
    virtual ~EngineHost() = default;
    // Any thread: queue a message for the window thread.
    virtual void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) = 0;
    // Window thread, from here on.
    // An OK-only message box.
    virtual void ShowMessageBox(std::u16string_view caption, std::u16string_view text) = 0;
    // Hides the main window while the worker finishes before the close.
    virtual void HideMainWindow() = 0;
    virtual WindowRect MainWindowRect() const = 0;
    virtual void MoveMainWindow(const WindowRect& rect) = 0;
    // The period and the three option flags as the engine now holds them (after a load or a
    // rejected entry): the device page's edit and check boxes.
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
