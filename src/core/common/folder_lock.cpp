#include "core/common/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "core/common/text.h"

namespace kalvo {
namespace {

constexpr size_t kMaxContent = 256;
constexpr size_t kMaxName = 64;
// A holder writes its name just after it took the lock; a reader that comes in between waits
// this long for it.
constexpr int kHolderReadAttempts = 20;
constexpr auto kHolderReadPause = std::chrono::milliseconds(25);

std::string Reason(const std::string& what, int error) {
    return what + " (" + std::strerror(error) + ")";
}

std::string ReadContent(int fd) {
    char buf[kMaxContent];
    ssize_t n;
    do {
        n = ::pread(fd, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

}  // namespace

std::string FolderLockContent(std::string_view program, long pid) {
    return std::string(program) + " " + std::to_string(pid) + "\n";
}

std::string FolderLockHolder(std::string_view content) {
    const std::string unknown = "another program";
    while (!content.empty() && std::isspace(static_cast<unsigned char>(content.back())))
        content.remove_suffix(1);
    const size_t space = content.rfind(' ');
    if (space == std::string_view::npos || space == 0) return unknown;
    const std::string_view pid = content.substr(space + 1);
    if (pid.empty() || pid.size() > 10 ||
        pid.find_first_not_of("0123456789") != std::string_view::npos)
        return unknown;
    std::string name;
    for (const char c : content.substr(0, space)) {
        if (c < 0x20 || c > 0x7E) continue;
        if (name.size() == kMaxName) break;
        name.push_back(c);
    }
    if (name.find_first_not_of(' ') == std::string::npos) return unknown;
    return name + " (process " + std::string(pid) + ")";
}

std::u16string FolderInUseText(const std::string& folder, const std::string& holder) {
    return Utf8ToUtf16("The data folder " + folder + " is in use by " + holder +
                       ": only one Kalvo program at a time can work on it.");
}

FolderLock::~FolderLock() {
    Release();
}

void FolderLock::Release() {
    // The file stays: removing it would let a newcomer lock a new file while an opener of the
    // old one locks that, and both would think they hold the folder.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FolderLock::Outcome FolderLock::Take(const std::string& folder, std::string_view program) {
    Release();
    holder_.clear();
    why_.clear();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        why_ = folder + " cannot be created (" + ec.message() + ")";
        return Outcome::kUnavailable;
    }
    const std::string path = folder + "/" + kFolderLockFileName;
    // O_NOFOLLOW: a link planted in the folder must not make us write elsewhere. A folder
    // shared with another user may give us only read access, which is enough to lock.
    const int common = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | common, 0644);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(path.c_str(), O_RDONLY | common);
    if (fd < 0) {
        why_ = Reason(path + " cannot be opened", errno);
        return Outcome::kUnavailable;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why_ = path + " is not a regular file";
        return Outcome::kUnavailable;
    }
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        if (error != EWOULDBLOCK) {
            ::close(fd);
            why_ = Reason(path + " cannot be locked", error);
            return Outcome::kUnavailable;
        }
        std::string content = ReadContent(fd);
        for (int i = 1; i < kHolderReadAttempts && content.empty(); ++i) {
            std::this_thread::sleep_for(kHolderReadPause);
            content = ReadContent(fd);
        }
        ::close(fd);
        holder_ = FolderLockHolder(content);
        return Outcome::kHeld;
    }
    fd_ = fd;
    // Naming ourselves is a courtesy to the next comer; the lock holds without it.
    const std::string content = FolderLockContent(program, long(::getpid()));
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd, content.data(), content.size(), 0);
    }
    return Outcome::kTaken;
}

}  // namespace kalvo
