#include "core/scenario/platform_scenario_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kalvo::SHELL {

CScenarioFile::~CScenarioFile() {
    Close();
}

bool CScenarioFile::Open(const std::string& path, Mode mode) {
    Close();
    // O_NONBLOCK keeps a pipe from blocking the open; it is refused below anyway.
    const int flags = mode == Mode::kReadExisting ? O_RDONLY : O_WRONLY | O_CREAT;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                    (mode == Mode::kReadExisting || ::ftruncate(fd, 0) == 0);
    if (!ok) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool CScenarioFile::Close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;  // closing also drops the lock
}

int64_t CScenarioFile::Size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool CScenarioFile::ReadExact(void* data, size_t size) {
    auto* p = static_cast<unsigned char*>(data);
    while (fd_ >= 0 && size > 0) {
        const ssize_t n = ::read(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return fd_ >= 0;
}

bool CScenarioFile::WriteAll(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (fd_ >= 0 && size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return fd_ >= 0;
}

}  // namespace kalvo::SHELL
