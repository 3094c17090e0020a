// The device page over the simulated bus: layout and initial values, start-up through the
// engine's host on the desktop, the options and the period driving the engine, the period and
// threshold editors showing what runs, table edits through the editors reaching the engine's
// samples, the cycle marks, the channel drawings, and the rules dialog saving into kalvo.ini.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "core/common/clock.h"
#include "core/common/colour.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/config/kalvo_ini.h"
#include "core/config/rules_ini.h"
#include "core/connect/connections.h"
#include "core/engine/program.h"
#include "desktop/chart/kalvo_view.h"
#include "desktop/chart/live_view_host.h"
#include "desktop/pages/desktop_host.h"
#include "desktop/pages/dlg_rules.h"
#include "desktop/pages/view_dev.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/channel_diagram.h"
#include "desktop/widgets/colour_dialog.h"
#include "desktop/widgets/ui_test_util.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using namespace testing_ui;

constexpr int kPaneCycleBegun = 3;
constexpr int kPaneCycleEnded = 4;

class QuietLiveHost : public LiveViewHost {
  public:
    void PostToFrame(uint32_t, uintptr_t, intptr_t) override {}
    int GetAutoScrollSuspended() const override { return 0; }
    void SetAutoScrollSuspended(int) override {}
};

class DevicePageTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kalvo_dev_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        sim::SetActiveWorld(&world);
        SetMessageBoxHandler(
            [this](std::u16string_view caption, std::u16string_view text, BoxKind) {
                boxes.push_back(std::u16string(caption) + u": " + std::u16string(text));
                return BoxAnswer::kOk;
            });
        live = std::make_unique<CKalvoView>(&live_host);
        PostAppEvent(live.get(), WM_APP_INIT_VIEW);
        Pump();
    }
    void TearDown() override {
        Unmake();
        live.reset();
        sim::SetActiveWorld(nullptr);
        SetMessageBoxHandler(nullptr);
        SetColourChooser(nullptr);
        Pump();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // A bridge with two thermometers and a switch.
    void Devices() {
        const int bridge = world.AddBridge("KALVO001", "FT232R USB UART");
        sim::Thermal warm;
        warm.base_c = 21.5;
        sensors.push_back(world.AddDs18b20(bridge, 0x1001, warm, 9));
        sim::Thermal cold;
        cold.base_c = 4.25;
        sensors.push_back(world.AddDs18b20(bridge, 0x1002, cold, 9));
        world.AddDs2413(bridge, 0x2001);
    }
    // The program, the page that shows it and the engine's host, as the frame makes them.
    void Make() {
        EngineOptions options;
        options.archive_root = dir;
        options.ms_per_second = 2;  // one engine second lasts 2 ms
        options.bus_clock = &clock;
        program = std::make_unique<Program>(sim::Api(), options);
        page = std::make_unique<CViewDev>(*program);
        host = std::make_unique<DesktopHost>(*program, frame, live.get(), page.get());
        page->resize(900, 640);
        page->show();
        Pump();
    }
    void Unmake() {
        host.reset();
        page.reset();
        program.reset();
    }
    bool Posted(uint32_t message, int64_t lparam = -1) const {
        for (const auto& p : frame.Posts())
            if (p[0] == message && (lparam < 0 || p[2] == lparam)) return true;
        return false;
    }
    // The frame's step of the start-up chain that starts the engine, then its own messages.
    void StartUp() {
        PostAppEvent(host.get(), std::make_unique<AppEvent>(WM_APP_INIT_VIEW, 0, 0,
                                                            static_cast<StatusBar*>(&status)));
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return Posted(WM_APP_ENGINE_READY) || Posted(WM_CLOSE_REQUEST) ||
                   (Posted(WM_APP_INIT_NEXT) && !status.LastText(kPaneMain).empty() &&
                    status.LastText(kPaneMain).find(u"Thermometers") == 0);
        }));
        Pump();
    }
    Engine& TheEngine() { return program->GetEngine(); }
    PropertyGrid& Thermometers() { return *page->ThermometerView(); }
    PropertyGrid& Switches() { return *page->SwitchView(); }
    bool RunCycles(int count) {
        const size_t marks = status.Marks().size();
        return QTest::qWaitFor([&] { return status.Marks().size() >= marks + size_t(4 * count); },
                               20000);
    }
    // The newest live sample of a thermometer.
    SampleRecord LastSample(RomCode rom) {
        const SampleList& samples = live->Chart().GetSamples();
        for (auto it = samples.rbegin(); it != samples.rend(); ++it)
            if (it->rom == rom) return *it;
        return {};
    }
    void EnterPeriod(const QString& text, bool typed = true) {
        QLineEdit* edit = page->PeriodEdit();
        edit->clear();
        if (typed)
            QTest::keyClicks(edit, text);
        else
            edit->setText(text);  // what the keyboard cannot type, such as a paste
        QTest::keyClick(edit, Qt::Key_Return);
        Pump();
    }

    std::string dir;
    ManualClock clock;
    sim::World world{clock};
    std::vector<RomCode> sensors;
    FakeFrame frame;
    QuietLiveHost live_host;
    std::unique_ptr<CKalvoView> live;
    RecordingStatusBar status;
    std::vector<std::u16string> boxes;
    std::unique_ptr<Program> program;
    std::unique_ptr<CViewDev> page;
    std::unique_ptr<DesktopHost> host;
};

