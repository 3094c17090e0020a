// The scenario page: start-up message, edit rules through the editors, the file buttons behind
// the dialog seam, and the run colours of a timeline driven by an injected clock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/paths.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/scenario/scenario_file.h"
#include "desktop/pages/dlg_sn.h"
#include "desktop/widgets/app_event.h"
#include "desktop/widgets/file_dialog.h"
#include "desktop/widgets/ui_test_util.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using namespace testing_ui;

constexpr int kCycles = GridSn::kColCycles;
constexpr int kDelay = GridSn::kColDelay;
constexpr int kStep0 = GridSn::kColFirstStep;

constexpr uint32_t kWhite = Rgb(255, 255, 255);
constexpr uint32_t kDefined = Rgb(154, 205, 50);
constexpr uint32_t kRunning = Rgb(238, 130, 238);
constexpr uint32_t kDone = Rgb(172, 23, 172);
constexpr uint32_t kDelaySet = Rgb(255, 255, 0);

class ScenarioPageTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kalvo_page_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        SetProgramFolderForTesting(dir);
        page = std::make_unique<CDlgSn>(grid, &frame);
        page->resize(900, 520);
        page->show();
        PostAppEvent(page.get(), std::make_unique<AppEvent>(WM_APP_INIT_VIEW, 0, 0,
                                                            static_cast<StatusBar*>(&status)));
        Pump();
        SetFileChooser([this](QWidget* owner, const FileDialogOptions& options) {
            owners.push_back(owner);
            asked.push_back(options);
            return answer;
        });
    }
    void TearDown() override {
        page.reset();
        SetFileChooser(nullptr);
        SetProgramFolderForTesting("");
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    PropertyGrid& View() { return *page->GridView(); }
    GridSn& Grid() { return page->Grid(); }
    std::vector<std::u16string> PaneTexts() {
        std::vector<std::u16string> texts;
        for (const auto& e : status.Texts()) {
            EXPECT_EQ(e.pane, kPaneMain);
            texts.push_back(e.text);
        }
        status.Clear();
        return texts;
    }
    void Press(QPushButton* button) {
        QTest::mouseClick(button, Qt::LeftButton);
        Pump();
    }

    std::string dir;
    FakeFrame frame;
    RecordingStatusBar status;
    GridSn grid;  // the program's, outliving the page
    std::unique_ptr<CDlgSn> page;
    std::vector<FileDialogOptions> asked;
    std::vector<QWidget*> owners;
    std::optional<std::string> answer;
};

TEST_F(ScenarioPageTest, StartsWithTheDefaultsAndContinuesTheStartUpChain) {
    EXPECT_EQ(frame.Posts(), (std::vector<FakeFrame::Post>{{WM_APP_INIT_NEXT, 0, 3}}));
    EXPECT_EQ(CDlgSn::Instance(), page.get());
    EXPECT_EQ(page->GetStatusBar(), &status);

    GridModel* model = View().Model();
    ASSERT_EQ(model->rowCount(), 16);
    ASSERT_EQ(model->columnCount(), 20);
    EXPECT_EQ(model->data(model->index(15, 1)).toString(), QStringLiteral("Sn_16"));
    EXPECT_EQ(model->data(model->index(0, kStep0)).toString(), QStringLiteral("0:0:0; 20/30"));
    EXPECT_EQ(View().columnWidth(kStep0), int(113 * View().ColumnScale() + 0.5));
    // Headers stay readable in any font.
    const QFontMetrics header(View().horizontalHeader()->font());
    for (int col = 0; col < 20; ++col)
        EXPECT_GT(View().columnWidth(col),
                  header.horizontalAdvance(model->headerData(col, Qt::Horizontal).toString()))
            << col;
    EXPECT_EQ(CellPixel(View(), 0, kStep0), ToQRgb(kWhite));

    QGroupBox* box = page->findChild<QGroupBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->title(), QStringLiteral("Данные сценария"));
    // The grid sits above the legend and the buttons, at the right, below the grid.
    EXPECT_LT(View().geometry().bottom(), page->SaveButton()->geometry().top());
    EXPECT_LT(page->SaveButton()->geometry().bottom(), page->LoadButton()->geometry().top());
    EXPECT_GT(page->SaveButton()->geometry().left(), box->geometry().right());

    // The grid takes what the window grows by.
    const int height = View().height();
    page->resize(900, 700);
    Pump();
    EXPECT_EQ(View().height(), height + 180);
}

