// The real kalvo-logger, started in a program folder of its own beside the simulated driver and
// the guard: what it prints, records and leaves alone, what it tells a service manager on a
// notification socket of the test's own, and how it refuses a folder another program holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/common/pass_report.h"
#include "core/common/text.h"
#include "core/device/rom_code.h"
#include "core/engine/fake_peer.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_file.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_util::FakePeer;

constexpr const char* kBus =
    "bridge serial=A50285BI\n"
    "ds18b20 id=00000A1B2C3D temp=21.5\n"
    "ds1820  id=000000B0B0B0 temp=-3.25\n"
    "ds2413  id=0000000ABCDE\n"
    "latency_ms=0\n";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <typename Done>
bool WaitFor(Done done, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The two thermometers of kBus in the inventory's order, with the names the settings give.
struct Thermometer {
    RomCode rom;
    std::u16string name;
    const char* reading;
};
std::vector<Thermometer> BusThermometers() {
    std::vector<Thermometer> list{{sim::MakeRomCode(0x28, 0x0A1B2C3D), u"Комната", "21,50"},
                                  {sim::MakeRomCode(0x10, 0xB0B0B0), u"Улица", "-3,25"}};
    std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.rom < b.rom; });
    return list;
}

// One run of the logger as a child process.
class Child {
  public:
    Child(const fs::path& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env, const fs::path& out, const fs::path& err)
        : out_(out), err_(err) {
        std::vector<std::string> argv{program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ != 0) return;
        std::vector<char*> a, e;
        for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        for (const std::string& s : env) e.push_back(const_cast<char*>(s.c_str()));
        e.push_back(nullptr);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int r = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(r, 2);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    std::string Out() const { return Slurp(out_); }
    std::string Err() const { return Slurp(err_); }
    // The exit code, 128 + the signal that ended it, or -1 when it still runs.
    int Wait(double seconds = 30) {
        int code = -1;
        WaitFor(
            [&] {
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid_ = -1;
                return true;
            },
            seconds);
        return code;
    }
    int Signal(int sig, double seconds = 30) {
        kill(pid_, sig);
        return Wait(seconds);
    }

  private:
    pid_t pid_ = -1;
    fs::path out_, err_;
};

class LoggerTest : public ::testing::Test {
  protected:
    LoggerTest() {
        static int counter = 0;
        dir_ = fs::path(KALVO_BUILD_DIR) / "tests" / "logger" /
               ("run_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        Place(KALVO_LOGGER, dir_ / "kalvo-logger");
        Place(KALVO_SIM_DRIVER, dir_ / "libftd2xx.so");
        Place(KALVO_GUARD, dir_ / "kalvo-guard");
        std::ofstream(dir_ / "simbus.conf") << kBus;
    }
    ~LoggerTest() override {
        if (notify_ >= 0) close(notify_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static void Place(const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::create_hard_link(from, to, ec);
        if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }
    fs::path Root() const { return dir_ / "appdata"; }

    // Names for kBus's thermometers; recording on, measuring at start off (the logger measures
    // anyway).
    // `heat_below`: channel A of the switch heats while the room is below it.
    std::string WriteSettings(const fs::path& root, std::u16string_view heat_below = {}) {
        const std::vector<Thermometer> list = BusThermometers();
        GridKalvo rows;
        GridSw switch_rows;
        rows.Fill(std::vector<RomCode>{list[0].rom, list[1].rom});
        switch_rows.Fill(std::vector<RomCode>{sim::MakeRomCode(0x3A, 0xABCDE)});
        for (int i = 0; i < 2; ++i) rows.SetCellText(i, GridKalvo::kColName, list[size_t(i)].name);
        if (!heat_below.empty()) {
            switch_rows.SetCellText(0, GridSw::kColLowA, heat_below);
            switch_rows.SetCellText(0, GridSw::kColHighA, u"31");
            switch_rows.SetCellText(0, GridSw::kColThermometerA, u"Комната");
        }
        FakePeer peer;
        peer.flags = kFlagWriteDataFile;
        peer.rect = {10, 20, 810, 620};
        const std::vector<uint8_t> image = BuildSettingsImage(peer, rows, switch_rows);
        fs::create_directories(root);
        std::ofstream(root / "setting.stg", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        return std::string(image.begin(), image.end());
    }

    std::vector<std::string> Env(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> env{"TZ=MSK-3", "HOME=" + dir_.string(),
                                     "QT_QPA_PLATFORM=offscreen",
                                     "LSAN_OPTIONS=suppressions=" + (dir_ / "lsan.supp").string()};
        for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* v = getenv(keep)) env.push_back(std::string(keep) + "=" + v);
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }
    std::unique_ptr<Child> Start(const std::vector<std::string>& args,
                                 const std::vector<std::string>& extra_env = {},
                                 const std::string& program = "kalvo-logger") {
        // Qt's and the font library's caches (the window's) live until exit.
        std::ofstream(dir_ / "lsan.supp") << "leak:libfontconfig\nleak:libQt6Core\n"
                                             "leak:libQt6Gui\nleak:libQt6Widgets\n"
                                             "leak:libglib\nleak:libfreetype\nleak:libdbus\n";
        const std::string tag = std::to_string(++runs_);
        return std::make_unique<Child>(dir_ / program, args, Env(extra_env),
                                       dir_ / ("out" + tag + ".txt"),
                                       dir_ / ("err" + tag + ".txt"));
    }

    // A datagram socket standing in for the service manager's; its variable for the child.
    std::string NotifySocket() {
        const std::string path = (dir_ / "notify.sock").string();
        notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        EXPECT_LT(path.size(), sizeof addr.sun_path);
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(notify_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return "NOTIFY_SOCKET=" + path;
    }
    // Every message so far, one per assignment line.
    const std::vector<std::string>& Notices() {
        char buf[4096];
        for (ssize_t n; (n = recv(notify_, buf, sizeof buf, 0)) > 0;) {
            std::string text(buf, size_t(n));
            for (size_t at = 0; at < text.size();) {
                const size_t end = std::min(text.find('\n', at), text.size());
                if (end > at) notices_.push_back(text.substr(at, end - at));
                at = end + 1;
            }
        }
        return notices_;
    }
    int Count(const std::string& notice) {
        const std::vector<std::string>& all = Notices();
        return int(std::count(all.begin(), all.end(), notice));
    }

    // Today's records (or yesterday's, should the run have crossed midnight).
    SampleList Records(const fs::path& root) {
        SampleList records;
        for (const int64_t when : {NowSeconds(), NowSeconds() - 3600}) {
            const std::string day = BuildDayPaths(root.string(), when).day_file;
            SHELL::CDataFile file;
            if (fs::exists(day) && file.Read(day, records) > 0) break;
        }
        return records;
    }

    fs::path dir_;
    int notify_ = -1;
    int runs_ = 0;
    std::vector<std::string> notices_;
};

// One pass on stdout and in the day file, a line per thermometer with its reading or "н/д"; the
// window's settings file stays as it was, and none is made where there was none.
TEST_F(LoggerTest, OncePrintsOnePassAndLeavesTheSettingsAlone) {
    const std::vector<Thermometer> list = BusThermometers();
    const fs::path data = dir_ / "data";
    for (const bool with_settings : {true, false}) {
        SCOPED_TRACE(with_settings ? "with settings" : "first run, a garbled bus");
        // Every answer of one sensor garbled: the pass fails and no row has a reading.
        std::ofstream(dir_ / "simbus.conf")
            << kBus << (with_settings ? "" : "fault at=0 crc-noise rate=1 id=000000B0B0B0\n");
        fs::remove_all(data);
        std::vector<std::string> args{"--once", "--data", data.string()};
        std::string settings;
        if (with_settings) {
            settings = WriteSettings(data);
            GridSn scenarios;
            ASSERT_TRUE(SaveScenarios(scenarios, (dir_ / "s.snr").string()).ok);
            args.insert(args.end(), {"--scenarios", (dir_ / "s.snr").string()});
        }
        const auto run = Start(args);
        ASSERT_EQ(run->Wait(60), 0) << run->Err();

        std::string expected;
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string name =
                with_settings ? Utf16ToUtf8(list[i].name) : "Термометр " + std::to_string(i + 1);
            expected += W1Id(list[i].rom) + "\t" + name + "\t" +
                        (with_settings ? list[i].reading : "н/д") + "\n";
        }
        EXPECT_EQ(run->Out(), expected) << run->Err();
        const SampleList records = Records(data);
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].time, records[1].time);
        EXPECT_EQ(records[0].valid + records[1].valid, with_settings ? 2u : 0u);
        if (with_settings)
            EXPECT_EQ(Slurp(data / "setting.stg"), settings);
        else
            EXPECT_FALSE(fs::exists(data / "setting.stg"));
        EXPECT_EQ(run->Err().find("Error"), std::string::npos) << run->Err();
    }
}

// In the folder beside the program, as the window: ready after the inventory, a watchdog
// notice after every pass, the passes in the day file, and SIGTERM's orderly close with exit
// code 0 and the guard told so.
TEST_F(LoggerTest, RunsUntilSigtermAndNotifiesTheServiceManager) {
    const std::string settings = WriteSettings(Root());
    const auto run = Start({}, {NotifySocket()});
    ASSERT_TRUE(WaitFor([&] { return Count("WATCHDOG=1") >= 2; }, 60)) << run->Err();
    const std::vector<std::string> before = Notices();
    ASSERT_EQ(run->Signal(SIGTERM), 0) << run->Err();

    const auto ready = std::find(before.begin(), before.end(), "READY=1");
    ASSERT_NE(ready, before.end());
    EXPECT_LT(ready - before.begin(),
              std::find(before.begin(), before.end(), "WATCHDOG=1") - before.begin());
    EXPECT_EQ(Count("READY=1"), 1);
    EXPECT_EQ(Count("STATUS=Measuring 2 thermometers every 2 s"), 1);
    EXPECT_EQ(Count("STOPPING=1"), 1);

    // Whole passes, at least one for every watchdog notice.
    const SampleList records = Records(Root());
    EXPECT_EQ(records.size() % 2, 0u);
    EXPECT_GE(records.size() / 2, size_t(Count("WATCHDOG=1")));
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].valid, 1u);
    EXPECT_EQ(Slurp(Root() / "setting.stg"), settings);
    EXPECT_EQ(run->Err().find("Error"), std::string::npos) << run->Err();
    EXPECT_EQ(run->Err().find("guard"), std::string::npos) << run->Err();
}