TEST_F(DevicePageTest, LayoutAndInitialValues) {
    Make();
    EXPECT_EQ(page->OptionsBox()->title(), QStringLiteral("Параметры измерений"));
    EXPECT_TRUE(page->WriteFileBox()->isChecked());
    EXPECT_FALSE(page->MeasureAtStartBox()->isChecked());
    EXPECT_FALSE(page->HideToTrayBox()->isChecked());
    EXPECT_EQ(page->PeriodEdit()->text(), QStringLiteral("2"));
    EXPECT_EQ(Thermometers().palette().color(QPalette::Base), QColor(255, 250, 205));
    EXPECT_EQ(Switches().palette().color(QPalette::Base), QColor(224, 255, 255));

    // Options above the tables, the thermometers above the switches, the drawings below them.
    const auto thermometers = Thermometers().geometry();
    const auto switches = Switches().geometry();
    const auto heater = page->HeaterDiagram()->geometry();
    EXPECT_LT(page->OptionsBox()->geometry().bottom(), thermometers.top());
    EXPECT_LT(thermometers.bottom(), switches.top());
    EXPECT_LT(switches.bottom(), heater.top());
    EXPECT_LT(heater.right(), page->CoolerDiagram()->geometry().left());

    // The tables share what the window grows by; the drawings keep their size.
    page->resize(1100, 840);
    Pump();
    EXPECT_EQ(Thermometers().height(), thermometers.height() + 100);
    EXPECT_EQ(Switches().height(), switches.height() + 100);
    EXPECT_EQ(Thermometers().width(), thermometers.width() + 200);
    EXPECT_EQ(page->HeaterDiagram()->size(), heater.size());
}

TEST_F(DevicePageTest, StartUpGoesThroughThePageMessages) {
    Devices();
    Make();
    StartUp();
    EXPECT_TRUE(Posted(WM_APP_INIT_NEXT, 4));
    EXPECT_TRUE(Posted(WM_APP_ENGINE_READY));
    EXPECT_EQ(live->GetEngineReady(), 1u);
    GridModel* t = Thermometers().Model();
    ASSERT_EQ(t->rowCount(), 2);
    EXPECT_EQ(t->data(t->index(1, GridKalvo::kColName)).toString(), QStringLiteral("Термометр 2"));
    EXPECT_EQ(Switches().Model()->rowCount(), 1);
    EXPECT_EQ(status.LastText(kPaneMain), u"No settings file yet, the default settings are in use");
    // Serial numbers and list texts fit their columns in this font.
    const QFontMetrics metrics(Thermometers().font());
    EXPECT_GT(Thermometers().columnWidth(GridKalvo::kColSerial),
              metrics.horizontalAdvance(QStringLiteral("ffffffffffffffff")) + 6);
    EXPECT_GT(Switches().columnWidth(GridSw::kColTypeA),
              metrics.horizontalAdvance(QStringLiteral("Нагреватель")) + 6);
    const QString switch_serial =
        Switches().Model()->data(Switches().Model()->index(0, GridSw::kColSerial)).toString();
    EXPECT_EQ(switch_serial.size(), 16);
    EXPECT_GT(Switches().columnWidth(GridSw::kColSerial),
              metrics.horizontalAdvance(switch_serial) + 6);

    // Without a bridge: the box through the handler, then the close request.
    Unmake();
    sim::World empty{clock};
    sim::SetActiveWorld(&empty);
    frame.ClearPosts();
    Make();
    StartUp();
    EXPECT_EQ(boxes,
              (std::vector<std::u16string>{
                  u"Error FT232R: Не найдены устройства FT232R, приложение будет закрыто."}));
    EXPECT_TRUE(Posted(WM_CLOSE_REQUEST));
    Unmake();
    sim::SetActiveWorld(&world);
}

