// The main window without hardware: its parts, the start-up chain, the toolbar by active tab,
// the notification area, message boxes and close requests.
#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>

#include <fstream>
#include <thread>

#include "app/commands.h"
#include "app/main_frame.h"
#include "app/message_boxes.h"
#include "app/platform_signals.h"
#include "app_test_util.h"
#include "chart/kalvo_view.h"
#include "common/grid_base.h"
#include "common/messages.h"
#include "scenario/dlg_sn.h"
#include "ui/app_event.h"
#include "ui/status_bar_widget.h"

namespace kalvo {
namespace {

using namespace testing_app;

// A page or tree that remembers the program's messages it receives.
class RecordingWidget : public QWidget {
  public:
    std::vector<std::array<int64_t, 3>> events;  // message, wParam, lParam
    std::function<void(const AppEvent&)> on_event;

  protected:
    bool event(QEvent* e) override {
        if (AppEvent* a = AppEvent::From(e)) {
            events.push_back({int64_t(a->Message()), int64_t(a->WParam()), a->LParam()});
            if (on_event) on_event(*a);
            return true;
        }
        return QWidget::event(e);
    }
};

class FrameTest : public ::testing::Test {
  protected:
    void Open() {
        frame = std::make_unique<CMainFrame>(CMainFrame::Options{&tray, nullptr, false});
        frame->resize(800, 600);
        frame->show();
    }
    bool Visible(int command) { return frame->Action(command)->isVisible(); }
    void Select(QWidget* page) {
        frame->Tabs()->setCurrentWidget(page);
        Pump();
    }

    TempProgramFolder folder;
    FakeTray tray;
    std::unique_ptr<CMainFrame> frame;
};

TEST_F(FrameTest, WindowPartsAndTheStartUpChain) {
    Open();
    EXPECT_EQ(frame->menuWidget(), nullptr);  // no menu bar
    // The chain has not run yet: the window shows before anything is touched.
    EXPECT_NE(frame->windowTitle(), QStringLiteral("Kalvo USB"));
    EXPECT_FALSE(frame->LiveView()->HasTooltip());

    // Buttons in order, with the prompt in the status bar and the tooltip beside them.
    std::vector<int> order;
    for (QAction* a : frame->ToolBar()->actions())
        order.push_back(a->isSeparator() ? 0 : a->data().toInt());
    EXPECT_EQ(order,
              (std::vector<int>{32772, 106, 107, 0, 32774, 32775, 32858, 32857, 32859, 57664}));
    EXPECT_EQ(frame->ToolBar()->iconSize(), QSize(32, 32));
    EXPECT_EQ(frame->Action(106)->toolTip(), QStringLiteral("Остановка измерений"));
    EXPECT_EQ(frame->Action(106)->statusTip(), QStringLiteral("Measurement stop"));
    EXPECT_EQ(frame->Action(32859)->toolTip(), QStringLiteral("Данные для Exel"));
    EXPECT_EQ(frame->Action(57664)->toolTip(), QStringLiteral("About"));
    for (QAction* a : frame->ToolBar()->actions())
        if (!a->isSeparator()) {
            EXPECT_FALSE(a->icon().isNull()) << a->data().toInt();
        }
    EXPECT_FALSE(Visible(106));
    EXPECT_FALSE(Visible(107));

    // Tree on the left, tabs on the right in their order.
    auto* splitter = qobject_cast<QSplitter*>(frame->centralWidget());
    ASSERT_NE(splitter, nullptr);
    EXPECT_EQ(splitter->widget(0), frame->TreePane());
    EXPECT_EQ(frame->TreePane()->findChild<QLabel*>(QStringLiteral("TreeTitle"))->text(),
              QStringLiteral("Tree"));
    QTabWidget* tabs = frame->Tabs();
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->widget(0), frame->DevicePage());
    EXPECT_EQ(tabs->widget(1), frame->ScenarioPage());
    EXPECT_EQ(tabs->widget(2), frame->LiveView());
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Установки"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("Измерения"));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(tabs->tabIcon(i).isNull());
    EXPECT_EQ(frame->StatusBarWidget()->PaneText(0), u"Состояние");

