#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "drivers/serial/line_speed.h"
#include "drivers/serial/serial_port.h"

namespace kalvo::serial {
namespace {

using Steady = std::chrono::steady_clock;

bool MeansGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

class Deadline {
  public:
    explicit Deadline(int64_t timeout_ms)
        : forever_(timeout_ms < 0),
          at_(Steady::now() + std::chrono::milliseconds(std::max<int64_t>(timeout_ms, 0))) {}
    // Milliseconds left for poll(), rounded up; 0 once passed, -1 for no limit.
    int PollMs() const {
        if (forever_) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Steady::now());
        return int(std::clamp<int64_t>(left.count(), 0, INT_MAX));
    }

  private:
    bool forever_;
    Steady::time_point at_;
};

enum class Wait { kReady, kTimeout, kHangup };

// Waits for `events`. A hang-up or error is handed back, so the next read or write reports it.
Wait WaitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        const int ms = deadline.PollMs();
        if (ms == 0) return Wait::kTimeout;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, ms);
        if (n > 0) return p.revents & (POLLHUP | POLLERR | POLLNVAL) ? Wait::kHangup : Wait::kReady;
        if (n < 0 && errno != EINTR) return Wait::kHangup;
    }
}

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& path, int* error) {
    // O_NONBLOCK: opening must not wait for a carrier, and reads are paced by poll().
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    auto give_up = [&](int e) {
        close(fd);
        *error = e;
        return nullptr;
    };
    if (!isatty(fd)) return give_up(ENOTTY);
    // flock keeps out other processes that lock (root ignores TIOCEXCL); TIOCEXCL keeps out
    // everyone else who is not root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return give_up(errno == EWOULDBLOCK ? EBUSY : errno);
    if (ioctl(fd, TIOCEXCL) != 0) return give_up(errno);

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        const int e = errno;
        ioctl(fd, TIOCNXCL);
        return give_up(e);
    }
    cfmakeraw(&tio);
    // Breaks and framing errors arrive as 0x00, which is what a line held low should echo.
    tio.c_iflag &= ~tcflag_t(IXOFF | IXANY | INPCK | IGNPAR | IGNBRK);
    tio.c_cflag &= ~tcflag_t(CRTSCTS | CSTOPB | PARENB | PARODD | CMSPAR | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // With O_NONBLOCK an empty port gives EAGAIN and only a hang-up reads 0 bytes.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int e = errno;
        ioctl(fd, TIOCNXCL);
        return give_up(e);
    }
    tcflush(fd, TCIOFLUSH);
    return std::unique_ptr<SerialPort>(new SerialPort(fd));
}

SerialPort::~SerialPort() {
    // The exclusive flag would outlive us while another descriptor keeps the terminal open.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
}

PortIo SerialPort::Fail(int error) {
    if (MeansGone(error)) gone_ = true;
    return PortIo::kFailed;
}

bool SerialPort::Failed(int error) {
    Fail(error);
    return false;
}

bool SerialPort::SetFraming(int data_bits, int stop_bits, Parity parity) {
    if (gone_) return false;
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return Failed(errno);
    tio.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    switch (data_bits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    if (stop_bits == 2) tio.c_cflag |= CSTOPB;
    switch (parity) {
        case Parity::kNone:
            break;
        case Parity::kOdd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case Parity::kEven:
            tio.c_cflag |= PARENB;
            break;
        case Parity::kMark:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case Parity::kSpace:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return Failed(errno);
    return true;
}

bool SerialPort::SetSpeed(uint32_t baud) {
    if (gone_) return false;
    if (!SetLineSpeed(fd_, baud)) return Failed(errno);
    uint32_t actual = 0;
    if (!GetLineSpeed(fd_, &actual)) return Failed(errno);
    // Drivers round to their divisor, or fall back to another rate for one they cannot make.
    const uint64_t diff = actual > baud ? actual - baud : baud - actual;
    return diff * 100 <= uint64_t(baud) * 3;
}

bool SerialPort::Flush(bool input, bool output) {
    if (gone_) return false;
    if (!input && !output) return true;
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (tcflush(fd_, which) != 0) return Failed(errno);
    return true;
}

PortIo SerialPort::Write(const uint8_t* data, size_t n, int64_t timeout_ms, size_t* written) {
    *written = 0;
    if (gone_) return PortIo::kFailed;
    const Deadline deadline(timeout_ms);
    bool hangup = false;
    while (*written < n) {
        const ssize_t r = write(fd_, data + *written, n - *written);
        if (r > 0) {
            *written += size_t(r);
            continue;
        }
        if (r == 0) return Fail(EIO);  // a terminal that takes nothing without saying why
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Fail(errno);
        if (hangup) return Fail(EIO);  // hung up, yet the port claims to be merely busy
        const Wait wait = WaitFor(fd_, POLLOUT, deadline);
        if (wait == Wait::kTimeout) return PortIo::kTimeout;
        hangup = wait == Wait::kHangup;
    }
    return PortIo::kOk;
}

PortIo SerialPort::Read(uint8_t* data, size_t n, int64_t timeout_ms, size_t* got) {
    *got = 0;
    if (gone_) return PortIo::kFailed;
    const Deadline deadline(timeout_ms);
    bool hangup = false;
    while (*got < n) {
        const ssize_t r = read(fd_, data + *got, n - *got);
        if (r > 0) {
            *got += size_t(r);
            continue;
        }
        if (r == 0) {  // hung up: the device went away or the other side of a pty closed
            gone_ = true;
            return PortIo::kFailed;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Fail(errno);
        if (hangup) return Fail(EIO);
        const Wait wait = WaitFor(fd_, POLLIN, deadline);
        if (wait == Wait::kTimeout) return PortIo::kTimeout;
        hangup = wait == Wait::kHangup;
    }
    return PortIo::kOk;
}

}  // namespace kalvo::serial
