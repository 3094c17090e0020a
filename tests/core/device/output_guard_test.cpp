// The guard of the outputs: the guard's side in this process over the simulated bus, the
// program's side with stand-in guard commands.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "core/common/messages.h"
#include "core/common/paths.h"
#include "core/common/text.h"
#include "core/device/one_wire_bus.h"
#include "core/device/output_guard.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

extern char** environ;

namespace kalvo {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- the guard's side ----

ProgramEnd EndAfter(const std::string& bytes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fds[1]);
    const ProgramEnd end = WaitForProgramEnd(fds[0]);
    close(fds[0]);
    return end;
}

TEST(GuardSide, OnlyTheDisarmByteBeforeTheEndIsAnOrderlyClose) {
    EXPECT_EQ(EndAfter(std::string(1, kGuardDisarmByte)), ProgramEnd::kOrderly);
    EXPECT_EQ(EndAfter(""), ProgramEnd::kOther);
    EXPECT_EQ(EndAfter("x\n"), ProgramEnd::kOther);
}

int g_driver_calls = 0;

class GuardOverSimBus : public ::testing::Test {
  protected:
    GuardOverSimBus() {
        sim::SetActiveWorld(&world);
        bridge = world.AddBridge("A50285BI", "FT232R USB UART");
        heater = world.AddDs2413(bridge, 0xA);
        spare = world.AddDs2413(bridge, 0xB);
        // Every way onto the bus starts with the bridge list or an open.
        api = sim::Api();
        api.ListDevices = [](void* a, void* b, DWORD flags) {
            ++g_driver_calls;
            return sim::Api().ListDevices(a, b, flags);
        };
        api.Open = [](int index, FT_HANDLE* handle) {
            ++g_driver_calls;
            return sim::Api().Open(index, handle);
        };
        g_driver_calls = 0;
        COneWireBus bus(sim::Api());
        RecordingStatusBar bar;
        bus.SetStatusBar(&bar);
        bus.SetClock(clock);
        EXPECT_TRUE(bus.SearchBridges() && bus.OpenBus()) << Utf16ToUtf8(bar.LastText(kPaneMain));
        EXPECT_EQ(bus.SetChannels(heater, 1, 0), 1);
    }
    ~GuardOverSimBus() override { sim::SetActiveWorld(nullptr); }

    ManualClock clock{1'000'000};
    sim::World world{clock};
    D2xxApi api{};
    int bridge = 0;
    RomCode heater = 0, spare = 0;
};

TEST_F(GuardOverSimBus, AfterAnOrderlyCloseTheBusIsLeftAlone) {
    const GuardOutcome outcome =
        GuardOutputs(ProgramEnd::kOrderly, api, u"A50285BI", clock, kGuardPatienceMs);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.line, "");
    EXPECT_EQ(g_driver_calls, 0);
    EXPECT_TRUE(world.ChannelOn(heater, 0));
}

TEST_F(GuardOverSimBus, AfterAnyOtherEndEveryOutputGoesOff) {
    const GuardOutcome outcome =
        GuardOutputs(ProgramEnd::kOther, api, u"A50285BI", clock, kGuardPatienceMs);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.line,
              "kalvo-guard: the program ended without its orderly close; bridge "
              "A50285BI: every output off: " +
                  Utf16ToUtf8(RomText(heater)) + " (on before: A), " + Utf16ToUtf8(RomText(spare)) +
                  " (on before: none)");
    EXPECT_FALSE(world.ChannelOn(heater, 0));
    EXPECT_FALSE(world.Bridge(bridge).open);  // let go again

    // A bridge that never comes: said after the patience, with a failing exit code.
    const int64_t start = clock.NowMs();
    const GuardOutcome missing = GuardOutputs(ProgramEnd::kOther, api, u"GONE", clock, 3000);
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.line,
              "kalvo-guard: the program ended without its orderly close; bridge "
              "GONE could not be opened within 3 s, its outputs are as the "
              "program left them");
    EXPECT_GE(clock.NowMs() - start, 3000);
}

// ---- the program's side ----

