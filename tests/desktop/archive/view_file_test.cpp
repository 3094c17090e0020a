// The stored-day view over day files from the archive writer: range and scrolling, the click
// tooltip, thinning and restoring through the context menu, colours, closing and CSV export.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QScrollBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QToolTip>
#include <QtTest/QTest>

#include "archive_fixture.h"
#include "core/common/colour.h"
#include "core/common/message_box.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "desktop/archive/view_file.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/colour_dialog.h"
#include "desktop/widgets/file_dialog.h"

namespace kalvo {
namespace {

using namespace fixture;

constexpr uint32_t kRed = 0xFFFF0000, kBlue = 0xFF0000FF, kGreen = 0xFF00A000;
const Thermometer kBoiler{0x6F00000123456728, u"Котёл", kRed};
const Thermometer kStreet{0x2A0008015E3B7710, u"Улица", kBlue};
const Thermometer kCellar{0x0100000ABCDEF022, u"Подвал", kGreen};  // a DS1822

void Pump() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}
// The boiler climbs 0.125 degrees a pass; the street stays at -0.5.
double Rise(size_t thermometer, int pass) {
    return thermometer == 0 ? 10.0 + 0.125 * pass : -0.5;
}

class DayView : public ::testing::Test {
  protected:
    void SetUp() override {
        root = dir + "/appdata";
        tabs.resize(600, 300);
        tabs.show();
        SetMessageBoxHandler([this](std::u16string_view c, std::u16string_view t, BoxKind) {
            boxes.push_back(std::u16string(c) + u": " + std::u16string(t));
            return BoxAnswer::kOk;
        });
    }
    void TearDown() override {
        SetMessageBoxHandler(nullptr);
        SetColourChooser(nullptr);
        SetFileChooser(nullptr);
        CViewFile::SetMenuRunnerForTesting(nullptr);
    }
    std::string Day(const std::vector<Thermometer>& thermometers, int passes, int day = 7) {
        return WriteDay(root,
                        MakeDay(thermometers, LocalSeconds(2010, 3, day, 9), passes, 10, &Rise),
                        uint32_t(thermometers.size()));
    }
    // A view in a new tab, initialised, loaded and painted, as the frame opens one.
    CViewFile* Open(const std::string& path) {
        auto* view = new CViewFile(&status, &tabs);
        tabs.setCurrentIndex(tabs.addTab(view, "day"));
        Pump();
        view->InitView(path);
        Pump();
        view->viewport()->grab();
        return view;
    }
    // Inside the square drawn for a temperature in a column of the view.
    static QPoint PointOf(const CViewFile& view, int column, double temperature) {
        const ChartLayout& l = view.Chart().GetLayout();
        const int row = int((view.Chart().GetUpperLimit() - temperature) * l.pixels_per_degree);
        return {l.plot.x + 9 * column + 1, row + l.plot.y + 1};
    }
    // The tooltip once it has had time to go away; true when it went.
    static bool TooltipGone() {
        QElapsedTimer waited;
        waited.start();
        while (QToolTip::isVisible() && waited.elapsed() < 3000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(10);
        }
        return !QToolTip::isVisible();
    }
    // What resting the mouse at a point shows; empty when nothing is shown.
    static std::u16string HoverText(CViewFile& view, QPoint at) {
        QToolTip::hideText();
        TooltipGone();
        QHelpEvent help(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text().toStdU16String() : std::u16string();
    }
    static uint32_t PixelOf(CViewFile& view, QPoint at) {
        return 0xFF000000u | view.viewport()->grab().toImage().pixel(at);
    }
    // A right click whose menu is answered with the entry of that text.
    void Menu(CViewFile& view, QPoint at, const char* entry) {
        CViewFile::SetMenuRunnerForTesting([&, entry](QMenu& menu, const QPoint&) -> QAction* {
            menu_texts.clear();
            QAction* pick = nullptr;
            for (QAction* a : menu.actions()) {
                menu_texts.push_back(a->text() + "=" + a->data().toString());
                if (a->text() == entry) pick = a;
            }
            return pick;
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &event);
        view.viewport()->grab();
    }

    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    std::string root;
    RecordingStatusBar status;
    QTabWidget tabs;
    std::vector<std::u16string> boxes;
    QStringList menu_texts;
};

TEST_F(DayView, RangeAndScrollingFollowTheDay) {
    // -0.5 and a climb from 10 to 12.375 give -5 to 15; 20 passes fit without scrolling.
    CViewFile* narrow = Open(Day({kBoiler, kStreet}, 20, 6));
    EXPECT_EQ(narrow->Chart().GetSeriesCount(), 2);
    EXPECT_EQ(narrow->Chart().GetUpperLimit(), 15);
    EXPECT_EQ(narrow->Chart().GetLowerLimit(), -5);
    EXPECT_EQ(narrow->horizontalScrollBar()->maximum(), 0);

    CViewFile* wide = Open(Day({kBoiler, kStreet}, 300));
    QScrollBar* bar = wide->horizontalScrollBar();
    const int client = wide->viewport()->width();
    EXPECT_EQ(wide->ScrollExtentX(), 300 * 9 + 35 + 9);
    EXPECT_EQ(bar->maximum(), wide->ScrollExtentX() - client);
    // The chart moves by whole time groups, so a click finds the group drawn under it.
    for (int offset : {280, 287, 288}) {
        bar->setValue(offset);
        wide->viewport()->grab();
        EXPECT_EQ(wide->Chart().GetScrollX(), offset - offset % 9);
        QTest::mouseClick(wide->viewport(), Qt::LeftButton, {}, PointOf(*wide, 2, -0.5));
        const int64_t time = LocalSeconds(2010, 3, 7, 9) + 10 * (offset / 9 + 2);
        EXPECT_EQ(wide->TooltipText(), u"Улица t= -0,50\nвремя - " + FormatTimeC(time)) << offset;
    }
    // Scrolled to the end, the day's last reading stands inside the window.
    bar->setValue(bar->maximum());
    wide->viewport()->grab();
    const QPoint last = PointOf(*wide, 299 - wide->Chart().GetScrollX() / 9, -0.5);
    ASSERT_LT(last.x() + 2, client);
    EXPECT_EQ(PixelOf(*wide, last), kBlue);
    tabs.resize(3000, 300);  // wider than the day
    Pump();
    EXPECT_EQ(wide->ScrollExtentX(), 1);
}

TEST_F(DayView, ClickTooltipNamesTheRecordUnderThePoint) {
    SampleList day = MakeDay({kBoiler, kStreet, kCellar}, LocalSeconds(2010, 3, 7, 14, 5, 9), 3, 2,
                             [](size_t i, int) { return 21.0 + i; });
    day[3].valid = 0;      // the boiler's second reading failed,
    day[4].colour = kRed;  // and the street wears the boiler's colour there
    day[8].valid = 2;      // a doubtful reading
    CViewFile* view = Open(WriteDay(root, day, 3));

    const std::u16string boiler = u"Котёл t= 21,00\nвремя - 07.03.2010 14:05:09";
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, PointOf(*view, 0, 21.0));
    // Shown at once, without waiting for the mouse to rest.
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text().toStdU16String(), boiler);
    EXPECT_TRUE(view->viewport()->toolTip().isEmpty());  // nothing left behind for hovering
    // Ctrl changes nothing; a click on the background or the margin takes the reading away.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, PointOf(*view, 0, 22));
    EXPECT_EQ(view->TooltipText(), boiler);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      PointOf(*view, 0, 21.0) + QPoint(0, 30));
    EXPECT_EQ(view->TooltipText(), u"");
    EXPECT_TRUE(TooltipGone());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, PointOf(*view, 0, 21.0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(view->TooltipText(), u"");
    // Resting on empty space shows nothing; resting on a point names that point.
    EXPECT_EQ(HoverText(*view, PointOf(*view, 1, 21.0) + QPoint(0, 30)), u"");
    EXPECT_EQ(HoverText(*view, PointOf(*view, 2, 22.0)),
              u"Улица t= 22,00\nвремя - 07.03.2010 14:05:13");
    // A colour shared by two thermometers names the first of them: the failed reading.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, PointOf(*view, 1, 22.0));
    EXPECT_EQ(view->TooltipText(),
              u"Котёл t= 21,00\nвремя - 07.03.2010 14:05:11\nИзмерение недостоверное");
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, PointOf(*view, 2, 23.0));
    EXPECT_EQ(view->TooltipText(),
              u"Подвал t= 23,00\nвремя - 07.03.2010 14:05:13\nИзмерение недостоверное");
}

