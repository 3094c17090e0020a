#include <cstdio>

#include "plot_command.h"

namespace kalvo {

int RunPlotCommand(int, char**) {
    std::fputs("plot: built without Qt\n", stderr);
    return 1;
}

}  // namespace kalvo
