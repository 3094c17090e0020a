#pragma once
// Running scenarios across an unexpected end: their places saved in the data folder whenever
// they change (checked every pass), an orderly close written at the orderly close, and at the
// next start either a restart as always (after an orderly close) or each scenario continued
// where it was, the time the program was down counted as elapsed. Also the scenario file the
// user last loaded or saved, so a start can load it again.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/scenario/scenario_file.h"
#include "core/scenario/scenario_run.h"

namespace kalvo {

class GridSn;

inline constexpr char kScenarioRunFileName[] = "scenarios.run";
inline constexpr char kLastScenarioFileName[] = "last_scenario_file";
inline constexpr char16_t kScenariosResumedText[] =
    u"Scenarios continued after an unexpected end: ";

class ScenarioKeeper {
  public:
    // Reads what the last run left in `root` (empty: nothing is kept). A file that is not a
    // whole state is ignored, with a line on stderr.
    explicit ScenarioKeeper(std::string root);

    // The last run ended without its orderly close while scenarios ran.
    bool ResumePending() const;

    // The start command: every scenario from its beginning, or, the first time after an
    // unexpected end, continued. Returns the status text for a continuation, else empty.
    std::u16string Start(GridSn& scenarios);
    // The stop command: nothing runs that a restart would have to continue.
    void Pause(GridSn& scenarios);
    // Worker, after each cycle: saves where the scenarios stand when that changed.
    void Pass(const GridSn& scenarios);
    // The orderly close. A continuation still pending (measuring never started in this run)
    // stays for the next start.
    void Close(const GridSn& scenarios);

    // The scenario file last loaded or saved by the user; empty when none.
    std::string LastScenarioFile() const;
    void RememberScenarioFile(const std::string& path);
    // Loads a .snr file as "Load Scenario" does and remembers it on success.
    ScenarioFileResult LoadScenarioFile(GridSn& scenarios, const std::string& path);

  private:
    void Save(ScenarioRunState::Mode mode, const GridSn& scenarios);  // mutex_ held

    std::string run_path_;
    std::string last_path_;
    mutable std::mutex mutex_;
    std::optional<std::vector<ScenarioRun>> pending_;
    bool measuring_ = false;
    std::string written_;  // the file's content as last written
};

}  // namespace kalvo
