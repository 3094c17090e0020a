// The settings file's own file-system calls: flush, atomic replace, remove.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/engine/file_setting.h"

namespace kalvo::SHELL {
namespace {

bool SyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    ::close(fd);
    return rc == 0;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool SettingFileOps::SyncFile(const std::string& path) {
    return SyncPath(path, O_RDONLY);
}

bool SettingFileOps::Replace(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) return false;
    // The rename itself lives in the folder; without this a power cut may undo it.
    SyncPath(FolderOf(to), O_RDONLY | O_DIRECTORY);
    return true;
}

bool SettingFileOps::Remove(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

SettingFileOps& DefaultSettingFileOps() {
    static SettingFileOps ops;
    return ops;
}

}  // namespace kalvo::SHELL
