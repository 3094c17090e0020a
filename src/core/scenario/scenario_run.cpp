#include "core/scenario/scenario_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kalvo {
namespace {

constexpr char kHeader[] = "kalvo scenario run 1\n";

uint64_t Fnv1a(std::string_view bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) {
        hash ^= uint8_t(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

const char* ModeText(ScenarioRunState::Mode mode) {
    switch (mode) {
        case ScenarioRunState::Mode::kRunning:
            return "running";
        case ScenarioRunState::Mode::kPaused:
            return "paused";
        case ScenarioRunState::Mode::kClosed:
            break;
    }
    return "closed";
}

// Closes the descriptor whatever happens.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string EncodeRunState(const ScenarioRunState& state) {
    std::string text = kHeader;
    text += "state ";
    text += ModeText(state.mode);
    text += '\n';
    char line[160];
    for (const ScenarioRun& run : state.runs) {
        std::snprintf(line, sizeof line, "run %d %" PRId64 " %" PRId64 " %d %016" PRIx64 "\n",
                      run.row, run.start_time, run.completed, run.finished ? 1 : 0,
                      run.fingerprint);
        text += line;
    }
    std::snprintf(line, sizeof line, "end %016" PRIx64 "\n", Fnv1a(text));
    text += line;
    return text;
}

std::optional<ScenarioRunState> DecodeRunState(std::string_view text) {
    const size_t end = text.rfind("end ");
    if (end == std::string_view::npos || text.substr(0, sizeof kHeader - 1) != kHeader)
        return std::nullopt;
    uint64_t check = 0;
    char tail = 0;
    const std::string last(text.substr(end));
    if (std::sscanf(last.c_str(), "end %16" SCNx64 "%c", &check, &tail) != 2 || tail != '\n' ||
        last.size() != 4 + 16 + 1 || check != Fnv1a(text.substr(0, end)))
        return std::nullopt;

    ScenarioRunState state;
    std::istringstream lines{
        std::string(text.substr(sizeof kHeader - 1, end - sizeof kHeader + 1))};
    std::string line;
    if (!std::getline(lines, line)) return std::nullopt;
    if (line == "state running")
        state.mode = ScenarioRunState::Mode::kRunning;
    else if (line == "state paused")
        state.mode = ScenarioRunState::Mode::kPaused;
    else if (line == "state closed")
        state.mode = ScenarioRunState::Mode::kClosed;
    else
        return std::nullopt;
    while (std::getline(lines, line)) {
        ScenarioRun run;
        int finished = 0, used = 0;
        if (std::sscanf(line.c_str(), "run %d %" SCNd64 " %" SCNd64 " %d %" SCNx64 "%n", &run.row,
                        &run.start_time, &run.completed, &finished, &run.fingerprint, &used) != 5 ||
            size_t(used) != line.size() || run.row < 0 || run.row > 255 || run.completed < 0 ||
            (finished != 0 && finished != 1))
            return std::nullopt;
        run.finished = finished == 1;
        state.runs.push_back(run);
    }
    return state;
}

bool WriteFileReplacing(const std::string& path, std::string_view content) {
    const std::string temporary = path + ".tmp";
    {
        Descriptor file{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        if (file.fd < 0) return false;
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(file.fd, content.data() + done, content.size() - done);
            if (n <= 0) return false;
            done += size_t(n);
        }
        // On the disk before it takes the old file's place: a power cut leaves one or the other.
        if (::fsync(file.fd) != 0) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return content.str();
}

}  // namespace kalvo
