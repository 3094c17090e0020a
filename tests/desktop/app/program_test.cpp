// The real program, started offscreen in a program folder of its own beside the simulated driver
// and stopped with SIGTERM or killed: what it leaves on disk and on stderr.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/common/colour.h"
#include "core/common/sample_record.h"
#include "core/device/rom_code.h"
#include "core/engine/fake_peer.h"
#include "core/engine/file_setting.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"
#include "drivers/sim/sim_world.h"
#include "spawn_util.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_util::FakePeer;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest() {
        static int counter = 0;
        // Beside the build's own files, so the program can be linked rather than copied.
        dir_ = fs::path(KALVO_BUILD_DIR) / "tests" / "app" /
               ("run_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        Place(KALVO_PROGRAM, dir_ / "kalvo");
        Place(KALVO_SIM_DRIVER, dir_ / "libftd2xx.so");
        Place(KALVO_GUARD, dir_ / "kalvo-guard");
    }
    ~ProgramTest() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(dir_, ec))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    static void Place(const fs::path& from, const fs::path& to) {
        std::error_code ec;
        fs::create_hard_link(from, to, ec);
        if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }
    void Bus(const std::string& text) { std::ofstream(dir_ / "simbus.conf") << text; }
    fs::path Root() const { return dir_ / "appdata"; }

    void Start(const std::vector<std::string>& extra_env = {}) {
        // Qt's and the font library's caches live until exit; only theirs are not leaks.
        std::ofstream(dir_ / "lsan.supp") << "leak:libfontconfig\nleak:libQt6Core\n"
                                             "leak:libQt6Gui\nleak:libQt6Widgets\n"
                                             "leak:libglib\nleak:libfreetype\nleak:libdbus\n";
        std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen", "TZ=MSK-3",
                                     "HOME=" + dir_.string(),
                                     "LSAN_OPTIONS=suppressions=" + (dir_ / "lsan.supp").string()};
        for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* v = getenv(keep)) env.push_back(std::string(keep) + "=" + v);
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        const std::string program = (dir_ / "kalvo").string();
        const std::string err = (dir_ / "stderr.txt").string();
        pid_ = SpawnProgram({program}, env, "/dev/null", err);
        ASSERT_GE(pid_, 0);
    }
    std::string Stderr() const { return Slurp(dir_ / "stderr.txt"); }
    // True once stderr holds the text (the program still running or not).
    bool WaitForStderr(const std::string& text, int seconds = 20) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            if (Stderr().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The exit code once the program has ended; -1 when it still runs after `seconds`, -2 when
    // a signal ended it.
    int WaitForExit(int seconds = 20) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    bool Running() {
        int status = 0;
        return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
    }
    int Terminate(int seconds = 20) {
        kill(pid_, SIGTERM);
        return WaitForExit(seconds);
    }

    fs::path dir_;
    pid_t pid_ = -1;
};

