#include "desktop/app/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>

#include "core/common/grid_base.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "desktop/app/commands.h"
#include "desktop/app/icons.h"
#include "desktop/app/message_boxes.h"
#include "desktop/archive/tree_wnd.h"
#include "desktop/archive/view_file.h"
#include "desktop/chart/kalvo_view.h"
#include "desktop/pages/desktop_host.h"
#include "desktop/pages/dlg_sn.h"
#include "desktop/pages/view_dev.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/qt_text.h"
#include "desktop/widgets/status_bar_widget.h"

#ifndef KALVO_VERSION
#define KALVO_VERSION "0"
#endif

namespace kalvo {
namespace {

constexpr int kTreeWidth = 200;  // pixels, at start-up

// The hourglass while a handler runs.
class BusyCursor {
  public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString FirstLine(const char16_t* text) {
    return ToQString(text).section(u'\n', 0, 0);
}

QString SecondLine(const char16_t* text) {
    return ToQString(text).section(u'\n', 1, 1);
}

}  // namespace

CMainFrame::CMainFrame(Program& program, Options options)
    : program_(program), options_(std::move(options)) {
    if (options_.tray) {
        tray_ = options_.tray;
    } else {
        own_tray_ = std::make_unique<SystemTrayIcon>();
        tray_ = own_tray_.get();
    }
    tray_->SetReceiver(this);
    setObjectName(QStringLiteral("MainFrame"));
    setWindowIcon(ProgramIcon());
    setContextMenuPolicy(Qt::NoContextMenu);
    SetMessageBoxOwner(this);

    CreateToolBar();
    status_bar_ = new CMPSBarWithProgressAndBMP(this);
    setStatusBar(status_bar_);

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->setObjectName(QStringLiteral("Splitter"));
    tree_pane_ = new QWidget(splitter_);
    tree_pane_->setObjectName(QStringLiteral("TreePane"));
    auto* tree_layout = new QVBoxLayout(tree_pane_);
    tree_layout->setContentsMargins(0, 0, 0, 0);
    tree_layout->setSpacing(0);
    auto* title = new QLabel(QStringLiteral("Tree"), tree_pane_);
    title->setObjectName(QStringLiteral("TreeTitle"));
    title->setContentsMargins(4, 2, 4, 2);
    title->setFrameShape(QFrame::StyledPanel);
    tree_layout->addWidget(title);
    tree_layout->addWidget(new QWidget(tree_pane_), 1);  // until the archive tree is set

    tabs_ = new QTabWidget(splitter_);
    tabs_->setObjectName(QStringLiteral("Tabs"));
    scenario_page_ = new CDlgSn(program_.Scenarios(), this);
    live_view_ = new CKalvoView(this);
    live_view_->setWindowTitle(QStringLiteral("Измерения"));
    device_page_ = new CViewDev(program_);
    host_ = std::make_unique<DesktopHost>(program_, *this, live_view_, device_page_);
    tabs_->addTab(device_page_, TabIcon(PageIcon::kDevice), device_page_->windowTitle());
    tabs_->addTab(scenario_page_, TabIcon(PageIcon::kScenario),
                  scenario_page_->windowTitle().isEmpty() ? QStringLiteral("Сценарий")
                                                          : scenario_page_->windowTitle());
    tabs_->addTab(live_view_, TabIcon(PageIcon::kLive), live_view_->windowTitle());
    splitter_->addWidget(tree_pane_);
    splitter_->addWidget(tabs_);
    splitter_->setStretchFactor(1, 1);
    setCentralWidget(splitter_);
    // Only stored days can be closed; the three pages stay.
    tabs_->setTabsClosable(true);
    for (int i = 0; i < tabs_->count(); ++i) {
        tabs_->tabBar()->setTabButton(i, QTabBar::LeftSide, nullptr);
        tabs_->tabBar()->setTabButton(i, QTabBar::RightSide, nullptr);
    }
    QObject::connect(tabs_, &QTabWidget::tabCloseRequested, [this](int index) {
        QWidget* page = tabs_->widget(index);
        if (page && page != device_page_ && page != scenario_page_ && page != live_view_)
            page->close();  // a stored day leaves its tab and deletes itself
    });
    QObject::connect(tabs_, &QTabWidget::currentChanged, [this](int) { UpdateToolBar(); });

    archive_tree_ = new CTreeWnd(this, program_.ArchiveRoot());
    SetTreeWidget(archive_tree_);
    open_day_ = [](CMainFrame& frame, const AppEvent& event) {
        if (!frame.archive_tree_) return;
        OpenDay(
            *frame.archive_tree_, event.LParam(), frame.status_bar_,
            [&frame](CViewFile* view, const QString& caption) { frame.AddDayPage(view, caption); });
    };

    // Both hidden until the engine is ready.
    ShowButton(kCmdStop, false);
    ShowButton(kCmdStart, false);
    UpdateToolBar();
    PostToFrame(WM_APP_INIT_VIEW, 0, 0);
}

CMainFrame::~CMainFrame() {
    if (tray_shown_) tray_->Remove();
    tray_->SetReceiver(nullptr);
}

void CMainFrame::CreateToolBar() {
    toolbar_ = new QToolBar(QStringLiteral("Toolbar"), this);
    toolbar_->setObjectName(QStringLiteral("ToolBar"));
    toolbar_->setIconSize(QSize(32, 32));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    for (const ToolButton& button : kToolButtons) {
        if (button.command == 0) {
            toolbar_->addSeparator();
            continue;
        }
        QAction* action = toolbar_->addAction(CommandIcon(button.command), QString());
        action->setData(button.command);
        if (button.text) {
            action->setText(SecondLine(button.text));
            action->setToolTip(SecondLine(button.text));
            action->setStatusTip(FirstLine(button.text));
        }
        const int command = button.command;
        QObject::connect(action, &QAction::triggered, [this, command] { OnCommand(command); });
        actions_[command] = action;
    }
    addToolBar(Qt::TopToolBarArea, toolbar_);
}

QAction* CMainFrame::Action(int command) const {
    const auto it = actions_.find(command);
    return it == actions_.end() ? nullptr : it->second;
}

void CMainFrame::ShowButton(int command, bool visible) {
    if (QAction* action = Action(command)) action->setVisible(visible);
}

std::unique_ptr<AppEvent> CMainFrame::InitViewWithStatusBar() const {
    return std::make_unique<AppEvent>(WM_APP_INIT_VIEW, 0, 0, static_cast<StatusBar*>(status_bar_));
}

// ---- messages ----

void CMainFrame::PostToFrame(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    PostAppEvent(this, message, wparam, lparam);
}

bool CMainFrame::event(QEvent* event) {
    if (AppEvent* e = AppEvent::From(event)) {
        OnAppEvent(*e);
        // The active tab may have changed under any of the program's messages.
        UpdateToolBar();
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::OnAppEvent(const AppEvent& event) {
    switch (event.Message()) {
        case WM_APP_INIT_VIEW:
            OnInitView();
            break;
        case WM_APP_INIT_NEXT:
            OnInitNext(event.LParam());
            break;
        case WM_APP_OPEN_DAY:
            if (open_day_) open_day_(*this, event);
            break;
        case WM_APP_ENGINE_READY:
            OnEngineReady(event.WParam());
            break;
        case WM_APP_TRAY:
            OnTray(event.LParam());
            break;
        case WM_CLOSE_REQUEST:
            OnClose(event.WParam());
            break;
        default:
            break;
    }
}

void CMainFrame::OnInitView() {
    splitter_->setSizes({kTreeWidth, std::max(1, width() - kTreeWidth)});
    setWindowTitle(QStringLiteral("Kalvo USB"));
    ShowButton(kCmdStop, false);
    ShowButton(kCmdStart, false);
    if (tree_)
        PostAppEvent(tree_, WM_APP_INIT_VIEW, 0, 0);
    else
        PostToFrame(WM_APP_INIT_NEXT, 0, kInitTreeDone);  // the empty pane has nothing to prepare
}

void CMainFrame::OnInitNext(intptr_t step) {
    switch (step) {
        case kInitTreeDone:
            PostAppEvent(live_view_, WM_APP_INIT_VIEW, 0, 0);
            break;
        case kInitLiveViewDone:
            PostAppEvent(scenario_page_, InitViewWithStatusBar());
            break;
        case kInitScenariosDone:
            PostAppEvent(host_.get(), InitViewWithStatusBar());
            break;
        default:
            break;  // kInitEngineStarted ends the chain
    }
}

void CMainFrame::OnEngineReady(uintptr_t start_up) {
    // The stored start-up options, unless a close has begun in the meantime.
    if (!close_requested_ && !closed_) {
        if (start_up & kFlagHideToTray) HideToTray();
        if (start_up & kFlagMeasureAtStart) StartCommand();
    }
    const Engine& engine = program_.GetEngine();
    if (!engine.HasWorker()) {
        ShowButton(kCmdStop, false);
        ShowButton(kCmdStart, false);
    } else if (engine.GetState() == Engine::State::kPaused) {
        ShowButton(kCmdStop, false);
        ShowButton(kCmdStart, true);
    } else if (engine.GetState() == Engine::State::kRunning) {
        ShowButton(kCmdStop, true);
        ShowButton(kCmdStart, false);
    }
    if (engine_ready_ && !closed_) engine_ready_(*this);
}

// ---- commands ----

void CMainFrame::OnCommand(int command) {
    switch (command) {
        case kCmdToggleTree:
            tree_pane_->setVisible(tree_pane_->isHidden());
            break;
        case kCmdStop:
            StopCommand();
            break;
        case kCmdStart:
            StartCommand();
            break;
        case kCmdColourBackground:
        case kCmdColourGrid:
            live_view_->OnCommand(command);
            break;
        case kCmdAutoScrollOff:
            SetAutoScrollSuspended(1);
            break;
        case kCmdAutoScrollOn:
            SetAutoScrollSuspended(0);
            break;
        case kCmdExport:
            if (QWidget* page = tabs_->currentWidget())
                PostAppEvent(page, WM_FORWARDMSG, kCmdExport, 0);
            break;
        case kCmdAbout:
            ShowAbout();
            break;
        default:
            break;
    }
}

void CMainFrame::StartCommand() {
    ShowButton(kCmdStop, true);
    ShowButton(kCmdStart, false);
    program_.StartMeasuring();
}

void CMainFrame::StopCommand() {
    ShowButton(kCmdStart, true);
    ShowButton(kCmdStop, false);
    program_.PauseMeasuring();
}

void CMainFrame::SetAutoScrollSuspended(int value) {
    auto_scroll_suspended_ = value != 0 ? 1 : 0;
    UpdateToolBar();
}

void CMainFrame::UpdateToolBar() {
    QWidget* page = tabs_->currentWidget();
    active_page_ = page;
    if (page == device_page_ || page == scenario_page_) {
        for (int c : {kCmdAutoScrollOff, kCmdAutoScrollOn, kCmdExport, kCmdColourBackground,
                      kCmdColourGrid})
            ShowButton(c, false);
    } else if (page == live_view_) {
        // The button that is shown always matches the flag, also after a visit to another tab.
        ShowButton(kCmdAutoScrollOff, auto_scroll_suspended_ == 0);
        ShowButton(kCmdAutoScrollOn, auto_scroll_suspended_ == 1);
        ShowButton(kCmdExport, false);
        ShowButton(kCmdColourBackground, true);
        ShowButton(kCmdColourGrid, true);
    } else {
        ShowButton(kCmdAutoScrollOff, false);
        ShowButton(kCmdAutoScrollOn, false);
        ShowButton(kCmdExport, true);
        ShowButton(kCmdColourBackground, false);
        ShowButton(kCmdColourGrid, false);
    }
}

void CMainFrame::ShowAbout() {
    ShowMessageBox(u"О программе", u"Kalvo USB\nВерсия " +
                                       FromQString(QStringLiteral(KALVO_VERSION)) +
                                       u"\n\nТермометры и терморегулятор на шине 1-Wire");
}

// ---- notification area ----

void CMainFrame::HideToTray() {
    if (!tray_shown_) {
        tray_tip_ = windowTitle().left(31);
        if (!tray_->Add(ProgramIcon(), tray_tip_)) return;  // no notification area: stay visible
        tray_shown_ = true;
    }
    hide();
}

void CMainFrame::HideMainWindow() {
    hide();
}

void CMainFrame::RestoreFromTray() {
    showNormal();
    raise();
    activateWindow();
    if (tray_shown_) tray_->Remove();
    tray_shown_ = false;
    tray_tip_.clear();
}

std::vector<TrayMenuItem> CMainFrame::TrayMenuFor(const GridBase* thermometers) {
    std::vector<TrayMenuItem> items;
    items.push_back({kCmdTrayTitle, QStringLiteral("Current temperature")});
    items.push_back({0, {}});
    const int rows = thermometers ? std::min(thermometers->RowCount(), kTrayMaxThermometers) : 0;
    for (int row = 0; row < rows; ++row) {
        const std::u16string temperature = thermometers->CellText(row, GridKalvo::kColTemperature);
        items.push_back({kCmdTrayFirstThermometer + row,
                         ToQString(thermometers->CellText(row, GridKalvo::kColName) + u" - " +
                                   (temperature.empty() ? u"нет данных" : temperature))});
    }
    items.push_back({0, {}});
    items.push_back({kCmdTrayFirstThermometer + rows, QStringLiteral("Exit program")});
    return items;
}

std::vector<TrayMenuItem> CMainFrame::TrayMenu() const {
    return TrayMenuFor(&program_.Thermometers());
}

void CMainFrame::OnTray(intptr_t mouse_message) {
    if (mouse_message == kTrayLeftDoubleClick) {
        RestoreFromTray();
        return;
    }
    if (mouse_message != kTrayRightButtonUp) return;
    const std::vector<TrayMenuItem> items = TrayMenu();
    const int chosen = tray_->RunMenu(items);
    if (chosen != 0 && chosen == items.back().command) {
        if (tray_shown_) tray_->Remove();
        tray_shown_ = false;
        tray_tip_.clear();
        PostToFrame(WM_CLOSE_REQUEST, 0, 0);
    }
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || closing_) return;
    // Into the notification area once the minimise has happened.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isMinimized() && !closing_) HideToTray();
        },
        Qt::QueuedConnection);
}

// ---- window rectangle (settings file) ----

QRect CMainFrame::MainWindowRect() const {
    return frameGeometry();
}

void CMainFrame::MoveMainWindow(const QRect& rect) {
    if (rect.width() <= 0 || rect.height() <= 0) return;
    // A rectangle stored on another screen layout must not leave the window out of reach: it
    // is kept within the screen it touches, or the primary one.
    QRect target = rect;
    QScreen* screen = QGuiApplication::screenAt(rect.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        target.setSize(target.size().boundedTo(area.size()));
        if (!area.contains(target)) {
            target.moveLeft(
                std::clamp(target.left(), area.left(), area.right() + 1 - target.width()));
            target.moveTop(
                std::clamp(target.top(), area.top(), area.bottom() + 1 - target.height()));
        }
    }
    const QSize decoration = frameGeometry().size() - size();
    move(target.topLeft());
    resize(std::max(target.width() - decoration.width(), minimumSizeHint().width()),
           std::max(target.height() - decoration.height(), minimumSizeHint().height()));
}

// ---- the archive's windows ----

void CMainFrame::SetTreeWidget(QWidget* tree) {
    auto* layout = static_cast<QVBoxLayout*>(tree_pane_->layout());
    const std::unique_ptr<QLayoutItem> old(layout->takeAt(1));
    if (old && old->widget()) old->widget()->deleteLater();
    if (tree_ == archive_tree_) archive_tree_ = nullptr;
    tree_ = tree;
    if (tree_) {
        tree_->setParent(tree_pane_);
        layout->addWidget(tree_, 1);
    } else {
        layout->addWidget(new QWidget(tree_pane_), 1);
    }
}

int CMainFrame::AddDayPage(QWidget* page, const QString& title) {
    const int index = tabs_->addTab(page, TabIcon(PageIcon::kStoredDay), title);
    tabs_->setCurrentIndex(index);
    return index;
}

// ---- closing ----

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    // The window's close button is a close request like any other.
    OnClose(0);
    if (closed_)
        event->accept();
    else
        event->ignore();
}

void CMainFrame::OnClose(uintptr_t wparam) {
    if (closed_) return;
    const BusyCursor busy;
    // With a worker, a request only asks it to stop and hides the window; the worker's own
    // close (wParam 1) shuts the engine down and closes.
    if ((wparam == 0 || wparam == 1) && !program_.GetEngine().OnClose(wparam)) {
        close_requested_ = true;
        return;
    }
    CloseNow();
}

void CMainFrame::OnEndSession(bool can_refuse) {
    if (can_refuse) return;
    OnClose(0);
}

void CMainFrame::CloseNow() {
    closing_ = true;
    if (tray_shown_) tray_->Remove();
    tray_shown_ = false;
    hide();
    closed_ = true;
    if (options_.quit_on_close) QCoreApplication::exit(exit_code_);
}

}  // namespace kalvo