TEST_F(DevicePageTest, OptionsAndPeriodDriveTheEngine) {
    Devices();
    Make();
    StartUp();
    ASSERT_TRUE(Posted(WM_APP_ENGINE_READY));
    // Each box sets the byte and the bit together.
    QTest::mouseClick(page->WriteFileBox(), Qt::LeftButton);
    QTest::mouseClick(page->HideToTrayBox(), Qt::LeftButton);
    EXPECT_FALSE(TheEngine().WriteDataFile());
    EXPECT_TRUE(TheEngine().HideToTrayAtStart());
    EXPECT_EQ(TheEngine().Flags(), kFlagHideToTray);
    QTest::mouseClick(page->MeasureAtStartBox(), Qt::LeftButton);
    EXPECT_TRUE(TheEngine().MeasureAtStart());
    EXPECT_EQ(TheEngine().Flags(), kFlagMeasureAtStart | kFlagHideToTray);
    EXPECT_EQ(frame.starts, 0);  // ticking "measure at start" starts nothing now

    const std::u16string range = u"Значения должны быть в диапазоне 2 - 10 секунд";
    for (const auto& [text, typed] :
         std::vector<std::pair<QString, bool>>{{QStringLiteral("1"), true},
                                               {QStringLiteral("11"), true},
                                               {QStringLiteral("0"), true},
                                               {QStringLiteral(""), true},
                                               {QStringLiteral("abc"), false}}) {
        EnterPeriod(QStringLiteral("9"));
        status.Clear();
        EnterPeriod(text, typed);
        EXPECT_EQ(status.LastText(kPaneMain), range) << text.toStdString();
        EXPECT_EQ(TheEngine().Period(), 2) << text.toStdString();
        EXPECT_EQ(TheEngine().TimerPeriodMs(), 2000);
        EXPECT_EQ(page->PeriodEdit()->text(), QStringLiteral("2"));
    }
    status.Clear();
    EnterPeriod(QStringLiteral("1x0"));  // only digits reach the box
    EXPECT_EQ(page->PeriodEdit()->text(), QStringLiteral("10"));
    EXPECT_EQ(TheEngine().Period(), 10);
    EXPECT_EQ(TheEngine().TimerPeriodMs(), 10000);
    EXPECT_EQ(status.Texts().size(), 1u) << "the refusal goes";
    EXPECT_EQ(status.LastText(kPaneMain), u"");
}

// The edit shows the period that runs: after Enter in the engine's own form, and when it is left
// (or Esc is pressed) without Enter.
TEST_F(DevicePageTest, PeriodEditShowsWhatRuns) {
    Devices();
    Make();
    StartUp();
    ASSERT_TRUE(Posted(WM_APP_ENGINE_READY));
    QLineEdit* edit = page->PeriodEdit();
    EnterPeriod(QStringLiteral("05"));
    EXPECT_EQ(TheEngine().Period(), 5);
    EXPECT_EQ(edit->text(), QStringLiteral("5"));

    auto leave = [&](Qt::FocusReason reason) {
        QFocusEvent out(QEvent::FocusOut, reason);
        QApplication::sendEvent(edit, &out);
    };
    edit->setText(QStringLiteral("7"));
    leave(Qt::ActiveWindowFocusReason);  // another window: the typing waits for the user
    EXPECT_EQ(edit->text(), QStringLiteral("7"));
    leave(Qt::MouseFocusReason);
    EXPECT_EQ(edit->text(), QStringLiteral("5"));
    edit->setText(QStringLiteral("9"));
    leave(Qt::TabFocusReason);
    EXPECT_EQ(edit->text(), QStringLiteral("5"));
    edit->setText(QStringLiteral("3"));
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_EQ(edit->text(), QStringLiteral("5"));
    EXPECT_EQ(TheEngine().Period(), 5);
    EXPECT_EQ(TheEngine().TimerPeriodMs(), 5000);
}

