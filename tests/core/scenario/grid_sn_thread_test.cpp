// The measurement thread polls the timeline while the window thread edits, loads and restarts.
// Run under ThreadSanitizer (label tsan), this proves the table is serialised.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/common/text.h"
#include "core/scenario/grid_sn.h"

namespace kalvo {
namespace {

// Reads cells back on every notice, as a view does.
struct ReadingView : GridObserver {
    GridSn* grid;
    std::atomic<int> notices{0};
    void OnCellChanged(int r, int c) override {
        grid->CellBackground(r, c);
        grid->CellText(r, c);
        notices.fetch_add(1);
    }
};

TEST(ScenarioThreads, PollingWhileEditingAndRestarting) {
    GridSn grid;
    std::atomic<int64_t> clock{0};
    grid.SetTimeSource([&clock] { return clock.load(); });
    ReadingView view;
    view.grid = &grid;
    grid.AddObserver(&view);
    for (int row = 0; row < 16; ++row) {
        grid.UserSetNumber(row, 2, 2 + row % 3);
        grid.UserSetText(row, 3, row % 2 ? u"0:0:3" : u"0:0:0");
        for (int k = 0; k < 4; ++k) grid.UserSetText(row, 4 + k, u"0:0:2; 20/30");
    }
    grid.RestartAll();

    std::atomic<bool> stop{false};
    std::atomic<int> polls{0};
    std::thread measuring([&] {
        while (!stop.load()) {
            for (int row = 0; row < 16; ++row) {
                ScenarioStep step;
                const int result = grid.FindActiveStep(row, &step);
                grid.TakeDelayNotice(row);
                if (result == GridSn::kEndOfCycle) grid.ClearRunMarks(row);
            }
            clock.fetch_add(1);
            polls.fetch_add(1);
        }
    });
    // What the thermostat and the views read, without advancing anything.
    std::thread reading([&] {
        while (!stop.load()) {
            for (int row = 0; row < 16; ++row) {
                grid.RecordFlags(row);
                grid.Record(row);
                grid.ScenarioDuration(row);
                grid.CompletedCycles(row);
                grid.CellBackground(row, 3 + row);
            }
        }
    });

    for (int round = 0; round < 2000 || polls.load() < 200; ++round) {
        const int row = round % 16;
        grid.UserSetText(row, 1, u"Сценарий " + ToU16(round));
        grid.UserSetText(row, 4 + round % 16, round % 5 ? u"0:0:1; 1/2" : u"");
        grid.UserSetNumber(row, 2, round % 4);
        grid.UserClicked(row, 1);
        grid.DurationText(row);
        if (round % 25 == 0) grid.RestartAll();
        if (round % 40 == 0) grid.LoadAll(grid.StoreAll());
        if (round % 8 == 0) std::this_thread::yield();
    }
    stop.store(true);
    measuring.join();
    reading.join();
    grid.RemoveObserver(&view);

    EXPECT_GT(view.notices.load(), 0);
    for (int row = 0; row < 16; ++row) EXPECT_GE(grid.CompletedCycles(row), 0);
}

// A rebuild while the measurement thread polls: the thread sees the whole old table or the whole
// new one, never one without rows or records.
TEST(ScenarioThreads, RebuildIsOneStepForThePoller) {
    GridSn grid;
    std::atomic<bool> stop{false};
    std::atomic<int> polls{0}, torn{0};
    std::thread measuring([&] {
        while (!stop.load()) {
            if (grid.RecordCount() != kScenarioCount || grid.RowCount() != kScenarioCount ||
                grid.CellText(kScenarioCount - 1, GridSn::kColFirstStep + kScenarioSteps - 1)
                    .empty())
                torn.fetch_add(1);
            grid.FindActiveStep(polls.load() % kScenarioCount);
            polls.fetch_add(1);
        }
    });
    for (int round = 0; round < 300 || polls.load() < 300; ++round) {
        grid.Build();
        if (round % 8 == 0) std::this_thread::yield();
    }
    stop.store(true);
    measuring.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace kalvo