// While a logger holds the folder, a second logger and the window are refused with a message
// that names it and exit code 1; once it is killed the folder is free at once, although the
// guard it started still runs.
TEST_F(LoggerTest, ASecondProgramOnTheFolderIsRefused) {
    const auto holder = Start({}, {NotifySocket()});
    ASSERT_TRUE(WaitFor([&] { return Count("READY=1") == 1; }, 60)) << holder->Err();
    const std::string named = "Error: The data folder " + Root().string() +
                              " is in use by kalvo-logger (process " +
                              std::to_string(holder->Pid()) + ")";

    const auto second = Start({"--once"});
    EXPECT_EQ(second->Wait(), 1);
    EXPECT_EQ(second->Err().rfind(named, 0), 0u) << second->Err();
    EXPECT_EQ(second->Out(), "");
#ifdef KALVO_WINDOW
    Place(KALVO_WINDOW, dir_ / "kalvo");
    const auto window = Start({}, {}, "kalvo");
    // Its box waits for an answer; the signal answers it.
    EXPECT_TRUE(WaitFor([&] { return window->Err().find(named) != std::string::npos; }, 60))
        << window->Err();
    EXPECT_EQ(window->Signal(SIGTERM), 1) << window->Err();
#endif

    EXPECT_EQ(holder->Signal(SIGKILL), 128 + SIGKILL);
    const auto after = Start({"--once"});
    EXPECT_EQ(after->Wait(60), 0) << after->Err();
}

