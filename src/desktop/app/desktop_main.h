#pragma once
// The desktop program's entry: the application object, the Program (made before the main window,
// ended after it), the main window at (0, 0, 800, 600), the event loop and its exit code.
#include <functional>

namespace kalvo {

class CMainFrame;

// `shown` runs once the window is shown (the screenshot tool schedules its work there).
int RunDesktop(int argc, char** argv, const std::function<void(CMainFrame&)>& shown = {});

}  // namespace kalvo
