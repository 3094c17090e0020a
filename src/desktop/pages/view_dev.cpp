#include "desktop/pages/view_dev.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "desktop/chart/kalvo_view.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/channel_diagram.h"
#include "desktop/widgets/frame_link.h"
#include "desktop/widgets/property_grid.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {

// The live chart as the engine sees it; without a live view the calls do nothing.
class CViewDev::LiveLink : public LiveView {
  public:
    explicit LiveLink(CKalvoView* view) : view_(view) {}
    void SetSeriesCount(int count) override {
        if (view_) view_->SetSeriesCount(count);
    }
    void SetEngineReady(uint32_t ready) override {
        if (view_) view_->SetEngineReady(ready);
    }
    void ReplaceLiveSamples(const SampleList& samples) override {
        if (view_) view_->ReplaceLiveSamples(samples);
    }
    uint32_t GetBackgroundColor() const override {
        return view_ ? view_->GetBackgroundColor() : background_;
    }
    void SetBackgroundColor(uint32_t colorref) override {
        if (view_) view_->SetBackgroundColor(colorref);
        background_ = colorref;
    }
    uint32_t GetGridColor() const override { return view_ ? view_->GetGridColor() : grid_; }
    void SetGridColor(uint32_t colorref) override {
        if (view_) view_->SetGridColor(colorref);
        grid_ = colorref;
    }

  private:
    CKalvoView* view_;
    uint32_t background_ = Rgb(255, 255, 255);
    uint32_t grid_ = Rgb(192, 192, 192);
};

CViewDev::CViewDev(const D2xxApi& api, FrameLink* frame, CKalvoView* live_view, GridSn* scenarios,
                   EngineOptions options, QWidget* parent)
    : QWidget(parent),
      frame_(frame),
      live_view_(live_view),
      live_link_(std::make_unique<LiveLink>(live_view)) {
    setObjectName(QStringLiteral("DevicePage"));
    setWindowTitle(QStringLiteral("Установки"));
    engine_ = std::make_unique<Engine>(api, static_cast<EngineHost&>(*this), *live_link_, scenarios,
                                       std::move(options));
    BuildLayout();
    ShowPeriodAndFlags(engine_->Period(), engine_->Flags());
}

CViewDev::~CViewDev() {
    // The views read the engine's tables: they go first. The engine then stops its threads
    // while this object can still receive their last posts.
    delete thermometer_view_;
    delete switch_view_;
    thermometer_view_ = switch_view_ = nullptr;
    engine_.reset();
}

void CViewDev::BuildLayout() {
    // Measurement options: three check boxes, the period beside the first one.
    options_box_ = new QGroupBox(QStringLiteral("Параметры измерений"), this);
    write_file_ = new QCheckBox(QStringLiteral("Запись файла данных"), options_box_);
    measure_at_start_ = new QCheckBox(QStringLiteral("Измерять со старта"), options_box_);
    hide_to_tray_ = new QCheckBox(QStringLiteral("Прятать в трей на старте"), options_box_);
    period_ = new QLineEdit(options_box_);
    period_->setObjectName(QStringLiteral("Period"));
    period_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), period_));
    period_->setMaxLength(5);
    period_->setAlignment(Qt::AlignRight);
    period_->setFixedWidth(period_->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 14);
    period_->installEventFilter(this);

    struct Option {
        QCheckBox* box;
        uint16_t flag;
    };
    for (const Option& o :
         {Option{write_file_, kFlagWriteDataFile}, Option{measure_at_start_, kFlagMeasureAtStart},
          Option{hide_to_tray_, kFlagHideToTray}}) {
        connect(o.box, &QCheckBox::clicked, this,
                [this, flag = o.flag](bool checked) { engine_->SetOption(flag, checked); });
    }

    auto* box_layout = new QGridLayout(options_box_);
    box_layout->setHorizontalSpacing(10);
    box_layout->setVerticalSpacing(4);
    box_layout->addWidget(write_file_, 0, 0);
    box_layout->addWidget(measure_at_start_, 1, 0);
    box_layout->addWidget(hide_to_tray_, 2, 0);
    box_layout->addWidget(period_, 0, 1);
    box_layout->addWidget(new QLabel(QStringLiteral("Период в сек."), options_box_), 0, 2);
    box_layout->setColumnStretch(3, 1);

    thermometer_view_ = new PropertyGrid(engine_->Thermometers(), this);
    thermometer_view_->setObjectName(QStringLiteral("ThermometerGrid"));
    thermometer_view_->SetListBackground(kThermometerListColour);
    switch_view_ = new PropertyGrid(engine_->Switches(), this);
    switch_view_->setObjectName(QStringLiteral("SwitchGrid"));
    switch_view_->SetListBackground(kSwitchListColour);

    heater_ = new ChannelDiagram(ChannelDiagram::Kind::kHeater, this);
    cooler_ = new ChannelDiagram(ChannelDiagram::Kind::kCooler, this);

    auto* top = new QHBoxLayout;
    top->addWidget(options_box_);
    top->addStretch(1);

    auto* diagrams = new QHBoxLayout;
    diagrams->setSpacing(28);
    diagrams->addWidget(heater_);
    diagrams->addWidget(cooler_);
    diagrams->addStretch(1);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(12, 10, 12, 10);
    page->setSpacing(6);
    page->addLayout(top);
    page->addSpacing(4);
    page->addWidget(thermometer_view_, 1);
    page->addWidget(switch_view_, 1);
    page->addSpacing(10);
    page->addLayout(diagrams);
}

