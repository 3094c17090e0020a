// kalvo-simport: the simulated bus served on a pseudo-terminal. Every byte written to the slave
// comes back as a UART 1-Wire line would echo it, at the rate and framing the slave's user has
// set, so any master that uses the UART technique can be tested against the simulator.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/common/clock.h"
#include "drivers/serial/line_speed.h"
#include "drivers/sim/sim_config.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
// While nobody holds the slave open the master only reports a hang-up; the open is announced
// through inotify, and this interval covers an open that slips past it.
constexpr int kIdlePollMs = 100;

int Usage() {
    std::fputs("usage: kalvo-simport [--link PATH] [simbus.conf]\n", stderr);
    return kExitUsage;
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "kalvo-simport: %s\n", what.c_str());
    return kExitFailed;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The simulated bridge behind the line: the framing and rate the slave has set now are applied
// before its bytes go on the line.
class Line {
  public:
    Line(sim::World& world, FT_HANDLE handle) : world_(world), handle_(handle) {}

    void Echo(int master, const uint8_t* bytes, size_t n, std::vector<uint8_t>& echo) {
        // The terminal settings belong to the slave; the master reads them. Bytes that arrive
        // together were written under one setting, since a UART master waits for each echo
        // before it changes the rate.
        termios tio{};
        if (tcgetattr(master, &tio) == 0) {
            const UCHAR bits = (tio.c_cflag & CSIZE) == CS8 ? 8 : 7;  // 5 and 6 bits: unframed
            const UCHAR stop = tio.c_cflag & CSTOPB ? 2 : 0;
            UCHAR parity = 0;
            if (tio.c_cflag & PARENB) {
                const bool odd = tio.c_cflag & PARODD;
                parity = tio.c_cflag & CMSPAR ? (odd ? 3 : 4) : (odd ? 1 : 2);
            }
            if (tio.c_cflag != cflag_) {
                world_.SetDataCharacteristics(handle_, bits, stop, parity);
                cflag_ = tio.c_cflag;
            }
        }
        uint32_t baud = 0;
        if (serial::GetLineSpeed(master, &baud) && baud != baud_) {
            world_.SetBaudRate(handle_, baud);  // a rate the bridge cannot make keeps the last
            baud_ = baud;
        }
        echo.resize(n);
        DWORD written = 0, got = 0;
        world_.Write(handle_, const_cast<uint8_t*>(bytes), DWORD(n), &written);
        world_.Read(handle_, echo.data(), DWORD(n), &got);
        echo.resize(got);
    }

  private:
    sim::World& world_;
    FT_HANDLE handle_;
    tcflag_t cflag_ = 0;
    uint32_t baud_ = 0;
};

struct Options {
    std::string link;
    std::string conf;
};

bool ParseArgs(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc && *argv[i + 1]) {
            options->link = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && options->conf.empty()) {
            options->conf = arg;
        } else {
            return false;
        }
    }
    return true;
}

// Replaces a stale symbolic link, never anything else.
bool MakeLink(const std::string& target, const std::string& link) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        unlink(link.c_str());
    }
    return symlink(target.c_str(), link.c_str()) == 0;
}

void RemoveLink(const std::string& target, const std::string& link) {
    std::vector<char> buffer(target.size() + 2);
    const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
    if (n >= 0 && std::string(buffer.data(), size_t(n)) == target) unlink(link.c_str());
}

int Serve(const Options& options) {
    sim::BusConfig config = sim::DefaultBusConfig();
    sim::ConfigError error;
    if (!options.conf.empty() && !sim::LoadBusConfig(options.conf, &config, &error))
        return Fail(options.conf + ": " + error.Text());
    const std::unique_ptr<sim::World> world = sim::MakeWorld(config, SystemClock());
    // The pty adds no USB latency unless the bus asks for one.
    if (config.latency_ms < 0) world->SetLatencyMs(0);
    FT_HANDLE handle = nullptr;
    if (world->Open(0, &handle) != FT_OK) return Fail("the bridge of the bus cannot be opened");
    world->SetTimeouts(handle, 0, 0);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const Fd signals(signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (signals.get() < 0) return Fail(Errno("signalfd"));

    const Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
        return Fail(Errno("pseudo-terminal"));
    char name[256] = {};
    if (ptsname_r(master.get(), name, sizeof name) != 0) return Fail(Errno("ptsname"));
    const std::string slave = name;
    {
        // Raw from the start, so a master that has not set up the terminal yet does not get
        // its echoes echoed back by the line discipline.
        const Fd fd(open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios tio{};
        if (fd.get() < 0 || tcgetattr(fd.get(), &tio) != 0) return Fail(Errno(slave));
        cfmakeraw(&tio);
        tcsetattr(fd.get(), TCSANOW, &tio);
    }
    const Fd opens(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (opens.get() >= 0) inotify_add_watch(opens.get(), slave.c_str(), IN_OPEN);

    if (!options.link.empty() && !MakeLink(slave, options.link))
        return Fail(Errno("link " + options.link));
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    Line line(*world, handle);
    std::vector<uint8_t> in(4096), echo;
    bool hung_up = true;  // nobody has the slave open yet
    int result = 0;
    for (;;) {
        pollfd fds[3] = {{signals.get(), POLLIN, 0},
                         {opens.get(), POLLIN, 0},
                         {hung_up ? -1 : master.get(), POLLIN, 0}};
        if (poll(fds, 3, hung_up ? kIdlePollMs : -1) < 0 && errno != EINTR) {
            result = Fail(Errno("poll"));
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents) {
            char events[1024];
            while (read(opens.get(), events, sizeof events) > 0) {
            }
        }
        if (hung_up) {
            hung_up = false;  // look again: the slave may have been opened
            continue;
        }
        if (!(fds[2].revents & POLLIN)) {
            if (fds[2].revents & (POLLHUP | POLLERR)) hung_up = true;
            continue;
        }
        const ssize_t n = read(master.get(), in.data(), in.size());
        if (n < 0) {
            if (errno == EIO) hung_up = true;  // the slave was closed
            if (errno == EAGAIN || errno == EINTR || errno == EIO) continue;
            result = Fail(Errno("read"));
            break;
        }
        if (n == 0) continue;
        line.Echo(master.get(), in.data(), size_t(n), echo);
        // Like a UART's receive buffer, echoes nobody reads are dropped when it is full.
        if (!echo.empty() && write(master.get(), echo.data(), echo.size()) < 0 && errno != EAGAIN &&
            errno != EIO) {
            result = Fail(Errno("write"));
            break;
        }
    }
    if (!options.link.empty()) RemoveLink(slave, options.link);
    return result;
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    kalvo::Options options;
    if (!kalvo::ParseArgs(argc, argv, &options)) return kalvo::Usage();
    return kalvo::Serve(options);
}
