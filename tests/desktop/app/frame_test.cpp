// The main window in this process over the simulated bus: its parts and the start-up chain, the
// toolbar by active tab, start and stop, the notification area, the close protocol, message
// boxes and close signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidgetItem>

#include <array>
#include <atomic>
#include <fstream>
#include <thread>

#include "app_test_util.h"
#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/common/clock.h"
#include "core/common/grid_base.h"
#include "core/common/messages.h"
#include "desktop/app/commands.h"
#include "desktop/app/main_frame.h"
#include "desktop/app/message_boxes.h"
#include "desktop/app/platform_signals.h"
#include "desktop/archive/tree_wnd.h"
#include "desktop/archive/view_file.h"
#include "desktop/chart/kalvo_view.h"
#include "desktop/pages/dlg_sn.h"
#include "desktop/pages/view_dev.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/status_bar_widget.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

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
    FrameTest() { sim::SetActiveWorld(&world); }
    ~FrameTest() override {
        frame.reset();
        program.reset();
        sim::SetActiveWorld(nullptr);
    }
    // A bridge with two thermometers and a switch.
    void Devices() {
        const int bridge = world.AddBridge("KALVO001", "FT232R USB UART");
        sim::Thermal warm;
        warm.base_c = 21.5;
        world.AddDs18b20(bridge, 0x1001, warm);
        sim::Thermal cold;
        cold.base_c = -3.25;
        world.AddDs18b20(bridge, 0x1002, cold);
        world.AddDs2413(bridge, 0x2001);
    }
    // ms_per_second: real milliseconds of one engine second (the period is 2 engine seconds).
    // A program of its own for each window, made first and ended last, as the desktop does.
    void Open(int ms_per_second = 2) {
        frame.reset();
        program.reset();
        EngineOptions engine;
        engine.ms_per_second = ms_per_second;
        engine.bus_clock = &clock;
        engine.archive_root = PrepareProgramArchive();
        program = std::make_unique<Program>(sim::Api(), engine);
        frame = std::make_unique<CMainFrame>(*program, CMainFrame::Options{&tray, false});
        frame->resize(800, 600);
        frame->show();
    }
    // Opens the window and waits until the engine has told the frame it is ready.
    void OpenReady(int ms_per_second = 2) {
        Open(ms_per_second);
        ASSERT_TRUE(PumpUntil([&] { return Visible(kCmdStart) || Visible(kCmdStop); }));
    }
    bool Visible(int command) { return frame->Action(command)->isVisible(); }
    void Select(QWidget* page) {
        frame->Tabs()->setCurrentWidget(page);
        Pump();
    }
    Engine& TheEngine() { return frame->GetEngine(); }
    // Passes the live view has shown (two thermometers each).
    int LivePasses() { return frame->LiveView()->Chart().GetCount() / 2; }
    fs::path SettingsFile() { return folder.path / "appdata" / "setting.stg"; }
    SampleList DayRecords() {
        SampleList records;
        SHELL::CDataFile file;
        file.Read(frame->StartDayFile(), records);
        return records;
    }

    TempProgramFolder folder;
    ManualClock clock{1'000'000};
    sim::World world{clock};
    FakeTray tray;
    std::unique_ptr<Program> program;
    std::unique_ptr<CMainFrame> frame;
};