    // Today's day file is there, empty.
    ASSERT_FALSE(frame->ArchiveRootPath().empty());
    EXPECT_EQ(frame->ArchiveRootPath(), (folder.path / "appdata").string());
    EXPECT_EQ(fs::file_size(frame->StartDayFile()), 0u);
    EXPECT_TRUE(folder.boxes.empty());

    // Posted steps: frame, (empty tree), live view, scenario page with the status bar.
    ASSERT_TRUE(PumpUntil([&] { return frame->ScenarioPage()->GetStatusBar() != nullptr; }));
    EXPECT_EQ(frame->windowTitle(), QStringLiteral("Kalvo USB"));
    EXPECT_TRUE(frame->LiveView()->HasTooltip());
    EXPECT_EQ(frame->ScenarioPage()->GetStatusBar(),
              static_cast<StatusBar*>(frame->StatusBarWidget()));
}

TEST_F(FrameTest, ATreeTakesItsPlaceInTheChain) {
    Open();
    auto* tree = new RecordingWidget;
    tree->on_event = [&](const AppEvent& e) {
        if (e.Message() == WM_APP_INIT_VIEW) frame->PostToFrame(WM_APP_INIT_NEXT, 0, 1);
    };
    frame->SetTreeWidget(tree);
    EXPECT_EQ(tree->parentWidget(), frame->TreePane());
    ASSERT_TRUE(PumpUntil([&] { return frame->ScenarioPage()->GetStatusBar() != nullptr; }));
    ASSERT_EQ(tree->events.size(), 1u);
    EXPECT_EQ(tree->events[0], (std::array<int64_t, 3>{WM_APP_INIT_VIEW, 0, 0}));
    EXPECT_TRUE(frame->LiveView()->HasTooltip());

    // Steps out of range do nothing.
    frame->PostToFrame(WM_APP_INIT_NEXT, 0, 7);
    frame->PostToFrame(WM_APP_INIT_NEXT, 0, 4);
    Pump();
    EXPECT_EQ(tree->events.size(), 1u);
}

TEST_F(FrameTest, ToolBarFollowsTheActiveTab) {
    Open();
    Pump();
    const std::vector<int> live_buttons{32858, 32857, 32859, 32774, 32775};
    for (int c : live_buttons) EXPECT_FALSE(Visible(c)) << c;  // device page first

    Select(frame->LiveView());
    EXPECT_TRUE(Visible(32858));
    EXPECT_FALSE(Visible(32857));
    EXPECT_FALSE(Visible(32859));
    EXPECT_TRUE(Visible(32774));
    EXPECT_TRUE(Visible(32775));

    // Suspending and resuming swap the two buttons and set the flag the view reads.
    frame->Action(32858)->trigger();
    EXPECT_EQ(frame->GetAutoScrollSuspended(), 1);
    EXPECT_FALSE(Visible(32858));
    EXPECT_TRUE(Visible(32857));
    // Away and back: the button still matches the flag.
    Select(frame->ScenarioPage());
    for (int c : live_buttons) EXPECT_FALSE(Visible(c)) << c;
    Select(frame->LiveView());
    EXPECT_FALSE(Visible(32858));
    EXPECT_TRUE(Visible(32857));
    frame->Action(32857)->trigger();
    EXPECT_EQ(frame->GetAutoScrollSuspended(), 0);
    EXPECT_TRUE(Visible(32858));
    EXPECT_FALSE(Visible(32857));
    // The live view's own scrolling goes through the same operation.
    frame->SetAutoScrollSuspended(1);
    EXPECT_TRUE(Visible(32857));
    frame->SetAutoScrollSuspended(0);

    // A stored day: export only; the command goes to that page.
    auto* day = new RecordingWidget;
    frame->AddDayPage(day, QStringLiteral("day7"));
    EXPECT_EQ(frame->Tabs()->currentWidget(), day);
    Pump();
    EXPECT_TRUE(Visible(32859));
    for (int c : {32858, 32857, 32774, 32775}) EXPECT_FALSE(Visible(c)) << c;
    frame->Action(32859)->trigger();
    Pump();
    ASSERT_EQ(day->events.size(), 1u);
    EXPECT_EQ(day->events[0], (std::array<int64_t, 3>{WM_FORWARDMSG, 32859, 0}));

    // The tree pane comes and goes.
    frame->Action(32772)->trigger();
    EXPECT_TRUE(frame->TreePane()->isHidden());
    frame->Action(32772)->trigger();
    EXPECT_FALSE(frame->TreePane()->isHidden());

    // About: name and version in a box.
    frame->Action(57664)->trigger();
    ASSERT_EQ(folder.boxes.size(), 1u);
    EXPECT_NE(folder.boxes[0].text.find(u"Kalvo USB"), std::u16string::npos);
}

TEST_F(FrameTest, NotificationAreaHidesRestoresAndListsTemperatures) {
    Open();
    ASSERT_TRUE(PumpUntil([&] { return frame->windowTitle() == QStringLiteral("Kalvo USB"); }));

    // Without a notification area the window stays.
    tray.accept = false;
    frame->HideToTray();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(frame->TrayShown());

    tray.accept = true;
    frame->showMinimized();
    ASSERT_TRUE(PumpUntil([&] { return !frame->isVisible(); }));
    EXPECT_TRUE(frame->TrayShown());
    EXPECT_TRUE(tray.has_icon);
    EXPECT_EQ(tray.tip, QStringLiteral("Kalvo USB"));

    tray.Send(kTrayLeftDoubleClick);
    ASSERT_TRUE(PumpUntil([&] { return frame->isVisible(); }));
    EXPECT_FALSE(frame->isMinimized());
    EXPECT_FALSE(frame->TrayShown());
    EXPECT_EQ(tray.removes, 1);

    // The tip holds at most 31 characters of the title.
    frame->setWindowTitle(QString(40, u'x'));
    frame->HideToTray();
    EXPECT_EQ(tray.tip, QString(31, u'x'));
    EXPECT_FALSE(frame->isVisible());

    // Right button: the menu, then "Exit program" closes.
    tray.choice = [](const std::vector<TrayMenuItem>& items) { return items.back().command; };
    tray.Send(kTrayRightButtonUp);
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    ASSERT_EQ(tray.menus.size(), 1u);
    EXPECT_EQ(tray.menus[0].back().text, QStringLiteral("Exit program"));
    EXPECT_FALSE(tray.shown);
}

TEST(TrayMenu, ListsAtMost32ThermometersThenExit) {
    GridBase grid;
    std::vector<GridColumn> columns(6);
    grid.SetColumns(columns);
    for (int i = 0; i < 40; ++i) {
        grid.AppendRow();
        grid.SetCellText(i, 2, u"T" + std::u16string(1, char16_t(u'A' + i % 26)));
        if (i != 1) grid.SetCellText(i, 3, u"  21,50");
    }
    std::vector<TrayMenuItem> items = CMainFrame::TrayMenuFor(&grid);
    ASSERT_EQ(items.size(), 2u + 32u + 2u);
    EXPECT_EQ(items[0].command, 32860);
    EXPECT_EQ(items[0].text, QStringLiteral("Current temperature"));
    EXPECT_EQ(items[1].command, 0);
    EXPECT_EQ(items[2].command, 32861);
    EXPECT_EQ(items[2].text, QStringLiteral("TA -   21,50"));
    EXPECT_EQ(items[3].text, QStringLiteral("TB - нет данных"));
    EXPECT_EQ(items[33].command, 32861 + 31);
    EXPECT_EQ(items[34].command, 0);
    EXPECT_EQ(items[35].command, 32893);
    EXPECT_EQ(items[35].text, QStringLiteral("Exit program"));

    items = CMainFrame::TrayMenuFor(nullptr);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[3].command, 32861);
}

