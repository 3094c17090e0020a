#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/common/grid_base.h"

namespace kalvo {
namespace {

std::vector<GridColumn> Columns() {
    return {
        {u"№", 50, CellKind::kReadOnlyText, u"num", {}},
        {u"Имя", 120, CellKind::kText, u"name", {}},
        {u"N", 70, CellKind::kNumber, u"n", {}},
        {u"Тип", 80, CellKind::kList, u"type", {u"Нагреватель", u"Охладитель"}},
        {u"Цвет", 100, CellKind::kColour, u"colour", {}},
        {u"Вкл", 60, CellKind::kStateColour, u"state", {}},
    };
}

struct Recorder : GridObserver {
    std::vector<std::pair<int, int>> changed, edited, clicked;
    int resets = 0;
    void OnCellChanged(int r, int c) override { changed.emplace_back(r, c); }
    void OnItemChanged(int r, int c) override { edited.emplace_back(r, c); }
    void OnCellClicked(int r, int c) override { clicked.emplace_back(r, c); }
    void OnRowsReset() override { ++resets; }
};

TEST(GridBase, CellKindsAndMissingCells) {
    GridBase g;
    g.SetColumns(Columns());
    ASSERT_EQ(g.AppendRow(), 0);
    EXPECT_TRUE(g.SetCellText(0, 1, u"Термометр 1"));
    EXPECT_EQ(g.CellText(0, 1), u"Термометр 1");
    EXPECT_EQ(g.CellNumber(0, 1), -1);  // text cell has no number

    EXPECT_TRUE(g.SetCellNumber(0, 2, 16));
    EXPECT_EQ(g.CellText(0, 2), u"16");
    EXPECT_TRUE(g.SetCellText(0, 2, u"-4"));
    EXPECT_EQ(g.CellNumber(0, 2), -4);
    EXPECT_FALSE(g.SetCellText(0, 2, u"abc"));
    EXPECT_EQ(g.CellNumber(0, 2), -4);

    EXPECT_EQ(g.CellText(0, 3), u"Нагреватель");
    EXPECT_TRUE(g.SetCellText(0, 3, u"Охладитель"));
    EXPECT_EQ(g.CellNumber(0, 3), 1);
    EXPECT_FALSE(g.SetCellText(0, 3, u"Другое"));
    EXPECT_TRUE(g.SetCellNumber(0, 3, 7));
    EXPECT_EQ(g.CellText(0, 3), u"");  // out-of-range index shows nothing

    EXPECT_TRUE(g.SetCellColour(0, 4, 0xFF3366AA));
    EXPECT_EQ(g.CellColour(0, 4), 0x003366AAu);
    EXPECT_EQ(g.CellText(0, 4), u"");
    EXPECT_FALSE(g.SetCellColour(0, 1, 1));

    for (auto [r, c] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 6}}) {
        EXPECT_EQ(g.CellText(r, c), u"");
        EXPECT_EQ(g.CellNumber(r, c), -1);
        EXPECT_EQ(g.CellColour(r, c), 0u);
        EXPECT_FALSE(g.SetCellText(r, c, u"x"));
        EXPECT_FALSE(g.SetCellData(r, c, 5));
    }
}

TEST(GridBase, AttachedDataIsSeparateFromTheText) {
    GridBase g;
    g.SetColumns(Columns());
    g.AppendRow();
    EXPECT_EQ(g.CellData(0, 1), 0);
    g.SetCellData(0, 1, 1234567890123);
    g.SetCellText(0, 1, u"x");
    EXPECT_EQ(g.CellData(0, 1), 1234567890123);
    EXPECT_EQ(g.CellText(0, 1), u"x");
}

TEST(GridBase, NotificationsFollowTheirSource) {
    GridBase g;
    Recorder rec;
    g.AddObserver(&rec);
    g.SetColumns(Columns());
    g.AppendRow();
    EXPECT_EQ(rec.resets, 2);

    g.SetCellText(0, 1, u"a");  // program write: changed only
    EXPECT_EQ(rec.changed.size(), 1u);
    EXPECT_TRUE(rec.edited.empty());

    g.UserSetText(0, 1, u"b");  // user edit: changed, then item changed
    EXPECT_EQ(rec.edited, (std::vector<std::pair<int, int>>{{0, 1}}));
    EXPECT_FALSE(g.UserSetText(0, 2, u"no number"));
    EXPECT_EQ(rec.edited.size(), 1u);

    g.UserClicked(0, 3);
    EXPECT_EQ(rec.clicked, (std::vector<std::pair<int, int>>{{0, 3}}));
    g.RemoveObserver(&rec);
    g.SetCellText(0, 1, u"c");
    EXPECT_EQ(rec.changed.size(), 2u);
}

// An observer may read the grid from its notification: the lock is not held then.
TEST(GridBase, ObserverMayReenter) {
    struct Reader : GridObserver {
        GridBase* g;
        std::u16string seen;
        void OnCellChanged(int r, int c) override { seen = g->CellText(r, c); }
    } reader;
    GridBase g;
    reader.g = &g;
    g.SetColumns(Columns());
    g.AppendRow();
    g.AddObserver(&reader);
    g.SetCellText(0, 1, u"z");
    EXPECT_EQ(reader.seen, u"z");
}

TEST(GridBase, ConcurrentWritersAndReaders) {
    GridBase g;
    g.SetColumns(Columns());
    for (int i = 0; i < 8; ++i) g.AppendRow();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) g.SetCellText(i % 8, 1, i % 2 ? u"odd text" : u"even");
        stop = true;
    });
    size_t bad = 0;
    while (!stop) {
        for (int r = 0; r < 8; ++r) {
            auto t = g.CellText(r, 1);
            if (!t.empty() && t != u"odd text" && t != u"even") ++bad;
        }
    }
    writer.join();
    EXPECT_EQ(bad, 0u);
}

}  // namespace
}  // namespace kalvo

namespace kalvo {
namespace {

// A view destroyed on one thread while another thread is inside its notification: removal must
// wait for that call to end, or the observer is used after it is gone.
TEST(GridBase, RemoveObserverWaitsForACallInProgress) {
    struct Slow : GridObserver {
        std::atomic<bool> inside{false}, done{false};
        void OnCellChanged(int, int) override {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            done = true;
        }
    } slow;
    GridBase g;
    g.SetColumns(Columns());
    g.AppendRow();
    g.AddObserver(&slow);
    std::thread writer([&] { g.SetCellText(0, 1, u"x"); });
    while (!slow.inside) std::this_thread::yield();
    g.RemoveObserver(&slow);
    EXPECT_TRUE(slow.done);
    writer.join();

    // Removing itself from inside its own notification does not wait for itself.
    struct SelfRemoving : GridObserver {
        GridBase* g = nullptr;
        int calls = 0;
        void OnCellChanged(int, int) override {
            ++calls;
            g->RemoveObserver(this);
        }
    } self;
    self.g = &g;
    g.AddObserver(&self);
    g.SetCellText(0, 1, u"y");
    g.SetCellText(0, 1, u"z");
    EXPECT_EQ(self.calls, 1);
}

}  // namespace
}  // namespace kalvo