// A threshold cell takes a number from -55 to 125 with Тн <= Тв; anything else is refused with a
// status text and the cell keeps what the thermostat runs on.
TEST_F(DevicePageTest, ThresholdCellsTakeOnlyThresholds) {
    Devices();
    Make();
    StartUp();
    ASSERT_TRUE(Posted(WM_APP_ENGINE_READY));
    GridSw& grid = TheEngine().Switches();
    const int low = GridSw::kColLowA, high = GridSw::kColHighA;
    struct Entry {
        int col;
        const char16_t* typed;
        const char16_t* low_after;
        const char16_t* high_after;
        const char16_t* status;
    } entries[] = {
        {low, u"abc", u"", u"", kThresholdRangeText},
        {low, u"20,5", u"20,5", u"", u""},
        {high, u"99999", u"20,5", u"", kThresholdRangeText},
        {high, u"18", u"20,5", u"", kThresholdOrderText},
        {high, u"124,75", u"20,5", u"124,8", u""},
        {low, u"130", u"20,5", u"124,8", kThresholdRangeText},
        {high, u"25.5", u"20,5", u"25.5", u""},
        {low, u"", u"", u"25.5", u""},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(Utf16ToUtf8(e.typed));
        status.Clear();
        ASSERT_TRUE(TypeIntoCell(Switches(), 0, e.col, e.typed));
        EXPECT_EQ(grid.CellText(0, low), e.low_after);
        EXPECT_EQ(grid.CellText(0, high), e.high_after);
        EXPECT_EQ(status.LastText(kPaneMain), e.status);
    }
    // Channel B has its own pair; other text cells take anything.
    ASSERT_TRUE(TypeIntoCell(Switches(), 0, GridSw::Col(1, low), u"30"));
    EXPECT_EQ(grid.CellText(0, GridSw::Col(1, low)), u"30");
    ASSERT_TRUE(TypeIntoCell(Switches(), 0, GridSw::kColNameA, u"abc"));
    EXPECT_EQ(grid.CellText(0, GridSw::kColNameA), u"abc");
}

