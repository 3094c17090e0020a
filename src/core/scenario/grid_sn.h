#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/grid_base.h"
#include "core/scenario/scenario_record.h"
#include "core/scenario/scenario_run.h"

namespace kalvo {

class StatusBar;

// Status texts of a refused delay or step entry.
inline constexpr char16_t kDelayRefusedText[] = u"Задержка не принята: введите Час:Мин:Сек;";
inline constexpr char16_t kStepRefusedText[] =
    u"Шаг сценария не принят: введите Час:Мин:Сек;Тн/Тв, например 2:35:12;25/30";

// The scenario table: 16 rows of texts the user edits, and the 16 records built from them that
// the thermostat runs. The window thread edits, loads and restarts; the measurement thread
// polls the timeline. Every operation, the inherited cell accessors included, runs under the
// grid's one recursive mutex. Redraw notices are collected under the lock and sent after it is
// released, so observers never run with the table locked.
class GridSn : public GridBase {
  public:
    static constexpr int kColNumber = 0;
    static constexpr int kColName = 1;
    static constexpr int kColCycles = 2;
    static constexpr int kColDelay = 3;
    static constexpr int kColFirstStep = 4;
    static constexpr int kColumnCount = kColFirstStep + kScenarioSteps;
    // Column width of the step cells is the menu check-mark width plus 100 pixels.
    static constexpr int kMenuCheckWidth = 13;

    // FindActiveStep results besides a step index.
    static constexpr int kInDelay = 3;  // callers tell it from step 3 by kScenarioDelayRunning
    static constexpr int kEndOfCycle = -1;

    using TimeSource = std::function<int64_t()>;  // calendar seconds

    // Builds the 20 columns, the 16 default rows and their records.
    GridSn();
    ~GridSn() override = default;

    // Rebuilds the defaults: drops every row, record and completed-cycles count.
    void Build();

    // Receives status texts (main pane). May be null.
    void SetStatusBar(StatusBar* status_bar) { status_bar_.store(status_bar); }
    void SetTimeSource(TimeSource now);

    // --- rows and records ---

    // Fills a record the caller has initialised (number = row) from the row's texts: run marks
    // cleared, name, cycles, delay, steps and the derived flags.
    void StoreRow(int row, ScenarioRecord& record) const;
    // Writes a record's fields into the row named by its number; a missing row is left alone.
    void ShowRecord(const ScenarioRecord& record);
    // Rebuilds table record `row` from its texts. The start time is kept, so editing a running
    // scenario does not restart it.
    void UpdateRow(int row);

    int RecordCount() const;
    // A copy; a fresh record for a missing row.
    ScenarioRecord Record(int row) const;
    uint32_t RecordFlags(int row) const;
    // Clears the one-shot delay notice; true when it was set.
    bool TakeDelayNotice(int row);

    // Sum of the step durations up to the first empty step; the delay is not counted.
    uint64_t ScenarioDuration(int row) const;
    // The attached integer of the cycles cell.
    int64_t CompletedCycles(int row) const;
    // "Продолжительность сценария <name> = <H:M:S;> Выполнено циклов - <n>".
    std::u16string DurationText(int row) const;

    // Records of all rows freshly built from the texts, as a file stores them.
    std::array<ScenarioRecord, kScenarioCount> StoreAll() const;
    // Shows each record in the row of its position and rebuilds the table from the rows, in one
    // step as the measurement thread sees it.
    void LoadAll(const std::array<ScenarioRecord, kScenarioCount>& records);

    // --- timeline ---

    // Measurement start: every record rebuilt, started now, its completed cycles reset.
    void RestartAll();
    // Advances the row's timeline to now. Returns the active step index with a copy of that
    // step, kInDelay during the delay, or kEndOfCycle (EndOfCycle has then run). The copy is
    // zeroed when no step is active.
    int FindActiveStep(int row, ScenarioStep* step = nullptr);
    // Counts a completed cycle and starts the next, or marks the scenario finished once
    // `configured_cycles` are done. Always kEndOfCycle.
    int EndOfCycle(int row, uint32_t configured_cycles);
    void ClearRunMarks(int row);

    // --- surviving an unexpected end ---

    // A hash of what the row runs (name, cycles, delay, steps), to tell a saved run from a
    // changed scenario.
    uint64_t Fingerprint(int row) const;
    // Where every scenario that runs (active, or finished in this run) stands now.
    std::vector<ScenarioRun> RunState() const;
    // After RestartAll: each saved run whose scenario is unchanged continues from its own start
    // time, the time between counted as elapsed (whole cycles that passed meanwhile counted
    // done). Returns each continued row with the step it is in now (kInDelay, or kEndOfCycle
    // when its last cycle has ended).
    std::vector<std::pair<int, int>> ResumeRuns(const std::vector<ScenarioRun>& runs);

    // A user's entry for a cell, before it reaches the cell: nothing when it is taken, else the
    // status text that refuses it. A delay or step text must parse (StepTextParses); an empty
    // one is taken, since the end-of-edit rule turns it into the default.
    static std::optional<std::u16string> RefusalOf(int col, std::u16string_view typed);

    // Cell colours from the run marks.
    uint32_t CellBackground(int row, int col) const override;

  protected:
    // The end-of-edit rules; a delay or step cell then shows its text as it runs and saves.
    void OnUserEdit(int row, int col) override;
    void OnUserClick(int row, int col) override;

  private:
    class Session;

    // All below: the caller holds mutex_.
    bool HasRecord(int row) const { return row >= 0 && row < int(records_.size()); }
    std::u16string ReadText(int row, int col) const;
    void PutText(int row, int col, std::u16string_view text);
    void PutNumber(int row, int col, int32_t value);
    void Redraw(int row, int col) { pending_redraws_.emplace_back(row, col); }
    void RedrawRunCells(int row);
    void StoreRowLocked(int row, ScenarioRecord& record) const;
    void ShowRecordLocked(const ScenarioRecord& record);
    void UpdateRowLocked(int row);
    uint64_t ScenarioDurationLocked(int row) const;
    int64_t CompletedCyclesLocked(int row) const;
    int EndOfCycleLocked(int row, uint32_t configured_cycles, int64_t now);

    std::vector<ScenarioRecord> records_;
    TimeSource now_;
    std::vector<std::pair<int, int>> pending_redraws_;
    int session_depth_ = 0;
    std::atomic<StatusBar*> status_bar_{nullptr};
};

}  // namespace kalvo
