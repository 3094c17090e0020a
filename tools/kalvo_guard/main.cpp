// kalvo-guard: started by the program once its bridge is open, it waits on standard input for
// the program's end. After an orderly close it ends without a word; after any other end it
// switches every DS2413 output of the bridge off and writes one line to stderr.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/common/clock.h"
#include "core/common/text.h"
#include "core/device/d2xx_binding.h"
#include "core/device/output_guard.h"

namespace kalvo {
namespace {

constexpr int kExitUsage = 64;

int Usage() {
    std::fputs("usage: kalvo-guard [--serial <serial>] [--wait <seconds>]\n", stderr);
    return kExitUsage;
}

int Main(int argc, char** argv) {
    std::string serial;
    int64_t patience_ms = kGuardPatienceMs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--serial") == 0 && i + 1 < argc) {
            serial = argv[++i];
        } else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || errno != 0 || seconds < 0) return Usage();
            patience_ms = int64_t(seconds) * 1000;
        } else {
            return Usage();
        }
    }
    DetachGuardProcess();
    const ProgramEnd end = WaitForProgramEnd(STDIN_FILENO);
    // The driver loads at its first call, so only after a crash: until the program has ended
    // the bridge is its own.
    const GuardOutcome outcome =
        GuardOutputs(end, DriverApi(), Utf8ToUtf16(serial), SystemClock(), patience_ms);
    if (!outcome.line.empty()) {
        std::fprintf(stderr, "%s\n", outcome.line.c_str());
        std::fflush(stderr);
    }
    return outcome.exit_code;
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    return kalvo::Main(argc, argv);
}