TEST_F(DevicePageTest, TableEditsFollowTheRulesAndReachTheSamples) {
    Devices();
    world.AddDs2413(0, 0x2002);
    Make();
    StartUp();
    ASSERT_TRUE(Posted(WM_APP_ENGINE_READY));
    TheEngine().StartMeasuring(true);
    ASSERT_TRUE(RunCycles(1));

    // The rows follow the ROM codes' order; find each sensor's.
    auto row_of = [&](RomCode rom) {
        for (int r = 0; r < 2; ++r)
            if (TheEngine().Thermometers().CellText(r, GridKalvo::kColSerial) == ToHex(rom))
                return r;
        return -1;
    };
    const int first = row_of(sensors[0]);
    ASSERT_GE(first, 0);
    const int second = 1 - first;
    ASSERT_EQ(row_of(sensors[1]), second);

    // Thermometer names keep 31 characters; the state list and the colour chooser.
    const std::u16string forty = u"Северная стена, второй этаж, у окна - 40";
    ASSERT_EQ(forty.size(), 40u);
    ASSERT_TRUE(TypeIntoCell(Thermometers(), first, GridKalvo::kColName, forty));
    EXPECT_EQ(TheEngine().Thermometers().CellText(first, GridKalvo::kColName), forty.substr(0, 31));

    ClickCell(Thermometers(), second, GridKalvo::kColState);
    QComboBox* box = OpenEditor<QComboBox>(Thermometers());
    ASSERT_NE(box, nullptr);
    QTest::keyClick(box, Qt::Key_Down);
    Pump();
    EXPECT_EQ(TheEngine().Thermometers().CellNumber(second, GridKalvo::kColState), 1);
    ClickCell(Thermometers(), first, 0);
    EXPECT_EQ(CellPixel(Thermometers(), second, GridKalvo::kColState), ToQRgb(Rgb(193, 205, 205)));

    SetColourChooser([](QWidget*, uint32_t, CustomColours&) -> std::optional<uint32_t> {
        return Rgb(0, 128, 255);
    });
    DoubleClickCell(Thermometers(), second, GridKalvo::kColColour);
    EXPECT_EQ(TheEngine().Thermometers().CellColour(second, GridKalvo::kColColour),
              Rgb(0, 128, 255));
    ClickCell(Thermometers(), first, 0);
    EXPECT_EQ(CellPixel(Thermometers(), second, GridKalvo::kColColour), ToQRgb(Rgb(0, 128, 255)));

    // The next cycle measures with the new name and colour.
    ASSERT_TRUE(RunCycles(2));
    Pump();
    EXPECT_EQ(LastSample(sensors[0]).name, forty.substr(0, 31));
    EXPECT_EQ(LastSample(sensors[1]).colour, ColorrefToArgb(Rgb(0, 128, 255)));
    EXPECT_EQ(LastSample(sensors[1]).name, u"Термометр " + ToU16(second + 1));
    // The temperature column shows the readings.
    const QString shown =
        Thermometers()
            .Model()
            ->data(Thermometers().Model()->index(first, GridKalvo::kColTemperature))
            .toString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^  2[0-9],[0-9][0-9]$")).match(shown).hasMatch())
        << shown.toStdString();

    // Switch table: scenario numbers 0 to 16, controller names cut, states shown only.
    const int scenario_a = GridSw::Col(0, GridSw::kColScenarioA);
    const int scenario_b = GridSw::Col(1, GridSw::kColScenarioA);
    ASSERT_TRUE(TypeIntoCell(Switches(), 0, scenario_a, u"17"));
    EXPECT_EQ(TheEngine().Switches().CellNumber(0, scenario_a), 0);
    ASSERT_TRUE(TypeIntoCell(Switches(), 0, scenario_b, u"16"));
    EXPECT_EQ(TheEngine().Switches().CellNumber(0, scenario_b), 16);
    const int controller_b = GridSw::Col(1, GridSw::kColThermometerA);
    ASSERT_TRUE(TypeIntoCell(Switches(), 1, controller_b, forty));
    EXPECT_EQ(TheEngine().Switches().CellText(1, controller_b), forty.substr(0, 31));
    for (int col : {0, 1, GridSw::kColStateA, GridSw::Col(1, GridSw::kColStateA)}) {
        ClickCell(Switches(), 0, col);
        EXPECT_EQ(OpenEditor<QLineEdit>(Switches()), nullptr) << col;
    }
}

TEST_F(DevicePageTest, CycleMarksAndTheCloseGoThroughThePage) {
    Devices();
    Make();
    StartUp();
    TheEngine().StartMeasuring(true);
    ASSERT_TRUE(RunCycles(2));
    // The marks reach the status bar: red while a cycle runs, green when it has ended.
    const auto marks = status.Marks();
    ASSERT_GE(marks.size(), 4u);
    EXPECT_EQ(marks[0], (std::pair{kPaneCycleBegun, StatusBar::kMarkRed}));
    EXPECT_EQ(marks[2], (std::pair{kPaneCycleEnded, StatusBar::kMarkGreen}));
    // The live view had samples (a batch replaced before it was shown is skipped).
    ASSERT_GE(live->Chart().GetCount(), 2);
    EXPECT_EQ(live->Chart().GetSamples().back().valid, 1u);

    // A close request hides the window and waits for the worker's own close.
    EXPECT_FALSE(TheEngine().OnClose(0));
    EXPECT_EQ(frame.window_hides, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const auto& p : frame.Posts())
            if (p[0] == WM_CLOSE_REQUEST && p[1] == 1) return true;
        return false;
    }));
}