TEST_F(ProgramTest, MeasuresRecordsAndSavesEverythingAtSigterm) {
    Bus("bridge serial=A50285BI\n"
        "ds18b20 id=00000A1B2C3D temp=21.5\n"
        "ds1820  id=000000B0B0B0 temp=-3.25\n"
        "ds2413  id=0000000ABCDE\n"
        "latency_ms=0\n");
    const std::vector<RomCode> thermometers = [] {
        std::vector<RomCode> codes{sim::MakeRomCode(0x28, 0x0A1B2C3D),
                                   sim::MakeRomCode(0x10, 0xB0B0B0)};
        std::sort(codes.begin(), codes.end());  // the inventory's order
        return codes;
    }();
    const std::vector<RomCode> switches{sim::MakeRomCode(0x3A, 0xABCDE)};
    // Names, colours, measure at start, write the data file.
    GridKalvo rows;
    GridSw switch_rows;
    rows.Fill(thermometers);
    switch_rows.Fill(switches);
    const std::u16string names[2] = {u"Комната", u"Улица"};
    const uint32_t colours[2] = {Rgb(200, 30, 40), Rgb(20, 90, 210)};
    for (int i = 0; i < 2; ++i) {
        rows.SetCellText(i, GridKalvo::kColName, names[i]);
        rows.SetCellColour(i, GridKalvo::kColColour, colours[i]);
    }
    // The fields that are neither table cells nor tested here: the defaults of a first run.
    FakePeer peer;
    peer.background = Rgb(255, 255, 255);
    peer.grid = Rgb(192, 192, 192);
    peer.rect = {10, 20, 810, 620};
    peer.flags = kFlagWriteDataFile | kFlagMeasureAtStart;
    fs::create_directories(Root());
    {
        const std::vector<uint8_t> image = BuildSettingsImage(peer, rows, switch_rows);
        std::ofstream(Root() / "setting.stg", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }

    const int64_t started = NowSeconds();
    Start();
    // The first cycle comes 10 ms after the start, the next two seconds later.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    ASSERT_TRUE(Running()) << Stderr();
    EXPECT_EQ(Terminate(), 0) << Stderr();
    const int64_t ended = NowSeconds();

    // Whole passes under today's name, with the stored names and colours and the bus's
    // temperatures.
    std::string day_file = BuildDayPaths(Root().string(), ended).day_file;
    if (!fs::exists(day_file)) day_file = BuildDayPaths(Root().string(), started).day_file;
    SampleList records;
    SHELL::CDataFile file;
    ASSERT_EQ(file.Read(day_file, records), 2u) << day_file;
    ASSERT_GE(records.size(), 4u);
    ASSERT_EQ(records.size() % 2, 0u);
    const double expected[2] = {
        thermometers[0] == sim::MakeRomCode(0x28, 0x0A1B2C3D) ? 21.5 : -3.25,
        thermometers[0] == sim::MakeRomCode(0x28, 0x0A1B2C3D) ? -3.25 : 21.5};
    for (size_t i = 0; i < records.size(); ++i) {
        const SampleRecord& r = records[i];
        const size_t row = i % 2;
        EXPECT_EQ(r.rom, thermometers[row]);
        EXPECT_EQ(r.name, names[row]);
        EXPECT_EQ(r.colour, ColorrefToArgb(colours[row]));
        EXPECT_EQ(r.valid, 1u);
        EXPECT_DOUBLE_EQ(r.temperature, expected[row]);
        EXPECT_EQ(r.time, records[i - row].time);
        EXPECT_GE(r.time, started - 1);
        EXPECT_LE(r.time, ended + 1);
    }

    // setting.stg was written again, valid, with the same entries.
    const std::string saved = Slurp(Root() / "setting.stg");
    GridKalvo loaded;
    GridSw loaded_switches;
    loaded.Fill(thermometers);
    loaded_switches.Fill(switches);
    FakePeer after;
    SettingsError why = SettingsError::kNone;
    ASSERT_TRUE(
        ApplySettingsImage(std::span(reinterpret_cast<const uint8_t*>(saved.data()), saved.size()),
                           after, loaded, loaded_switches, &why))
        << SettingsErrorText(why);
    EXPECT_EQ(after.flags, kFlagWriteDataFile | kFlagMeasureAtStart);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(loaded.CellText(i, GridKalvo::kColName), names[i]);
        EXPECT_EQ(loaded.CellColour(i, GridKalvo::kColColour), colours[i]);
    }
    EXPECT_EQ(Stderr().find("Error"), std::string::npos) << Stderr();
}

