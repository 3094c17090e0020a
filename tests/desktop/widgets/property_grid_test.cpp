// The property grid driven with the mouse and keyboard: editors per cell kind, notifications,
// the colour chooser, painting, and changes arriving from another thread.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QToolTip>

#include <atomic>
#include <memory>
#include <thread>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/text.h"
#include "desktop/widgets/colour_dialog.h"
#include "ui_test_util.h"

namespace kalvo {
namespace {

using namespace testing_ui;

constexpr int kNum = 0, kName = 1, kCount = 2, kType = 3, kColour = 4, kState = 5;
constexpr uint32_t kCellColour = Rgb(255, 250, 205);

// Every cell kind, with a colour rule like the device tables': colour cells in their colour.
class TestGrid : public GridBase {
  public:
    TestGrid() {
        SetColumns({
            {u"№", 40, CellKind::kReadOnlyText, u"", {}},
            {u"Имя", 120, CellKind::kText, u"", {}},
            {u"N", 60, CellKind::kNumber, u"", {}},
            {u"Тип", 100, CellKind::kList, u"", {u"Нагреватель", u"Охладитель"}},
            {u"Цвет", 70, CellKind::kColour, u"", {}},
            {u"Вкл", 50, CellKind::kStateColour, u"", {}},
        });
        for (int r = 0; r < 4; ++r) {
            AppendRow();
            SetCellText(r, kNum, ToU16(r + 1));
            SetCellText(r, kName, u"Имя " + ToU16(r + 1));
            SetCellColour(r, kColour, Rgb(255, 99, 71));
            SetCellColour(r, kState, Rgb(154, 205, 50));
        }
    }
    uint32_t CellBackground(int row, int col) const override {
        if (col == kColour || col == kState) return CellColour(row, col);
        return kCellColour;
    }
};

struct Recorder : GridObserver {
    std::vector<std::pair<int, int>> edited, clicked;
    void OnItemChanged(int r, int c) override { edited.emplace_back(r, c); }
    void OnCellClicked(int r, int c) override { clicked.emplace_back(r, c); }
};

using Notice = std::array<int, 3>;  // code, row, column

class PropertyGridTest : public testing::Test {
  protected:
    void SetUp() override {
        grid = std::make_unique<TestGrid>();
        grid->AddObserver(&recorder);
        view = std::make_unique<PropertyGrid>(*grid);
        view->resize(520, 200);
        view->show();
        view->SetNotifyHandler([this](int code, int row, int col) {
            notices.push_back({code, row, col});
            return click_answer;
        });
        Pump();
    }
    void TearDown() override {
        view.reset();
        grid->RemoveObserver(&recorder);
        SetColourChooser(nullptr);
        Pump();
    }
    std::vector<Notice> Edits() const {
        std::vector<Notice> edits;
        for (const Notice& n : notices)
            if (n[0] == kNotifyItemChanged) edits.push_back(n);
        return edits;
    }

    std::unique_ptr<TestGrid> grid;
    Recorder recorder;
    std::unique_ptr<PropertyGrid> view;
    std::vector<Notice> notices;
    int click_answer = 0;
};

TEST_F(PropertyGridTest, EditableCellsEditInPlaceAndTellOnlyRealChanges) {
    ASSERT_TRUE(TypeIntoCell(*view, 1, kName, u"Подвал, север"));
    EXPECT_EQ(grid->CellText(1, kName), u"Подвал, север");
    // The click is told first, then the edit, to the handler and to the table's observers.
    EXPECT_EQ(notices, (std::vector<Notice>{{kNotifyCellClicked, 1, kName},
                                            {kNotifyItemChanged, 1, kName}}));
    EXPECT_EQ(recorder.edited, (std::vector<std::pair<int, int>>{{1, kName}}));

    // Whole numbers: a sign and digits only; beyond 32 bits refused; empty reads as 0.
    ASSERT_TRUE(TypeIntoCell(*view, 2, kCount, u"-1x2y3"));
    EXPECT_EQ(grid->CellNumber(2, kCount), -123);
    ASSERT_TRUE(TypeIntoCell(*view, 2, kCount, u"9999999999"));
    EXPECT_EQ(grid->CellNumber(2, kCount), -123);
    EXPECT_EQ(Edits().size(), 2u);
    ASSERT_TRUE(TypeIntoCell(*view, 2, kCount, u""));
    EXPECT_EQ(grid->CellNumber(2, kCount), 0);

    // Lists: the column's items; the choice commits at once.
    ClickCell(*view, 2, kType);
    QComboBox* box = OpenEditor<QComboBox>(*view);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->itemText(1), QStringLiteral("Охладитель"));
    QTest::keyClick(box, Qt::Key_Down);
    Pump();
    EXPECT_EQ(grid->CellText(2, kType), u"Охладитель");
    EXPECT_EQ(Edits().back(), (Notice{kNotifyItemChanged, 2, kType}));
    EXPECT_EQ(OpenEditor<QComboBox>(*view), nullptr);