class ProgramSide : public ::testing::Test {
  protected:
    ProgramSide() {
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("kalvo_guard_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
        fs::create_directories(dir_);
    }
    ~ProgramSide() override {
        SetProgramFolderForTesting("");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // A stand-in guard: standard input into `file`.
    std::vector<std::string> Recorder(const fs::path& file) const {
        return {"/bin/sh", "-c", "exec cat > \"$0\"", file.string()};
    }
    static std::vector<std::string> Env() {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        return env;
    }
    void Executable(const fs::path& path, const std::string& text) {
        std::ofstream(path) << text;
        fs::permissions(path, fs::perms::owner_all);
    }

    fs::path dir_;
};

TEST_F(ProgramSide, DisarmTellsTheGuardAndWaitsForIt) {
    OutputGuard guard;
    std::string why;
    ASSERT_TRUE(guard.Start(Recorder(dir_ / "got"), Env(), &why)) << why;
    EXPECT_TRUE(guard.Armed());
    // A session of its own, away from the program's terminal.
    EXPECT_EQ(getsid(guard.Pid()), guard.Pid());
    EXPECT_TRUE(guard.Disarm());
    EXPECT_FALSE(guard.Armed());
    EXPECT_EQ(Slurp(dir_ / "got"), std::string(1, kGuardDisarmByte));
    EXPECT_FALSE(guard.Disarm());  // once
}

// Without the word the guard hears the end at once, although a child the program started
// afterwards still runs, and it holds none of the program's descriptors.
TEST_F(ProgramSide, AnyOtherEndReachesTheGuardAlone) {
    const int leaked = open(dir_.c_str(), O_RDONLY);  // a descriptor every child would inherit
    ASSERT_GE(leaked, 0);
    OutputGuard bare;
    std::string why;
    ASSERT_TRUE(bare.Start({"/bin/cat"}, Env(), &why)) << why;
    std::map<std::string, std::string> fds;
    std::error_code ec;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(bare.Pid()) + "/fd", ec))
        fds[entry.path().filename().string()] = fs::read_symlink(entry.path(), ec).string();
    EXPECT_EQ(fds["0"].rfind("pipe:", 0), 0u) << fds["0"];
    for (const auto& [fd, target] : fds) EXPECT_NE(target, dir_.string()) << fd;
    close(leaked);
    bare.Release();
    EXPECT_EQ(bare.Wait(5000), 0);

    OutputGuard guard;
    ASSERT_TRUE(guard.Start(Recorder(dir_ / "got"), Env(), &why)) << why;
    pid_t other = -1;
    char sleep_arg[] = "sleep", seconds[] = "20";
    char* argv[] = {sleep_arg, seconds, nullptr};
    ASSERT_EQ(posix_spawnp(&other, "sleep", nullptr, nullptr, argv, environ), 0);
    const auto released = std::chrono::steady_clock::now();
    guard.Release();
    EXPECT_EQ(guard.Wait(5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::seconds(2));
    EXPECT_EQ(Slurp(dir_ / "got"), "");
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

TEST_F(ProgramSide, AGuardThatCannotStartOrHasGoneIsSaidNotFatal) {
    OutputGuard missing;
    std::string why;
    EXPECT_FALSE(missing.Start({(dir_ / "nothing").string()}, Env(), &why));
    EXPECT_NE(why.find("nothing"), std::string::npos) << why;
    EXPECT_FALSE(missing.Armed());

    // Ended before the program closes: telling it must not end the program with SIGPIPE.
    OutputGuard gone;
    ASSERT_TRUE(gone.Start({"/bin/true"}, Env(), &why)) << why;
    EXPECT_EQ(gone.Wait(5000), 0);
    EXPECT_FALSE(gone.Disarm(100));
    EXPECT_FALSE(gone.Armed());
}

TEST_F(ProgramSide, TheGuardBesideTheProgramComesFirstThenPath) {
    const fs::path program = dir_ / "bin", elsewhere = dir_ / "path";
    fs::create_directories(program);
    fs::create_directories(elsewhere);
    SetProgramFolderForTesting(program.string());
    const char* saved = std::getenv("PATH");
    const std::string old_path = saved ? saved : "";
    setenv("PATH", ("relative:" + elsewhere.string()).c_str(), 1);

    EXPECT_EQ(FindGuardProgram(), "");
    std::ofstream(program / kGuardProgramName) << "not executable";
    EXPECT_EQ(FindGuardProgram(), "");
    Executable(elsewhere / kGuardProgramName, "#!/bin/sh\n");
    EXPECT_EQ(FindGuardProgram(), (elsewhere / kGuardProgramName).string());
    Executable(program / kGuardProgramName, "#!/bin/sh\n");
    EXPECT_EQ(FindGuardProgram(), (program / kGuardProgramName).string());

    // Started with the bridge's serial number and bound to the driver library loaded here.
    unsetenv("KALVO_D2XX_LIBRARY");
    ASSERT_NE(dlopen(KALVO_SIM_DRIVER, RTLD_NOW | RTLD_LOCAL), nullptr) << dlerror();
    const std::string args = (program / "args").string();
    Executable(program / kGuardProgramName, "#!/bin/sh\necho \"$@\" > " + args +
                                                "\necho \"$KALVO_D2XX_LIBRARY\" >> " + args +
                                                "\nexec /bin/cat >/dev/null\n");
    OutputGuard guard;
    std::string why;
    ASSERT_TRUE(StartOutputGuard(guard, u"A50285BI", &why)) << why;
    EXPECT_TRUE(guard.Disarm(5000));
    EXPECT_EQ(Slurp(program / "args"),
              std::string("--serial A50285BI\n") + KALVO_SIM_DRIVER + "\n");

    fs::remove(program / kGuardProgramName);
    fs::remove(elsewhere / kGuardProgramName);
    EXPECT_FALSE(StartOutputGuard(guard, u"A50285BI", &why));
    EXPECT_NE(why.find("kalvo-guard was found neither"), std::string::npos) << why;
    setenv("PATH", old_path.c_str(), 1);
}

}  // namespace
}  // namespace kalvo
