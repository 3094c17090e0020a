#include "core/device/output_guard.h"

#include <cstdlib>

#include "core/common/paths.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

std::string ChannelsText(int was_on) {
    switch (was_on) {
        case 0:
            return "none";
        case 1:
            return "A";
        case 2:
            return "B";
        case 3:
            return "A and B";
        default:
            return "unknown";
    }
}

std::string SwitchesText(const std::vector<SwitchOffResult>& switches, bool off) {
    std::string text;
    for (const SwitchOffResult& r : switches) {
        if (r.off != off) continue;
        if (!text.empty()) text += ", ";
        text += Utf16ToUtf8(RomText(r.code)) + " (on before: " + ChannelsText(r.was_on) + ")";
    }
    return text;
}

}  // namespace

std::string GuardReportLine(std::u16string_view serial, const SwitchOffReport& report,
                            int64_t patience_ms) {
    const std::string bridge =
        serial.empty() ? std::string("the first bridge") : "bridge " + Utf16ToUtf8(serial);
    std::string line =
        std::string(kGuardProgramName) + ": the program ended without its orderly close; " + bridge;
    if (!report.opened)
        return line + " could not be opened within " + std::to_string(patience_ms / 1000) +
               " s, its outputs are as the program left them";
    if (report.switches.empty()) return line + " has no switches";
    if (report.AllOff()) return line + ": every output off: " + SwitchesText(report.switches, true);
    line += ": not confirmed off: " + SwitchesText(report.switches, false);
    const std::string off = SwitchesText(report.switches, true);
    return off.empty() ? line : line + "; off: " + off;
}

GuardOutcome GuardOutputs(ProgramEnd end, const D2xxApi& api, std::u16string_view serial,
                          Clock& clock, int64_t patience_ms) {
    if (end == ProgramEnd::kOrderly) return {};
    const SwitchOffReport report = SwitchEverythingOff(api, serial, clock, patience_ms);
    return {report.AllOff() ? 0 : 1, GuardReportLine(serial, report, patience_ms)};
}

std::string FindGuardProgram() {
    const std::string beside = ProgramFolder() + "/" + kGuardProgramName;
    if (IsExecutableFile(beside)) return beside;
    const char* env_path = std::getenv("PATH");
    const std::string path = env_path ? env_path : "";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        // Empty and relative entries depend on the current folder: no guard is taken from there.
        if (end > start) {
            const std::string candidate = path.substr(start, end - start) + "/" + kGuardProgramName;
            if (candidate[0] == '/' && IsExecutableFile(candidate)) return candidate;
        }
        start = end + 1;
    }
    return {};
}

bool StartOutputGuard(OutputGuard& guard, std::u16string_view serial, std::string* why) {
    const std::string program = FindGuardProgram();
    if (program.empty()) {
        if (why)
            *why = std::string(kGuardProgramName) +
                   " was found neither beside the program nor on PATH";
        return false;
    }
    std::vector<std::string> argv = {program};
    if (!serial.empty()) {
        argv.push_back("--serial");
        argv.push_back(Utf16ToUtf8(serial));
    }
    // The guard finds the driver on its own only when it sits beside the same one; naming the
    // library this process loaded makes the two agree wherever the guard was found.
    std::vector<std::string> env = ProcessEnvironment();
    const std::string library = LoadedDriverLibrary();
    const char* chosen = std::getenv("KALVO_D2XX_LIBRARY");
    if ((!chosen || !*chosen) && !library.empty()) {
        std::erase_if(env,
                      [](const std::string& e) { return e.starts_with("KALVO_D2XX_LIBRARY="); });
        env.push_back("KALVO_D2XX_LIBRARY=" + library);
    }
    return guard.Start(argv, env, why);
}

}  // namespace kalvo