    // The same text again, or Escape, changes and tells nothing.
    notices.clear();
    ASSERT_TRUE(TypeIntoCell(*view, 1, kName, u"Подвал, север"));
    ClickCell(*view, 0, kName);
    QLineEdit* edit = OpenEditor<QLineEdit>(*view);
    ASSERT_NE(edit, nullptr);
    QTest::keyClicks(edit, QStringLiteral("zzz"));
    QTest::keyClick(edit, Qt::Key_Escape);
    Pump();
    EXPECT_EQ(grid->CellText(0, kName), u"Имя 1");
    EXPECT_TRUE(Edits().empty());

    // F2 opens the editor of the current cell.
    view->setCurrentIndex(view->Model()->index(3, kName));
    QTest::keyClick(view.get(), Qt::Key_F2);
    Pump();
    EXPECT_NE(OpenEditor<QLineEdit>(*view), nullptr);
}

// A table's check sees a typed text before the grid: it may store another form or refuse it,
// and a refused entry leaves the cell and tells nobody.
TEST_F(PropertyGridTest, AnEditCheckNormalisesOrRefusesBeforeTheGrid) {
    std::vector<std::u16string> checked;
    view->SetEditCheck([&](int, int, const std::u16string& typed) -> std::optional<std::u16string> {
        checked.push_back(typed);
        if (typed == u"нет") return std::nullopt;
        return typed + u"!";
    });
    ASSERT_TRUE(TypeIntoCell(*view, 1, kName, u"да"));
    EXPECT_EQ(grid->CellText(1, kName), u"да!");
    notices.clear();
    ASSERT_TRUE(TypeIntoCell(*view, 1, kName, u"нет"));
    EXPECT_EQ(grid->CellText(1, kName), u"да!");
    EXPECT_TRUE(Edits().empty());
    EXPECT_TRUE(recorder.edited.size() == 1u);
    // An editor closed without a change is no entry: the check is not asked.
    ASSERT_TRUE(TypeIntoCell(*view, 1, kName, u"да!"));
    EXPECT_EQ(checked, (std::vector<std::u16string>{u"да", u"нет"}));
    // Whole numbers keep their own rule.
    ASSERT_TRUE(TypeIntoCell(*view, 2, kCount, u"12"));
    EXPECT_EQ(grid->CellNumber(2, kCount), 12);
    EXPECT_EQ(checked.size(), 2u);
}

// A read-only text (a serial number) cannot be opened to be read: its column grows to the widest
// cell, until the user sizes it. Editable columns keep their width.
TEST_F(PropertyGridTest, ReadOnlyColumnsGrowToTheirText) {
    const QString serial = QStringLiteral("3d0000000abcde3a3d0000000abcde3a");
    const int number_width = view->columnWidth(kNum);
    const int name_width = view->columnWidth(kName);
    ASSERT_LT(number_width, view->fontMetrics().horizontalAdvance(serial));
    grid->SetCellText(2, kNum, FromQString(serial));
    grid->SetCellText(2, kName, FromQString(serial + serial));
    Pump();
    EXPECT_GE(view->columnWidth(kNum), view->fontMetrics().horizontalAdvance(serial) + 7);
    EXPECT_EQ(view->columnWidth(kName), name_width);
    grid->SetCellText(2, kNum, u"4");
    Pump();
    EXPECT_GT(view->columnWidth(kNum), number_width) << "it never shrinks under the user";

    view->horizontalHeader()->resizeSection(kNum, 30);  // as a drag does
    grid->SetCellText(1, kNum, FromQString(serial + serial));
    Pump();
    EXPECT_EQ(view->columnWidth(kNum), 30);
}

TEST_F(PropertyGridTest, ShownOnlyCellsAndAnsweredClicksOpenNoEditor) {
    int chooser_calls = 0;
    SetColourChooser([&](QWidget*, uint32_t, CustomColours&) -> std::optional<uint32_t> {
        ++chooser_calls;
        return Rgb(1, 2, 3);
    });
    for (int col : {kNum, kState}) {
        ClickCell(*view, 1, col);
        DoubleClickCell(*view, 1, col);
        view->setCurrentIndex(view->Model()->index(1, col));
        QTest::keyClick(view.get(), Qt::Key_F2);
        Pump();
        EXPECT_EQ(OpenEditor<QLineEdit>(*view), nullptr) << col;
    }
    EXPECT_EQ(chooser_calls, 0);
    EXPECT_EQ(grid->CellColour(1, kState), Rgb(154, 205, 50));
    EXPECT_FALSE(view->Model()->setData(view->Model()->index(0, kNum), QStringLiteral("9")));

    // A non-zero answer to the click notice keeps the editor closed.
    click_answer = 1;
    ClickCell(*view, 0, kName);
    EXPECT_EQ(OpenEditor<QLineEdit>(*view), nullptr);
}

TEST_F(PropertyGridTest, ColourCellsUseTheChooserAndOneSetOfCustomColours) {
    SetCustomColours({});
    std::vector<uint32_t> initials;
    std::vector<QWidget*> owners;
    std::optional<uint32_t> answer = Rgb(10, 20, 30);
    SetColourChooser([&](QWidget* owner, uint32_t initial, CustomColours& custom) {
        owners.push_back(owner);
        initials.push_back(initial);
        custom[initials.size() - 1] = Rgb(uint8_t(initials.size()), 0, 0);  // the user keeps one
        return answer;
    });

    DoubleClickCell(*view, 1, kColour);
    ASSERT_EQ(initials.size(), 1u);
    EXPECT_EQ(initials[0], Rgb(255, 99, 71));  // starts from the cell's colour
    EXPECT_EQ(owners[0], view->window());
    EXPECT_EQ(grid->CellColour(1, kColour), Rgb(10, 20, 30));
    EXPECT_EQ(Edits(), (std::vector<Notice>{{kNotifyItemChanged, 1, kColour}}));

    // Cancel leaves the colour; the custom colours kept in the cancelled dialog stay.
    answer.reset();
    DoubleClickCell(*view, 2, kColour);
    EXPECT_EQ(grid->CellColour(2, kColour), Rgb(255, 99, 71));
    EXPECT_EQ(Edits().size(), 1u);
    const CustomColours kept = GetCustomColours();
    EXPECT_EQ(kept[0], Rgb(1, 0, 0));
    EXPECT_EQ(kept[1], Rgb(2, 0, 0));
}

TEST_F(PropertyGridTest, CellsPaintTheTableRuleAndSelectedRowsTheSelectionColours) {
    EXPECT_EQ(CellPixel(*view, 1, kName), ToQRgb(kCellColour));
    EXPECT_EQ(CellPixel(*view, 1, kColour), ToQRgb(Rgb(255, 99, 71)));
    EXPECT_EQ(CellPixel(*view, 1, kState), ToQRgb(Rgb(154, 205, 50)));

    view->selectRow(1);
    Pump();
    const QRgb highlight = view->palette().color(QPalette::Active, QPalette::Highlight).rgb();
    const QRgb inactive = view->palette().color(QPalette::Inactive, QPalette::Highlight).rgb();
    for (int col : {kNum, kName, kColour, kState}) {
        const QRgb shown = CellPixel(*view, 1, col);
        EXPECT_TRUE(shown == highlight || shown == inactive) << col;
    }
    // A selected colour cell still shows its colour inside.
    const QRect r = view->CellRect(1, kColour);
    EXPECT_EQ(view->viewport()->grab().toImage().pixel(r.center()) | 0xFF000000u,
              ToQRgb(Rgb(255, 99, 71)));
    EXPECT_EQ(CellPixel(*view, 2, kName), ToQRgb(kCellColour));

    // A text cut by its column shows whole in a tooltip; one that fits shows none.
    grid->SetCellText(3, kName, u"Очень длинное имя термометра у северной стены");
    Pump();
    auto tooltip_at = [&](int row, int col) {
        const QPoint at = view->CellRect(row, col).center();
        QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(tooltip_at(2, kName), QString());  // first: a shown tip fades out only later
    EXPECT_EQ(tooltip_at(3, kName),
              QStringLiteral("Очень длинное имя термометра у северной стены"));

    // A colour stored by the program repaints the cell.
    grid->SetCellColour(2, kState, Rgb(255, 160, 122));
    Pump();
    EXPECT_EQ(CellPixel(*view, 2, kState), ToQRgb(Rgb(255, 160, 122)));
}

TEST_F(PropertyGridTest, ChangesFromAnotherThreadReachTheViewThroughItsEventLoop) {
    GridModel* model = view->Model();
    QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
    std::thread([&] {
        for (int r = 0; r < 4; ++r) grid->SetCellText(r, kName, u"  2" + ToU16(r) + u",50");
        grid->AppendRow();
    }).join();
    // Nothing touches the view from the other thread; the window thread catches up.
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(model->rowCount(), 4);
    Pump();
    EXPECT_EQ(model->rowCount(), 5);
    EXPECT_EQ(model->data(model->index(3, kName)).toString(), QStringLiteral("  23,50"));

    // Many notices, one repaint covering them.
    std::thread([&] {
        for (int i = 0; i < 100; ++i) grid->SetCellText(i % 4, kName, ToU16(i));
    }).join();
    changed.clear();
    Pump();
    ASSERT_EQ(changed.count(), 1);
    const auto top_left = changed[0][0].value<QModelIndex>();
    const auto bottom_right = changed[0][1].value<QModelIndex>();
    EXPECT_EQ(top_left, model->index(0, kName));
    EXPECT_EQ(bottom_right, model->index(3, kName));

    // A view may go away while the other thread is still writing.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) grid->SetCellText(i % 4, kName, ToU16(i));
    });
    for (int i = 0; i < 20; ++i) {
        auto extra = std::make_unique<PropertyGrid>(*grid);
        Pump();
    }
    stop = true;
    writer.join();
    Pump();
}