TEST_F(FrameTest, WindowPartsAndTheStartUpChain) {
    Devices();
    Open();
    EXPECT_EQ(frame->menuWidget(), nullptr);  // no menu bar
    // The chain has not run yet: the window shows before the hardware is touched.
    EXPECT_NE(frame->windowTitle(), QStringLiteral("Kalvo USB"));
    EXPECT_FALSE(frame->LiveView()->HasTooltip());
    EXPECT_EQ(TheEngine().Thermometers().RowCount(), 0);

    // Buttons in order, each with its picture; the prompt goes to the status bar's main pane.
    std::vector<int> order;
    for (QAction* a : frame->ToolBar()->actions()) {
        order.push_back(a->isSeparator() ? 0 : a->data().toInt());
        if (!a->isSeparator()) {
            EXPECT_FALSE(a->icon().isNull()) << order.back();
        }
    }
    EXPECT_EQ(order,
              (std::vector<int>{32772, 106, 107, 0, 32774, 32775, 32858, 32857, 32859, 57664}));
    EXPECT_EQ(frame->Action(106)->toolTip(), QStringLiteral("Остановка измерений"));
    frame->Action(106)->showStatusText(frame.get());
    EXPECT_EQ(frame->statusBar()->currentMessage(), QStringLiteral("Measurement stop"));
    frame->statusBar()->clearMessage();
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
    EXPECT_EQ(tabs->widget(0), static_cast<QWidget*>(frame->DevicePage()));
    EXPECT_EQ(tabs->widget(1), static_cast<QWidget*>(frame->ScenarioPage()));
    EXPECT_EQ(tabs->widget(2), static_cast<QWidget*>(frame->LiveView()));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("Измерения"));
    EXPECT_EQ(frame->StatusBarWidget()->PaneText(0), u"Состояние");

    // Today's day file is there, empty.
    EXPECT_EQ(frame->ArchiveRootPath(), (folder.path / "appdata").string());
    EXPECT_EQ(fs::file_size(frame->StartDayFile()), 0u);
    EXPECT_TRUE(folder.boxes.empty());

    // Frame, (empty) tree, live view, scenario page and device page in turn; the engine
    // ends it with the start button.
    ASSERT_TRUE(PumpUntil([&] { return Visible(kCmdStart); }));
    EXPECT_FALSE(Visible(kCmdStop));
    EXPECT_EQ(frame->windowTitle(), QStringLiteral("Kalvo USB"));
    EXPECT_TRUE(frame->LiveView()->HasTooltip());
    EXPECT_EQ(frame->ScenarioPage()->GetStatusBar(),
              static_cast<StatusBar*>(frame->StatusBarWidget()));
    EXPECT_EQ(TheEngine().Thermometers().RowCount(), 2);
    EXPECT_EQ(TheEngine().GetState(), Engine::State::kPaused);
    // No settings file yet: its status text is the last word of the start-up.
    EXPECT_EQ(frame->StatusBarWidget()->PaneText(0),
              u"No settings file yet, the default settings are in use");
}

TEST_F(FrameTest, ATreeTakesItsPlaceInTheChain) {
    Devices();
    Open();
    auto* tree = new RecordingWidget;
    tree->on_event = [&](const AppEvent& e) {
        if (e.Message() == WM_APP_INIT_VIEW) frame->PostToFrame(WM_APP_INIT_NEXT, 0, 1);
    };
    frame->SetTreeWidget(tree);
    EXPECT_EQ(tree->parentWidget(), frame->TreePane());
    ASSERT_TRUE(PumpUntil([&] { return Visible(kCmdStart); }));
    ASSERT_EQ(tree->events.size(), 1u);
    EXPECT_EQ(tree->events[0], (std::array<int64_t, 3>{WM_APP_INIT_VIEW, 0, 0}));

    // Steps out of range do nothing; a tree that never answers stops the chain before the
    // live view.
    frame->PostToFrame(WM_APP_INIT_NEXT, 0, 7);
    frame->PostToFrame(WM_APP_INIT_NEXT, 0, 4);
    Pump();
    EXPECT_EQ(tree->events.size(), 1u);
    frame.reset();
    Open();
    frame->SetTreeWidget(new RecordingWidget);
    Pump();
    EXPECT_FALSE(frame->LiveView()->HasTooltip());
}

