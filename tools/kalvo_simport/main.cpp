// kalvo-simport: the simulated bus served on a pseudo-terminal. Every byte written to the slave
// comes back as a UART 1-Wire line would echo it, at the rate and framing the slave's user has
// set, so any master that uses the UART technique can be tested against the simulator. While
// the bus file unplugs the bridge the pseudo-terminal is gone; it comes back as a new one at the
// same link.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
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
// through inotify, and this interval covers an open that slips past it. It is also how soon a
// timed fault that unplugs the bridge, or a switch output that changes on its own, is seen.
constexpr int kTickMs = 100;

int Usage() {
    std::fputs("usage: kalvo-simport [--link PATH] [--log-outputs FILE] [simbus.conf]\n", stderr);
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

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

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
        // What a short read left behind is lost, like an echo the master stopped waiting for;
        // kept, it would answer the next bytes.
        world_.Purge(handle_, FT_PURGE_RX);
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
    std::string log_outputs;
};

bool ParseArgs(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc && *argv[i + 1]) {
            options->link = argv[++i];
        } else if (arg == "--log-outputs" && i + 1 < argc && *argv[i + 1]) {
            options->log_outputs = argv[++i];
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

// The pseudo-terminal of a plugged-in bridge: made raw, its opens watched, its path linked and
// printed. Destroyed, it takes its link with it and the slave's users see the line hang up.
class Pty {
  public:
    // Null with `error` set when the terminal or its link cannot be made.
    static std::unique_ptr<Pty> Make(const std::string& link, std::string* error) {
        auto pty = std::make_unique<Pty>(link);
        if (pty->master_.get() < 0 || grantpt(pty->master_.get()) != 0 ||
            unlockpt(pty->master_.get()) != 0) {
            *error = Errno("pseudo-terminal");
            return nullptr;
        }
        char name[256] = {};
        if (ptsname_r(pty->master_.get(), name, sizeof name) != 0) {
            *error = Errno("ptsname");
            return nullptr;
        }
        pty->slave_ = name;
        {
            // Raw from the start, so a master that has not set up the terminal yet does not get
            // its echoes echoed back by the line discipline.
            const Fd fd(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
            termios tio{};
            if (fd.get() < 0 || tcgetattr(fd.get(), &tio) != 0) {
                *error = Errno(pty->slave_);
                return nullptr;
            }
            cfmakeraw(&tio);
            tcsetattr(fd.get(), TCSANOW, &tio);
        }
        if (pty->opens_.get() >= 0) inotify_add_watch(pty->opens_.get(), name, IN_OPEN);
        if (!link.empty() && !MakeLink(pty->slave_, link)) {
            *error = Errno("link " + link);
            return nullptr;
        }
        pty->linked_ = !link.empty();
        std::printf("%s\n", name);
        std::fflush(stdout);
        return pty;
    }
    explicit Pty(const std::string& link)
        : link_(link),
          master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
          opens_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~Pty() {
        if (linked_) RemoveLink(slave_, link_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_.get(); }
    int opens() const { return opens_.get(); }
    bool hung_up = true;  // nobody has the slave open yet

  private:
    std::string link_;
    std::string slave_;
    bool linked_ = false;
    Fd master_;
    Fd opens_;
};

// One line per change of a switch output: run time in s, ROM code, channel, on or off.
class OutputLog {
  public:
    OutputLog(File file, const sim::BusConfig& config, const sim::World& world)
        : file_(std::move(file)) {
        for (const auto& b : config.bridges)
            for (const auto& d : b.devices)
                if (d.kind == sim::DeviceConfig::Kind::kDs2413) {
                    const sim::RomCode code = sim::MakeRomCode(sim::kFamilyDs2413, d.id48);
                    for (int ch = 0; ch < 2; ++ch)
                        outputs_.push_back({code, ch, world.ChannelOn(code, ch)});
                }
    }

    // False when the log cannot be written.
    bool Check(const sim::World& world) {
        for (Output& o : outputs_) {
            const bool on = world.ChannelOn(o.code, o.channel);
            if (on == o.on) continue;
            o.on = on;
            std::fprintf(file_.get(), "%.3f\t%016" PRIx64 "\t%c\t%s\n", world.RunMs() / 1000.0,
                         o.code, o.channel ? 'B' : 'A', on ? "on" : "off");
            // Whoever reads it may have killed the program that switched a moment ago.
            if (std::fflush(file_.get()) != 0) return false;
        }
        return true;
    }

  private:
    struct Output {
        sim::RomCode code;
        int channel;
        bool on;
    };
    File file_;
    std::vector<Output> outputs_;
};

// The first bridge of the bus, opened for the pty; closed again while it is unplugged.
class ServedBridge {
  public:
    explicit ServedBridge(sim::World& world) : world_(world) {}
    ~ServedBridge() { Close(); }

    bool Open() {
        if (world_.Open(0, &handle_) != FT_OK) return false;
        world_.SetTimeouts(handle_, 0, 0);
        line_.emplace(world_, handle_);
        return true;
    }
    void Close() {
        if (!line_) return;
        world_.Close(handle_);
        line_.reset();
    }
    Line& line() { return *line_; }

  private:
    sim::World& world_;
    FT_HANDLE handle_ = nullptr;
    std::optional<Line> line_;
};

int Serve(const Options& options) {
    sim::BusConfig config = sim::DefaultBusConfig();
    sim::ConfigError error;
    if (!options.conf.empty() && !sim::LoadBusConfig(options.conf, &config, &error))
        return Fail(options.conf + ": " + error.Text());
    const std::unique_ptr<sim::World> world = sim::MakeWorld(config, SystemClock());
    // The pty adds no USB latency unless the bus asks for one.
    if (config.latency_ms < 0) world->SetLatencyMs(0);
    std::optional<OutputLog> log;
    if (!options.log_outputs.empty()) {
        File file(std::fopen(options.log_outputs.c_str(), "w"));
        if (!file) return Fail(Errno(options.log_outputs));
        log.emplace(std::move(file), config, *world);
    }
    ServedBridge bridge(*world);
    if (!world->Bridge(0).unplugged && !bridge.Open())
        return Fail("the bridge of the bus cannot be opened");

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const Fd signals(signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (signals.get() < 0) return Fail(Errno("signalfd"));

    std::unique_ptr<Pty> pty;
    std::string why;
    if (!world->Bridge(0).unplugged && !(pty = Pty::Make(options.link, &why))) return Fail(why);

    std::vector<uint8_t> in(4096), echo;
    for (;;) {
        if (log && !log->Check(*world)) return Fail(Errno(options.log_outputs));
        // A timed fault may unplug the bridge and plug it in again.
        const bool unplugged = world->Bridge(0).unplugged;
        if (unplugged && pty) {
            pty.reset();
            bridge.Close();
        } else if (!unplugged && !pty) {
            if (!bridge.Open()) return Fail("the bridge of the bus cannot be opened");
            if (!(pty = Pty::Make(options.link, &why))) return Fail(why);
        }

        const bool listen = pty && !pty->hung_up;
        pollfd fds[3] = {{signals.get(), POLLIN, 0},
                         {pty ? pty->opens() : -1, POLLIN, 0},
                         {listen ? pty->master() : -1, POLLIN, 0}};
        if (poll(fds, 3, kTickMs) < 0 && errno != EINTR) return Fail(Errno("poll"));
        if (fds[0].revents) break;
        if (!pty) continue;
        if (fds[1].revents) {
            char events[1024];
            while (read(pty->opens(), events, sizeof events) > 0) {
            }
        }
        if (pty->hung_up) {
            pty->hung_up = false;  // look again: the slave may have been opened
            continue;
        }
        if (!(fds[2].revents & POLLIN)) {
            if (fds[2].revents & (POLLHUP | POLLERR)) pty->hung_up = true;
            continue;
        }
        const ssize_t n = read(pty->master(), in.data(), in.size());
        if (n < 0) {
            if (errno == EIO) pty->hung_up = true;  // the slave was closed
            if (errno == EAGAIN || errno == EINTR || errno == EIO) continue;
            return Fail(Errno("read"));
        }
        if (n == 0) continue;
        bridge.line().Echo(pty->master(), in.data(), size_t(n), echo);
        // Like a UART's receive buffer, echoes nobody reads are dropped when it is full.
        if (!echo.empty() && write(pty->master(), echo.data(), echo.size()) < 0 &&
            errno != EAGAIN && errno != EIO)
            return Fail(Errno("write"));
    }
    return 0;
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    kalvo::Options options;
    if (!kalvo::ParseArgs(argc, argv, &options)) return kalvo::Usage();
    return kalvo::Serve(options);
}