TEST_F(FrameTest, ArchiveFolderThatCannotBeMadeIsReportedAndTheWindowGoesOn) {
    std::ofstream(folder.path / "appdata") << "not a folder";
    Open();
    ASSERT_EQ(folder.boxes.size(), 1u);
    EXPECT_EQ(folder.boxes[0].caption, u"Error");
    EXPECT_EQ(folder.boxes[0].text, u"Невозможно создать папку приложения appdata");
    EXPECT_TRUE(frame->ArchiveRootPath().empty());
    EXPECT_TRUE(frame->StartDayFile().empty());
    EXPECT_TRUE(PumpUntil([&] { return frame->LiveView()->HasTooltip(); }));
}

TEST_F(FrameTest, CloseRequestsWithoutAWorkerCloseAtOnce) {
    Open();
    Pump();
    EXPECT_TRUE(frame->close());  // the window's button is a request; with no worker it closes
    EXPECT_TRUE(frame->Closed());
    EXPECT_FALSE(frame->isVisible());
    frame->OnClose(0);  // later requests change nothing
    EXPECT_TRUE(frame->Closed());

    frame.reset();
    Open();
    frame->PostToFrame(WM_CLOSE_REQUEST, 5, 0);
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the hourglass is gone again

    // A session end that may be refused is refused.
    frame.reset();
    Open();
    frame->OnEndSession(true);
    EXPECT_FALSE(frame->Closed());
    frame->OnEndSession(false);
    EXPECT_TRUE(frame->Closed());
}