TEST_F(ScenarioPageTest, EditRulesApplyWhenTheEditorCommits) {
    ASSERT_TRUE(TypeIntoCell(View(), 0, kCycles, u"70000"));
    EXPECT_EQ(Grid().CellNumber(0, kCycles), 1);
    ASSERT_TRUE(TypeIntoCell(View(), 1, kCycles, u"65534"));
    EXPECT_EQ(Grid().CellNumber(1, kCycles), 65534);

    // An emptied step becomes a zero step, and the row stops being runnable.
    ASSERT_TRUE(TypeIntoCell(View(), 1, kStep0, u"0:10:0; 25/30"));
    EXPECT_TRUE(Grid().RecordFlags(1) & kScenarioActive);
    ClickCell(View(), 5, 0);  // the edited row is no longer selected
    EXPECT_EQ(CellPixel(View(), 1, kStep0), ToQRgb(kDefined));
    ASSERT_TRUE(TypeIntoCell(View(), 1, kStep0, u""));
    EXPECT_EQ(Grid().CellText(1, kStep0), u"0:0:0; 125/125");
    EXPECT_FALSE(Grid().RecordFlags(1) & kScenarioActive);
    ClickCell(View(), 5, 0);
    EXPECT_EQ(CellPixel(View(), 1, kStep0), ToQRgb(kWhite));
    ASSERT_TRUE(TypeIntoCell(View(), 1, kDelay, u""));
    EXPECT_EQ(Grid().CellText(1, kDelay), u"0:0:0;");

    // A click on the number or name tells the duration; on any other cell it clears the text.
    ASSERT_TRUE(TypeIntoCell(View(), 2, kStep0, u"0:10:0"));
    ASSERT_TRUE(TypeIntoCell(View(), 2, kStep0 + 1, u"0:20:0"));
    status.Clear();
    ClickCell(View(), 2, 1);
    ClickCell(View(), 2, 0);
    ClickCell(View(), 2, kDelay);
    EXPECT_EQ(PaneTexts(),
              (std::vector<std::u16string>{
                  u"Продолжительность сценария Sn_3 = 0:30:0; Выполнено циклов - 0",
                  u"Продолжительность сценария Sn_3 = 0:30:0; Выполнено циклов - 0", u""}));
}

