#pragma once
// The real driver: every entry of the table loads the library and resolves its function by name
// at its first call. The library is looked for in the program folder first, then in
// <program folder>/../lib/kalvo (an installation), then through the system's library path; the
// environment variable KALVO_D2XX_LIBRARY, read at the first load,
// names another library file to use instead (tests use it to show the failure paths).
// A missing library or function shows the error box and ends the process with exit code 2.
#include "core/device/d2xx.h"

namespace kalvo {

const D2xxApi& DriverApi();

}  // namespace kalvo
