// The real kalvo-logger, started in a program folder of its own beside the simulated driver and
// the guard: what it prints, records and leaves alone, what it tells a service manager on a
// notification socket of the test's own, and how it refuses a folder another program holds.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_file.h"
#include "logger_fixture.h"

namespace kalvo {
namespace {

using namespace testing_logger;

// One pass on stdout and in the day file, a line per thermometer with its reading or "н/д"; the
// window's settings file stays as it was, and none is made where there was none.
TEST_F(LoggerTest, OncePrintsOnePassAndLeavesTheSettingsAlone) {
    const std::vector<Thermometer> list = BusThermometers();
    const fs::path data = dir_ / "data";
    for (const bool with_settings : {true, false}) {
        SCOPED_TRACE(with_settings ? "with settings" : "first run, a garbled bus");
        // Every answer of both sensors garbled: no row has a reading.
        std::ofstream(dir_ / "simbus.conf")
            << kBus
            << (with_settings ? ""
                              : "fault at=0 crc-noise rate=1 id=000000B0B0B0\n"
                                "fault at=0 crc-noise rate=1 id=00000A1B2C3D\n");
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
