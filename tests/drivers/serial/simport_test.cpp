// kalvo-simport serving the simulated bus on a pty, and the serial driver talking to it: the
// command-line tool gives over the serial driver what it gives over the simulated driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/serial/serial_api.h"
#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kBuild = KALVO_BUILD_DIR;

struct Child {
    pid_t pid = -1;
    int out = -1;  // the child's stdout

    // Starts argv[0] with its stdout on a pipe and its stderr in `err`.
    static Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const fs::path& err) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        Child child;
        child.pid = fork();
        if (child.pid == 0) {
            dup2(fds[1], 1);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(e, 2);
            for (const std::string& var : env) putenv(const_cast<char*>(var.c_str()));
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        child.out = fds[0];
        return child;
    }
    // One line of stdout, or "" when none comes within the time.
    std::string Line(int timeout_ms) const {
        std::string line;
        char c;
        for (;;) {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0 || read(out, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }
    // The exit code; -1 when the child did not end within the time (it is killed then).
    int Wait(int timeout_ms) {
        int status = 0;
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                close(out);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        close(out);
        return -1;
    }
};

class SimPort : public ::testing::Test {
  protected:
    SimPort() : dir_(fs::temp_directory_path() / ("kalvo_simport_" + std::to_string(getpid()))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sysfs");
    }
    ~SimPort() override {
        if (server_.pid > 0) server_.Wait(0);
        fs::remove_all(dir_);
    }
    // Serves `bus` on a pty linked from dir/port; the slave's path.
    std::string Serve(const std::string& bus, const std::vector<std::string>& options = {}) {
        std::ofstream(dir_ / "simbus.conf") << bus;
        std::vector<std::string> argv = {kBuild + "/demo/kalvo-simport", "--link", Port()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back((dir_ / "simbus.conf").string());
        server_ = Child::Spawn(argv, {}, dir_ / "simport.err");
        return server_.Line(10000);
    }
    int StopServer() {
        kill(server_.pid, SIGTERM);
        const int code = server_.Wait(10000);
        server_.pid = -1;
        return code;
    }
    std::string Port() const { return (dir_ / "port").string(); }
    // kalvo-bus over the serial driver and the port, with an empty sysfs so that no real bridge
    // of the machine joins in.
    std::vector<std::string> SerialEnv() const {
        return {"KALVO_D2XX_LIBRARY=" + kBuild + "/serial/libftd2xx.so",
                "KALVO_SERIAL_PORTS=" + Port(), "KALVO_SYSFS_ROOT=" + (dir_ / "sysfs").string()};
    }
    std::vector<std::string> SimEnv() const {
        return {"KALVO_D2XX_LIBRARY=" + kBuild + "/demo/libftd2xx.so",
                "KALVO_SIMBUS=" + (dir_ / "simbus.conf").string()};
    }
    // Exit code and stdout of one kalvo-bus run.
    std::pair<int, std::string> Bus(const std::string& args, const std::vector<std::string>& env) {
        std::vector<std::string> argv = {kBuild + "/demo/kalvo-bus"};
        std::istringstream words(args);
        for (std::string w; words >> w;) argv.push_back(w);
        Child bus = Child::Spawn(argv, env, dir_ / "bus.err");
        std::string out;
        for (std::string line; !(line = bus.Line(20000)).empty();) out += line + "\n";
        return {bus.Wait(20000), out};
    }

    fs::path dir_;
    Child server_;
};

// Noise-free, so both drivers read the same temperatures; without the simulated USB latency,
// which only slows the simulated driver down.
constexpr const char* kBus =
    "latency_ms=0\n"
    "ds18b20 id=00000A1B2C3D temp=21.5\n"
    "ds18b20 id=00000A1B2C4E temp=-10.125 resolution=11\n"
    "ds1820  id=000000B0B0B0 temp=-3.25\n"
    "ds2413  id=0000000ABCDE\n"
    "device  family=01 id=000000123456\n";

TEST_F(SimPort, KalvoBusReadsTheSameBusOverBothDrivers) {
    const std::string slave = Serve(kBus);
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    EXPECT_EQ(fs::read_symlink(Port()), slave);

    const auto bridges = Bus("bridges", SerialEnv());
    EXPECT_EQ(bridges.first, 0);
    EXPECT_EQ(bridges.second, "0\tport\tSerial port\n");
    // Every run opens the port twice (search, then bus) and closes it: the server stays.
    for (const char* args :
         {"scan", "read 2", "switch 3d0000000abcde3a A on", "switch 3d0000000abcde3a B off",
          "switch 3d0000000abcde3a A off", "switch 120000000abcde3a A on"}) {
        const auto serial = Bus(args, SerialEnv());
        const auto sim = Bus(args, SimEnv());
        EXPECT_EQ(serial.first, sim.first) << args;
        EXPECT_EQ(serial.second, sim.second) << args;
        EXPECT_FALSE(serial.second.empty()) << args;
    }
    EXPECT_EQ(StopServer(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Port())));
}

TEST_F(SimPort, KalvoBusFailsWhenThePortVanishesMidRun) {
    ASSERT_FALSE(Serve(kBus).empty());
    Child bus =
        Child::Spawn({kBuild + "/demo/kalvo-bus", "read", "100"}, SerialEnv(), dir_ / "bus.err");
    EXPECT_FALSE(bus.Line(20000).empty());  // the first pass came
    kill(server_.pid, SIGKILL);
    server_.Wait(5000);
    server_.pid = -1;
    EXPECT_EQ(bus.Wait(15000), 1);
}

// A bridge unplugged by the bus file: the program using it loses it, and it comes back at the
// same link under the same name; every switch output change is logged with its run time.
TEST_F(SimPort, UnpluggedBridgeReturnsAtItsLinkAndOutputsAreLogged) {
    const fs::path log = dir_ / "outputs.log";
    ASSERT_FALSE(
        Serve(std::string(kBus) + "fault at=4 for=2 unplug\n", {"--log-outputs", log.string()})
            .empty());
    Child reader =
        Child::Spawn({kBuild + "/demo/kalvo-bus", "read", "100"}, SerialEnv(), dir_ / "read.err");
    EXPECT_FALSE(reader.Line(4000).empty());  // a pass before the bridge went
    EXPECT_EQ(reader.Wait(15000), 1);

    const std::string slave = server_.Line(10000);  // printed again when it is back
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    EXPECT_EQ(fs::read_symlink(Port()), slave);
    EXPECT_EQ(Bus("bridges", SerialEnv()).second, "0\tport\tSerial port\n");
    EXPECT_EQ(Bus("switch 3d0000000abcde3a A on", SerialEnv()).first, 0);
    EXPECT_EQ(Bus("switch 3d0000000abcde3a A off", SerialEnv()).first, 0);
    EXPECT_EQ(StopServer(), 0);

    std::ifstream in(log);
    std::vector<std::string> changes;
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        EXPECT_GE(std::stod(line.substr(0, tab)), 6.0) << line;
        changes.push_back(line.substr(tab + 1));
    }
    EXPECT_EQ(changes,
              (std::vector<std::string>{"3d0000000abcde3a\tA\ton", "3d0000000abcde3a\tA\toff"}));
}

