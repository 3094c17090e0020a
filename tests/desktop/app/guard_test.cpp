// The real program over the serial driver against kalvo-simport, whose bus keeps its state when
// the program is gone: a heater that is on when the program is killed goes off, and an orderly
// close leaves the outputs as the program's own close leaves them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/device/rom_code.h"
#include "core/engine/fake_peer.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "spawn_util.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_util::FakePeer;

constexpr const char* kHeaterOn = "3d0000000abcde3a\tA\ton";
constexpr const char* kHeaterOff = "3d0000000abcde3a\tA\toff";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class GuardTest : public ::testing::Test {
  protected:
    GuardTest() {
        static int counter = 0;
        dir_ = fs::path(KALVO_BUILD_DIR) / "tests" / "app" /
               ("guard_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sysfs");  // no real bridge of the machine joins in
        Place(KALVO_PROGRAM, dir_ / "kalvo");
        Place(KALVO_GUARD, dir_ / "kalvo-guard");
    }
    ~GuardTest() override {
        for (pid_t pid : GuardPids()) kill(pid, SIGKILL);
        for (pid_t* pid : {&program_, &server_}) {
            if (*pid <= 0) continue;
            kill(*pid, SIGKILL);
            waitpid(*pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static void Place(const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::create_hard_link(from, to, ec);
        if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }

    // The bus on a pty at dir/port, every output change logged.
    void Serve() {
        std::ofstream(dir_ / "simbus.conf") << "latency_ms=0\n"
                                               "ds18b20 id=00000A1B2C3D temp=21.5\n"
                                               "ds2413  id=0000000ABCDE\n";
        server_ = SpawnProgram({KALVO_SIMPORT, "--link", (dir_ / "port").string(), "--log-outputs",
                                Log().string(), (dir_ / "simbus.conf").string()},
                               {}, dir_ / "simport.out", dir_ / "simport.err", false);
        ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_ / "port"); }, 10))
            << Slurp(dir_ / "simport.err");
    }
    // Measuring at start; channel A of the switch heats while the sensor is below 30 degrees.
    void WriteSettings() {
        const RomCode sensor = RomFromText(u"a600000a1b2c3d28");
        const RomCode heater = RomFromText(u"3d0000000abcde3a");
        GridKalvo rows;
        GridSw switch_rows;
        rows.Fill(std::vector<RomCode>{sensor});
        switch_rows.Fill(std::vector<RomCode>{heater});
        rows.SetCellText(0, GridKalvo::kColName, u"Комната");
        switch_rows.SetCellText(0, GridSw::kColLowA, u"30");
        switch_rows.SetCellText(0, GridSw::kColHighA, u"31");
        switch_rows.SetCellText(0, GridSw::kColThermometerA, u"Комната");
        FakePeer peer;
        peer.flags = kFlagWriteDataFile | kFlagMeasureAtStart;
        fs::create_directories(dir_ / "appdata");
        const std::vector<uint8_t> image = BuildSettingsImage(peer, rows, switch_rows);
        std::ofstream(dir_ / "appdata" / "setting.stg", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    void StartProgram() {
        // Qt's and the font library's caches live until exit; only theirs are not leaks.
        std::ofstream(dir_ / "lsan.supp") << "leak:libfontconfig\nleak:libQt6Core\n"
                                             "leak:libQt6Gui\nleak:libQt6Widgets\n"
                                             "leak:libglib\nleak:libfreetype\nleak:libdbus\n";
        std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen",
                                     "TZ=MSK-3",
                                     "HOME=" + dir_.string(),
                                     "LSAN_OPTIONS=suppressions=" + (dir_ / "lsan.supp").string(),
                                     std::string("KALVO_D2XX_LIBRARY=") + KALVO_SERIAL_DRIVER,
                                     "KALVO_SERIAL_PORTS=" + (dir_ / "port").string(),
                                     "KALVO_SYSFS_ROOT=" + (dir_ / "sysfs").string()};
        for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* v = getenv(keep)) env.push_back(std::string(keep) + "=" + v);
        program_ =
            SpawnProgram({(dir_ / "kalvo").string()}, env, "/dev/null", dir_ / "stderr.txt", true);
        ASSERT_GT(program_, 0);
    }
    int WaitForProgramExit(int seconds) {
        int code = -1;
        WaitFor(
            [&] {
                int status = 0;
                if (waitpid(program_, &status, WNOHANG) != program_) return false;
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                program_ = -1;
                return true;
            },
            seconds);
        return code;
    }

    fs::path Log() const { return dir_ / "outputs.log"; }
    // The output changes without their times.
    std::vector<std::string> Changes() const {
        std::vector<std::string> changes;
        std::ifstream in(Log());
        for (std::string line; std::getline(in, line);)
            if (const size_t tab = line.find('\t'); tab != std::string::npos)
                changes.push_back(line.substr(tab + 1));
        return changes;
    }
    bool LogEndsWith(const char* change) const {
        const std::vector<std::string> changes = Changes();
        return !changes.empty() && changes.back() == change;
    }
    std::string Stderr() const { return Slurp(dir_ / "stderr.txt"); }
    // The guards started from this folder that still run.
    std::vector<pid_t> GuardPids() const {
        std::vector<pid_t> pids;
        const std::string guard = (dir_ / "kalvo-guard").string();
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/proc", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::string cmdline = Slurp(entry.path() / "cmdline");
            if (cmdline.compare(0, guard.size() + 1, guard + '\0') != 0) continue;
            // A zombie has ended its work; only its parent has yet to hear of it.
            const std::string stat = Slurp(entry.path() / "stat");
            const size_t paren = stat.rfind(')');
            if (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0) continue;
            pids.push_back(pid_t(std::stoi(name)));
        }
        return pids;
    }
    template <typename Done>
    static bool WaitFor(Done done, double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    fs::path dir_;
    pid_t server_ = -1, program_ = -1;
};