// A committed delay or step shows as it runs; one that does not parse is refused with a status
// text and the cell keeps the step that runs.
TEST_F(ScenarioPageTest, StepEditorsShowWhatRunsAndRefuseWhatDoesNotParse) {
    ASSERT_TRUE(TypeIntoCell(View(), 3, kStep0, u"0:0:30;20,5/25.5"));
    EXPECT_EQ(Grid().CellText(3, kStep0), u"0:0:30; 20/25");
    EXPECT_EQ(View().Model()->data(View().Model()->index(3, kStep0)).toString(),
              QStringLiteral("0:0:30; 20/25"));
    EXPECT_EQ(Grid().Record(3).steps[0], (ScenarioStep{30, 20, 25, kStepDefined}));
    ASSERT_TRUE(TypeIntoCell(View(), 3, kStep0 + 1, u"99:99:99;1/2"));
    EXPECT_EQ(Grid().CellText(3, kStep0 + 1), u"100:40:39; 1/2");
    ASSERT_TRUE(TypeIntoCell(View(), 3, kDelay, u"0:1:0"));
    EXPECT_EQ(Grid().CellText(3, kDelay), u"0:1:0;");

    for (const char16_t* typed : {u"abc", u"1:0:0;25", u"-1:0:0"}) {
        status.Clear();
        ASSERT_TRUE(TypeIntoCell(View(), 3, kStep0, typed));
        EXPECT_EQ(Grid().CellText(3, kStep0), u"0:0:30; 20/25") << Utf16ToUtf8(typed);
        EXPECT_EQ(Grid().Record(3).steps[0].duration, 30u);
        EXPECT_EQ(status.LastText(kPaneMain), kStepRefusedText);
    }
    ASSERT_TRUE(TypeIntoCell(View(), 3, kDelay, u"zwei Minuten"));
    EXPECT_EQ(Grid().CellText(3, kDelay), u"0:1:0;");
    EXPECT_EQ(status.LastText(kPaneMain), kDelayRefusedText);
    // An accepted entry takes the refusal away.
    ASSERT_TRUE(TypeIntoCell(View(), 3, kDelay, u"0:2:0;"));
    EXPECT_EQ(status.LastText(kPaneMain), u"");
    EXPECT_EQ(Grid().Record(3).delay, 120);
}

TEST_F(ScenarioPageTest, FileButtonsGoThroughTheDialog) {
    ASSERT_TRUE(TypeIntoCell(View(), 4, 1, u"Теплица"));
    ASSERT_TRUE(TypeIntoCell(View(), 4, kStep0, u"1:2:3;18/22"));
    status.Clear();

    // Cancelled save: nothing said, nothing written.
    Press(page->SaveButton());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].mode, FileDialogOptions::Mode::kSave);
    EXPECT_EQ(asked[0].filter, u"Scenario Files (*.snr)");
    EXPECT_EQ(asked[0].default_extension, u"snr");
    EXPECT_EQ(asked[0].folder, ScenarioFolder());
    EXPECT_EQ(owners[0], page->window());
    EXPECT_TRUE(PaneTexts().empty());

    // Saving over a longer file leaves exactly the 16 records.
    const std::string path = ScenarioFolder() + "/week.snr";
    std::ofstream(path, std::ios::binary) << std::string(9000, 'x');
    answer = path;
    Press(page->SaveButton());
    EXPECT_EQ(fs::file_size(path), 5408u);
    EXPECT_EQ(PaneTexts(), (std::vector<std::u16string>{u"Запись файла сценария выполнена"}));

    // Loading brings the saved rows back and says nothing.
    ASSERT_TRUE(TypeIntoCell(View(), 4, 1, u"другое"));
    ASSERT_TRUE(TypeIntoCell(View(), 4, kStep0, u"0:0:1"));
    status.Clear();
    Press(page->LoadButton());
    EXPECT_EQ(asked.back().mode, FileDialogOptions::Mode::kOpen);
    EXPECT_EQ(asked.back().folder, ScenarioFolder());
    EXPECT_EQ(Grid().CellText(4, 1), u"Теплица");
    EXPECT_EQ(Grid().CellText(4, kStep0), u"1:2:3; 18/22");
    EXPECT_TRUE(PaneTexts().empty());

    // A file of the wrong size is refused, and the failed load says why.
    const std::string short_file = dir + "/short.snr";
    std::ofstream(short_file, std::ios::binary) << std::string(5407, '\0');
    answer = short_file;
    EXPECT_FALSE(page->LoadScenarios());
    EXPECT_EQ(
        PaneTexts(),
        (std::vector<std::u16string>{u"Ошибка загрузки файла сценария: Файл сценария испорчен"}));
    EXPECT_EQ(Grid().CellText(4, 1), u"Теплица");
    // The next good load takes the failure away.
    answer = path;
    Press(page->LoadButton());
    EXPECT_EQ(PaneTexts(), (std::vector<std::u16string>{u""}));

    // A cancelled load says the load failed.
    answer.reset();
    Press(page->LoadButton());
    EXPECT_EQ(PaneTexts(), (std::vector<std::u16string>{u"Ошибка загрузки файла сценария"}));
}

