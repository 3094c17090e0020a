#include "core/scenario/grid_sn.h"

#include <mutex>

#include "core/common/colour.h"
#include "core/common/messages.h"
#include "core/common/sample_record.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/scenario/scenario_model.h"

namespace kalvo {
namespace {

// Cell texts are read into room for 80 units, terminator included.
constexpr size_t kCellTextUnits = 79;

constexpr uint32_t kWhite = Rgb(255, 255, 255);
constexpr uint32_t kRunningColour = Rgb(238, 130, 238);
constexpr uint32_t kDoneColour = Rgb(172, 23, 172);
constexpr uint32_t kDelaySetColour = Rgb(255, 255, 0);
constexpr uint32_t kStepDefinedColour = Rgb(154, 205, 50);

constexpr int32_t kCyclesLimit = 65535;
constexpr char16_t kEmptyDelayText[] = u"0:0:0;";
constexpr char16_t kEmptyStepText[] = u"0:0:0; 125/125";

// How a step shows in its cell: as loaded from a file and after an edit.
std::u16string StepText(const ScenarioStep& step) {
    return FormatDuration(step.duration) + u" " + FormatThresholds(step.lower, step.upper);
}

// now - start without signed overflow.
int64_t Elapsed(int64_t now, int64_t start) {
    return static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(start));
}

std::vector<GridColumn> ScenarioColumns() {
    std::vector<GridColumn> columns = {
        {u"N сценария", 60, CellKind::kReadOnlyText, u"NumIn", {}},
        {u"Имя сценария", 80, CellKind::kText, u"", {}},
        {u"Число циклов", 80, CellKind::kNumber, u"Ncycle", {}},
        {u"Задержка", 60, CellKind::kText, u"Delay", {}},
    };
    for (int k = 0; k < kScenarioSteps; ++k)
        columns.push_back(
            {u"Данные " + ToU16(k + 1), GridSn::kMenuCheckWidth + 100, CellKind::kText, u"", {}});
    return columns;
}

}  // namespace

