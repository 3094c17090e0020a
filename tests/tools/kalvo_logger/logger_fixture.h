#pragma once
// The real kalvo-logger as a child process, in a program folder of its own beside the simulated
// driver and the guard: starting it, its settings, its notices to a service manager and the day
// file it records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
#include "drivers/sim/sim_world.h"
#include "spawn_util.h"

namespace kalvo::testing_logger {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_util::FakePeer;

inline constexpr const char* kBus =
    "bridge serial=A50285BI\n"
    "ds18b20 id=00000A1B2C3D temp=21.5\n"
    "ds1820  id=000000B0B0B0 temp=-3.25\n"
    "ds2413  id=0000000ABCDE\n"
    "latency_ms=0\n";

inline std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <typename Done>
inline bool WaitFor(Done done, double seconds) {
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
inline std::vector<Thermometer> BusThermometers() {
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
        pid_ = SpawnProgram(argv, env, out, err);
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

    // One channel of kBus's switch: a heater between `low` and `high` driven by `thermometer`,
    // or the scenario numbered `scenario` (its steps give the thresholds).
    struct Channel {
        std::u16string low, high, thermometer, scenario;
    };
    // Names for kBus's thermometers; recording on, measuring at start off (the logger measures
    // anyway); the switch's channels A and B as given.
    std::string WriteSettings(const fs::path& root, const std::vector<Channel>& channels) {
        const std::vector<Thermometer> list = BusThermometers();
        GridKalvo rows;
        GridSw switch_rows;
        rows.Fill(std::vector<RomCode>{list[0].rom, list[1].rom});
        switch_rows.Fill(std::vector<RomCode>{sim::MakeRomCode(0x3A, 0xABCDE)});
        for (int i = 0; i < 2; ++i) rows.SetCellText(i, GridKalvo::kColName, list[size_t(i)].name);
        for (int ch = 0; ch < int(channels.size()); ++ch) {
            const Channel& c = channels[size_t(ch)];
            switch_rows.SetCellText(0, GridSw::Col(ch, GridSw::kColLowA), c.low);
            switch_rows.SetCellText(0, GridSw::Col(ch, GridSw::kColHighA), c.high);
            switch_rows.SetCellText(0, GridSw::Col(ch, GridSw::kColScenarioA), c.scenario);
            switch_rows.SetCellText(0, GridSw::Col(ch, GridSw::kColThermometerA), c.thermometer);
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
    // `heat_below`: channel A of the switch heats while the room is below it.
    std::string WriteSettings(const fs::path& root, std::u16string_view heat_below = {}) {
        if (heat_below.empty()) return WriteSettings(root, std::vector<Channel>{});
        return WriteSettings(root, {{std::u16string(heat_below), u"31", u"Комната", {}}});
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

}  // namespace kalvo::testing_logger