// Three starts: all devices, then one thermometer and the switch unplugged, then all again. The
// missing ones are named at the second start and keep their names, colours and thresholds.
TEST_F(ProgramTest, DevicesMissingForOneStartKeepTheirSettings) {
    const std::string all =
        "bridge serial=A50285BI\nds18b20 id=00000A1B2C3D temp=21.5\n"
        "ds18b20 id=00000A1B2C3E temp=4\nds2413 id=0000000ABCDE\nlatency_ms=0\n";
    const std::vector<RomCode> thermometers{sim::MakeRomCode(0x28, 0x0A1B2C3D),
                                            sim::MakeRomCode(0x28, 0x0A1B2C3E)};
    const std::vector<RomCode> switches{sim::MakeRomCode(0x3A, 0xABCDE)};
    const auto row_of = [](const GridKalvo& grid, RomCode code) {
        for (int row = 0; row < grid.RowCount(); ++row)
            if (grid.CellText(row, GridKalvo::kColSerial) == RomText(code)) return row;
        return -1;
    };
    GridKalvo rows;
    GridSw switch_rows;
    rows.Fill(thermometers);
    switch_rows.Fill(switches);
    for (int i = 0; i < 2; ++i) {
        const int row = row_of(rows, thermometers[size_t(i)]);
        rows.SetCellText(row, GridKalvo::kColName, i == 0 ? u"Комната" : u"Улица");
        rows.SetCellColour(row, GridKalvo::kColColour, Rgb(20, 90, uint8_t(200 + i)));
    }
    switch_rows.SetCellText(0, GridSw::kColLowA, u"20,5");
    switch_rows.SetCellText(0, GridSw::kColHighA, u"22");
    switch_rows.SetCellText(0, GridSw::kColThermometerA, u"Улица");
    FakePeer peer;
    peer.flags = kFlagWriteDataFile;
    fs::create_directories(Root());
    {
        const std::vector<uint8_t> image = BuildSettingsImage(peer, rows, switch_rows);
        std::ofstream(Root() / "setting.stg", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }

    for (const std::string& bus :
         {all,
          std::string("bridge serial=A50285BI\nds18b20 id=00000A1B2C3D temp=21.5\n"
                      "latency_ms=0\n"),
          all}) {
        Bus(bus);
        Start();
        ASSERT_TRUE(WaitForStderr(bus == all ? "" : "Not on the bus")) << Stderr();
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        ASSERT_TRUE(Running()) << Stderr();
        if (bus != all) {
            EXPECT_NE(Stderr().find("Not on the bus, their settings are kept: thermometer Улица ("),
                      std::string::npos)
                << Stderr();
            EXPECT_NE(Stderr().find("switch ("), std::string::npos) << Stderr();
        } else {
            EXPECT_EQ(Stderr().find("Not on the bus"), std::string::npos) << Stderr();
        }
        EXPECT_EQ(Terminate(), 0) << Stderr();
        EXPECT_EQ(Stderr().find("Error"), std::string::npos) << Stderr();
    }

    const std::string saved = Slurp(Root() / "setting.stg");
    GridKalvo loaded;
    GridSw loaded_switches;
    loaded.Fill(thermometers);
    loaded_switches.Fill(switches);
    FakePeer after;
    ASSERT_TRUE(
        ApplySettingsImage(std::span(reinterpret_cast<const uint8_t*>(saved.data()), saved.size()),
                           after, loaded, loaded_switches));
    for (int i = 0; i < 2; ++i) {
        const int row = row_of(loaded, thermometers[size_t(i)]);
        EXPECT_EQ(loaded.CellText(row, GridKalvo::kColName), i == 0 ? u"Комната" : u"Улица");
        EXPECT_EQ(loaded.CellColour(row, GridKalvo::kColColour), Rgb(20, 90, uint8_t(200 + i)));
    }
    EXPECT_EQ(loaded_switches.CellText(0, GridSw::kColLowA), u"20,5");
    EXPECT_EQ(loaded_switches.CellText(0, GridSw::kColHighA), u"22");
    EXPECT_EQ(loaded_switches.CellText(0, GridSw::kColThermometerA), u"Улица");
}

TEST_F(ProgramTest, StartUpFailuresShowTheirBoxAndEndOnSigterm) {
    struct Case {
        const char* bus;
        const char* box;
    };
    const Case cases[] = {
        // A bridge of another type is no FT232R.
        {"bridge serial=X1 type=6\nds18b20 id=00000A1B2C3D\nlatency_ms=0\n",
         "Error FT232R: Не найдены устройства FT232R, приложение будет закрыто.\n"},
        {"bridge serial=X1\nlatency_ms=0\n",
         "Error 1-wire: Не найдены устройства на шине 1-wire, приложение будет закрыто.\n"},
        // A bridge that is there but will not open says so after the same text.
        {"bridge serial=X1 open=fail\nds18b20 id=00000A1B2C3D\nlatency_ms=0\n",
         "Error FT232R: Не найдены устройства FT232R, приложение будет закрыто.\n\nFT232R X1 "
         "found but not opened (driver status 3)"},
    };
    for (const Case& c : cases) {
        Bus(c.bus);
        Start();
        // The box waits for an answer; the signal answers it and the program ends.
        ASSERT_TRUE(WaitForStderr(c.box)) << Stderr();
        EXPECT_TRUE(Running());
        EXPECT_EQ(Terminate(), 0) << Stderr();
        EXPECT_FALSE(fs::exists(Root() / "setting.stg"));
    }

    // Without the driver library: the box comes from the start-up thread, then code 2.
    Bus("ds18b20 id=00000A1B2C3D\n");
    Start({"KALVO_D2XX_LIBRARY=" + (dir_ / "missing.so").string()});
    ASSERT_TRUE(WaitForStderr("Error: missing.so загрузка DLL невозможна")) << Stderr();
    EXPECT_EQ(Terminate(), 2) << Stderr();
}

TEST_F(ProgramTest, OnlySwitchesStayOpenAndSaveNothing) {
    Bus("bridge serial=X1\nds2413 id=0000000ABCDE\nlatency_ms=0\n");
    Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(Running()) << Stderr();
    EXPECT_EQ(Terminate(), 0) << Stderr();
    EXPECT_FALSE(fs::exists(Root() / "setting.stg"));
    EXPECT_EQ(Stderr().find("Error"), std::string::npos) << Stderr();
}

// Killed with SIGKILL twenty times at random moments, some right after a pass reached the file
// and some leaving a torn record behind as a kill in the middle of a write would: after every
// kill the day file reads whole, and every pass that completed before the kill is in it.
TEST_F(ProgramTest, KilledAtRandomMomentsLosesNoCompletedPass) {
    Bus("bridge serial=A50285BI\nds18b20 id=00000A1B2C3D temp=21.5\n"
        "ds18b20 id=00000A1B2C3E temp=4\nlatency_ms=0\n");
    std::vector<RomCode> thermometers{sim::MakeRomCode(0x28, 0x0A1B2C3D),
                                      sim::MakeRomCode(0x28, 0x0A1B2C3E)};
    std::sort(thermometers.begin(), thermometers.end());
    {
        GridKalvo rows;
        GridSw no_switches;
        rows.Fill(thermometers);
        FakePeer peer;
        peer.flags = kFlagWriteDataFile | kFlagMeasureAtStart;
        fs::create_directories(Root());
        const std::vector<uint8_t> image = BuildSettingsImage(peer, rows, no_switches);
        std::ofstream(Root() / "setting.stg", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    const auto now_s = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const auto day_files = [&](int64_t from, int64_t to) {
        std::vector<std::string> files{BuildDayPaths(Root().string(), from).day_file};
        const std::string last = BuildDayPaths(Root().string(), to).day_file;
        if (last != files[0]) files.push_back(last);
        return files;
    };
    // The passes of the day files, each a run of equal time stamps.
    const auto read_passes = [&](int64_t from, int64_t to) {
        std::vector<int64_t> passes;
        for (const std::string& file : day_files(from, to)) {
            if (!fs::exists(file)) continue;
            SampleList records;
            SHELL::CDataFile reader;
            SHELL::ReadError why = SHELL::ReadError::kNone;
            const uint32_t count = reader.Read(file, records, &why);
            // Made at start-up, no pass in it yet.
            if (why == SHELL::ReadError::kNoRecords) continue;
            EXPECT_EQ(count, 2u) << file << ": " << SHELL::ReadErrorText(why);
            EXPECT_EQ(records.size() % 2, 0u);
            for (size_t i = 0; i + 1 < records.size(); i += 2) {
                EXPECT_EQ(records[i].rom, thermometers[0]);
                EXPECT_EQ(records[i + 1].rom, thermometers[1]);
                EXPECT_EQ(records[i].time, records[i + 1].time);
                EXPECT_TRUE(records[i].valid && records[i + 1].valid);
                passes.push_back(records[i].time);
            }
        }
        return passes;
    };

    std::mt19937 rng(20240601);
    constexpr double kPeriod = 2.0;
    constexpr double kLatest = 1.0;  // s from a pass's start to its append, at the most
    size_t before = 0;
    int killed_after_write = 0, torn = 0;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1));
        const double started = now_s();
        const std::string file = BuildDayPaths(Root().string(), int64_t(started)).day_file;
        const uint64_t size = fs::exists(file) ? fs::file_size(file) : 0;
        Start();
        if (run % 3 == 1) {
            // At once after an append: the first or the second pass of this run reaching the
            // file (a pass of two records is 192 bytes).
            const uint64_t grown = size + (run % 2 ? 1 : 193);
            const auto end = Clock::now() + std::chrono::seconds(10);
            while (Clock::now() < end && !(fs::exists(file) && fs::file_size(file) >= grown))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            ++killed_after_write;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 3600));
        }
        ASSERT_TRUE(Running()) << Stderr();
        kill(pid_, SIGKILL);
        const double killed = now_s();
        ASSERT_EQ(WaitForExit(), -2);

        const std::vector<int64_t> all = read_passes(int64_t(started), int64_t(killed));
        ASSERT_GE(all.size(), before);
        const std::vector<int64_t> mine(all.begin() + std::ptrdiff_t(before), all.end());
        before = all.size();
        if (mine.empty()) {
            EXPECT_LT(killed - started, 3 * kPeriod) << "a run long enough measures";
        } else {
            EXPECT_GE(double(mine.front()), started - 1);
            for (size_t i = 1; i < mine.size(); ++i)
                EXPECT_NEAR(double(mine[i] - mine[i - 1]), kPeriod, 1.0) << "no pass missing";
            // The first pass began before its stamp's second ended; each next one a period
            // later, and all that had time to reach the file are in it.
            const double first = double(mine.front()) + 1;
            int due = 0;
            while (first + due * kPeriod + kLatest < killed) ++due;
            EXPECT_GE(int(mine.size()), due) << "killed " << killed - first << " s after";
            EXPECT_LE(double(mine.back()), killed);
        }
        // A kill in the middle of a write leaves part of a record; the next run, killed after
        // its first append, must have cut it.
        if (run % 3 == 0 && fs::exists(file) && fs::file_size(file) > 32) {
            fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
            std::ofstream(file, std::ios::binary | std::ios::app)
                << std::string(1 + rng() % 95, 'x');
            ++torn;
        }
    }
    EXPECT_EQ(killed_after_write, 7);
    EXPECT_GE(torn, 5);
    EXPECT_GE(before, 15u);
}

}  // namespace
}  // namespace kalvo
