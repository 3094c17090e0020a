#include "core/scenario/scenario_file.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "core/common/messages.h"
#include "core/common/paths.h"
#include "core/common/status_bar.h"
#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_record.h"
#include "core/scenario/scenario_shell.h"

namespace kalvo {
namespace {

void Report(StatusBar* status_bar, std::u16string_view text) {
    if (status_bar && !text.empty()) status_bar->SetPaneText(kPaneMain, text);
}

}  // namespace

ScenarioFileResult SaveScenarios(const GridSn& grid, const std::string& path, SHELL::FileOps& ops) {
    std::error_code ignored;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);

    SHELL::CScenarioFile file(ops);
    if (!file.Open(path, SHELL::CScenarioFile::Mode::kWriteReplace))
        return {false, kScenarioOpenFailedText};
    const auto records = grid.StoreAll();
    for (const ScenarioRecord& record : records) {
        const ScenarioRecordImage image = EncodeScenarioRecord(record);
        if (!file.WriteAll(image.data(), image.size())) return {false, kScenarioWriteFailedText};
    }
    if (!file.Close()) return {false, kScenarioWriteFailedText};
    return {true, kScenarioSavedText};
}

ScenarioFileResult LoadScenarios(GridSn& grid, const std::string& path, SHELL::FileOps& ops) {
    SHELL::CScenarioFile file(ops);
    if (!file.Open(path, SHELL::CScenarioFile::Mode::kReadExisting)) return {false, u""};
    if (file.Size() != int64_t(kScenarioFileSize)) return {false, kScenarioCorruptText};
    // Read everything before touching the grid, so a failed read leaves the table whole.
    std::vector<uint8_t> bytes(kScenarioFileSize);
    if (!file.ReadExact(bytes.data(), bytes.size())) return {false, kScenarioCorruptText};
    file.Close();

    std::array<ScenarioRecord, kScenarioCount> records;
    for (int i = 0; i < kScenarioCount; ++i) {
        const std::span<const uint8_t, kScenarioRecordSize> image(
            bytes.data() + size_t(i) * kScenarioRecordSize, kScenarioRecordSize);
        records[i] = DecodeScenarioRecord(image);
    }
    grid.LoadAll(records);
    return {true, u""};
}

bool SaveScenariosWithDialog(const GridSn& grid, const ScenarioFileChooser& choose,
                             StatusBar* status_bar, std::string* saved) {
    const std::string folder = ScenarioFolder();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::optional<std::string> path = choose ? choose(folder) : std::nullopt;
    if (!path) return false;
    const ScenarioFileResult result = SaveScenarios(grid, *path);
    Report(status_bar, result.status);
    if (result.ok && saved) *saved = *path;
    return result.ok;
}

bool LoadScenariosWithDialog(GridSn& grid, const ScenarioFileChooser& choose, StatusBar* status_bar,
                             bool clear_failure, std::string* loaded) {
    const std::optional<std::string> path = choose ? choose(ScenarioFolder()) : std::nullopt;
    if (!path) {
        Report(status_bar, kScenarioLoadFailedText);
        return false;
    }
    const ScenarioFileResult result = LoadScenarios(grid, *path);
    if (result.ok) {
        if (clear_failure && status_bar) status_bar->SetPaneText(kPaneMain, u"");
        if (loaded) *loaded = *path;
        return true;
    }
    // One text, so the reason is not overwritten by the general one.
    const std::u16string_view reason =
        result.status.empty() ? std::u16string_view(kScenarioOpenFailedText) : result.status;
    Report(status_bar, std::u16string(kScenarioLoadFailedText) + u": " + std::u16string(reason));
    return false;
}

}  // namespace kalvo
