#pragma once
// The DS2413 latches its outputs, so a heater left on by a program that died stays on. The guard
// is a small process of its own that waits for the program's end on a pipe: the program tells
// it when it closes in order; any other end (crash, kill -9, abort) closes the pipe without that
// word, and the guard then switches every output of the bridge off.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/clock.h"
#include "core/device/d2xx.h"
#include "core/device/switch_off.h"

namespace kalvo {

constexpr const char* kGuardProgramName = "kalvo-guard";
// The one byte the program writes before it lets go of the pipe at its orderly close.
constexpr char kGuardDisarmByte = 'D';
constexpr int64_t kGuardPatienceMs = 30000;
constexpr int64_t kGuardDisarmWaitMs = 2000;

// ---- the program's side ----

class OutputGuard {
  public:
    OutputGuard() = default;
    // Without Disarm the guard hears the program's end as a crash: it switches the outputs off.
    ~OutputGuard();
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;

    // Starts argv (argv[0] a path) in a session of its own, its standard input on a pipe whose
    // write end only this object holds; `env` is its whole environment. false with `why` set
    // when it could not be started.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::string* why);
    // Started, and neither disarmed nor let go.
    bool Armed() const { return pipe_ >= 0; }
    int Pid() const { return pid_; }
    // The orderly close: the guard leaves the outputs alone. Waits up to `wait_ms` for it to
    // end; true when it ended with exit code 0.
    bool Disarm(int64_t wait_ms = kGuardDisarmWaitMs);
    // Lets go of the pipe without the word, as a crash would.
    void Release();
    // The guard's exit code once it has ended (128 + the signal that ended it); -1 when it
    // still runs after `wait_ms`.
    int Wait(int64_t wait_ms);

  private:
    int pid_ = -1;
    int pipe_ = -1;
    int exit_code_ = -1;
};

// kalvo-guard beside the program, else the first one on PATH; empty when there is none.
std::string FindGuardProgram();

// Starts the guard for the bridge with serial number `serial` (empty: the first bridge that
// opens), bound to the driver library this process has loaded, so both talk to the same driver.
bool StartOutputGuard(OutputGuard& guard, std::u16string_view serial, std::string* why);

// ---- the guard's side ----

enum class ProgramEnd { kOrderly, kOther };

// Blocks until every holder of the pipe's write end has let go; kOrderly when the disarm byte
// came before.
ProgramEnd WaitForProgramEnd(int fd);

struct GuardOutcome {
    int exit_code = 0;
    std::string line;  // what the guard did; empty after an orderly close
};

// After the program's end: nothing after an orderly close, else every output of the bridge
// `serial` off, retrying for `patience_ms` while the bridge is busy.
GuardOutcome GuardOutputs(ProgramEnd end, const D2xxApi& api, std::u16string_view serial,
                          Clock& clock, int64_t patience_ms);
// The line for a switch-off report.
std::string GuardReportLine(std::u16string_view serial, const SwitchOffReport& report,
                            int64_t patience_ms);

// The guard's own process: no terminal or session signal ends it, and it keeps no descriptor
// of the program but standard input, output and error.
void DetachGuardProcess();

// ---- platform helpers ----

bool IsExecutableFile(const std::string& path);
// This process's environment as NAME=value texts.
std::vector<std::string> ProcessEnvironment();
// The path of the driver library this process has loaded; empty when none is loaded yet.
std::string LoadedDriverLibrary();

}  // namespace kalvo