// The echo as any UART master sees it: the rate of each byte decides what it is on the line.
TEST_F(SimPort, EchoesAsAUartOneWireLine) {
    ASSERT_FALSE(Serve("ds18b20 id=00000A1B2C3D temp=21.5\n").empty());
    PortSources sources;
    sources.sysfs_root = (dir_ / "sysfs").string();
    sources.named_ports = Port();
    SerialDriver driver(sources);
    SetActiveDriver(&driver);
    const D2xxApi& api = Api();
    FT_HANDLE h = nullptr;
    ASSERT_EQ(api.Open(0, &h), FT_OK);
    ASSERT_EQ(api.SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE), FT_OK);
    ASSERT_EQ(api.SetTimeouts(h, 1000, 0), FT_OK);
    auto exchange = [&](Bytes bytes) {
        DWORD count = 0;
        EXPECT_EQ(api.Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
        EXPECT_EQ(api.Write(h, bytes.data(), DWORD(bytes.size()), &count), FT_OK);
        EXPECT_EQ(api.Read(h, bytes.data(), DWORD(bytes.size()), &count), FT_OK);
        EXPECT_EQ(count, bytes.size());
        return bytes;
    };

    // 0xF0 at 115200 is a write-0 slot: nobody answers it. At 9600 it is a reset.
    ASSERT_EQ(api.SetBaudRate(h, 115200), FT_OK);
    EXPECT_EQ(exchange({0xF0}), Bytes{0xF0});
    ASSERT_EQ(api.SetBaudRate(h, 9600), FT_OK);
    EXPECT_NE(exchange({0xF0}), Bytes{0xF0});
    ASSERT_EQ(api.SetBaudRate(h, 115200), FT_OK);
    const Bytes read_rom = {0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};  // 0x33, low bit first
    EXPECT_EQ(exchange(read_rom), read_rom);
    uint64_t rom = 0;
    for (int byte = 0; byte < 8; ++byte) {
        const Bytes echo = exchange(Bytes(8, 0xFF));
        for (int bit = 0; bit < 8; ++bit) {
            // A device answering 0 holds the line low past the start bit.
            const uint8_t e = echo[size_t(bit)];
            EXPECT_TRUE(e == 0xFF || (e & 0x01) == 0) << int(e);
            if (e == 0xFF) rom |= uint64_t(1) << (byte * 8 + bit);
        }
    }
    EXPECT_EQ(rom, 0xa600000a1b2c3d28u);
    EXPECT_EQ(api.Close(h), FT_OK);
    SetActiveDriver(nullptr);
    EXPECT_EQ(api.Open(0, &h), FT_DEVICE_NOT_FOUND);  // no driver: no devices
    EXPECT_EQ(StopServer(), 0);
}

TEST_F(SimPort, NeverReplacesAFileWithItsLink) {
    std::ofstream(Port()) << "keep";
    Child clash =
        Child::Spawn({kBuild + "/demo/kalvo-simport", "--link", Port()}, {}, dir_ / "clash.err");
    EXPECT_EQ(clash.Wait(10000), 1);
    EXPECT_TRUE(fs::is_regular_file(Port()));
}

}  // namespace
}  // namespace kalvo::serial
