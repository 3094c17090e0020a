#include "desktop/pages/desktop_host.h"

#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "desktop/chart/kalvo_view.h"
#include "desktop/pages/view_dev.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/frame_link.h"

namespace kalvo {

// The live chart as the engine sees it.
class DesktopHost::LiveLink : public LiveView {
  public:
    explicit LiveLink(CKalvoView& view) : view_(view) {}
    void SetSeriesCount(int count) override { view_.SetSeriesCount(count); }
    void SetEngineReady(uint32_t ready) override { view_.SetEngineReady(ready); }
    void ReplaceLiveSamples(const SampleList& samples) override {
        view_.ReplaceLiveSamples(samples);
    }
    uint32_t GetBackgroundColor() const override { return view_.GetBackgroundColor(); }
    void SetBackgroundColor(uint32_t colorref) override { view_.SetBackgroundColor(colorref); }
    uint32_t GetGridColor() const override { return view_.GetGridColor(); }
    void SetGridColor(uint32_t colorref) override { view_.SetGridColor(colorref); }

  private:
    CKalvoView& view_;
};

DesktopHost::DesktopHost(Program& program, FrameLink& frame, CKalvoView* live_view, CViewDev* page)
    : program_(program),
      frame_(frame),
      live_view_(live_view),
      page_(page),
      live_link_(live_view ? std::make_unique<LiveLink>(*live_view) : nullptr),
      attachment_(program.Attach(*this, live_link_.get())) {}

DesktopHost::~DesktopHost() = default;

bool DesktopHost::event(QEvent* event) {
    AppEvent* e = AppEvent::From(event);
    if (!e) return QObject::event(event);
    if (e->Message() == WM_APP_INIT_VIEW) {
        StatusBar* const* status_bar = e->Payload<StatusBar*>();
        if (page_) page_->SetStatusBar(status_bar ? *status_bar : nullptr);
        program_.GetEngine().OnInitView(status_bar ? *status_bar : nullptr);
        frame_.PostToFrame(WM_APP_INIT_NEXT, 0, kInitEngineStarted);
        return true;
    }
    return program_.GetEngine().OnMessage(e->Message(), e->WParam());
}

void DesktopHost::Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    switch (target) {
        case PostTarget::kEngine:
            PostAppEvent(this, message, wparam, lparam);
            break;
        case PostTarget::kFrame:
            frame_.PostToFrame(message, wparam, lparam);
            break;
        case PostTarget::kLiveView:
            PostAppEvent(live_view_, message, wparam, lparam);
            break;
    }
}

void DesktopHost::ShowMessageBox(std::u16string_view caption, std::u16string_view text) {
    kalvo::ShowMessageBox(caption, text, BoxKind::kOk);
}

void DesktopHost::HideMainWindow() {
    frame_.HideMainWindow();
}

WindowRect DesktopHost::MainWindowRect() const {
    const QRect r = frame_.MainWindowRect();
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void DesktopHost::MoveMainWindow(const WindowRect& rect) {
    frame_.MoveMainWindow(
        QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top));
}

void DesktopHost::ShowPeriodAndFlags(int period, uint16_t flags) {
    if (page_) page_->ShowPeriodAndFlags(period, flags);
}

}  // namespace kalvo
