#include "core/engine/scenario_keeper.h"

#include <cstdio>

#include "core/common/file_ops.h"
#include "core/common/text.h"
#include "core/scenario/grid_sn.h"

namespace kalvo {

ScenarioKeeper::ScenarioKeeper(std::string root) {
    if (root.empty()) return;
    run_path_ = root + SHELL::kPathSeparator + kScenarioRunFileName;
    last_path_ = root + SHELL::kPathSeparator + kLastScenarioFileName;
    const std::optional<std::string> text = ReadWholeFile(run_path_);
    if (!text) return;
    const std::optional<ScenarioRunState> state = DecodeRunState(*text);
    if (!state) {
        std::fprintf(stderr, "%s is damaged and ignored: scenarios start from their beginning\n",
                     run_path_.c_str());
        std::fflush(stderr);
        return;
    }
    written_ = *text;
    if (state->mode == ScenarioRunState::Mode::kRunning && !state->runs.empty())
        pending_ = state->runs;
}

bool ScenarioKeeper::ResumePending() const {
    std::lock_guard lock(mutex_);
    return pending_.has_value();
}

std::u16string ScenarioKeeper::Start(GridSn& scenarios) {
    std::lock_guard lock(mutex_);
    scenarios.RestartAll();
    std::u16string text;
    if (pending_) {
        const std::vector<std::pair<int, int>> resumed = scenarios.ResumeRuns(*pending_);
        pending_.reset();
        for (const auto& [row, position] : resumed) {
            text += text.empty() ? kScenariosResumedText : u", ";
            text += scenarios.CellText(row, GridSn::kColName);
            if (position >= 0 && position < kScenarioSteps)
                text += u" step " + ToU16(position + 1);
            else if (position == GridSn::kInDelay)
                text += u" delay";
            else
                text += u" finished";
        }
    }
    measuring_ = true;
    Save(ScenarioRunState::Mode::kRunning, scenarios);
    return text;
}

void ScenarioKeeper::Pause(GridSn& scenarios) {
    std::lock_guard lock(mutex_);
    measuring_ = false;
    if (!pending_) Save(ScenarioRunState::Mode::kPaused, scenarios);
}

void ScenarioKeeper::Pass(const GridSn& scenarios) {
    std::lock_guard lock(mutex_);
    if (measuring_) Save(ScenarioRunState::Mode::kRunning, scenarios);
}

void ScenarioKeeper::Close(const GridSn& scenarios) {
    std::lock_guard lock(mutex_);
    measuring_ = false;
    if (!pending_) Save(ScenarioRunState::Mode::kClosed, scenarios);
}

void ScenarioKeeper::Save(ScenarioRunState::Mode mode, const GridSn& scenarios) {
    if (run_path_.empty()) return;
    ScenarioRunState state;
    state.mode = mode;
    if (mode == ScenarioRunState::Mode::kRunning) state.runs = scenarios.RunState();
    const std::string text = EncodeRunState(state);
    // Places change only at a cycle's end or a user's edit: the disk is not worn every pass.
    if (text == written_) return;
    if (WriteFileReplacing(run_path_, text)) {
        written_ = text;
    } else {
        std::fprintf(stderr, "%s could not be written\n", run_path_.c_str());
        std::fflush(stderr);
    }
}

std::string ScenarioKeeper::LastScenarioFile() const {
    if (last_path_.empty()) return {};
    std::optional<std::string> text = ReadWholeFile(last_path_);
    if (!text) return {};
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    return text->find('\n') == std::string::npos ? *text : std::string();
}

void ScenarioKeeper::RememberScenarioFile(const std::string& path) {
    if (last_path_.empty() || path.empty() || path.find('\n') != std::string::npos) return;
    if (!WriteFileReplacing(last_path_, path + '\n')) {
        std::fprintf(stderr, "%s could not be written\n", last_path_.c_str());
        std::fflush(stderr);
    }
}

ScenarioFileResult ScenarioKeeper::LoadScenarioFile(GridSn& scenarios, const std::string& path) {
    ScenarioFileResult result = LoadScenarios(scenarios, path);
    if (result.ok) RememberScenarioFile(path);
    return result;
}

}  // namespace kalvo