TEST(CloseSignalsTest, TermAndIntReachTheWindowThread) {
    int calls = 0;
    {
        CloseSignals close_signals([&] { ++calls; });
        ASSERT_TRUE(close_signals.Installed());
        raise(SIGTERM);
        ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
        raise(SIGINT);
        ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
    }
    // Afterwards the previous handling is back.
    struct sigaction old = {};
    sigaction(SIGTERM, nullptr, &old);
    EXPECT_EQ(old.sa_handler, SIG_DFL);
}

TEST(MessageBoxesTest, BoxesOfAnyThreadAreAnsweredByACloseRequest) {
    InstallMessageBoxes();
    // Answered as Escape would: OK, Cancel, No.
    int seen = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (OpenMessageBoxCount() > 0) {
            ++seen;
            AnswerOpenMessageBoxes();
        }
    });
    poll.start(5);
    EXPECT_EQ(ShowMessageBox(u"Error FT232R", u"Не найдены устройства FT232R"), BoxAnswer::kOk);
    EXPECT_EQ(ShowMessageBox(u"Q", u"?", BoxKind::kOkCancel), BoxAnswer::kCancel);
    EXPECT_EQ(ShowMessageBox(u"Q", u"?", BoxKind::kYesNo), BoxAnswer::kNo);

    // From another thread the box opens on the window thread while the caller waits.
    BoxAnswer answer = BoxAnswer::kYes;
    std::atomic<bool> done{false};
    std::thread other([&] {
        answer = ShowMessageBox(u"Error", u"from the start-up thread", BoxKind::kYesNo);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    other.join();
    EXPECT_EQ(answer, BoxAnswer::kNo);
    EXPECT_EQ(seen, 4);
    EXPECT_EQ(OpenMessageBoxCount(), 0);

    // Once the window thread stops taking events, other threads only write the line.
    StopMessageBoxes();
    std::thread late([&] { answer = ShowMessageBox(u"Error", u"late", BoxKind::kYesNo); });
    late.join();
    EXPECT_EQ(answer, BoxAnswer::kNo);
    SetMessageBoxHandler(nullptr);
}

}  // namespace
}  // namespace kalvo