// A thermometer row's tooltip gives its sensor's counters; a cell whose text does not fit shows
// that text above them.
TEST_F(DevicePageTest, ThermometerRowsShowTheSensorsHealth) {
    Devices();
    Make();
    StartUp();
    ASSERT_TRUE(Posted(WM_APP_ENGINE_READY));
    world.CorruptNextScratchpad(sensors[0]);
    TheEngine().StartMeasuring(true);
    ASSERT_TRUE(RunCycles(2));
    const int bad =
        RomFromText(TheEngine().Thermometers().CellText(0, GridKalvo::kColSerial)) == sensors[0]
            ? 0
            : 1;
    GridModel* model = Thermometers().Model();
    const QString tip =
        model->data(model->index(bad, GridKalvo::kColName), Qt::ToolTipRole).toString();
    EXPECT_EQ(tip, QStringLiteral("Ошибки CRC: 1\nЗначения включения (85 °C): 0\n"
                                  "Недостаток питания (127,94 °C): 0\nНет ответа: 0\n"
                                  "Преобразование не закончилось: 0\nЗавис: нет"));
    EXPECT_TRUE(model->data(model->index(1 - bad, GridKalvo::kColTemperature), Qt::ToolTipRole)
                    .toString()
                    .startsWith(QStringLiteral("Ошибки CRC: 0\n")));
    EXPECT_FALSE(
        Switches().Model()->data(Switches().Model()->index(0, 0), Qt::ToolTipRole).isValid());

    // What the pointer shows: the serial number does not fit a narrow column.
    Thermometers().setColumnWidth(GridKalvo::kColSerial, 30);
    const QPoint at = Thermometers().CellRect(bad, GridKalvo::kColSerial).center();
    QHelpEvent help(QEvent::ToolTip, at, Thermometers().viewport()->mapToGlobal(at));
    QApplication::sendEvent(Thermometers().viewport(), &help);
    EXPECT_EQ(QToolTip::text(), model->data(model->index(bad, GridKalvo::kColSerial)).toString() +
                                    QStringLiteral("\n\n") + tip);
    QToolTip::hideText();

    SensorHealth stuck{
        .rom = sensors[0], .crc_failures = 2, .overran_conversions = 7, .stuck = true};
    EXPECT_EQ(CViewDev::HealthText(stuck),
              u"Ошибки CRC: 2\nЗначения включения (85 °C): 0\nНедостаток питания (127,94 °C): 0\n"
              u"Нет ответа: 0\nПреобразование не закончилось: 7\nЗавис: показания недействительны");
}

TEST(ChannelDiagram, OutputsSwitchAtTheRightThresholds) {
    // A heater is on while the temperature climbs from Тн (0) to Тв (1), a cooler while it falls
    // from Тв to Тн.
    using Kind = ChannelDiagram::Kind;
    for (Kind kind : {Kind::kHeater, Kind::kCooler}) {
        const double from = kind == Kind::kHeater ? 0.0 : 1.0;
        const auto spans = ChannelDiagram::OnSpans(kind);
        ASSERT_GE(spans.size(), 2u);
        for (const auto& span : spans) {
            if (span.from > 0) {
                EXPECT_NEAR(ChannelDiagram::Level(kind, span.from), from, 0.01);
            }
            if (span.to < 1) {
                EXPECT_NEAR(ChannelDiagram::Level(kind, span.to), 1 - from, 0.01);
            }
        }
    }
}

