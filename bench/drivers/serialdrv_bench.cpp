// The serial driver's own cost per echo exchange (purge, write, read) on a pty whose other side
// echoes at once, so no USB and no line time are in it; and one temperature pass and one bus
// inventory of the default simulated bus served by kalvo-simport.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/common/status_bar.h"
#include "core/device/one_wire_bus.h"
#include "drivers/serial/serial_api.h"
#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

PortSources Named(const std::string& port) {
    PortSources sources;
    sources.sysfs_root = "/nonexistent";
    sources.named_ports = port;
    return sources;
}

// The other end of a pty that sends every byte straight back.
class Loopback {
  public:
    Loopback() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
        thread_ = std::thread([this] {
            std::vector<uint8_t> buffer(4096);
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN)) continue;
                const ssize_t n = read(master_, buffer.data(), buffer.size());
                if (n > 0 && write(master_, buffer.data(), size_t(n)) < 0) break;
            }
        });
    }
    ~Loopback() {
        stop_ = true;
        thread_.join();
        close(master_);
    }
    const std::string& slave() const { return slave_; }

  private:
    int master_;
    std::string slave_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_Exchange(benchmark::State& state) {
    Loopback loop;
    SerialDriver driver(Named(loop.slave()));
    FT_HANDLE h = nullptr;
    if (driver.Open(0, &h) != FT_OK) return state.SkipWithError("open");
    driver.SetBaudRate(h, 115200);
    driver.SetTimeouts(h, 1000, 0);
    const DWORD n = DWORD(state.range(0));
    std::vector<uint8_t> bytes(n, 0xFF);
    for (auto _ : state) {
        DWORD count = 0;
        driver.Purge(h, FT_PURGE_RX | FT_PURGE_TX);
        driver.Write(h, bytes.data(), n, &count);
        if (driver.Read(h, bytes.data(), n, &count) != FT_OK || count != n)
            return state.SkipWithError("short echo");
    }
    driver.Close(h);
}
BENCHMARK(BM_Exchange)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

// kalvo-simport on the default bus (or the bus file $KALVO_SIMBUS names, e.g. one with
// latency_ms=4 for a real bridge's USB latency), linked from a temporary path.
class SimPortProcess {
  public:
    SimPortProcess() : link_("/tmp/kalvo_bench_port_" + std::to_string(getpid())) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            if (const char* conf = getenv("KALVO_SIMBUS"))
                execl(KALVO_SIMPORT, KALVO_SIMPORT, "--link", link_.c_str(), conf, nullptr);
            execl(KALVO_SIMPORT, KALVO_SIMPORT, "--link", link_.c_str(), nullptr);
            _exit(127);
        }
        close(fds[1]);
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') {
        }
        close(fds[0]);
    }
    ~SimPortProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& link() const { return link_; }

  private:
    std::string link_;
    pid_t pid_ = -1;
};

void BM_BusOverSimPort(benchmark::State& state, bool pass) {
    SimPortProcess server;
    SerialDriver driver(Named(server.link()));
    SetActiveDriver(&driver);
    {
        RecordingStatusBar bar;  // the inventory reports its progress
        COneWireBus bus(Api());
        bus.SetStatusBar(&bar);
        if (!bus.SearchBridges() || !bus.OpenBus()) {
            SetActiveDriver(nullptr);
            return state.SkipWithError("no bus on the pty");
        }
        for (auto _ : state) {
            if (pass) {
                if (bus.MeasureAll() != 1) state.SkipWithError("pass failed");
                bus.ClearPending();
            } else if (!bus.SearchBus()) {
                state.SkipWithError("inventory failed");
            }
        }
    }
    SetActiveDriver(nullptr);
}
BENCHMARK_CAPTURE(BM_BusOverSimPort, temperature_pass, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_BusOverSimPort, inventory, false)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

}  // namespace
}  // namespace kalvo::serial

BENCHMARK_MAIN();