TEST_F(FrameTest, ToolBarFollowsTheActiveTab) {
    Devices();
    OpenReady();
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
    // Away and back: the button shown still matches the flag.
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

    // A stored day: export only, and the command goes to that page.
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

TEST_F(FrameTest, StoredDayOpensFromTheTreeInATabOfItsOwn) {
    Devices();
    SampleList day;
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = 0; i < 2; ++i) {
            SampleRecord r;
            r.rom = 0x28 + (uint64_t(i + 1) << 8);
            r.name = i ? u"Улица" : u"Комната";
            r.temperature = 20.0 + i + pass;
            r.time = NowSeconds() - 60 + pass * 2;
            r.colour = i ? 0xFF0000FF : 0xFFFF0000;
            r.valid = 1;
            day.push_back(r);
        }
    }
    ASSERT_TRUE(WriteDayFile(day, (folder.path / "appdata").string(), 2));
    OpenReady();
    CTreeWnd* tree = frame->ArchiveTree();
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->parentWidget(), frame->TreePane());
    EXPECT_EQ(tree->ArchiveRoot(), frame->ArchiveRootPath());
    // Year, month, day: the tree fills a level when it opens.
    QTreeWidgetItem* item = tree->invisibleRootItem();
    for (int level = 0; level < 3; ++level) {
        ASSERT_TRUE(PumpUntil([&] { return item->childCount() > 0; })) << level;
        item = item->child(0);
        tree->expandItem(item);
    }
    Pump();
    const QPoint at = tree->visualItemRect(item).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
    ASSERT_TRUE(PumpUntil([&] { return frame->Tabs()->count() == 4; }));

    auto* view = dynamic_cast<CViewFile*>(frame->Tabs()->currentWidget());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->Path(), frame->StartDayFile());
    ASSERT_TRUE(PumpUntil([&] { return view->Chart().GetCount() == 6; }));
    EXPECT_TRUE(Visible(kCmdExport));
    EXPECT_FALSE(Visible(kCmdColourBackground));
    // Only the stored day has a close button; it leaves its tab.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(frame->Tabs()->tabBar()->tabButton(i, QTabBar::RightSide), nullptr) << i;
    }
    EXPECT_NE(frame->Tabs()->tabBar()->tabButton(3, QTabBar::RightSide), nullptr);
    emit frame->Tabs()->tabCloseRequested(0);
    emit frame->Tabs()->tabCloseRequested(3);
    ASSERT_TRUE(PumpUntil([&] { return frame->Tabs()->count() == 3; }));
    EXPECT_EQ(frame->Tabs()->widget(0), static_cast<QWidget*>(frame->DevicePage()));
}

TEST_F(FrameTest, StartAndStopDriveTheWorker) {
    Devices();
    OpenReady();
    frame->Action(kCmdStart)->trigger();
    EXPECT_TRUE(Visible(kCmdStop));
    EXPECT_FALSE(Visible(kCmdStart));
    EXPECT_EQ(TheEngine().GetState(), Engine::State::kRunning);
    ASSERT_TRUE(PumpUntil([&] { return LivePasses() >= 2; }));
    EXPECT_EQ(frame->LiveView()->Chart().GetSamples().back().valid, 1u);
    // The temperatures reach the table, and so the notification menu.
    const std::vector<TrayMenuItem> menu = frame->TrayMenu();
    ASSERT_EQ(menu.size(), 6u);
    const QString both = menu[2].text + u'|' + menu[3].text;
    EXPECT_TRUE(both.contains(QStringLiteral(" -   21,50"))) << both.toStdString();
    EXPECT_TRUE(both.contains(QStringLiteral(" -   -3,25"))) << both.toStdString();
    EXPECT_EQ(menu[5].command, 32863);

    frame->Action(kCmdStop)->trigger();
    EXPECT_FALSE(Visible(kCmdStop));
    EXPECT_TRUE(Visible(kCmdStart));
    EXPECT_EQ(TheEngine().GetState(), Engine::State::kPaused);
    // The engine's ready message shows the button that fits the worker's state.
    frame->Action(kCmdStart)->trigger();
    frame->PostToFrame(WM_APP_ENGINE_READY, 0, 0);
    Pump();
    EXPECT_TRUE(Visible(kCmdStop));
    EXPECT_FALSE(Visible(kCmdStart));
}

TEST_F(FrameTest, NotificationAreaHidesRestoresAndEndsTheProgram) {
    Devices();
    OpenReady();

    // Without a notification area the window stays.
    tray.accept = false;
    frame->HideToTray();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_FALSE(frame->TrayShown());

    // Minimising hides the window and shows the icon; a double click brings it back.
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

    // Right button: the thermometers without readings yet, and "Exit program" ends it all.
    tray.choice = [](const std::vector<TrayMenuItem>& items) { return items.back().command; };
    tray.Send(kTrayRightButtonUp);
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    ASSERT_EQ(tray.menus.size(), 1u);
    const std::vector<TrayMenuItem>& menu = tray.menus[0];
    ASSERT_EQ(menu.size(), 6u);
    EXPECT_TRUE(menu[2].text.endsWith(QStringLiteral(" - нет данных")));
    EXPECT_EQ(menu[5].text, QStringLiteral("Exit program"));
    EXPECT_FALSE(tray.shown);
    // Any other item does nothing.
    frame.reset();
    OpenReady();
    tray.choice = [](const std::vector<TrayMenuItem>& items) { return items[2].command; };
    tray.Send(kTrayRightButtonUp);
    Pump();
    EXPECT_FALSE(frame->Closed());
}

