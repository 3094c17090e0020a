// The scenario table: rows <-> records, end-of-edit rules, status texts and the timeline driven
// by an injected clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_model.h"

namespace kalvo {
namespace {

constexpr int kDelay = GridSn::kColDelay;
constexpr int kStep0 = GridSn::kColFirstStep;
constexpr int kEnd = GridSn::kEndOfCycle;
constexpr uint32_t kRunning = Rgb(238, 130, 238), kDone = Rgb(172, 23, 172);

class ScenarioGrid : public testing::Test {
  protected:
    ScenarioGrid() {
        grid.SetTimeSource([this] { return now; });
        grid.SetStatusBar(&status);
    }
    // Types a row as the user would, so the end-of-edit rules run.
    void Program(int row, int cycles, std::u16string delay, std::vector<std::u16string> steps) {
        grid.UserSetNumber(row, GridSn::kColCycles, cycles);
        grid.UserSetText(row, kDelay, delay);
        for (size_t k = 0; k < steps.size(); ++k) grid.UserSetText(row, kStep0 + int(k), steps[k]);
    }
    ScenarioRecord Store(int row) {
        ScenarioRecord r = ScenarioRecord::Fresh(row);
        grid.StoreRow(row, r);
        return r;
    }
    int Poll(int row, int64_t at, ScenarioStep* step = nullptr) {
        now = at;
        return grid.FindActiveStep(row, step);
    }
    uint32_t StepFlags(int row, int k) { return grid.Record(row).steps[k].flags; }