TEST_F(PropertyGridTest, NoEditIsLostWhileAnotherThreadWritesTheTable) {
    // The measurement thread redraws the very cell being edited (a scenario's cycles cell).
    ClickCell(*view, 2, kCount);
    QLineEdit* open = OpenEditor<QLineEdit>(*view);
    ASSERT_NE(open, nullptr);
    QTest::keyClicks(open, QStringLiteral("5"));
    std::thread([&] { grid->RedrawCell(2, kCount); }).join();
    Pump();
    EXPECT_EQ(open->text(), QStringLiteral("5"));
    QTest::keyClick(open, Qt::Key_Return);
    Pump();
    EXPECT_EQ(grid->CellNumber(2, kCount), 5);
    notices.clear();

    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread worker([&] {
        for (int i = 0; !stop; ++i) {
            grid->SetCellText(i % 4, kNum, u"  " + ToU16(i));  // the temperature of a cycle
            grid->RedrawCell(i % 4, kName);                    // and a redraw of the edited cell
            ++writes;
            std::this_thread::yield();
        }
    });
    for (int r = 0; r < 4; ++r) {
        const std::u16string name = u"Датчик " + ToU16(r);
        ClickCell(*view, r, kName);
        QLineEdit* edit = OpenEditor<QLineEdit>(*view);
        ASSERT_NE(edit, nullptr);
        edit->clear();
        TypeText(edit, ToQString(name));
        // The worker's notices are handled while the editor is open.
        while (writes < (r + 1) * 100) std::this_thread::yield();
        Pump();
        QTest::keyClick(edit, Qt::Key_Return);
        Pump();
        EXPECT_EQ(grid->CellText(r, kName), name);
    }
    stop = true;
    worker.join();
    Pump();
    EXPECT_EQ(Edits().size(), 4u);
}

}  // namespace
}  // namespace kalvo
