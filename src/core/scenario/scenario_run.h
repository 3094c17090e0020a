#pragma once
// Where running scenarios stand, kept in the data folder so a program that ended without its
// orderly close (a power cut, a kill) can continue them where they were. A small text file,
// replaced whole (temporary file, sync, rename) and closed by a check line, so a torn or
// foreign file is recognised and ignored.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvo {

// One scenario's place in its run.
struct ScenarioRun {
    int row = 0;
    int64_t start_time = 0;  // s since 1970 UTC: start of the current cycle
    int64_t completed = 0;   // cycles done
    bool finished = false;
    uint64_t fingerprint = 0;  // of the row's definition (GridSn::Fingerprint)
    bool operator==(const ScenarioRun&) const = default;
};

struct ScenarioRunState {
    enum class Mode { kRunning, kPaused, kClosed };
    // kClosed: written by the orderly close, the marker that nothing needs continuing.
    Mode mode = Mode::kClosed;
    std::vector<ScenarioRun> runs;
    bool operator==(const ScenarioRunState&) const = default;
};

std::string EncodeRunState(const ScenarioRunState& state);
// Nothing for a text that is not a whole, unchanged state.
std::optional<ScenarioRunState> DecodeRunState(std::string_view text);

// Replaces `path` by way of `path`.tmp; false (the old file kept) when that fails.
bool WriteFileReplacing(const std::string& path, std::string_view content);
// The whole file; nothing when it cannot be read (a missing one included).
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace kalvo