TEST(TrayMenu, ListsAtMost32ThermometersThenExit) {
    GridBase grid;
    grid.SetColumns(std::vector<GridColumn>(6));
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

TEST_F(FrameTest, StoredOptionsHideTheWindowAndStartMeasuring) {
    Devices();
    OpenReady();
    frame->DevicePage()->MeasureAtStartBox()->click();
    frame->DevicePage()->HideToTrayBox()->click();
    frame->close();
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    ASSERT_TRUE(fs::exists(SettingsFile()));

    frame.reset();
    OpenReady();
    EXPECT_TRUE(Visible(kCmdStop));
    EXPECT_FALSE(Visible(kCmdStart));
    EXPECT_EQ(TheEngine().GetState(), Engine::State::kRunning);
    EXPECT_TRUE(frame->TrayShown());
    EXPECT_FALSE(frame->isVisible());

    // The same options without a notification area: measuring, window in sight.
    frame->close();
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    frame.reset();
    tray.accept = false;
    OpenReady();
    EXPECT_EQ(TheEngine().GetState(), Engine::State::kRunning);
    EXPECT_TRUE(frame->isVisible());
}

// The stored options are applied when the engine's ready message is handled; a close asked for
// before that must not be followed by a hide into the notification area.
TEST_F(FrameTest, ACloseBeforeTheReadyMessageKeepsTheStoredOptionsBack) {
    Devices();
    OpenReady();
    frame->PostToFrame(WM_CLOSE_REQUEST, 0, 0);
    frame->PostToFrame(WM_APP_ENGINE_READY, kFlagHideToTray | kFlagMeasureAtStart, 0);
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_EQ(tray.adds, 0);
    EXPECT_FALSE(frame->TrayShown());
}

TEST_F(FrameTest, StoredRectangleKeepsTheWindowWithinReach) {
    Devices();
    Open();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize size = frame->minimumSizeHint() + QSize(4, 4);
    frame->MoveMainWindow(QRect(screen.topLeft() + QPoint(10, 6), size));
    EXPECT_EQ(frame->MainWindowRect(), QRect(screen.topLeft() + QPoint(10, 6), size));
    // From a larger or vanished screen: moved and cut back onto this one.
    frame->MoveMainWindow(QRect(screen.bottomRight() + QPoint(5000, 3000), size));
    EXPECT_TRUE(screen.contains(frame->MainWindowRect()));
    EXPECT_EQ(frame->MainWindowRect().size(), size);
    frame->MoveMainWindow(QRect(-40000, -40000, 90000, 90000));
    EXPECT_EQ(frame->MainWindowRect(), screen);
    // An empty rectangle changes nothing.
    frame->MoveMainWindow(QRect(0, 0, 0, 0));
    EXPECT_EQ(frame->MainWindowRect(), screen);
}

TEST_F(FrameTest, ArchiveFolderThatCannotBeMadeIsReportedAndTheWindowGoesOn) {
    Devices();
    std::ofstream(folder.path / "appdata") << "not a folder";
    Open();
    ASSERT_EQ(folder.boxes.size(), 1u);
    EXPECT_EQ(folder.boxes[0].caption, u"Error");
    EXPECT_EQ(folder.boxes[0].text, u"Невозможно создать папку приложения appdata");
    EXPECT_TRUE(frame->ArchiveRootPath().empty());
    EXPECT_TRUE(frame->StartDayFile().empty());
    ASSERT_TRUE(PumpUntil([&] { return Visible(kCmdStart); }));
    // Without an archive nothing is recorded or saved, and closing still works.
    frame->Action(kCmdStart)->trigger();
    ASSERT_TRUE(PumpUntil([&] { return LivePasses() >= 1; }));
    frame->close();
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_TRUE(fs::is_regular_file(folder.path / "appdata"));
}

TEST_F(FrameTest, CloseWhileMeasuringHidesAndEndsAfterTheCycle) {
    Devices();
    OpenReady(20);
    frame->Action(kCmdStart)->trigger();
    ASSERT_TRUE(PumpUntil([&] { return LivePasses() >= 3; }));

    // The window's close button: hidden at once, closed once the worker has ended.
    EXPECT_FALSE(frame->close());
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(frame->Closed());
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_EQ(TheEngine().GetState(), Engine::State::kStopped);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the hourglass is gone again

    // Settings saved, and every pass measured is in today's file, whole.
    EXPECT_TRUE(fs::exists(SettingsFile()));
    const SampleList records = DayRecords();
    ASSERT_GE(records.size(), 6u);
    EXPECT_EQ(records.size() % 2, 0u);
    for (size_t i = 0; i < records.size(); i += 2) {
        EXPECT_EQ(records[i].time, records[i + 1].time);
        const auto [low, high] = std::minmax(records[i].temperature, records[i + 1].temperature);
        EXPECT_DOUBLE_EQ(low, -3.25);
        EXPECT_DOUBLE_EQ(high, 21.5);
    }
    // The live view may skip a batch when the window thread lags; the file never does.
    EXPECT_GE(records.size(), size_t(frame->LiveView()->Chart().GetCount()));
}

TEST_F(FrameTest, CloseWhilePausedRunsTheCycleThatWasDue) {
    Devices();
    OpenReady(100);  // a period of 200 ms
    frame->Action(kCmdStart)->trigger();
    ASSERT_TRUE(PumpUntil([&] { return LivePasses() >= 2; }));
    frame->Action(kCmdStop)->trigger();
    // Let a period pass while paused: the timer keeps running.
    QElapsedTimer pause;
    pause.start();
    PumpUntil([&] { return pause.elapsed() > 500; }, 1000);
    const int passes = LivePasses();

    frame->PostToFrame(WM_CLOSE_REQUEST, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_EQ(LivePasses(), passes + 1);
    EXPECT_EQ(DayRecords().size(), size_t(2 * (passes + 1)));
}

TEST_F(FrameTest, CloseRequestsWithoutAWorker) {
    // No bridge: the box, answered, and the program ends by itself.
    Open();
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    ASSERT_EQ(folder.boxes.size(), 1u);
    EXPECT_EQ(folder.boxes[0].caption, u"Error FT232R");
    EXPECT_EQ(folder.boxes[0].text, u"Не найдены устройства FT232R, приложение будет закрыто.");
    EXPECT_FALSE(TheEngine().HasWorker());
    EXPECT_FALSE(fs::exists(SettingsFile()));

    // A bridge with an empty bus.
    frame.reset();
    world.AddBridge("KALVO001", "FT232R USB UART");
    Open();
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_EQ(folder.boxes.back().caption, u"Error 1-wire");

    // Before the engine has a worker, any request closes at once; a session end that may be
    // refused is refused.
    frame.reset();
    Open();
    frame->OnEndSession(true);
    EXPECT_FALSE(frame->Closed());
    frame->OnEndSession(false);
    EXPECT_TRUE(frame->Closed());
    frame.reset();
    Open();
    frame->PostToFrame(WM_CLOSE_REQUEST, 5, 0);
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
}

TEST_F(FrameTest, OnlySwitchesStayOpenAndSaveNothing) {
    world.AddDs2413(world.AddBridge("KALVO001", "FT232R USB UART"), 0x2001);
    Open();
    ASSERT_TRUE(PumpUntil([&] {
        return frame->StatusBarWidget()->PaneText(0) ==
               u"Thermometers have not been found, the application can not be used";
    }));
    Pump();
    EXPECT_FALSE(Visible(kCmdStart));
    EXPECT_FALSE(Visible(kCmdStop));
    EXPECT_FALSE(frame->Closed());
    frame->close();
    ASSERT_TRUE(PumpUntil([&] { return frame->Closed(); }));
    EXPECT_FALSE(fs::exists(SettingsFile()));
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
