#pragma once
// The desktop program's entry: the application object, the Program (made before the main window,
// ended after it), the main window at (0, 0, 800, 600), the event loop and its exit code.
#include <functional>
#include <string>

namespace kalvo {

class CMainFrame;

// `shown` runs once the window is shown (the screenshot tool schedules its work there).
// `archive_root`: where the day files and the settings go instead of the program's own folder
// (the screenshot tool leaves nothing behind that way).
int RunDesktop(int argc, char** argv, const std::function<void(CMainFrame&)>& shown = {},
               const std::string& archive_root = {});

}  // namespace kalvo
