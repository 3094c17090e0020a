// The archive tree over an archive on disk: order, filtering, lazy filling, rebuilds, and the
// double click that opens days in tabs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <array>

#include "archive_fixture.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "desktop/archive/archive_frame_link.h"
#include "desktop/archive/tree_wnd.h"
#include "desktop/archive/view_file.h"
#include "desktop/widgets/app_event.h"

namespace kalvo {
namespace {

using namespace fixture;
using Posts = std::vector<std::array<intptr_t, 3>>;  // message, wParam, lParam
using Texts = std::vector<std::string>;

struct FakeLink : ArchiveFrameLink {
    void PostToFrame(uint32_t m, uintptr_t w, intptr_t l) override {
        posts.push_back({m, intptr_t(w), l});
    }
    Posts posts;
};

void Pump() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

Texts TextsOf(const QTreeWidgetItem* parent) {
    Texts texts;
    for (int i = 0; i < parent->childCount(); ++i)
        texts.push_back(parent->child(i)->text(0).toStdString());
    return texts;
}

TEST(ArchiveOrder, MixedPairsStayUnorderedAndHugeNumbersDoNotOverflow) {
    EXPECT_EQ(CompareArchiveItems({u"2010", true}, {u"3 март", true}), 0);  // year and month
    EXPECT_EQ(CompareArchiveItems({u"2010", true}, {u"day7.dat", false}), 0);
    EXPECT_EQ(CompareArchiveItems({u"notes.txt", false}, {u"day7.dat", false}), 0);
    EXPECT_EQ(CompareArchiveItems({std::u16string(64, u'x') + u"9", false}, {u"day1", false}), 0);
    EXPECT_EQ(CompareArchiveItems({u"d99999999999999999999999", false}, {u"day7", false}), -1);
}

class ArchiveTree : public ::testing::Test {
  protected:
    void SetUp() override {
        root = dir + "/appdata";
        for (auto [y, m, d] : {std::array{2009, 12, 31},
                               {2010, 1, 1},
                               {2010, 3, 7},
                               {2010, 3, 2},
                               {2010, 3, 10},
                               {2010, 3, 8},
                               {2010, 10, 5}})
            AddDay(y, m, d);
        std::ofstream(root + "/setting.stg") << "x";
        std::ofstream(root + "/2010/3 март/.hidden.dat") << "x";
        tree = std::make_unique<CTreeWnd>(&link, root);
        tree->resize(240, 400);
        tree->show();
        PostAppEvent(tree.get(), WM_APP_INIT_VIEW);
        Pump();
    }
    void AddDay(int y, int m, int d) {
        const std::vector<Thermometer> pair = {{0x28, u"a", 0xFFFF0000}, {0x10, u"b", 0xFF0000FF}};
        WriteDay(root,
                 MakeDay(pair, LocalSeconds(y, m, d, 9), 360, 10,
                         [](size_t i, int) { return 20.0 + i; }),
                 2);
    }
    QTreeWidgetItem* Top() { return tree->invisibleRootItem(); }
    // Press, release, double click, release; the frame then opens what the tree posted.
    CViewFile* DoubleClick(QTreeWidgetItem* item) {
        const QPoint at = tree->visualItemRect(item).center();
        link.posts.clear();
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, at);
        EXPECT_EQ(link.posts, (Posts{{WM_APP_OPEN_DAY, 0, PackPoint(at.x(), at.y())}}));
        return OpenDayTab(&tabs, *tree, link.posts.at(0)[2], &status);
    }

    QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    std::string root;
    FakeLink link;
    RecordingStatusBar status;
    QTabWidget tabs;
    std::unique_ptr<CTreeWnd> tree;
};

TEST_F(ArchiveTree, ListsNewestFirstFillsLazilyAndRebuildsOnTheSecondExpansion) {
    EXPECT_EQ(link.posts, (Posts{{WM_APP_INIT_NEXT, 0, 1}}));
    ASSERT_EQ(TextsOf(Top()), (Texts{"2010", "2009"}));  // not setting.stg
    QTreeWidgetItem* year = Top()->child(0);
    EXPECT_EQ(year->childCount(), 0);
    tree->setCurrentItem(year);  // selected before its first expansion: filled all the same
    tree->expandItem(year);
    ASSERT_EQ(TextsOf(year), (Texts{"10 октябрь", "3 март", "1 январь"}));
    QTreeWidgetItem* march = year->child(1);
    tree->expandItem(march);
    EXPECT_EQ(TextsOf(march), (Texts{"day10.dat", "day8.dat", "day7.dat", "day2.dat"}));
    EXPECT_EQ(year->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    EXPECT_EQ(march->child(0)->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);

    // A day written since shows once a second collapse rebuilds the tree, folded to the years,
    // the old nodes freed.
    AddDay(2010, 3, 9);
    tree->collapseItem(march);
    Pump();
    ASSERT_EQ(TextsOf(Top()), (Texts{"2010", "2009"}));
    EXPECT_FALSE(Top()->child(0)->isExpanded());
    EXPECT_EQ(CTreeWnd::LiveNodesForTesting(), 2);
    tree->expandItem(Top()->child(0));
    tree->expandItem(march = Top()->child(0)->child(1));
    EXPECT_EQ(TextsOf(march), (Texts{"day10.dat", "day9.dat", "day8.dat", "day7.dat", "day2.dat"}));

    // A missing archive root: an empty tree, and the start-up chain goes on.
    link.posts.clear();
    tree->SetArchiveRoot(dir + "/none");
    PostAppEvent(tree.get(), WM_APP_INIT_VIEW);
    Pump();
    EXPECT_EQ(Top()->childCount(), 0);
    EXPECT_EQ(CTreeWnd::LiveNodesForTesting(), 0);
    EXPECT_EQ(link.posts, (Posts{{WM_APP_INIT_NEXT, 0, 1}}));
}

TEST_F(ArchiveTree, DoubleClickOpensADayInAFurtherTabAndNeverToggles) {
    QTreeWidgetItem* year = Top()->child(0);
    EXPECT_EQ(DoubleClick(year), nullptr);
    EXPECT_FALSE(year->isExpanded());
    tree->expandItem(year);
    QTreeWidgetItem* march = year->child(1);
    EXPECT_EQ(DoubleClick(march), nullptr);
    EXPECT_FALSE(march->isExpanded());
    EXPECT_EQ(tabs.count(), 0);

    tree->expandItem(march);
    tabs.resize(500, 300);
    tabs.show();
    QPointer<CViewFile> first = DoubleClick(march->child(2));
    QPointer<CViewFile> second = DoubleClick(march->child(2));
    ASSERT_TRUE(first && second && first != second);
    EXPECT_EQ(tabs.currentWidget(), second.data());
    EXPECT_EQ(tabs.tabText(0), "day7.dat");
    EXPECT_EQ(tabs.tabText(1), "day7.dat");
    EXPECT_EQ(first->Path(), root + "/2010/3 март/day7.dat");
    EXPECT_EQ(status.LastText(kPaneMain), QString::fromStdString(first->Path()).toStdU16String());
    Pump();
    EXPECT_EQ(second->Chart().GetCount(), 720);

    // Thinning one tab leaves the other whole.
    tabs.setCurrentIndex(0);
    first->viewport()->grab();
    const ChartLayout& l = first->Chart().GetLayout();
    const int row = (first->Chart().GetUpperLimit() - 20) * l.pixels_per_degree + l.plot.y;
    first->OnMenuCommand(kCmdCompress, QPoint(l.plot.x + 1, row + 1));
    EXPECT_EQ(first->Chart().GetCount(), 2);  // flat: the first and the last reading
    EXPECT_EQ(second->Chart().GetCount(), 720);

    // A frame that does not take the view over gets none; nothing is left behind.
    EXPECT_EQ(OpenDay(*tree, tree->visualItemRect(march->child(2)).center(), &status,
                      [](CViewFile*, const QString&) {}),
              nullptr);
}

}  // namespace
}  // namespace kalvo
