#include "desktop/pages/dlg_sn.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include <atomic>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/scenario/scenario_file.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/file_dialog.h"
#include "desktop/widgets/frame_link.h"
#include "desktop/widgets/property_grid.h"

namespace kalvo {
namespace {

std::atomic<CDlgSn*> g_instance{nullptr};

// The legend's swatches. The executed part is shown a little lighter here than in the cells.
struct Swatch {
    uint32_t colour;
    const char16_t* caption;
};
constexpr Swatch kLegend[] = {
    {Rgb(154, 205, 50), u"Сценарий"},
    {Rgb(238, 130, 238), u"Исполняемая часть сценария"},
    {Rgb(255, 23, 172), u"Исполненная часть сценария"},
    {Rgb(255, 255, 0), u"Задержка выполнения сценария"},
};

QLabel* SwatchLabel(uint32_t colour, QWidget* parent) {
    QPixmap pixmap(16, 8);
    pixmap.fill(QColor(RedOf(colour), GreenOf(colour), BlueOf(colour)));
    QPainter painter(&pixmap);
    painter.setPen(QColor(128, 128, 128));
    painter.drawRect(0, 0, pixmap.width() - 1, pixmap.height() - 1);
    painter.end();
    auto* label = new QLabel(parent);
    label->setPixmap(pixmap);
    label->setFixedSize(pixmap.size());
    return label;
}

QString Q(const char16_t* text) {
    return QString::fromUtf16(text);
}

}  // namespace

CDlgSn::CDlgSn(GridSn& grid, FrameLink* frame, QWidget* parent)
    : QWidget(parent), grid_(grid), frame_(frame) {
    setObjectName(QStringLiteral("ScenarioPage"));
    setWindowTitle(Q(u"Сценарий"));
    g_instance.store(this);

    view_ = new PropertyGrid(grid_, this);
    view_->setObjectName(QStringLiteral("ScenarioGrid"));
    // A delay or step that does not parse never reaches the table: the cell keeps the step that
    // runs now.
    view_->SetEditCheck(
        [this](int, int col, const std::u16string& typed) -> std::optional<std::u16string> {
            const std::optional<std::u16string> refusal = GridSn::RefusalOf(col, typed);
            if (status_bar_ && (refusal || refusal_shown_))
                status_bar_->SetPaneText(kPaneMain, refusal ? *refusal : u"");
            refusal_shown_ = refusal.has_value();
            if (refusal) return std::nullopt;
            return typed;
        });

    save_ = new QPushButton(QStringLiteral("Save Scenario"), this);
    load_ = new QPushButton(QStringLiteral("Load Scenario"), this);
    save_->setObjectName(QStringLiteral("SaveScenario"));
    load_->setObjectName(QStringLiteral("LoadScenario"));
    connect(save_, &QPushButton::clicked, this, [this] { SaveScenarios(); });
    connect(load_, &QPushButton::clicked, this, [this] { LoadScenarios(); });

    // Legend of the cell colours.
    auto* legend = new QVBoxLayout;
    legend->setSpacing(4);
    for (const Swatch& s : kLegend) {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        row->addWidget(SwatchLabel(s.colour, this), 0, Qt::AlignVCenter);
        row->addWidget(new QLabel(Q(s.caption), this), 0, Qt::AlignVCenter);
        row->addStretch(1);
        legend->addLayout(row);
    }

    // How a step is typed.
    auto* example = new QGroupBox(Q(u"Данные сценария"), this);
    auto* example_layout = new QVBoxLayout(example);
    example_layout->setSpacing(2);
    auto* sample = new QLabel(QStringLiteral("2:35:12;25/30"), example);
    auto* meaning = new QLabel(Q(u"Час:Мин:Сек;Тн/Тв"), example);
    sample->setAlignment(Qt::AlignHCenter);
    meaning->setAlignment(Qt::AlignHCenter);
    example_layout->addWidget(sample);
    example_layout->addWidget(meaning);
    auto* example_row = new QHBoxLayout;
    example_row->addWidget(example);
    example_row->addStretch(1);
    legend->addSpacing(8);
    legend->addLayout(example_row);

    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(10);
    buttons->addWidget(save_);
    buttons->addWidget(load_);
    buttons->addStretch(1);

    auto* bottom = new QHBoxLayout;
    bottom->addLayout(legend);
    bottom->addStretch(1);
    bottom->addLayout(buttons);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 12, 20, 12);
    page->setSpacing(12);
    page->addWidget(view_, 1);
    page->addLayout(bottom, 0);
}

CDlgSn::~CDlgSn() {
    CDlgSn* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

CDlgSn* CDlgSn::Instance() {
    return g_instance.load();
}

void CDlgSn::SetStatusBar(StatusBar* status_bar) {
    status_bar_ = status_bar;
    binding_.Set(status_bar);
}

namespace {

ScenarioFileChooser DialogFor(QWidget* owner, FileDialogOptions::Mode mode) {
    return [owner, mode](const std::string& folder) {
        FileDialogOptions options;
        options.mode = mode;
        options.filter = kScenarioFileFilter;
        options.pattern = kScenarioFilePattern;
        options.default_extension = kScenarioFileExtension;
        options.folder = folder;
        return ChooseFile(owner, options);
    };
}

}  // namespace

void CDlgSn::SaveScenarios() {
    std::string path;
    if (SaveScenariosWithDialog(grid_, DialogFor(window(), FileDialogOptions::Mode::kSave),
                                status_bar_, &path) &&
        file_used_)
        file_used_(path);
}

bool CDlgSn::LoadScenarios() {
    std::string path;
    const bool loaded =
        LoadScenariosWithDialog(grid_, DialogFor(window(), FileDialogOptions::Mode::kOpen),
                                status_bar_, load_failure_shown_, &path);
    load_failure_shown_ = !loaded;
    if (loaded && file_used_) file_used_(path);
    return loaded;
}

bool CDlgSn::event(QEvent* event) {
    if (AppEvent* e = AppEvent::From(event); e && e->Message() == WM_APP_INIT_VIEW) {
        StatusBar* const* status_bar = e->Payload<StatusBar*>();
        SetStatusBar(status_bar ? *status_bar : nullptr);
        if (frame_) frame_->PostToFrame(WM_APP_INIT_NEXT, 0, kInitScenariosDone);
        return true;
    }
    return QWidget::event(event);
}

}  // namespace kalvo