TEST_F(ScenarioPageTest, RealDialogIsSetUpFromTheOptions) {
    FileDialogOptions options;
    options.mode = FileDialogOptions::Mode::kSave;
    options.filter = kScenarioFileFilter;
    options.pattern = kScenarioFilePattern;
    options.default_extension = kScenarioFileExtension;
    options.folder = dir;
    QFileDialog save;
    ConfigureFileDialog(save, options);
    EXPECT_EQ(save.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(save.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(save.nameFilters(), QStringList{QStringLiteral("Scenario Files (*.snr)")});
    EXPECT_EQ(save.defaultSuffix(), QStringLiteral("snr"));
    EXPECT_EQ(save.directory().absolutePath(), QString::fromStdString(dir));

    options.mode = FileDialogOptions::Mode::kOpen;
    options.filter = u"Day files";
    options.pattern = u"*.dat";
    QFileDialog open;
    ConfigureFileDialog(open, options);
    EXPECT_EQ(open.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(open.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(open.nameFilters(), QStringList{QStringLiteral("Day files (*.dat)")});
}

TEST_F(ScenarioPageTest, RunColoursFollowTheTimeline) {
    int64_t now = 1000;
    Grid().SetTimeSource([&now] { return now; });
    ASSERT_TRUE(TypeIntoCell(View(), 0, kCycles, u"2"));
    ASSERT_TRUE(TypeIntoCell(View(), 0, kDelay, u"0:0:10"));
    ASSERT_TRUE(TypeIntoCell(View(), 0, kStep0, u"0:0:20; 20/30"));
    ASSERT_TRUE(TypeIntoCell(View(), 0, kStep0 + 1, u"0:0:30; 25/35"));
    ClickCell(View(), 5, 0);  // the selection elsewhere
    Grid().RestartAll();
    Pump();
    EXPECT_EQ(CellPixel(View(), 0, kDelay), ToQRgb(kDelaySet));
    EXPECT_EQ(CellPixel(View(), 0, kStep0), ToQRgb(kDefined));
    EXPECT_EQ(CellPixel(View(), 0, kStep0 + 2), ToQRgb(kWhite));
    EXPECT_EQ(CellPixel(View(), 0, kCycles), ToQRgb(kWhite));

    // The thermostat polls from the measurement thread; the window thread repaints.
    auto poll_at = [&](int64_t t) {
        int step = 0;
        std::thread([&] {
            now = t;
            step = Grid().FindActiveStep(0);
        }).join();
        Pump();
        return step;
    };
    EXPECT_EQ(poll_at(1005), GridSn::kInDelay);
    EXPECT_EQ(CellPixel(View(), 0, kDelay), ToQRgb(kRunning));
    EXPECT_EQ(poll_at(1015), 0);
    EXPECT_EQ(CellPixel(View(), 0, kDelay), ToQRgb(kDone));
    EXPECT_EQ(CellPixel(View(), 0, kStep0), ToQRgb(kRunning));
    EXPECT_EQ(CellPixel(View(), 0, kStep0 + 1), ToQRgb(kDefined));
    EXPECT_EQ(poll_at(1035), 1);
    EXPECT_EQ(CellPixel(View(), 0, kStep0), ToQRgb(kDone));
    EXPECT_EQ(CellPixel(View(), 0, kStep0 + 1), ToQRgb(kRunning));

    // The end of the first cycle is counted and told on a click.
    EXPECT_EQ(poll_at(1070), GridSn::kEndOfCycle);
    status.Clear();
    ClickCell(View(), 0, 1);
    EXPECT_EQ(PaneTexts(), (std::vector<std::u16string>{
                               u"Продолжительность сценария Sn_1 = 0:0:50; Выполнено циклов - 1"}));
}

}  // namespace
}  // namespace kalvo