TEST_F(DayView, CompressionAndRestoreThroughTheMenu) {
    CViewFile* view = Open(Day({kBoiler, kStreet}, 100));
    const QPoint boiler = PointOf(*view, 8, 11.0);
    ASSERT_EQ(PixelOf(*view, boiler), kRed);  // a real point of the curve
    Menu(*view, boiler, "Data compression");
    EXPECT_EQ(menu_texts, (QStringList{"Data compression=105", "Data restore=104"}));
    // Every fourth reading of a 0.125 degree climb, then the day's last one.
    const SampleList& kept = view->Chart().GetSamples();
    ASSERT_EQ(kept.size(), 26u);
    for (size_t i = 0; i < 25; ++i) EXPECT_DOUBLE_EQ(kept[i].temperature, 10.0 + 0.5 * i);
    EXPECT_DOUBLE_EQ(kept.back().temperature, 10.0 + 0.125 * 99);
    EXPECT_EQ(view->Chart().GetSeriesCount(), 1);
    EXPECT_EQ(view->Chart().GetUpperLimit(), 25);  // the whole day's range stays
    EXPECT_EQ(view->ScrollExtentX(), 1);           // 26 groups fit
    // Again on the thinned curve: nothing more goes. On the background: nothing happens.
    Menu(*view, PointOf(*view, 0, 10.0), "Data compression");
    Menu(*view, PointOf(*view, 0, 10.0) + QPoint(0, 40), "Data compression");
    EXPECT_EQ(view->Chart().GetCount(), 26);
    Menu(*view, QPoint(5, 5), "Data restore");
    EXPECT_EQ(view->Chart().GetCount(), 200);
    EXPECT_EQ(view->Chart().GetSeriesCount(), 2);
    EXPECT_EQ(view->ScrollExtentX(), 900 + 35 + 9);

    // Not a DS18B20 or DS1820: thinned all the same, with a warning.
    const std::string cellar_day = Day({kCellar}, 20, 9);
    CViewFile* cellar = Open(cellar_day);
    Menu(*cellar, PointOf(*cellar, 3, 10.375), "Data compression");
    EXPECT_EQ(status.LastText(kPaneMain), u"The device is not a DS18B20 or DS1820 sensor");
    EXPECT_EQ(cellar->Chart().GetCount(), 6);
    // Restoring a day whose file has gone keeps the chart, silently.
    std::filesystem::remove(cellar_day);
    status.Clear();
    Menu(*cellar, QPoint(5, 5), "Data restore");
    EXPECT_EQ(cellar->Chart().GetCount(), 6);
    EXPECT_TRUE(status.Texts().empty());
}

