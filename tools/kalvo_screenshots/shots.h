#pragma once
// The pictures of docs/images, each group made by one function; 0 when all were written.
#include <string>

namespace kalvo {

// The whole program over the driver beside it; it runs the event loop itself (about 70 s).
int ShootWindow(int argc, char** argv, const std::string& folder);
// The two pages over a simulated bus of this process; needs a QApplication.
int ShootPages(const std::string& folder);
// The archive tree and a stored day; needs a QApplication.
int ShootArchive(const std::string& folder);

}  // namespace kalvo
