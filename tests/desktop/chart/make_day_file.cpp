// make_day_file OUT.dat [--thermometers N] [--period SECONDS] [--passes N] [--no-faults]
// Writes a realistic day file (outdoor, room, heated tank, cellar) for trying the archive tools.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "day_file_generator.h"

int main(int argc, char** argv) {
    kalvo::DayFileOptions options;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--thermometers") && has_value) {
            options.thermometers = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--period") && has_value) {
            options.period_seconds = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--passes") && has_value) {
            options.passes = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--no-faults")) {
            options.faults = false;
        } else if (argv[i][0] != '-' && !out) {
            out = argv[i];
        } else {
            out = nullptr;
            break;
        }
    }
    if (!out || options.thermometers < 1 || options.thermometers > 4 ||
        options.period_seconds < 1 || options.passes < 0) {
        std::fputs(
            "usage: make_day_file OUT.dat [--thermometers 1-4] [--period SECONDS] "
            "[--passes N] [--no-faults]\n",
            stderr);
        return 1;
    }
    if (!kalvo::WriteDayFile(out, options)) {
        std::fprintf(stderr, "make_day_file: cannot write %s\n", out);
        return 1;
    }
    return 0;
}