TEST_F(DayView, AnUnreadableDayLeavesAnEmptyButUsableView) {
    const std::string bad = dir + "/day3.dat";
    std::ofstream(bad) << std::string(32 + 96, 'x');  // not a day file
    QPointer<CViewFile> view = new CViewFile(&status, &tabs);
    tabs.addTab(view, "day");
    AppEvent init(WM_APP_INIT_VIEW, 0, 0, bad);  // sent with the path, as by the frame
    QApplication::sendEvent(view, &init);
    Pump();
    ASSERT_EQ(status.Texts().size(), 2u);
    EXPECT_EQ(status.Texts()[0].text, Utf8ToUtf16(bad));
    EXPECT_EQ(status.Texts()[1].text,
              u"Возможно файл не имеет данных: это не файл данных (другая сигнатура)");
    EXPECT_EQ(view->Chart().GetCount(), 0);

    // The colour commands change this chart only.
    CViewFile* other = Open(Day({kBoiler}, 5));
    SetColourChooser([](QWidget*, uint32_t, CustomColours&) { return Rgb(1, 2, 3); });
    PostAppEvent(view, WM_COMMAND_MSG, kCmdColourBackground);
    Pump();
    EXPECT_TRUE(view->OnCommand(kCmdColourGrid));
    EXPECT_EQ(view->Chart().BackgroundArgb(), 0xFF010203u);
    EXPECT_EQ(view->Chart().GridArgb(), 0xFF010203u);
    EXPECT_EQ(other->Chart().BackgroundArgb(), CChart::kDefaultBackground);

    // WM_CLOSE clears the status text; the view goes with its tab.
    PostAppEvent(view, WM_CLOSE_REQUEST);
    Pump();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(view.isNull());
    EXPECT_EQ(tabs.count(), 1);
    EXPECT_EQ(status.LastText(kPaneMain), u"");
}