// Holds the table lock; the outermost session of a thread sends the collected redraw notices
// once the lock is released.
class GridSn::Session {
  public:
    explicit Session(GridSn& grid) : grid_(grid), lock_(grid.mutex_) { ++grid_.session_depth_; }
    ~Session() {
        std::vector<std::pair<int, int>> redraws;
        if (--grid_.session_depth_ == 0) redraws.swap(grid_.pending_redraws_);
        lock_.unlock();
        for (const auto& [row, col] : redraws) grid_.RedrawCell(row, col);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

  private:
    GridSn& grid_;
    std::unique_lock<std::recursive_mutex> lock_;
};

GridSn::GridSn() : now_(&NowSeconds) {
    Build();
}

void GridSn::Build() {
    // Built aside and swapped in under one lock, so the measurement thread sees either the old
    // table or the whole new one, never a table without rows or records.
    std::vector<GridColumn> columns = ScenarioColumns();
    std::vector<std::vector<Cell>> rows(kScenarioCount, std::vector<Cell>(columns.size()));
    for (int i = 0; i < kScenarioCount; ++i) {
        std::vector<Cell>& cells = rows[i];
        cells[kColNumber].text = ToU16(i + 1);
        cells[kColName].text = u"Sn_" + ToU16(i + 1);
        cells[kColDelay].text = u"0:0:0";
        for (int k = 0; k < kScenarioSteps; ++k) cells[kColFirstStep + k].text = u"0:0:0; 20/30";
    }
    {
        Session session(*this);
        columns_ = std::move(columns);
        rows_ = std::move(rows);
        records_.clear();
        pending_redraws_.clear();
        for (int i = 0; i < kScenarioCount; ++i) {
            ScenarioRecord record = ScenarioRecord::Fresh(i);
            StoreRowLocked(i, record);
            records_.push_back(record);
        }
    }
    NotifyRowsReset();
}

void GridSn::SetTimeSource(TimeSource now) {
    std::lock_guard lock(mutex_);
    now_ = now ? std::move(now) : TimeSource(&NowSeconds);
}

// ---- cell helpers (lock held) ----

std::u16string GridSn::ReadText(int row, int col) const {
    std::u16string text = CellText(row, col);
    if (text.size() > kCellTextUnits) text.resize(kCellTextUnits);
    return text;
}

void GridSn::PutText(int row, int col, std::u16string_view text) {
    Cell* cell = CellAt(row, col);
    if (!cell) return;
    const CellKind kind = columns_[col].kind;
    if (kind != CellKind::kText && kind != CellKind::kReadOnlyText) return;
    if (cell->text == text) return;
    cell->text = std::u16string(text);
    Redraw(row, col);
}

void GridSn::PutNumber(int row, int col, int32_t value) {
    Cell* cell = CellAt(row, col);
    if (!cell || columns_[col].kind != CellKind::kNumber || cell->number == value) return;
    cell->number = value;
    Redraw(row, col);
}

void GridSn::RedrawRunCells(int row) {
    if (!HasRecord(row)) return;
    Redraw(row, kColDelay);
    const auto& steps = records_[row].steps;
    for (int k = 0; k < kScenarioSteps && (steps[k].flags & kStepDefined); ++k)
        Redraw(row, kColFirstStep + k);
}

// ---- rows and records ----

void GridSn::StoreRow(int row, ScenarioRecord& record) const {
    std::lock_guard lock(mutex_);
    StoreRowLocked(row, record);
}

void GridSn::StoreRowLocked(int row, ScenarioRecord& record) const {
    if (row < 0 || row >= int(rows_.size())) return;
    auto set_flag = [](uint32_t& flags, uint32_t bit, bool on) {
        flags = on ? (flags | bit) : (flags & ~bit);
    };
    record.flags &= kScenarioDerivedFlags;
    for (auto& step : record.steps) step.flags &= kStepDefined;

    record.SetName(ReadText(row, kColName));
    record.cycles = static_cast<uint16_t>(CellNumber(row, kColCycles));
    set_flag(record.flags, kScenarioHasCycles, record.cycles != 0);
    record.delay = static_cast<uint16_t>(ParseStepText(ReadText(row, kColDelay)));
    set_flag(record.flags, kScenarioHasDelay, record.delay != 0);
    for (int k = 0; k < kScenarioSteps; ++k) {
        ScenarioStep& step = record.steps[k];
        step.duration = ParseStepText(ReadText(row, kColFirstStep + k), &step.lower, &step.upper);
        set_flag(step.flags, kStepDefined, step.duration != 0);
    }
    set_flag(record.flags, kScenarioActive, record.cycles != 0 && record.steps[0].duration != 0);
}

void GridSn::ShowRecord(const ScenarioRecord& record) {
    Session session(*this);
    ShowRecordLocked(record);
}

void GridSn::ShowRecordLocked(const ScenarioRecord& record) {
    const int row = record.number;
    if (row >= int(rows_.size())) return;
    PutText(row, kColName, record.Name());
    PutNumber(row, kColCycles, record.cycles);
    PutText(row, kColDelay, FormatDuration(record.delay));
    for (int k = 0; k < kScenarioSteps; ++k) {
        PutText(row, kColFirstStep + k, StepText(record.steps[k]));
    }
}

void GridSn::UpdateRow(int row) {
    Session session(*this);
    UpdateRowLocked(row);
}

void GridSn::UpdateRowLocked(int row) {
    if (records_.size() != size_t(kScenarioCount) || !HasRecord(row)) return;
    ScenarioRecord fresh = ScenarioRecord::Fresh(row);
    StoreRowLocked(row, fresh);
    ScenarioRecord& old = records_[row];
    fresh.start_time = old.start_time;
    // Cells whose colour follows the flags that changed.
    constexpr uint32_t kDelayColourFlags =
        kScenarioHasDelay | kScenarioDelayRunning | kScenarioDelayDone;
    if ((old.flags & kDelayColourFlags) != (fresh.flags & kDelayColourFlags))
        Redraw(row, kColDelay);
    for (int k = 0; k < kScenarioSteps; ++k)
        if (old.steps[k].flags != fresh.steps[k].flags) Redraw(row, kColFirstStep + k);
    old = fresh;
}

int GridSn::RecordCount() const {
    std::lock_guard lock(mutex_);
    return int(records_.size());
}

ScenarioRecord GridSn::Record(int row) const {
    std::lock_guard lock(mutex_);
    return HasRecord(row) ? records_[row] : ScenarioRecord::Fresh(row);
}

uint32_t GridSn::RecordFlags(int row) const {
    std::lock_guard lock(mutex_);
    return HasRecord(row) ? records_[row].flags : 0;
}

bool GridSn::TakeDelayNotice(int row) {
    std::lock_guard lock(mutex_);
    if (!HasRecord(row) || !(records_[row].flags & kScenarioDelayStarted)) return false;
    records_[row].flags &= ~kScenarioDelayStarted;
    return true;
}

uint64_t GridSn::ScenarioDuration(int row) const {
    std::lock_guard lock(mutex_);
    return ScenarioDurationLocked(row);
}

uint64_t GridSn::ScenarioDurationLocked(int row) const {
    if (!HasRecord(row)) return 0;
    uint64_t sum = 0;
    for (const auto& step : records_[row].steps) {
        if (step.duration == 0) break;
        sum += step.duration;
    }
    return sum;
}

int64_t GridSn::CompletedCycles(int row) const {
    std::lock_guard lock(mutex_);
    return CompletedCyclesLocked(row);
}

int64_t GridSn::CompletedCyclesLocked(int row) const {
    if (columns_.size() <= size_t(kColCycles)) return 0;
    return CellData(row, kColCycles);
}

std::u16string GridSn::DurationText(int row) const {
    std::lock_guard lock(mutex_);
    return u"Продолжительность сценария " + ReadText(row, kColName) + u" = " +
           FormatTotalDuration(ScenarioDurationLocked(row)) + u" Выполнено циклов - " +
           ToU16(CompletedCyclesLocked(row));
}

std::array<ScenarioRecord, kScenarioCount> GridSn::StoreAll() const {
    std::lock_guard lock(mutex_);
    std::array<ScenarioRecord, kScenarioCount> records;
    for (int i = 0; i < kScenarioCount; ++i) {
        records[i] = ScenarioRecord::Fresh(i);
        StoreRowLocked(i, records[i]);
    }
    return records;
}

void GridSn::LoadAll(const std::array<ScenarioRecord, kScenarioCount>& records) {
    Session session(*this);
    for (int i = 0; i < kScenarioCount; ++i) {
        ScenarioRecord record = records[i];
        record.number = static_cast<uint16_t>(i);  // the position names the row
        ShowRecordLocked(record);
        UpdateRowLocked(i);
    }
}

// ---- timeline ----

void GridSn::RestartAll() {
    Session session(*this);
    const int64_t now = now_();
    for (int i = 0; i < kScenarioCount; ++i) {
        UpdateRowLocked(i);
        if (HasRecord(i)) records_[i].start_time = now;
        if (Cell* cycles = columns_.size() > size_t(kColCycles) ? CellAt(i, kColCycles) : nullptr) {
            cycles->data = 0;
            Redraw(i, kColCycles);
        }
        RedrawRunCells(i);
    }
}

int GridSn::FindActiveStep(int row, ScenarioStep* step) {
    Session session(*this);
    if (step) *step = ScenarioStep{};
    if (!HasRecord(row)) return kEndOfCycle;
    const int64_t now = now_();
    ScenarioRecord& record = records_[row];
    int64_t elapsed = Elapsed(now, record.start_time);
    const uint32_t flags = record.flags;

    if (flags & kScenarioHasDelay) {
        if (elapsed <= record.delay) {
            if (!(flags & kScenarioDelayRunning)) {
                record.flags |= kScenarioDelayRunning | kScenarioDelayStarted;
                Redraw(row, kColDelay);
            }
            return kInDelay;
        }
        if (!(flags & kScenarioDelayDone)) {
            record.flags = (record.flags & ~kScenarioDelayRunning) | kScenarioDelayDone;
            Redraw(row, kColDelay);
        }
    }
    elapsed = Elapsed(elapsed, record.delay);

    // 16 steps of at most 2^32 s cannot overflow 64 bits.
    int64_t end = 0;
    for (int k = 0; k < kScenarioSteps; ++k) {
        ScenarioStep& current = record.steps[k];
        end += current.duration;
        if (current.duration == 0) break;
        if (elapsed <= end) {
            if (!(current.flags & kStepExecuting)) {
                current.flags |= kStepExecuting;
                Redraw(row, kColFirstStep + k);
            }
            if (step) *step = current;
            return k;
        }
        if (!(current.flags & kStepExecuted)) {
            current.flags = (current.flags & ~kStepExecuting) | kStepExecuted;
            Redraw(row, kColFirstStep + k);
        }
    }
    return EndOfCycleLocked(row, record.cycles, now);
}

int GridSn::EndOfCycle(int row, uint32_t configured_cycles) {
    Session session(*this);
    return EndOfCycleLocked(row, configured_cycles, now_());
}

int GridSn::EndOfCycleLocked(int row, uint32_t configured_cycles, int64_t now) {
    const int64_t done = row >= 0 && row < int(rows_.size()) ? CompletedCyclesLocked(row) : 0;
    // "Less than" rather than "not equal": when the cycles are lowered below the count during a
    // run, the scenario must still finish instead of counting on for ever.
    if (done < int64_t(configured_cycles)) {
        if (SetCellData(row, kColCycles, done + 1)) Redraw(row, kColCycles);
        if (HasRecord(row)) {
            records_[row].flags |= kScenarioCycleDone;
            if (done + 1 < int64_t(configured_cycles)) records_[row].start_time = now;
        }
    } else if (HasRecord(row)) {
        records_[row].flags = (records_[row].flags & ~kScenarioActive) | kScenarioFinished;
    }
    return kEndOfCycle;
}

void GridSn::ClearRunMarks(int row) {
    Session session(*this);
    if (!HasRecord(row)) return;
    records_[row].flags &= kScenarioDerivedFlags;
    for (auto& step : records_[row].steps) step.flags &= kStepDefined;
    RedrawRunCells(row);
}

// ---- surviving an unexpected end ----

uint64_t GridSn::Fingerprint(int row) const {
    std::lock_guard lock(mutex_);
    ScenarioRecord record = ScenarioRecord::Fresh(row);
    StoreRowLocked(row, record);
    const ScenarioRecordImage image = EncodeScenarioRecord(record);
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const uint8_t byte : image) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::vector<ScenarioRun> GridSn::RunState() const {
    std::lock_guard lock(mutex_);
    std::vector<ScenarioRun> runs;
    for (int row = 0; row < int(records_.size()); ++row) {
        const ScenarioRecord& record = records_[row];
        const bool finished = record.flags & kScenarioFinished;
        if (!(record.flags & kScenarioActive) && !finished) continue;
        runs.push_back(
            {row, record.start_time, CompletedCyclesLocked(row), finished, Fingerprint(row)});
    }
    return runs;
}

std::vector<std::pair<int, int>> GridSn::ResumeRuns(const std::vector<ScenarioRun>& runs) {
    std::vector<std::pair<int, int>> resumed;
    Session session(*this);
    const int64_t now = now_();
    for (const ScenarioRun& run : runs) {
        const int row = run.row;
        if (!HasRecord(row) || run.fingerprint != Fingerprint(row)) continue;
        ScenarioRecord& record = records_[row];
        if (!(record.flags & kScenarioActive)) continue;
        int64_t completed = run.completed;
        int64_t start = run.start_time;
        int position = kEndOfCycle;
        if (run.finished) {
            record.flags = (record.flags & ~kScenarioActive) | kScenarioFinished;
        } else {
            // Cycles that ended while the program was down are done; the last one is left to
            // the timeline, which finishes the scenario as it always does.
            const int64_t cycle = int64_t(record.delay) + int64_t(ScenarioDurationLocked(row));
            while (cycle > 0 && completed + 1 < int64_t(record.cycles) &&
                   Elapsed(now, start) > cycle) {
                ++completed;
                start += cycle;
            }
            const int64_t elapsed = Elapsed(now, start);
            if (record.flags & kScenarioHasDelay && elapsed <= record.delay) {
                position = kInDelay;
            } else {
                int64_t end = record.flags & kScenarioHasDelay ? record.delay : 0;
                for (int k = 0; k < kScenarioSteps && record.steps[k].duration != 0; ++k) {
                    end += record.steps[k].duration;
                    if (elapsed <= end) {
                        position = k;
                        break;
                    }
                }
            }
        }
        record.start_time = start;
        if (SetCellData(row, kColCycles, completed)) Redraw(row, kColCycles);
        RedrawRunCells(row);
        resumed.emplace_back(row, position);
    }
    return resumed;
}

uint32_t GridSn::CellBackground(int row, int col) const {
    std::lock_guard lock(mutex_);
    if (!HasRecord(row)) return kWhite;
    const ScenarioRecord& record = records_[row];
    if (col == kColDelay) {
        if (record.flags & kScenarioDelayRunning) return kRunningColour;
        if (record.flags & kScenarioDelayDone) return kDoneColour;
        if (record.flags & kScenarioHasDelay) return kDelaySetColour;
        return kWhite;
    }
    if (col >= kColFirstStep && col < kColumnCount) {
        const uint32_t flags = record.steps[col - kColFirstStep].flags;
        if (flags & kStepExecuting) return kRunningColour;
        if (flags & kStepExecuted) return kDoneColour;
        if (flags & kStepDefined) return kStepDefinedColour;
    }
    return kWhite;
}

// ---- user edits ----

void GridSn::OnUserEdit(int row, int col) {
    Session session(*this);
    if (col == kColCycles) {
        const Cell* cell = CellAt(row, col);
        if (cell && cell->number >= kCyclesLimit) PutNumber(row, col, 1);
    } else if (col == kColDelay) {
        if (CellText(row, col).empty()) PutText(row, col, kEmptyDelayText);
    } else if (col >= kColFirstStep && col < kColumnCount) {
        if (CellText(row, col).empty()) PutText(row, col, kEmptyStepText);
    }
    UpdateRowLocked(row);
    // What was typed gives way to what runs: "0:0:30;20,5/25.5" runs as 20/25, "99:99:99" is
    // 100:40:39, a delay past 18:12:15 wraps.
    if (col == kColDelay || (col >= kColFirstStep && col < kColumnCount)) {
        ScenarioRecord stored = ScenarioRecord::Fresh(row);
        StoreRowLocked(row, stored);
        PutText(row, col,
                col == kColDelay ? FormatDuration(stored.delay)
                                 : StepText(stored.steps[col - kColFirstStep]));
    }
}

std::optional<std::u16string> GridSn::RefusalOf(int col, std::u16string_view typed) {
    if (typed.empty()) return std::nullopt;
    if (col == kColDelay && !StepTextParses(typed, false)) return kDelayRefusedText;
    if (col >= kColFirstStep && col < kColumnCount && !StepTextParses(typed, true))
        return kStepRefusedText;
    return std::nullopt;
}

void GridSn::OnUserClick(int row, int col) {
    std::u16string text;
    {
        std::lock_guard lock(mutex_);
        if (records_.size() != size_t(kScenarioCount) || !HasRecord(row)) return;
        if (col == kColNumber || col == kColName) text = DurationText(row);
    }
    if (StatusBar* status = status_bar_.load()) status->SetPaneText(kPaneMain, text);
}

}  // namespace kalvo
