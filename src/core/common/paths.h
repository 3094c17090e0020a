#pragma once
#include <string>

namespace kalvo {

// Absolute folder of the running executable, without a trailing slash.
std::string ProgramFolder();
// Where the program keeps its data: the program folder when it is writable, else the per-user
// data folder ($XDG_DATA_HOME/kalvo or ~/.local/share/kalvo).
std::string DataFolder();
// DataFolder() + "/appdata": the archive root.
std::string ArchiveRoot();
// DataFolder() + "/Scenarios".
std::string ScenarioFolder();
// Overrides the program folder (tests).
void SetProgramFolderForTesting(const std::string& folder);

}  // namespace kalvo
