#include "core/common/paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

namespace kalvo {
namespace {
std::mutex g_mutex;
std::string g_override;
}  // namespace

std::string ProgramFolder() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty()) return g_override;
    }
    char buf[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return ".";
    std::string path(buf, size_t(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string DataFolder() {
    const std::string program = ProgramFolder();
    if (access(program.c_str(), W_OK) == 0) return program;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::string(xdg) + "/kalvo";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share/kalvo";
    return program;
}

std::string ArchiveRoot() {
    return DataFolder() + "/appdata";
}
std::string ScenarioFolder() {
    return DataFolder() + "/Scenarios";
}

void SetProgramFolderForTesting(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_override = folder;
}

}  // namespace kalvo