// A start that cannot lead to measuring ends with code 1, so a service manager restarts it, and
// each box is one line on stderr.
TEST_F(LoggerTest, StartUpFailuresEndWithCodeOne) {
    const struct {
        const char* bus;
        std::vector<std::string> args;
        const char* line;
    } cases[] = {
        {"bridge serial=X1\nlatency_ms=0\n",
         {},
         "Error 1-wire: Не найдены устройства на шине 1-wire, приложение будет закрыто.\n"},
        {"bridge serial=X1 open=fail\nds18b20 id=00000A1B2C3D\nlatency_ms=0\n",
         {},
         "Error FT232R: Не найдены устройства FT232R, приложение будет закрыто. FT232R X1 found "
         "but not opened (driver status 3): "},
        {"bridge serial=X1\nds2413 id=0000000ABCDE\nlatency_ms=0\n",
         {},
         "Thermometers have not been found, the application can not be used\n"},
        {kBus,
         {"--scenarios", "missing.snr"},
         "Ошибка загрузки файла сценария: Ошибка открытия файла сценария\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::ofstream(dir_ / "simbus.conf") << c.bus;
        const auto run = Start(c.args);
        EXPECT_EQ(run->Wait(60), 1) << run->Err();
        EXPECT_NE(run->Err().find(c.line), std::string::npos) << run->Err();
        EXPECT_EQ(run->Err().find("guard"), std::string::npos) << run->Err();
    }
}

#ifdef KALVO_SIMPORT
// Over the serial driver against kalvo-simport, whose bus outlives the logger: a heater the
// thermostat switched on goes off through the guard when the logger is killed.
TEST_F(LoggerTest, KilledLoggerLeavesTheOutputsToItsGuard) {
    fs::create_directories(dir_ / "sysfs");  // no real bridge of the machine joins in
    const fs::path log = dir_ / "outputs.log";
    const auto bus = std::make_unique<Child>(
        KALVO_SIMPORT,
        std::vector<std::string>{"--link", (dir_ / "port").string(), "--log-outputs", log.string(),
                                 (dir_ / "simbus.conf").string()},
        Env(), dir_ / "simport.out", dir_ / "simport.err");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_ / "port"); }, 10)) << bus->Err();
    // Channel A heats while the room is below 30 degrees.
    WriteSettings(Root(), u"30");
    // The last output change, without its time.
    const auto last_change = [&] {
        std::string last;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            if (const size_t tab = line.find('\t'); tab != std::string::npos)
                last = line.substr(tab + 1);
        return last;
    };
    const auto run = Start({}, {std::string("KALVO_D2XX_LIBRARY=") + KALVO_SERIAL_DRIVER,
                                "KALVO_SERIAL_PORTS=" + (dir_ / "port").string(),
                                "KALVO_SYSFS_ROOT=" + (dir_ / "sysfs").string()});
    ASSERT_TRUE(WaitFor([&] { return last_change() == "3d0000000abcde3a\tA\ton"; }, 60))
        << run->Err();
    EXPECT_EQ(run->Signal(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return last_change() == "3d0000000abcde3a\tA\toff"; }, 20))
        << Slurp(log);
    EXPECT_TRUE(WaitFor([&] { return run->Err().find("kalvo-guard: ") != std::string::npos; }, 20))
        << run->Err();
}
#endif

TEST(LoggerUnit, PassesSystemdVerify) {
    if (std::system("command -v systemd-analyze > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed: the unit file is not checked";
    FILE* pipe =
        popen(("systemd-analyze verify '" + std::string(KALVO_UNIT) + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) output.append(buf, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
    // Unknown keys and bad values are only warnings, but they name the file.
    EXPECT_EQ(output.find("kalvo-logger.service"), std::string::npos) << output;
}

}  // namespace
}  // namespace kalvo
