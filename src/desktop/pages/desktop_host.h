#pragma once
// The engine's host on the desktop. The engine's own messages come back to it here on the window
// thread; the frame's go to the frame, the samples to the live view, and the period and options
// show on the device page. It is attached to the program while it lives, so the object that
// owns it (the main frame) ends the engine's threads before the windows they report to.
#include <QObject>

#include <memory>

#include "core/engine/engine_host.h"
#include "core/engine/program.h"

namespace kalvo {

class CKalvoView;
class CViewDev;
class FrameLink;

class DesktopHost : public QObject, private EngineHost {
  public:
    // The frame, the live view and the device page must outlive the host; the live view and
    // the page may be null.
    DesktopHost(Program& program, FrameLink& frame, CKalvoView* live_view, CViewDev* page);
    ~DesktopHost() override;

  protected:
    // WM_APP_INIT_VIEW (the frame's chain, payload: the StatusBar* for the engine's texts and
    // marks) starts the engine and answers the frame; the engine's own messages go back to it.
    bool event(QEvent* event) override;

  private:
    class LiveLink;

    void Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) override;
    void ShowMessageBox(std::u16string_view caption, std::u16string_view text) override;
    void HideMainWindow() override;
    WindowRect MainWindowRect() const override;
    void MoveMainWindow(const WindowRect& rect) override;
    void ShowPeriodAndFlags(int period, uint16_t flags) override;

    Program& program_;
    FrameLink& frame_;
    CKalvoView* live_view_;
    CViewDev* page_;
    std::unique_ptr<LiveLink> live_link_;
    // Last, so it ends first: the engine's threads stop while everything above still stands.
    Program::Attachment attachment_;
};

}  // namespace kalvo