    int64_t now = 0;
    GridSn grid;
    RecordingStatusBar status;
};

TEST_F(ScenarioGrid, StoreRowDerivesTheRecord) {
    const ScenarioRecord initial = grid.Record(9);  // default texts: inactive, 20/30
    EXPECT_EQ(initial.flags, 0u);
    EXPECT_EQ(initial.steps[15], (ScenarioStep{0, 20, 30, 0}));
    Program(0, 3, u"0:0:0", {u"0:10:0; 25/30", u"1:0:0;25"});
    ScenarioRecord r = Store(0);
    EXPECT_EQ(r.flags, kScenarioActive | kScenarioHasCycles);  // "0:0:0" is no delay
    EXPECT_EQ(r.steps[0], (ScenarioStep{600, 25, 30, kStepDefined}));
    EXPECT_EQ(r.steps[1], (ScenarioStep{3600, 0, 0, kStepDefined}));  // fresh thresholds kept

    Program(1, 0, u"0:1:0", {u"0:10:0; 25/30"});
    EXPECT_EQ(Store(1).flags, kScenarioHasDelay);  // no cycles: never active
    Program(2, 5, u"0:0:0;", {u"0:0:0; 25/30", u"0:10:0; 1/2"});
    EXPECT_EQ(Store(2).flags, kScenarioHasCycles);  // empty first step: never active
    Program(3, 1, u"18:12:16", {u"0:0:1"});
    EXPECT_EQ(Store(3).delay, 0);  // 65536 s
    grid.SetCellNumber(4, 2, -1);
    EXPECT_EQ(Store(4).cycles, 65535);

    // Only the first 79 units of a cell are read: the "/3" beyond them is not seen.
    std::u16string long_step = u"0:0:1;2";
    long_step.resize(79, u' ');
    grid.UserSetText(6, kStep0, long_step + u"/3");
    EXPECT_EQ(Store(6).steps[0], (ScenarioStep{1, 0, 0, kStepDefined}));

    // The caller's run marks go.
    ScenarioRecord marked = ScenarioRecord::Fresh(1);
    marked.flags = 0x1FF;
    marked.steps[3].flags = 0x7;
    grid.StoreRow(1, marked);
    EXPECT_EQ(marked.flags, kScenarioHasDelay);
    EXPECT_EQ(marked.steps[3].flags, 0u);
}

TEST_F(ScenarioGrid, EndOfEditRules) {
    struct Seen : GridObserver {
        GridSn* grid;
        std::u16string text;
        void OnItemChanged(int r, int c) override { text = grid->CellText(r, c); }
    } seen;
    seen.grid = &grid;
    grid.AddObserver(&seen);
    const std::pair<std::u16string, int32_t> cycles[] = {
        {u"70000", 1}, {u"65535", 1}, {u"65534", 65534}, {u"-3", -3}};
    for (const auto& [typed, kept] : cycles) {
        grid.UserSetText(0, 2, typed);
        EXPECT_EQ(grid.CellNumber(0, 2), kept) << Utf16ToUtf8(typed);
        EXPECT_EQ(seen.text, ToU16(kept));  // the page hears of the edit after the rule ran
    }
    EXPECT_EQ(grid.Record(0).cycles, 65533);  // negative counts stay, read modulo 65536

    Program(1, 2, u"0:1:0", {u"0:10:0; 25/30"});
    grid.UserSetText(1, kStep0, u"");
    EXPECT_EQ(grid.CellText(1, kStep0), u"0:0:0; 125/125");
    EXPECT_EQ(grid.Record(1).steps[0], (ScenarioStep{0, 125, 125, 0}));
    EXPECT_FALSE(grid.RecordFlags(1) & kScenarioActive);
    grid.UserSetText(1, kDelay, u"");
    EXPECT_EQ(grid.CellText(1, kDelay), u"0:0:0;");
    EXPECT_FALSE(grid.RecordFlags(1) & kScenarioHasDelay);
    grid.RemoveObserver(&seen);
}

// After an edit a delay or step cell shows what runs and is saved; texts that do not parse are
// refused before they reach a cell.
TEST_F(ScenarioGrid, EditedCellsShowWhatRuns) {
    const std::pair<std::u16string, std::u16string> steps[] = {
        {u"0:0:30;20,5/25.5", u"0:0:30; 20/25"},
        {u"99:99:99;1/2", u"100:40:39; 1/2"},
        {u"0:10:0", u"0:10:0; 0/0"},  // a fresh record's thresholds
        {u"1/2/3:4;5", u"1:2:3; 4/5"},
    };
    for (const auto& [typed, shown] : steps) {
        grid.UserSetText(4, kStep0 + 2, typed);
        EXPECT_EQ(grid.CellText(4, kStep0 + 2), shown) << Utf16ToUtf8(typed);
        int32_t lower = 0, upper = 0;
        EXPECT_EQ(grid.Record(4).steps[2].duration, ParseStepText(shown, &lower, &upper));
        EXPECT_EQ(std::pair(grid.Record(4).steps[2].lower, grid.Record(4).steps[2].upper),
                  std::pair(lower, upper));
    }
    grid.UserSetText(4, kDelay, u"99:99:99");
    EXPECT_EQ(grid.CellText(4, kDelay), u"9:39:19;") << "362439 s kept modulo 65536";
    EXPECT_EQ(grid.Record(4).delay, 34759);
    grid.UserSetText(4, 1, u"Имя  ");
    EXPECT_EQ(grid.CellText(4, 1), u"Имя  ") << "other cells as typed";

    EXPECT_EQ(GridSn::RefusalOf(kStep0, u"abc").value_or(u""), kStepRefusedText);
    EXPECT_EQ(GridSn::RefusalOf(kStep0 + 15, u"1:0:0;25").value_or(u""), kStepRefusedText);
    EXPECT_EQ(GridSn::RefusalOf(kDelay, u"0:1:0;20/30").value_or(u""), kDelayRefusedText);
    EXPECT_FALSE(GridSn::RefusalOf(kStep0, u"0:0:30;20,5/25.5"));
    EXPECT_FALSE(GridSn::RefusalOf(kStep0, u"")) << "an emptied step becomes the default";
    EXPECT_FALSE(GridSn::RefusalOf(1, u"abc"));
    EXPECT_FALSE(GridSn::RefusalOf(GridSn::kColCycles, u"abc"));
}

TEST_F(ScenarioGrid, ClickedNameTellsDurationAndCycles) {
    Program(2, 1, u"0:0:0", {u"0:10:0; 20/30", u"0:20:0; 20/30", u"0:0:0;", u"5:0:0; 1/2"});
    const std::u16string text = u"Продолжительность сценария Sn_3 = 0:30:0; Выполнено циклов - ";
    grid.UserClicked(2, 1);
    EXPECT_EQ(status.LastText(kPaneMain), text + u"0");
    grid.UserClicked(2, 7);
    EXPECT_EQ(status.LastText(kPaneMain), u"");
    grid.RestartAll();
    Poll(2, 1801);
    grid.UserClicked(2, 0);
    EXPECT_EQ(status.LastText(kPaneMain), text + u"1");  // kept after the run
}

// ---- timeline ----

TEST_F(ScenarioGrid, StepsBoundaryAndFinish) {
    Program(0, 1, u"0:0:0", {u"0:1:0; 20/22", u"0:0:30; 18/19", u"0:0:0; 1/1", u"1:0:0; 1/1"});
    now = 1000;
    grid.RestartAll();
    ScenarioStep step;
    EXPECT_EQ(Poll(0, 1000, &step), 0);
    EXPECT_EQ(step, (ScenarioStep{60, 20, 22, kStepDefined | kStepExecuting}));
    EXPECT_EQ(grid.CellBackground(0, kStep0), kRunning);
    EXPECT_EQ(Poll(0, 1060), 0);  // the boundary second belongs to the earlier step
    EXPECT_EQ(Poll(0, 1061, &step), 1);
    EXPECT_EQ(step.lower, 18);
    EXPECT_EQ(grid.CellBackground(0, kStep0), kDone);
    EXPECT_EQ(Poll(0, 1090), 1);

    // The empty third step ends the only cycle: counted, start time not renewed...
    EXPECT_EQ(Poll(0, 1091, &step), kEnd);
    EXPECT_EQ(step, ScenarioStep{});
    EXPECT_EQ(grid.CompletedCycles(0), 1);
    EXPECT_EQ(grid.Record(0).start_time, 1000);
    EXPECT_TRUE(grid.RecordFlags(0) & kScenarioActive);
    // ...so the next poll finishes it; the fourth step never ran.
    EXPECT_EQ(Poll(0, 1092), kEnd);
    EXPECT_EQ(grid.RecordFlags(0) & (kScenarioActive | kScenarioFinished), kScenarioFinished);
    EXPECT_EQ(StepFlags(0, 3), kStepDefined);

    now = 5000;
    grid.RestartAll();
    EXPECT_EQ(grid.CompletedCycles(0), 0);
    EXPECT_EQ(grid.RecordFlags(0), kScenarioActive | kScenarioHasCycles);
    EXPECT_EQ(Poll(0, 5000), 0);
}

TEST_F(ScenarioGrid, TwoCyclesWithDelay) {
    Program(4, 2, u"0:1:0;", {u"0:0:10; 20/30", u"0:0:20; 21/31"});
    grid.RestartAll();
    auto run_cycle = [&](int64_t start) {
        EXPECT_EQ(Poll(4, start), GridSn::kInDelay);
        EXPECT_EQ(grid.CellBackground(4, kDelay), kRunning);
        EXPECT_TRUE(grid.TakeDelayNotice(4));  // once per delay
        EXPECT_EQ(Poll(4, start + 60), GridSn::kInDelay);
        EXPECT_FALSE(grid.TakeDelayNotice(4));
        ScenarioStep step;
        EXPECT_EQ(Poll(4, start + 61, &step), 0);  // steps count from the end of the delay
        EXPECT_EQ(step.upper, 30);
        EXPECT_EQ(grid.CellBackground(4, kDelay), kDone);
        EXPECT_EQ(Poll(4, start + 71), 1);
        EXPECT_EQ(Poll(4, start + 90), 1);
        EXPECT_EQ(Poll(4, start + 91), kEnd);
    };
    run_cycle(0);
    EXPECT_EQ(grid.CompletedCycles(4), 1);
    EXPECT_EQ(grid.Record(4).start_time, 91);  // a new cycle begins
    grid.ClearRunMarks(4);
    EXPECT_EQ(grid.RecordFlags(4), kScenarioActive | kScenarioHasCycles | kScenarioHasDelay);
    EXPECT_EQ(grid.CellBackground(4, kDelay), Rgb(255, 255, 0));
    EXPECT_EQ(grid.CellBackground(4, kStep0 + 1), Rgb(154, 205, 50));

    run_cycle(91);
    EXPECT_EQ(grid.CompletedCycles(4), 2);
    EXPECT_EQ(grid.Record(4).start_time, 91);
    grid.ClearRunMarks(4);
    EXPECT_EQ(Poll(4, 183), kEnd);
    EXPECT_TRUE(grid.RecordFlags(4) & kScenarioFinished);
    EXPECT_EQ(grid.CompletedCycles(4), 2);
    EXPECT_EQ(grid.CellNumber(4, 2), 2);  // the configured count is shown throughout
}

TEST_F(ScenarioGrid, LongStepsDoNotWrapTheSchedule) {
    // Two steps of 2^32 - 1 s: a 32-bit running sum would wrap and skip past step 1.
    Program(0, 1, u"0:0:0", {u"1193046:28:15; 1/2", u"1193046:28:15; 3/4"});
    grid.RestartAll();
    EXPECT_EQ(Poll(0, 4294967296), 1);
    EXPECT_EQ(Poll(0, 8589934590), 1);
    EXPECT_EQ(Poll(0, 8589934591), kEnd);
}

TEST_F(ScenarioGrid, EditsDuringARun) {
    Program(6, 3, u"0:0:0", {u"0:0:10; 20/30"});
    now = 100;
    grid.RestartAll();
    EXPECT_EQ(Poll(6, 105), 0);
    grid.UserSetText(6, 1, u"Новое имя");
    EXPECT_EQ(StepFlags(6, 0), kStepDefined);   // the record is rebuilt, marks cleared,
    EXPECT_EQ(grid.Record(6).start_time, 100);  // but the scenario is not restarted
    EXPECT_EQ(Poll(6, 111), kEnd);
    grid.ClearRunMarks(6);
    EXPECT_EQ(Poll(6, 122), kEnd);
    grid.ClearRunMarks(6);
    ASSERT_EQ(grid.CompletedCycles(6), 2);

    // Lowering the cycles below the count done finishes the scenario instead of leaving it
    // counting on, its outputs untouched, for ever.
    grid.UserSetNumber(6, 2, 1);
    EXPECT_EQ(Poll(6, 133), kEnd);
    EXPECT_TRUE(grid.RecordFlags(6) & kScenarioFinished);
    EXPECT_EQ(grid.CompletedCycles(6), 2);

    ScenarioStep step{1, 2, 3, 4};  // rows that do not exist change nothing
    EXPECT_EQ(grid.FindActiveStep(16, &step), kEnd);
    EXPECT_EQ(step, ScenarioStep{});
    grid.ClearRunMarks(-1);
    EXPECT_EQ(grid.EndOfCycle(16, 3), kEnd);
}

// Observers run without the table locked: a view answering a redraw on the window thread
// would otherwise wait for the measurement thread for ever.
TEST_F(ScenarioGrid, RedrawNoticesComeWithoutTheLock) {
    struct OtherThreadReader : GridObserver {
        GridSn* grid;
        std::vector<std::thread> readers;
        std::atomic<int> done{0};
        int notices = 0, blocked = 0;
        void OnCellChanged(int r, int c) override {
            const int target = ++notices;
            readers.emplace_back([this, r, c] {
                grid->CellBackground(r, c);
                ++done;
            });
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (done.load() < target && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            if (done.load() < target) {
                ++blocked;
                done.store(target);  // do not wait again
            }
        }
    } reader;
    reader.grid = &grid;
    Program(0, 1, u"0:0:5", {u"0:0:10; 1/2"});
    grid.AddObserver(&reader);
    grid.RestartAll();
    Poll(0, 1);
    Poll(0, 16);
    grid.ClearRunMarks(0);
    grid.RemoveObserver(&reader);
    for (auto& t : reader.readers) t.join();
    EXPECT_GT(reader.notices, 3);
    EXPECT_EQ(reader.blocked, 0);
}

}  // namespace
}  // namespace kalvo