bool CViewDev::event(QEvent* event) {
    if (AppEvent* e = AppEvent::From(event)) {
        switch (e->Message()) {
            case WM_APP_INIT_VIEW:
                engine_->OnInitView(reinterpret_cast<StatusBar*>(e->LParam()));
                return true;
            case WM_APP_BRIDGE_SEARCHED:
                engine_->OnBridgeSearched(e->WParam());
                return true;
            case WM_APP_CYCLE:
                engine_->OnCycle(e->WParam());
                return true;
            case WM_APP_WRITE_BATCH:
                engine_->OnWriteBatch();
                return true;
            default:
                break;
        }
    }
    return QWidget::event(event);
}

bool CViewDev::eventFilter(QObject* watched, QEvent* event) {
    if (watched == period_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            engine_->OnPeriodEntered(FromQString(period_->text()));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---- EngineHost ----

void CViewDev::Post(PostTarget target, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    switch (target) {
        case PostTarget::kPage:
            PostAppEvent(this, message, wparam, lparam);
            break;
        case PostTarget::kFrame:
            if (frame_) frame_->PostToFrame(message, wparam, lparam);
            break;
        case PostTarget::kLiveView:
            PostAppEvent(live_view_, message, wparam, lparam);
            break;
    }
}

void CViewDev::ShowMessageBox(std::u16string_view caption, std::u16string_view text) {
    kalvo::ShowMessageBox(caption, text, BoxKind::kOk);
}

void CViewDev::RunStartCommand() {
    if (frame_) frame_->StartCommand();
}

void CViewDev::HideToTray() {
    if (frame_) frame_->HideToTray();
}

void CViewDev::HideMainWindow() {
    if (frame_) frame_->HideMainWindow();
}

WindowRect CViewDev::MainWindowRect() const {
    if (!frame_) return {};
    const QRect r = frame_->MainWindowRect();
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void CViewDev::MoveMainWindow(const WindowRect& rect) {
    if (frame_)
        frame_->MoveMainWindow(
            QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top));
}

void CViewDev::ShowPeriodAndFlags(int period, uint16_t flags) {
    if (!period_) return;  // the engine is still being built; the page reads it afterwards
    period_->setText(ToQString(ToU16(period)));
    // setChecked does not click: the engine is not told back what it just said.
    write_file_->setChecked(flags & kFlagWriteDataFile);
    measure_at_start_->setChecked(flags & kFlagMeasureAtStart);
    hide_to_tray_->setChecked(flags & kFlagHideToTray);
}

}  // namespace kalvo