TEST_F(DayView, ADayThatCannotBeShownSaysWhy) {
    const std::string good = Day({kBoiler}, 5);
    const std::string torn = dir + "/day4.dat", empty = dir + "/day5.dat", huge = dir + "/day6.dat";
    std::filesystem::copy_file(good, torn);
    std::filesystem::permissions(torn, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    std::filesystem::resize_file(torn, 32 + 96 * 4 + 50);
    std::ofstream(empty).close();
    // Far larger than any real day: refused before it is read (sparse, nothing on the disk).
    std::filesystem::copy_file(good, huge);
    std::filesystem::permissions(huge, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    std::filesystem::resize_file(huge, 32 + 96 * ((uint64_t(2) << 30) / 96));
    const std::pair<std::string, std::u16string> cases[] = {
        {torn, u"последняя запись оборвана (kalvo-archive repair её отрежет)"},
        {empty, u"в файле нет ни одной записи"},
        {huge, u"файл больше 512 МиБ, такого дня не бывает"},
        {dir + "/gone.dat", u"файл не открывается (его нет, это не файл или он занят)"},
    };
    for (const auto& [path, reason] : cases) {
        status.Clear();
        CViewFile* view = Open(path);
        EXPECT_EQ(status.LastText(kPaneMain), u"Возможно файл не имеет данных: " + reason) << path;
        EXPECT_EQ(view->Chart().GetCount(), 0);
    }
}

TEST_F(DayView, ExportWritesTheWholeDayAsTheToolDoesOrSaysWhyNot) {
    SampleList records =
        MakeDay({kBoiler, kStreet}, LocalSeconds(2010, 3, 7, 23, 59, 50), 3, 5, &Rise);
    records[1].valid = 0;
    records[2].name = u"Котёл;подача";
    records[3].name = u"";
    const std::string day = WriteDay(root, records, 2);
    CViewFile* view = Open(day);
    Menu(*view, PointOf(*view, 0, 10.0), "Data compression");  // the export still takes all
    ASSERT_EQ(view->Chart().GetCount(), 2);

    const std::string out = dir + "/day7.csv";
    std::optional<std::string> answer = out;
    FileDialogOptions asked;
    SetFileChooser([&](QWidget*, const FileDialogOptions& o) {
        asked = o;
        return answer;
    });
    PostAppEvent(view, WM_FORWARDMSG, kCmdExport);
    Pump();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(status.LastText(kPaneMain), u"Exported 3 lines to " + Utf8ToUtf16(out));
    EXPECT_EQ(asked.mode, FileDialogOptions::Mode::kSave);
    EXPECT_EQ(asked.filter, u"EXEL Files (*.csv)");
    EXPECT_EQ(asked.default_extension, u"csv");
    const std::string written = ReadBytes(out);
    const std::string tool = std::string(KALVO_BUILD_DIR) + "/demo/kalvo-archive csv '" + day +
                             "' '" + dir + "/tool.csv'";
    ASSERT_EQ(std::system(tool.c_str()), 0);
    EXPECT_EQ(written, ReadBytes(dir + "/tool.csv"));

    const auto failure = [&](std::optional<std::string> target) {
        boxes.clear();
        answer = std::move(target);
        EXPECT_TRUE(view->OnCommand(kCmdExport));
        return boxes.size() == 1 ? boxes[0] : boxes.empty() ? u"" : u"?";
    };
    // Cancelling the dialog is no error: nothing is shown, nothing written.
    status.Clear();
    EXPECT_EQ(failure(std::nullopt), u"");
    EXPECT_EQ(failure(std::string()), u"");
    EXPECT_TRUE(status.Texts().empty());
    EXPECT_EQ(failure(dir + "/none/day.csv"), u"Error: Не могу открыть файл");
    // Over the day file itself: refused before anything is emptied.
    EXPECT_EQ(failure(day), u"Error: Не могу открыть файл");
    EXPECT_EQ(ReadBytes(day).size(), 32u + 6 * 96);
    // The day file damaged since it was opened: the earlier export stays as it was.
    std::filesystem::permissions(day, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    std::filesystem::resize_file(day, 40);
    EXPECT_EQ(failure(out), u"Error: Ошибка чтения файла");
    EXPECT_EQ(ReadBytes(out), written);
    EXPECT_TRUE(status.Texts().empty());  // no success reported for a failure
}

}  // namespace
}  // namespace kalvo
