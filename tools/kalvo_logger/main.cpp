// kalvo-logger: measures, records and controls without a window, as a service or from a shell.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "logger.h"

namespace kalvo {
namespace {

constexpr int kExitUsage = 64;

constexpr const char* kUsage =
    "usage: kalvo-logger [--data DIR] [--scenarios FILE.snr] [--once]\n"
    "\n"
    "Measures from the start with the settings the window saved, records the day files,\n"
    "runs the thermostat and the scenarios, until SIGTERM or SIGINT closes it in order.\n"
    "\n"
    "  --data DIR            the data folder (day files, setting.stg); default: appdata beside\n"
    "                        the program when writable, else $XDG_DATA_HOME/kalvo/appdata\n"
    "  --scenarios FILE.snr  load this scenario file before measuring\n"
    "  --once                one pass: a line per thermometer (id, name, temperature or н/д)\n"
    "                        on stdout, then the orderly close\n"
    "  --help                this text\n";

int Main(int argc, char** argv) {
    std::setlocale(LC_NUMERIC, "C");
    LoggerOptions options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc && *argv[i + 1] != '\0';
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(arg, "--data") == 0 && has_value) {
            options.data = argv[++i];
        } else if (std::strcmp(arg, "--scenarios") == 0 && has_value) {
            options.scenarios = argv[++i];
        } else if (std::strcmp(arg, "--once") == 0) {
            options.once = true;
        } else {
            std::fprintf(stderr, "kalvo-logger: unexpected argument: %s\n", arg);
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    // Absolute, so the texts that name it (the folder lock's) say which folder it is.
    if (!options.data.empty()) {
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(options.data, ec);
        if (!ec) options.data = absolute.lexically_normal().string();
        while (options.data.size() > 1 && options.data.back() == '/') options.data.pop_back();
    }
    return RunLogger(options);
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    return kalvo::Main(argc, argv);
}