// Killed alone, or with its whole process group as a closing terminal would take it: the guard
// lives in a session of its own and switches the heater off.
TEST_F(GuardTest, HeaterGoesOffWhenTheProgramIsKilled) {
    Serve();
    WriteSettings();
    for (const bool whole_group : {false, true}) {
        SCOPED_TRACE(whole_group ? "process group killed" : "program killed");
        StartProgram();
        ASSERT_TRUE(WaitFor([&] { return LogEndsWith(kHeaterOn); }, 30)) << Stderr();
        ASSERT_TRUE(WaitFor([&] { return !GuardPids().empty(); }, 5)) << Stderr();
        const std::vector<pid_t> guards = GuardPids();
        ASSERT_EQ(guards.size(), 1u);
        EXPECT_EQ(getsid(guards[0]), guards[0]);
        EXPECT_NE(getsid(guards[0]), getsid(program_));

        const auto killed = Clock::now();
        ASSERT_EQ(kill(whole_group ? -program_ : program_, SIGKILL), 0);
        EXPECT_EQ(WaitForProgramExit(5), 128 + SIGKILL);
        ASSERT_TRUE(WaitFor([&] { return LogEndsWith(kHeaterOff); }, 10)) << Stderr();
        const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
        std::printf("outputs off %.2f s after the kill\n", seconds);
        RecordProperty(whole_group ? "group_kill_to_off_ms" : "kill_to_off_ms",
                       int(seconds * 1000));
        EXPECT_LT(seconds, 5.0);

        // It says what it did once, lets go of the bridge and ends.
        EXPECT_TRUE(WaitFor([&] { return GuardPids().empty(); }, 5));
        const std::string err = Stderr();
        const std::string line =
            "kalvo-guard: the program ended without its orderly close; bridge port: every "
            "output off: 3d0000000abcde3a (on before: A)\n";
        EXPECT_NE(err.find(line), std::string::npos) << err;
        EXPECT_EQ(err.find("kalvo-guard"), err.rfind("kalvo-guard")) << err;
    }
    const std::vector<std::string> expected = {kHeaterOn, kHeaterOff, kHeaterOn, kHeaterOff};
    EXPECT_EQ(Changes(), expected);
}

// SIGTERM takes the orderly close: the program switches its outputs off itself, and the guard
// ends without touching the bus.
TEST_F(GuardTest, OrderlyCloseLeavesTheOutputsToTheProgram) {
    Serve();
    WriteSettings();
    StartProgram();
    ASSERT_TRUE(WaitFor([&] { return LogEndsWith(kHeaterOn); }, 30)) << Stderr();
    ASSERT_TRUE(WaitFor([&] { return !GuardPids().empty(); }, 5)) << Stderr();
    kill(program_, SIGTERM);
    EXPECT_EQ(WaitForProgramExit(20), 0) << Stderr();
    EXPECT_TRUE(WaitFor([&] { return GuardPids().empty(); }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<std::string> expected = {kHeaterOn, kHeaterOff};
    EXPECT_EQ(Changes(), expected);
    EXPECT_EQ(Stderr().find("kalvo-guard"), std::string::npos) << Stderr();
    EXPECT_EQ(Stderr().find("Output guard not started"), std::string::npos) << Stderr();
}

}  // namespace
}  // namespace kalvo