// The rules button, as the window wires it to a data folder's kalvo.ini: the dialog it opens
// saves into the file, keeping what a person wrote there, and the rules are in force from the
// next pass; the logger's reader gets the same rules from the file. A file that cannot be saved
// is said in a box and leaves the rules as they were.
TEST_F(DevicePageTest, TheRulesButtonSavesKalvoIniAndPutsTheRulesInForce) {
    Devices();
    Make();
    const std::string ini_path = dir + "/kalvo.ini";
    const std::string handwritten =
        "# by hand\n[site]\ncolour = green ; not the program's\n\n[sensor " + W1Id(sensors[1]) +
        "]\n; the cold one\nalarm_low = 2\n";
    std::ofstream(ini_path) << handwritten;
    std::vector<std::string> said;
    Connections connections(*program, dir, [&](const std::string& line) { said.push_back(line); });
    connections.Start(2);
    EXPECT_TRUE(said.empty()) << said.front();
    EXPECT_FALSE(page->RulesButton()->isVisible());
    page->SetRulesEditor([&] { EditRules(page.get(), *program, connections); });
    EXPECT_TRUE(page->RulesButton()->isVisible());
    StartUp();
    ASSERT_TRUE(Posted(WM_APP_ENGINE_READY));
    TheEngine().StartMeasuring(true);
    ASSERT_TRUE(RunCycles(1));

    // Opens the dialog with the button, lets `answer` fill it in, and accepts it.
    const auto edit = [&](const std::function<void(CDlgRules&)>& answer) {
        bool opened = false;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* dialog = dynamic_cast<CDlgRules*>(QApplication::activeModalWidget());
            if (!dialog || opened) return;
            opened = true;
            answer(*dialog);
            dialog->accept();
        });
        timer.start(10);
        QTest::mouseClick(page->RulesButton(), Qt::LeftButton);
        return opened;
    };
    const auto row_of = [](CDlgRules& dialog, RomCode rom) {
        for (int row = 0; row < dialog.FirstChannelRow(); ++row)
            if (dialog.Table()
                    ->item(row, CDlgRules::kColDevice)
                    ->text()
                    .contains(QString::fromStdString(W1Id(rom))))
                return row;
        return -1;
    };
    ASSERT_TRUE(edit([&](CDlgRules& dialog) {
        const int row = row_of(dialog, sensors[0]);
        ASSERT_GE(row, 0);
        dialog.Table()->item(row, CDlgRules::kColOffset)->setText(QStringLiteral("1,5"));
        dialog.Table()->item(row, CDlgRules::kColHigh)->setText(QStringLiteral("20"));
    }));
    EXPECT_TRUE(boxes.empty()) << Utf16ToUtf8(boxes.front());
    std::ifstream in(ini_path);
    const std::string saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(saved.rfind(handwritten, 0), 0u) << saved;
    EXPECT_NE(saved.find("[sensor " + W1Id(sensors[0]) + "]\n"), std::string::npos) << saved;

    Rules expected;
    expected.sensors[sensors[0]] = SensorRules{1.5, {}, 20.0, {}};
    expected.sensors[sensors[1]] = SensorRules{{}, 2.0, {}, {}};
    KalvoIni ini;
    ASSERT_TRUE(ini.Load(ini_path));
    EXPECT_EQ(ReadRules(ini), expected);
    EXPECT_EQ(connections.CurrentRules(), expected);
    // In force from a pass on: the warm sensor's 21.5 °C reads 23 and is over its new limit.
    const int warm =
        TheEngine().Thermometers().CellText(0, GridKalvo::kColSerial) == ToHex(sensors[0]) ? 0 : 1;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            Pump();
            return LastSample(sensors[0]).temperature == 23.0 &&
                   TheEngine().Thermometers().RowAlarm(warm) == AlarmKind::kHigh;
        },
        20000))
        << LastSample(sensors[0]).temperature;

    // A line the reader cannot take: not saved, said, the rules kept.
    std::ofstream(ini_path, std::ios::app) << "[broken\n";
    ASSERT_TRUE(edit([&](CDlgRules& dialog) {
        dialog.Table()->item(row_of(dialog, sensors[0]), CDlgRules::kColOffset)->setText({});
    }));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind(u"Error: Тревоги и поправки не сохранены: ", 0), 0u)
        << Utf16ToUtf8(boxes[0]);
    EXPECT_EQ(connections.CurrentRules(), expected);
    ASSERT_TRUE(RunCycles(1));
    Pump();
    EXPECT_EQ(LastSample(sensors[0]).temperature, 23.0);
}

}  // namespace
}  // namespace kalvo
