// kalvo-bus run as a child process over the simulated driver library in the demo folder, and
// over the serial driver against kalvo-simport where the bus outlives each run.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/common/text.h"
#include "fake_d2xx.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct ToolRun {
    int code = -1;
    std::string out, err;
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Text(RomCode code) {
    return Utf16ToUtf8(RomText(code));
}

class KalvoBusTest : public ::testing::Test {
  protected:
    KalvoBusTest() : dir_(fs::temp_directory_path() / ("kalvo_bus_" + std::to_string(getpid()))) {
        fs::create_directories(dir_);
        Conf(kBus);
    }
    ~KalvoBusTest() override { fs::remove_all(dir_); }
    void Conf(const std::string& text) { std::ofstream(dir_ / "simbus.conf") << text; }
    ToolRun Tool(const std::string& args, const std::string& env = "") {
        const std::string command = "env KALVO_SIMBUS='" + (dir_ / "simbus.conf").string() + "' " +
                                    env + " '" KALVO_BUILD_DIR "/demo/kalvo-bus' " + args + " >'" +
                                    (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() +
                                    "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir_ / "out"),
                Slurp(dir_ / "err")};
    }

    static constexpr const char* kBus =
        "bridge serial=A50285BI description=\"FT232R USB UART\"\n"
        "ds18b20 id=00000A1B2C3D temp=21.5\n"
        "ds1820  id=000000B0B0B0 temp=-3.25\n"
        "ds2413  id=0000000ABCDE\n"
        "device  family=01 id=000000123456\n"
        "latency_ms=1\n";
    const RomCode t18b20 = test::Rom(0x28, 0x0A1B2C3D), t1820 = test::Rom(0x10, 0xB0B0B0),
                  sw = test::Rom(0x3A, 0xABCDE);
    fs::path dir_;
};

TEST_F(KalvoBusTest, BridgesScanReadSwitch) {
    ToolRun run = Tool("bridges");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.Lines(), ElementsAre("0\tA50285BI\tFT232R USB UART"));
    EXPECT_THAT(run.err, HasSubstr("Device search FT232R completed successfully"));

    // Thermometers in inventory order (by code), then switches.
    const bool b20_first = t18b20 < t1820;
    const std::string l1 = Text(t18b20) + "\tDS18B20", l2 = Text(t1820) + "\tDS1820";
    run = Tool("scan");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.Lines(),
                ElementsAre(b20_first ? l1 : l2, b20_first ? l2 : l1, Text(sw) + "\tDS2413"));
    EXPECT_THAT(run.err, HasSubstr("Found 3 devices"));

    const std::string r1 = Text(t18b20) + "\t21.5000\t1", r2 = Text(t1820) + "\t-3.2500\t1";
    run = Tool("read 2");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.Lines(), ElementsAre(b20_first ? r1 : r2, b20_first ? r2 : r1,
                                         b20_first ? r1 : r2, b20_first ? r2 : r1));

    EXPECT_EQ(Tool("switch " + Text(sw) + " A on").out, "1\n");
    EXPECT_EQ(Tool("switch " + Text(sw + 0x100) + " B on").out, "0\n");  // not on the bus
    for (const char* bad : {"switch zz A on", "switch 3a C on", "read 0", "frobnicate", ""}) {
        run = Tool(bad);
        EXPECT_EQ(run.code, 64) << bad;
        EXPECT_THAT(run.err, HasSubstr("usage:")) << bad;
    }
}

TEST_F(KalvoBusTest, FailuresAndExitCodes) {
    ToolRun run = Tool("scan", "KALVO_D2XX_LIBRARY=" + (dir_ / "libftd2xx.so").string());
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err, "Error: libftd2xx.so загрузка DLL невозможна, приложение будет закрыто\n");

    Conf("bridge serial=A1\ndevice family=01 id=000000123456\n");
    run = Tool("scan");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr("Devices search 1Wire failed"));

    Conf("ds2413 id=0000000ABCDE\n");  // nothing to measure
    EXPECT_EQ(Tool("read").code, 1);

    Conf("ds18b20 id=12\n");  // malformed: the driver lists nothing
    run = Tool("bridges");
    EXPECT_EQ(run.code, 1);
    EXPECT_THAT(run.err, HasSubstr("Device search FT232R failed"));
}

TEST_F(KalvoBusTest, HealthColumnsAndSwitchesOff) {
    // A fresh bus: nothing counted yet, and every channel already off.
    const std::string zeros = "\tcrc=0\tpower-on=0\tlow-power=0\tmissing=0\toverran=0";
    ToolRun run = Tool("read --health");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.Lines(), ::testing::UnorderedElementsAre(Text(t18b20) + "\t21.5000\t1" + zeros,
                                                             Text(t1820) + "\t-3.2500\t1" + zeros));

    run = Tool("off");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.Lines(), ElementsAre(Text(sw) + "\toff\t-"));
    run = Tool("off --serial ELSEWHERE --wait 0");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr("The FT232R bridge ELSEWHERE could not be opened"));
    for (const char* bad : {"off --wait", "off --wait -1", "off --serial", "off now",
                            "read --health --health", "read 2 3"}) {
        EXPECT_EQ(Tool(bad).code, 64) << bad;
    }
}

#ifdef KALVO_HAVE_SIMPORT
// Over the serial driver the bus outlives each run of the tool, as a real one does.
TEST_F(KalvoBusTest, OffSwitchesOffWhatAnEarlierRunSwitchedOn) {
    const fs::path port = dir_ / "port", sysfs = dir_ / "sysfs";
    fs::create_directories(sysfs);
    const std::string server = KALVO_BUILD_DIR "/demo/kalvo-simport";
    const std::string link = port.string(), conf = (dir_ / "simbus.conf").string();
    char* const argv[] = {const_cast<char*>(server.c_str()), const_cast<char*>("--link"),
                          const_cast<char*>(link.c_str()), const_cast<char*>(conf.c_str()),
                          nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&files);
    for (int waited = 0; waited < 10000 && !fs::is_symlink(port); waited += 10) usleep(10000);
    ASSERT_TRUE(fs::is_symlink(port));

    const std::string serial = "KALVO_D2XX_LIBRARY='" KALVO_BUILD_DIR
                               "/serial/libftd2xx.so' KALVO_SERIAL_PORTS='" +
                               link + "' KALVO_SYSFS_ROOT='" + sysfs.string() + "'";
    EXPECT_EQ(Tool("switch " + Text(sw) + " A on", serial).out, "1\n");
    ToolRun run = Tool("off --wait 5", serial);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.Lines(), ElementsAre(Text(sw) + "\toff\tA"));
    EXPECT_THAT(Tool("off --wait 5", serial).Lines(), ElementsAre(Text(sw) + "\toff\t-"));

    kill(pid, SIGTERM);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
}
#endif

}  // namespace
}  // namespace kalvo
