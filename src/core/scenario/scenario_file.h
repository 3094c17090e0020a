#pragma once
#include <functional>
#include <optional>
#include <string>

#include "core/common/file_ops.h"

namespace kalvo {

class GridSn;
class StatusBar;

// Status texts of the scenario file operations (main pane).
inline constexpr char16_t kScenarioOpenFailedText[] = u"Ошибка открытия файла сценария";
inline constexpr char16_t kScenarioWriteFailedText[] = u"Ошибка при записи файла сценария";
inline constexpr char16_t kScenarioSavedText[] = u"Запись файла сценария выполнена";
inline constexpr char16_t kScenarioCorruptText[] = u"Файл сценария испорчен";
inline constexpr char16_t kScenarioLoadFailedText[] = u"Ошибка загрузки файла сценария";

// What the file dialogs offer.
inline constexpr char16_t kScenarioFileFilter[] = u"Scenario Files (*.snr)";
inline constexpr char16_t kScenarioFilePattern[] = u"*.snr";
inline constexpr char16_t kScenarioFileExtension[] = u"snr";

struct ScenarioFileResult {
    bool ok = false;
    std::u16string status;  // for the main pane; empty when there is nothing to say
};

// Writes the 16 records built afresh from the grid's texts (5408 bytes), replacing the file.
// A missing parent folder is created first.
ScenarioFileResult SaveScenarios(const GridSn& grid, const std::string& path,
                                 SHELL::FileOps& ops = SHELL::DefaultFileOps());
// Loads a 5408-byte file into the grid and the table. Any other size, or a short read, changes
// nothing and says the file is corrupt; a file that cannot be opened says nothing.
ScenarioFileResult LoadScenarios(GridSn& grid, const std::string& path,
                                 SHELL::FileOps& ops = SHELL::DefaultFileOps());

// The page's file dialog: gets the folder to start in, returns the chosen path or nothing when
// the user cancels.
using ScenarioFileChooser = std::function<std::optional<std::string>(const std::string& folder)>;

// The "Save Scenario" button: creates the scenario folder so the dialog can start there, asks
// for a path and saves. Cancelling says nothing. True on success, with the path in `saved`.
bool SaveScenariosWithDialog(const GridSn& grid, const ScenarioFileChooser& choose,
                             StatusBar* status_bar, std::string* saved = nullptr);
// The "Load Scenario" button: asks for a path and loads. Any outcome but success says
// kScenarioLoadFailedText, followed by the reason when there is one ("Ошибка загрузки файла
// сценария: Файл сценария испорчен"); a cancelled dialog says it alone. A success says nothing,
// except that it clears the pane when `clear_failure` (an earlier load's failure is showing).
// True on success, with the path in `loaded`.
bool LoadScenariosWithDialog(GridSn& grid, const ScenarioFileChooser& choose, StatusBar* status_bar,
                             bool clear_failure = false, std::string* loaded = nullptr);

}  // namespace kalvo
