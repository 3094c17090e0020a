#pragma once

namespace kalvo {

// `kalvo-archive plot ...`: argv[0] is "plot". Returns the process exit code. Built from the
// chart library when it exists, else a stub that says it is missing.
int RunPlotCommand(int argc, char** argv);

}  // namespace kalvo
