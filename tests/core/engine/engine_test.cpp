// The engine end to end over the simulated bus: start-up paths with their texts, boxes and
// messages; cycles, appends, pause and resume, the period entry and the shutdown; timed bus faults
// met as a real bus would meet them. The bus runs on a manual clock, the timer on a shrunken time
// base (2 us per engine ms: a 4 ms period).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/common/text.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/measurement_cycle.h"
#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"

namespace kalvo {
namespace {

using namespace testing_util;
using namespace std::chrono_literals;
constexpr auto kToEngine = PostTarget::kEngine;
constexpr auto kFrame = PostTarget::kFrame;

class EngineTest : public ::testing::Test {
  protected:
    EngineTest() { sim::SetActiveWorld(&world); }
    ~EngineTest() override {
        attachment = {};
        program.reset();
        sim::SetActiveWorld(nullptr);
        SetNowSecondsSource(nullptr);
    }
    void Sensor(double celsius) {
        codes.push_back(world.AddDs18b20(0, codes.size() + 1, sim::Thermal{celsius}, 9));
    }
    void Make(int ms_per_second = 2, LiveView* live_view = nullptr) {
        const EngineOptions options{dir.path(), ms_per_second, &clock, &day_ops, nullptr};
        program = std::make_unique<Program>(sim::Api(), options);
        attachment = program->Attach(host, live_view ? live_view : &live);
        host.program = program.get();
        host.engine = engine = &program->GetEngine();
    }
    // The start-up up to the engine's ready message, handled as the frame would.
    void StartUp(int ms_per_second = 2, LiveView* live_view = nullptr) {
        Make(ms_per_second, live_view);
        engine->OnInitView(&bar);
        ASSERT_TRUE(host.Pump([&] {
            return host.Count(kToEngine, WM_APP_BRIDGE_SEARCHED) &&
                   !host.Queued(kFrame, WM_APP_ENGINE_READY);
        }));
    }
    void Close() {
        host.Post(kFrame, WM_CLOSE_REQUEST, 0, 0);
        ASSERT_TRUE(host.Pump([&] { return host.closed; }));
    }
    bool Cycles(int ended) {
        return host.Pump([&] { return host.Ended() >= ended; });
    }
    // A settings file for the bus's devices; `broken` spoils its switch section.
    void StoreSettings(uint16_t flags, bool broken = false) {
        GridKalvo t;
        GridSw s;
        t.Fill(codes);
        s.Fill(switches);
        t.SetCellText(0, 2, u"Котёл");
        s.SetCellText(0, 6, u"Котёл");
        s.SetCellText(0, 3, u"25");
        s.SetCellText(0, 4, u"30");
        FakePeer peer;
        peer.flags = flags;
        peer.period = 3;
        std::vector<uint8_t> image = BuildSettingsImage(peer, t, s);
        if (broken) {
            image[image.size() - 1 - 342 - 30] = 'X';
            image.back() = Crc8(image.data(), image.size() - 1, 0xFF);
        }
        WriteBytes(dir.File("setting.stg"), std::string(image.begin(), image.end()));
    }
    SampleList Day() {
        SampleList records;
        SHELL::CDataFile().Read(BuildDayPaths(dir.path()).day_file, records);
        return records;
    }

    // Refuses the first `refusals` opens for writing, as a day file held elsewhere would.
    struct DayOps : SHELL::FileOps {
        int Open(const std::string& path, Access access) override {
            if (access == Access::kWrite && refusals > 0) return --refusals, -1;
            return FileOps::Open(path, access);
        }
        int refusals = 0;
    } day_ops;
    ManualClock clock{1'000'000};
    sim::World world{clock};
    TempDir dir;
    RecordingStatusBar bar;
    FakeLiveView live;
    TestHost host;
    std::unique_ptr<Program> program;
    Program::Attachment attachment;
    Engine* engine = nullptr;
    std::vector<RomCode> codes, switches;
};

TEST_F(EngineTest, NoBridge) {
    StartUp();
    EXPECT_EQ(bar.LastText(kPaneMain), u"Devices search FT232R failed");
    EXPECT_EQ(host.boxes,
              std::vector<std::u16string>{
                  u"Error FT232R: Не найдены устройства FT232R, приложение будет закрыто."});
    Close();  // the engine's own close request, taken at once: no worker
    EXPECT_FALSE(host.hidden || engine->HasWorker());
    EXPECT_FALSE(std::filesystem::exists(dir.File("setting.stg")));
}

TEST_F(EngineTest, SilentBus) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    StartUp();
    EXPECT_EQ(bar.LastText(kPaneMain), u"Devices search 1Wire failed");
    EXPECT_EQ(host.boxes.at(0),
              u"Error 1-wire: Не найдены устройства на шине 1-wire, приложение будет закрыто.");
    Close();
    EXPECT_FALSE(host.hidden || engine->HasWorker());
}

TEST_F(EngineTest, NoThermometersLeavesTheProgramOpenButIdle) {
    const RomCode sw = world.AddDs2413(world.AddBridge("KALVO001", "FT232R USB UART"), 0x42);
    {
        RecordingStatusBar quiet;
        COneWireBus earlier(sim::Api());
        earlier.SetStatusBar(&quiet);
        earlier.SetClock(clock);
        ASSERT_TRUE(earlier.SearchBridges() && earlier.OpenBus());
        earlier.SetChannels(sw, 1, 0);  // left on by an earlier run
    }
    StartUp();
    EXPECT_FALSE(world.ChannelOn(sw, 0)) << "nothing controls it in this run";
    EXPECT_EQ(bar.LastText(kPaneMain),
              u"Thermometers have not been found, the application can not be used");
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(live.engine_ready, 0u);
    EXPECT_EQ(engine->GetState(), Engine::State::kPaused) << "the worker exists, suspended";
    Close();
    EXPECT_TRUE(host.hidden);
    EXPECT_EQ(host.Begun() + host.Count(kFrame, WM_APP_ENGINE_READY), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("setting.stg"))) << "never saved";
}

// The stored flags ask for tray and start, but the file fails after them: neither happens.
// Outputs left on by an earlier run are off before anything else happens.
TEST_F(EngineTest, CorruptSettingsStillReadyButStopped) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(21.5);
    switches = {world.AddDs2413(0, 0x42)};
    {
        RecordingStatusBar quiet;
        COneWireBus earlier(sim::Api());
        earlier.SetStatusBar(&quiet);
        earlier.SetClock(clock);
        ASSERT_TRUE(earlier.SearchBridges() && earlier.OpenBus());
        earlier.SetChannels(switches[0], 1, 1);
    }
    StoreSettings(kFlagMask, true);
    const std::string broken = ReadBytes(dir.File("setting.stg"));
    StartUp();
    EXPECT_EQ(bar.LastText(kPaneMain), u"The settings file is corrupted");
    // The broken file is kept aside before the exit saves over its place, and a box says so.
    EXPECT_EQ(ReadBytes(dir.File("setting.stg.bad")), broken);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0],
              Utf8ToUtf16("Error: The settings file " + dir.File("setting.stg") +
                          " cannot be used (wrong switch section marker). It is "
                          "kept as " +
                          dir.File("setting.stg.bad") + "; the default settings are in use."));
    EXPECT_FALSE(world.ChannelOn(switches[0], 0) || world.ChannelOn(switches[0], 1));
    EXPECT_EQ(engine->Switches().CellColour(0, 8), kChannelOffColour);
    EXPECT_EQ(host.start_commands + host.tray_hides, 0);
    EXPECT_TRUE(engine->MeasureAtStart()) << "applied before the failure";
    EXPECT_EQ(host.shown_period, 3);
    EXPECT_EQ(engine->Thermometers().ThermometerName(0), u"Котёл");
    host.Pump();
    EXPECT_EQ(host.Count(kFrame, WM_APP_ENGINE_READY), 1);
    EXPECT_EQ(live.engine_ready, 1u);
    EXPECT_EQ(live.series, 1);
    EXPECT_EQ(engine->GetState(), Engine::State::kPaused);
    Close();
    EXPECT_EQ(host.Begun(), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.File("setting.stg")));
}

// A first start is no fault; a save that cannot be made says why.
TEST_F(EngineTest, FirstStartUsesTheDefaultsAndAFailedSaveSaysWhy) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(21.5);
    StartUp();
    EXPECT_EQ(bar.LastText(kPaneMain), u"No settings file yet, the default settings are in use");
    EXPECT_TRUE(host.boxes.empty());
    std::filesystem::create_directory(dir.File("setting.stg"));
    Close();
    EXPECT_EQ(host.boxes, std::vector<std::u16string>{
                              Utf8ToUtf16("Error: The settings could not be saved to " +
                                          dir.File("setting.stg") + ": it is a folder.")});
}

// Devices of the file that are not on the bus are named at start-up, and the exit saves their
// settings again.
TEST_F(EngineTest, AbsentDevicesAreNamedAndKept) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(21.5);
    codes.push_back(0x5500000000000A28);
    switches = {0x6600000000000B3A};
    StoreSettings(0);
    StartUp();
    EXPECT_EQ(bar.LastText(kPaneMain),
              u"Not on the bus, their settings are kept: thermometer "
              u"Термометр 2 (5500000000000a28), switch (6600000000000b3a)");
    EXPECT_TRUE(host.boxes.empty());
    Close();
    const std::string saved = ReadBytes(dir.File("setting.stg"));
    GridKalvo t;
    GridSw s;
    t.Fill(codes);
    s.Fill(switches);
    FakePeer peer;
    ASSERT_TRUE(ApplySettingsImage(
        std::span(reinterpret_cast<const uint8_t*>(saved.data()), saved.size()), peer, t, s));
    EXPECT_EQ(t.ThermometerName(0), u"Котёл");
    EXPECT_EQ(s.ChannelThresholds(0, 0).low, u"25");
    EXPECT_EQ(s.ChannelThresholds(0, 0).high, u"30");
}

TEST_F(EngineTest, CyclesAppendEveryPassAndShutdown) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    for (double celsius : {21.5, -3.5, 100.0}) Sensor(celsius);
    switches = {world.AddDs2413(0, 0x42)};
    StoreSettings(kFlagMask);
    day_ops.refusals = 1;  // the first append is refused: its pass goes with the second
    // What the day file holds and what waits, as each cycle ends (on the worker, between appends).
    std::vector<std::pair<uint64_t, size_t>> at_end;
    host.on_cycle = [&](uintptr_t wparam) {
        const std::string day = BuildDayPaths(dir.path()).day_file;
        const uint64_t size = std::filesystem::exists(day) ? std::filesystem::file_size(day) : 0;
        if (wparam == 1) at_end.emplace_back(size, engine->KeptRecordCount());
    };
    StartUp();
    EXPECT_EQ(host.tray_hides + host.start_commands, 2);
    ASSERT_TRUE(Cycles(25));
    EXPECT_EQ(engine->Timer()->ArmedDue(), 20us) << "first cycle 10 ms after the start";

    std::map<RomCode, std::u16string> shown;
    for (int row = 0; row < 3; ++row)
        shown[RomFromText(engine->Thermometers().CellText(row, 1))] =
            engine->Thermometers().CellText(row, 3);
    EXPECT_EQ(shown[codes[0]], u"  21,50");
    EXPECT_EQ(shown[codes[1]], u"  -3,50");
    EXPECT_EQ(shown[codes[2]], u"  100,00");
    EXPECT_TRUE(world.ChannelOn(switches[0], 0)) << "Котёл at 21.5 under 25";
    EXPECT_EQ(host.Count(PostTarget::kLiveView, WM_APP_SAMPLES), host.Ended());
    EXPECT_EQ(bar.Marks().back(), std::make_pair(3, StatusBar::kMarkNone));

    Close();
    EXPECT_EQ(Day().size(), size_t(3 * host.Ended())) << "every pass recorded";
    ASSERT_GE(at_end.size(), 25u);
    EXPECT_EQ(at_end[0], std::make_pair(uint64_t(0), size_t(3))) << "kept for the next pass";
    for (size_t i = 1; i < at_end.size(); ++i)
        EXPECT_EQ(at_end[i], std::make_pair(32 + 96 * 3 * (i + 1), size_t(0)))
            << "pass " << i << " is in the file when its cycle ends";
    EXPECT_FALSE(world.ChannelOn(switches[0], 0)) << "all off at exit";
    EXPECT_TRUE(engine->LoadSettings()) << "saved at exit";
}

TEST_F(EngineTest, SamplesThatCannotBeWrittenAtExitAreReported) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(21.5);
    StoreSettings(kFlagMask & ~uint16_t(4));  // no tray
    day_ops.refusals = 1000;                  // the day file is held elsewhere for good
    StartUp();
    ASSERT_TRUE(Cycles(3));
    Close();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].rfind(u"Error: The day file could not be written: ", 0), 0u);
}

TEST_F(EngineTest, PauseResumeAndCloseWhilePaused) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(20.0);
    StartUp();
    EXPECT_TRUE(engine->HasWorker() && engine->GetState() != Engine::State::kRunning);
    host.RunStartCommand();
    ASSERT_TRUE(Cycles(5));
    const auto settle = [&] {  // ten periods, then every begun cycle ended
        std::this_thread::sleep_for(40ms);
        return host.Pump() && host.Pump([&] { return host.Begun() == host.Ended(); });
    };
    engine->StartMeasuring(false);
    ASSERT_TRUE(settle());
    const int paused_at = host.Begun();
    ASSERT_TRUE(settle());
    EXPECT_EQ(host.Begun(), paused_at) << "no cycle begins while paused";
    engine->StartMeasuring(true);
    ASSERT_TRUE(Cycles(paused_at + 5));

    // The timer fires during the pause; closing resumes and that one cycle still runs.
    engine->StartMeasuring(false);
    ASSERT_TRUE(settle());
    const int closed_at = host.Begun();
    Close();
    EXPECT_EQ(host.Begun(), closed_at + 1);
    EXPECT_EQ(engine->GetState(), Engine::State::kStopped);
    EXPECT_EQ(Day().size(), size_t(host.Ended()));
}

TEST_F(EngineTest, PeriodEntryAndRecordingOff) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(20.0);
    StartUp();
    const std::pair<const char16_t*, int> entries[] = {
        {u"1", 0}, {u"11", 0}, {u"0", 0}, {u"abc", 0}, {u"", 0}, {u"10", 10}, {u"3", 3}};
    for (auto [text, accepted] : entries) {
        bar.Clear();
        host.shown_period = 0;
        engine->OnPeriodEntered(text);
        const int period = accepted ? accepted : 2;
        EXPECT_EQ(engine->Period(), period) << Utf16ToUtf8(text);
        EXPECT_EQ(engine->Timer()->ArmedDue(), 0us) << "re-armed to signal at once";
        EXPECT_EQ(engine->Timer()->ArmedPeriod(), 2us * period * 1000);
        EXPECT_EQ(bar.LastText(kPaneMain),
                  accepted ? u"" : u"Значения должны быть в диапазоне 2 - 10 секунд");
        EXPECT_EQ(host.shown_period, accepted ? 0 : 2);
    }
    engine->OnPeriodEntered(u"2");

    // Recording off: passes are measured, but nothing reaches the disk, not even at exit.
    engine->SetOption(kFlagWriteDataFile, false);
    host.RunStartCommand();
    ASSERT_TRUE(Cycles(120));
    EXPECT_EQ(engine->KeptRecordCount(), 0u);
    Close();
    EXPECT_FALSE(std::filesystem::exists(BuildDayPaths(dir.path()).day_file));
    EXPECT_TRUE(std::filesystem::exists(dir.File("setting.stg")));
}

// A close taken at once while the bridge search is still out: its answer must not start the
// engine behind the closed window, whatever the stored options ask for.
TEST_F(EngineTest, CloseBeforeTheSearchAnswersStartsNothing) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(20.0);
    switches = {world.AddDs2413(0, 0x42)};
    StoreSettings(kFlagMask);
    Make();
    engine->OnInitView(&bar);
    EXPECT_TRUE(engine->OnClose(0));
    ASSERT_TRUE(host.Pump([&] { return host.Count(kToEngine, WM_APP_BRIDGE_SEARCHED) > 0; }, 5s));
    host.Pump();
    EXPECT_FALSE(engine->HasWorker());
    EXPECT_EQ(host.start_commands + host.tray_hides, 0);
    EXPECT_EQ(host.Count(kFrame, WM_APP_ENGINE_READY), 0);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_FALSE(world.ChannelOn(switches[0], 0));
}

// The window may come back from the notification area while the worker is finishing; a pause
// pressed then must not hold the worker at the gate for ever.
TEST_F(EngineTest, PauseAfterACloseRequestStillCloses) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(20.0);
    StartUp(50);  // a 100 ms period: the worker mostly waits for the timer
    host.RunStartCommand();
    ASSERT_TRUE(Cycles(2));
    std::this_thread::sleep_for(20ms);  // the worker is back at the timer
    host.Post(kFrame, WM_CLOSE_REQUEST, 0, 0);
    ASSERT_TRUE(host.Pump([&] { return host.hidden; }, 5s));
    engine->StartMeasuring(false);
    ASSERT_TRUE(host.Pump([&] { return host.closed; }, 5s));
    EXPECT_EQ(Day().size(), size_t(host.Ended()));
}

// The program outlives whatever it reports to: ending the attachment stops the worker, and from
// then on nothing reaches the old host, while the tables stay for whoever comes next.
TEST_F(EngineTest, EndingTheAttachmentStopsTheWorkerFirst) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(20.0);
    StartUp();
    host.RunStartCommand();
    ASSERT_TRUE(Cycles(3));
    attachment = {};
    EXPECT_FALSE(engine->HasWorker());
    host.Pump();
    const size_t handled = host.handled.size();
    std::this_thread::sleep_for(20ms);  // five periods
    host.Pump();
    EXPECT_EQ(host.handled.size(), handled);
    EXPECT_EQ(program->Thermometers().RowCount(), 1);
    EXPECT_NE(program->Thermometers().CellText(0, GridKalvo::kColTemperature), u"");
}

// Without a live chart (a service) the colours of the settings file are kept as loaded and saved
// back unchanged.
TEST_F(EngineTest, WithoutALiveViewTheStoredColoursSurvive) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(20.0);
    switches = {world.AddDs2413(0, 0x42)};
    StoreSettings(kFlagWriteDataFile);
    Make();
    attachment = program->Attach(host, nullptr);
    engine->OnInitView(&bar);
    ASSERT_TRUE(host.Pump([&] { return host.Count(kFrame, WM_APP_ENGINE_READY) > 0; }));
    Close();
    const std::string saved = ReadBytes(dir.File("setting.stg"));
    FakePeer peer;
    peer.background = peer.grid = 0;
    GridKalvo t;
    GridSw s;
    t.Fill(codes);
    s.Fill(switches);
    ASSERT_TRUE(ApplySettingsImage(
        std::span(reinterpret_cast<const uint8_t*>(saved.data()), saved.size()), peer, t, s));
    EXPECT_EQ(peer.background, FakePeer().background);
    EXPECT_EQ(peer.grid, FakePeer().grid);
    EXPECT_EQ(peer.rect, (WindowRect{100, 100, 900, 700})) << "the host's window";
}

// Calendar seconds that advance at every reading, so each pass has a time stamp of its own:
// 12:00 local (UTC+3) on 1 June 2024; the run stays within the day.
std::atomic<int64_t> g_seconds{1717232400};
int64_t NextSecond() {
    return g_seconds.fetch_add(1);
}

// Thousands of fast cycles while another thread injects bus faults, then the bridge unplugged
// and plugged back: nothing crashes; every pass, measured or missed, is in the day file once,
// whole and as shown; nothing piles up in memory; a heater whose sensor has no reading is off
// and one whose sensor reads is on; measuring resumes by itself once the bridge is back.
TEST_F(EngineTest, SoakWithRandomBusFaults) {
    constexpr int kCycles = 2500;
    constexpr int kUnpluggedCycles = 10;
    SetNowSecondsSource(&NextSecond);
    const int b = world.AddBridge("KALVO001", "FT232R USB UART");
    for (double celsius : {19.0, 20.0, 21.0}) Sensor(celsius);
    const RomCode sw = world.AddDs2413(b, 0x42);

    // Changes that may keep a command from the switch: odd while one is under way.
    std::atomic<int> switch_faults{0};
    struct Seen {
        bool complete = false;
        bool stable = false;  // nothing stood between the thermostat and the switch
        bool sensor_valid = false;
        bool heater_on = false;
        size_t pending = 0, kept = 0;
    };
    std::vector<Seen> seen;
    std::atomic<bool> stop{false}, faults_done{false};
    int unplugged = 0;  // the cycles that began with the bridge going and coming back
    std::atomic<int> replugged{0};
    SampleList shown;  // every pass the live view was given, in order
    RomCode controller = 0;
    int begun = 0, faults_at_begin = 0, replacements = 0;
    host.on_cycle = [&](uintptr_t wparam) {
        std::lock_guard lock(live.mutex);
        if (wparam == 0) {
            ++begun;
            // The worker may run ahead of the messages the test has handled.
            if (begun == kCycles) stop = true;
            if (!unplugged && begun > kCycles && faults_done.load()) {
                unplugged = begun;
                world.SetUnplugged(b, true);
            }
            if (unplugged && begun == unplugged + kUnpluggedCycles) {
                world.SetUnplugged(b, false);
                replugged = begun;
            }
            faults_at_begin = switch_faults.load();
            replacements = live.replacements;
            return;
        }
        Seen s;
        s.complete = engine->Bus().LastPassFailure() == BusFault::kNone &&
                     !engine->Bus().Thermometers().empty();
        // A switch that a reopened bridge's inventory missed is no longer the program's.
        s.stable = faults_at_begin % 2 == 0 && switch_faults.load() == faults_at_begin &&
                   engine->Switches().FindRow(sw) >= 0;
        if (live.replacements != replacements)
            shown.insert(shown.end(), live.live.begin(), live.live.end());
        for (const SampleRecord& r : live.live)
            if (r.rom == controller) s.sensor_valid = r.valid == 1;
        s.heater_on = world.ChannelOn(sw, 0);
        s.pending = engine->Bus().PendingCount();
        s.kept = engine->KeptRecordCount();
        seen.push_back(s);
    };
    StartUp(1);
    const std::vector<RomCode> order = engine->Bus().Thermometers();
    controller = order[0];
    engine->Switches().SetCellText(0, 6, engine->Thermometers().ThermometerName(0));
    engine->Switches().SetCellText(0, 3, u"25");
    engine->Switches().SetCellText(0, 4, u"30");
    host.RunStartCommand();

    std::thread faults([&] {
        std::mt19937 rng(7);
        while (!stop.load()) {
            const RomCode s = codes[rng() % codes.size()];
            switch (rng() % 6) {
                case 0:
                    world.CorruptNextScratchpad(s);
                    break;
                case 1:
                    world.SetAttached(s, false);
                    break;
                case 2:
                    world.SetAttached(s, true);
                    break;
                case 3:
                    ++switch_faults;
                    world.ShortenNextReads(b, 3, 1);
                    ++switch_faults;
                    break;
                case 4:
                    // Gone for a moment: long enough to miss commands, rarely a whole search.
                    ++switch_faults;
                    world.SetAttached(sw, false);
                    std::this_thread::sleep_for(std::chrono::microseconds(100 + rng() % 500));
                    world.SetAttached(sw, true);
                    ++switch_faults;
                    break;
                case 5:
                    ++switch_faults;
                    world.SetLineHeldLow(b, true);
                    std::this_thread::sleep_for(300us);
                    world.SetLineHeldLow(b, false);
                    ++switch_faults;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
        for (RomCode s : codes) world.SetAttached(s, true);
        faults_done = true;
    });
    const bool ran = host.Pump([&] { return host.Ended() >= kCycles; }, std::chrono::minutes(5));
    stop = true;
    faults.join();
    ASSERT_TRUE(ran);
    ASSERT_TRUE(
        host.Pump([&] { return replugged.load() && host.Ended() >= replugged.load() + 5; }));
    Close();

    int complete = 0, missed = 0, checked = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        const Seen& s = seen[i];
        EXPECT_EQ(s.pending + s.kept, 0u) << "cycle " << i + 1 << ": memory bounded";
        (s.complete ? complete : missed) += 1;
        if (!s.complete || !s.stable) continue;
        ++checked;
        EXPECT_EQ(s.heater_on, s.sensor_valid) << "cycle " << i + 1;
    }
    EXPECT_GT(missed, 0);
    EXPECT_GT(checked, kCycles / 10);
    // Unplugged: the passes fail and are recorded; back: the first or second cycle measures.
    const int back = replugged.load();
    for (int c = unplugged; c < back; ++c) EXPECT_FALSE(seen.at(size_t(c - 1)).complete);
    EXPECT_TRUE(seen.at(size_t(back - 1)).complete || seen.at(size_t(back)).complete);
    for (size_t c = size_t(back) + 2; c <= seen.size(); ++c) EXPECT_TRUE(seen[c - 1].complete);

    // Each pass is one run of equal time stamps: the thermometers in the inventory's order.
    const SampleList day = Day();
    int passes = 0, invalid = 0;
    for (size_t i = 0, j = 0; i < day.size(); i = j, ++passes) {
        for (; j < day.size() && day[j].time == day[i].time; ++j) invalid += day[j].valid == 0;
        ASSERT_TRUE(i == 0 || day[i].time > day[i - 1].time);
        EXPECT_TRUE(std::is_sorted(
            day.begin() + std::ptrdiff_t(i), day.begin() + std::ptrdiff_t(j),
            [](const SampleRecord& x, const SampleRecord& y) { return x.rom < y.rom; }));
    }
    EXPECT_EQ(passes, host.Ended()) << "every cycle's pass is recorded, once";
    EXPECT_EQ(passes, host.Count(PostTarget::kLiveView, WM_APP_SAMPLES));
    ASSERT_EQ(day.size(), shown.size());
    for (size_t i = 0; i < day.size(); ++i) {
        EXPECT_EQ(day[i].rom, shown[i].rom) << i;
        EXPECT_EQ(day[i].time, shown[i].time) << i;
        EXPECT_EQ(day[i].valid, shown[i].valid) << i;
    }
    EXPECT_GT(invalid, 0);
    EXPECT_EQ(std::count_if(day.end() - 3, day.end(), [](const auto& r) { return r.valid; }), 3);
}

// ---- timed faults of the simulator, met as a real bus meets them ----

// What the worker told a listener.
struct HeardListener : PassListener {
    void OnPass(const PassReport& report) override {
        std::lock_guard lock(mutex);
        passes.push_back(report);
    }
    void OnChannels(const std::vector<ChannelState>& states) override {
        std::lock_guard lock(mutex);
        channels.push_back(states);
    }
    void OnAlarm(const AlarmEvent& event) override {
        std::lock_guard lock(mutex);
        alarms.push_back(event);
        if (on_alarm) on_alarm(event);
    }
    std::mutex mutex;
    std::vector<PassReport> passes;
    std::vector<std::vector<ChannelState>> channels;
    std::vector<AlarmEvent> alarms;
    std::function<void(const AlarmEvent&)> on_alarm;
};

struct ThrowingListener : PassListener {
    void OnPass(const PassReport&) override { throw std::runtime_error("queue full"); }
    void OnChannels(const std::vector<ChannelState>&) override { throw 1; }
};

size_t CountOf(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

// The world's clock as calendar seconds, so each pass gets the time stamp of its place in the run.
ManualClock* g_world_clock = nullptr;
int64_t WorldSeconds() {
    return 1717232400 + (g_world_clock->NowMs() - 1'000'000) / 1000;
}

// What one cycle left behind, seen on the worker as it ended.
struct CycleSeen {
    int64_t begin_ms = 0, end_ms = 0;   // of the world's run
    bool complete = false;              // the pass completed
    std::vector<std::u16string> shown;  // the temperature column
    bool a_on = false, b_on = false;    // the switch's channels
    std::u16string status;              // the main pane
    SampleList pass;                    // what the live view was given
};

class TimedFaultTest : public EngineTest {
  protected:
    static constexpr int64_t kPeriodMs = 2000;

    // Five 12-bit sensors whose registers change at every conversion; the switch's channel A
    // heats by `watched`, B by `other`, both below 50 °C, so both are on while their sensors
    // read. `before(n)` runs on the worker just before cycle n, its clock at the cycle's start.
    void Rig(std::function<void(int)> before, std::function<void()> more_devices = nullptr) {
        g_world_clock = &clock;
        SetNowSecondsSource(&WorldSeconds);
        const int b = world.AddBridge("KALVO001", "FT232R USB UART");
        for (int i = 0; i < 5; ++i)
            codes.push_back(world.AddDs18b20(b, 0x100 + uint64_t(i),
                                             sim::Thermal{18.0 + i, 0, 600, 0, 1.0}, 12));
        watched = codes[2];
        other = codes[4];
        sw = world.AddDs2413(b, 0x42);
        if (more_devices) more_devices();
        host.on_cycle = [this, before](uintptr_t wparam) {
            if (wparam == 0) {
                pacer.Begin();
                begin_ms = world.RunMs();
                if (before) before(++begun);
                std::lock_guard lock(live.mutex);
                replacements = live.replacements;
                return;
            }
            CycleSeen c;
            c.begin_ms = begin_ms;
            c.end_ms = world.RunMs();
            c.complete = engine->Bus().LastPassFailure() == BusFault::kNone;
            for (int row = 0; row < engine->Thermometers().RowCount(); ++row)
                c.shown.push_back(engine->Thermometers().CellText(row, GridKalvo::kColTemperature));
            c.a_on = world.ChannelOn(sw, 0);
            c.b_on = world.ChannelOn(sw, 1);
            c.status = bar.LastText(kPaneMain);
            std::lock_guard lock(live.mutex);
            if (live.replacements != replacements) c.pass = live.live;
            seen.push_back(std::move(c));
        };
        StartUp();
        GridSw& s = engine->Switches();
        s.SetCellText(0, GridSw::kColThermometerA,
                      engine->Thermometers().ThermometerName(Row(watched)));
        s.SetCellText(0, GridSw::Col(1, GridSw::kColThermometerA),
                      engine->Thermometers().ThermometerName(Row(other)));
        for (int channel = 0; channel < 2; ++channel) {
            s.SetCellText(0, GridSw::Col(channel, GridSw::kColLowA), u"50");
            s.SetCellText(0, GridSw::Col(channel, GridSw::kColHighA), u"60");
        }
        host.RunStartCommand();
    }
    int Row(RomCode code) const {
        for (int row = 0; row < engine->Thermometers().RowCount(); ++row)
            if (engine->Thermometers().CellText(row, GridKalvo::kColSerial) == RomText(code))
                return row;
        return -1;
    }
    static const SampleRecord* Of(const SampleList& pass, RomCode code) {
        for (const SampleRecord& r : pass)
            if (r.rom == code) return &r;
        return nullptr;
    }
    // The day file as passes: runs of equal time stamps.
    std::vector<SampleList> DayPasses() {
        std::vector<SampleList> passes;
        for (const SampleRecord& r : Day()) {
            if (passes.empty() || passes.back().back().time != r.time) passes.emplace_back();
            passes.back().push_back(r);
        }
        return passes;
    }

    PeriodPacer pacer{clock, kPeriodMs};
    RomCode watched = 0, other = 0, sw = 0;
    int begun = 0, replacements = 0;
    int64_t begin_ms = 0;
    std::vector<CycleSeen> seen;
};

// One sensor holds the line after every CONVERT T for 20 s: the other four are read and recorded
// in every pass, on time; the stuck one shows "н/д", its heater is off and the status bar names
// it; once it converts again all five read and its heater runs again.
TEST_F(TimedFaultTest, ASensorThatNeverConvertsCostsOnlyItsOwnReading) {
    int64_t from = 0, to = 0;
    Rig([&](int cycle) {
        if (cycle != 3) return;
        from = world.RunMs();
        to = from + 20000;
        world.ScheduleFault({.kind = sim::FaultKind::kNeverConverts,
                             .at_ms = from,
                             .for_ms = 20000,
                             .device = watched});
    });
    ASSERT_TRUE(Cycles(20));
    Close();
    const std::u16string named = kStuckSensorText +
                                 engine->Thermometers().ThermometerName(Row(watched)) + u" (" +
                                 RomText(watched) + u")";
    int stuck_passes = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        const CycleSeen& c = seen[i];
        SCOPED_TRACE("cycle " + std::to_string(i + 1));
        EXPECT_TRUE(c.complete);
        EXPECT_LT(c.end_ms - c.begin_ms, kPeriodMs) << "on time";
        ASSERT_EQ(c.pass.size(), 5u);
        for (const SampleRecord& r : c.pass) {
            if (r.rom != watched) {
                EXPECT_EQ(r.valid, 1u);
            }
        }
        EXPECT_TRUE(c.b_on);
        if (c.begin_ms >= from && c.begin_ms < to) {
            ++stuck_passes;
            EXPECT_EQ(Of(c.pass, watched)->valid, 0u);
            EXPECT_EQ(c.shown[size_t(Row(watched))], kNoReading);
            EXPECT_FALSE(c.a_on);
            EXPECT_EQ(c.status, named);
        } else if (c.begin_ms >= to + 2 * kPeriodMs || c.begin_ms < from) {
            EXPECT_EQ(Of(c.pass, watched)->valid, 1u);
            EXPECT_TRUE(c.a_on);
        }
    }
    EXPECT_EQ(stuck_passes, 10);
    EXPECT_EQ(seen.back().status, kStuckClearedText);
    EXPECT_GE(engine->Bus().HealthOf(watched).overran_conversions, 1u);
    // The day file holds what was shown, pass by pass.
    const std::vector<SampleList> passes = DayPasses();
    ASSERT_EQ(passes.size(), seen.size());
    for (size_t i = 0; i < passes.size(); ++i) {
        ASSERT_EQ(passes[i].size(), 5u);
        for (size_t k = 0; k < 5; ++k) EXPECT_EQ(passes[i][k].valid, seen[i].pass[k].valid);
    }
}

// The bridge is unplugged during a pass for 15 s: the status bar and stderr say so, the table
// shows "н/д", every missed period is recorded as an invalid pass, and within two periods of the
// bridge's return the bus is measured again without anybody doing anything.
TEST_F(TimedFaultTest, AnUnpluggedBridgeIsFoundAgain) {
    int64_t from = 0, to = 0;
    Rig([&](int cycle) {
        if (cycle != 3) return;
        from = world.RunMs() + 100;  // during the conversion wait
        to = from + 15000;
        world.ScheduleFault({.kind = sim::FaultKind::kUnplug, .at_ms = from, .for_ms = 15000});
    });
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(Cycles(16));
    Close();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("Bus fault: Bridge FT232R lost\n"), 1u) << err;
    EXPECT_EQ(count(Utf16ToUtf8(kBusRestoredText) + "\n"), 1u) << err;

    size_t back = 0;  // the first cycle that began after the bridge came back
    for (size_t i = 0; i < seen.size(); ++i) {
        const CycleSeen& c = seen[i];
        SCOPED_TRACE("cycle " + std::to_string(i + 1));
        ASSERT_EQ(c.pass.size(), 5u) << "a whole pass recorded every period";
        const bool lost = c.begin_ms + kPeriodMs > from && c.begin_ms < to;
        if (!back && c.begin_ms >= to) back = i;
        if (lost) {
            EXPECT_FALSE(c.complete);
            EXPECT_EQ(c.status, u"Bridge FT232R lost");
            for (const SampleRecord& r : c.pass) EXPECT_EQ(r.valid, 0u);
            for (const std::u16string& text : c.shown) EXPECT_EQ(text, kNoReading);
        } else if (back && i > back) {
            EXPECT_TRUE(c.complete);
        }
    }
    ASSERT_GT(back, 2u);
    const size_t resumed = seen[back].complete ? back : back + 1;
    ASSERT_LT(resumed, seen.size());
    EXPECT_TRUE(seen[resumed].complete) << "within two periods";
    for (const SampleRecord& r : seen[resumed].pass) EXPECT_EQ(r.valid, 1u);
    EXPECT_EQ(seen[resumed].status, kBusRestoredText);
    EXPECT_TRUE(seen.back().a_on && seen.back().b_on);

    const std::vector<SampleList> passes = DayPasses();
    ASSERT_EQ(passes.size(), seen.size()) << "missed periods are recorded too";
    for (size_t i = 0; i < passes.size(); ++i) {
        ASSERT_EQ(passes[i].size(), 5u);
        const bool all_invalid = std::none_of(passes[i].begin(), passes[i].end(),
                                              [](const SampleRecord& r) { return r.valid; });
        EXPECT_EQ(all_invalid, !seen[i].complete) << "pass " << i + 1;
    }
}

// A sensor restarts during a conversion and shows its power-on 85.0 °C: that pass is "н/д" and
// its heater off, the next is a reading again. A sensor really at 85.0 °C reads in every pass.
TEST_F(TimedFaultTest, APowerOnValueIsNoReading) {
    RomCode hot = 0;
    Rig(
        [&](int cycle) {
            if (cycle == 3)
                world.ScheduleFault({.kind = sim::FaultKind::kPowerOn,
                                     .at_ms = world.RunMs() + 100,
                                     .device = watched});
        },
        [&] { hot = world.AddDs18b20(0, 0x200, sim::Thermal{85.0}, 12); });
    ASSERT_TRUE(Cycles(6));
    Close();
    for (size_t i = 0; i < seen.size(); ++i) {
        const CycleSeen& c = seen[i];
        SCOPED_TRACE("cycle " + std::to_string(i + 1));
        EXPECT_TRUE(c.complete);
        ASSERT_EQ(c.pass.size(), 6u);
        for (const SampleRecord& r : c.pass) {
            if (r.rom != watched) {
                EXPECT_EQ(r.valid, 1u);
            }
        }
        EXPECT_EQ(Of(c.pass, hot)->temperature, 85.0);
        EXPECT_EQ(Of(c.pass, watched)->valid, i == 2 ? 0u : 1u);
        EXPECT_EQ(c.shown[size_t(Row(watched))] == kNoReading, i == 2);
        EXPECT_EQ(c.a_on, i != 2);
    }
    EXPECT_EQ(engine->Bus().HealthOf(watched).power_on_values, 1u);
    const std::vector<SampleList> passes = DayPasses();
    ASSERT_EQ(passes.size(), seen.size());
    EXPECT_EQ(Of(passes[2], watched)->valid, 0u);
    EXPECT_EQ(Of(passes[3], watched)->valid, 1u);
}

// Bits flipped in 30 % of the echo bytes while one sensor is addressed, for 40 s: nothing that
// failed its check is stored as a reading, and the heater it drives does not chatter.
TEST_F(TimedFaultTest, CrcNoiseStoresNoFalseReadingAndDoesNotChatter) {
    Rig([&](int cycle) {
        if (cycle == 3)
            world.ScheduleFault({.kind = sim::FaultKind::kCrcNoise,
                                 .at_ms = world.RunMs(),
                                 .for_ms = 40000,
                                 .device = watched,
                                 .rate = 0.3});
    });
    ASSERT_TRUE(Cycles(26));
    Close();
    int switchings = 0;
    for (size_t i = 1; i < seen.size(); ++i) switchings += seen[i].a_on != seen[i - 1].a_on;
    RecordProperty("heater_switchings", switchings);
    EXPECT_LE(switchings, 3) << "on to off when the noise begins, back when it ends";
    EXPECT_TRUE(seen.back().a_on);
    EXPECT_GT(engine->Bus().HealthOf(watched).crc_failures +
                  engine->Bus().HealthOf(watched).missing_answers,
              0u);
    // Sensor i sits at 18 + i degrees with up to 1 degree of noise.
    const SampleList day = Day();
    ASSERT_EQ(day.size(), 5 * seen.size());
    for (const SampleRecord& r : day) {
        const double base =
            18.0 + double(std::find(codes.begin(), codes.end(), r.rom) - codes.begin());
        if (r.valid) {
            EXPECT_NEAR(r.temperature, base, 1.07) << Utf16ToUtf8(RomText(r.rom));
        }
    }
}

// The bridge comes back with another bus behind it: a sensor and a switch gone, two sensors
// new. The tables follow, every device keeps its entries by ROM code, those gone are named and
// kept for the settings file, the newcomers get names nobody has, and the live chart its series.
TEST_F(TimedFaultTest, ABridgeBackWithAnotherBusRefillsTheTablesByRomCode) {
    RomCode gone_switch = 0;
    std::vector<RomCode> added;
    Rig(
        [&](int cycle) {
            GridKalvo& t = engine->Thermometers();
            if (cycle == 1) {
                t.SetCellText(Row(codes[1]), GridKalvo::kColName, u"Котёл");
                t.SetCellColour(Row(codes[3]), GridKalvo::kColColour, Rgb(1, 2, 3));
                t.SetCellNumber(Row(codes[3]), GridKalvo::kColState, GridKalvo::kStateDisabled);
            }
            if (cycle == 3) world.SetUnplugged(0, true);
            if (cycle == 5) {
                world.SetAttached(codes[0], false);
                world.SetAttached(gone_switch, false);
                for (uint64_t id : {0x300, 0x301})
                    added.push_back(world.AddDs18b20(0, id, sim::Thermal{30.0}, 12));
                world.SetUnplugged(0, false);
            }
        },
        [&] { gone_switch = world.AddDs2413(0, 0x43); });
    ASSERT_TRUE(Cycles(7));
    Close();
    EXPECT_EQ(live.series, 6);

    const GridKalvo& t = engine->Thermometers();
    ASSERT_EQ(t.RowCount(), 6);
    EXPECT_EQ(Row(codes[0]), -1);
    EXPECT_EQ(t.ThermometerName(Row(codes[1])), u"Котёл");
    EXPECT_EQ(t.CellColour(Row(codes[3]), GridKalvo::kColColour), Rgb(1, 2, 3));
    EXPECT_EQ(t.CellNumber(Row(codes[3]), GridKalvo::kColState), GridKalvo::kStateDisabled);
    std::vector<std::u16string> names;
    for (int row = 0; row < t.RowCount(); ++row) names.push_back(t.ThermometerName(row));
    const std::vector<AbsentDevice> absent = t.Absent().List();
    ASSERT_EQ(absent.size(), 1u);
    EXPECT_EQ(absent[0].serial, RomText(codes[0]));
    names.push_back(absent[0].name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end()) << "no two share a name";

    const GridSw& s = engine->Switches();
    ASSERT_EQ(s.RowCount(), 1);
    EXPECT_EQ(s.SwitchRom(0), sw);
    EXPECT_EQ(s.CellText(0, GridSw::kColLowA), u"50");
    EXPECT_EQ(s.CellText(0, GridSw::kColThermometerA), t.ThermometerName(Row(watched)));
    ASSERT_EQ(s.Absent().List().size(), 1u);
    EXPECT_EQ(s.Absent().List()[0].serial, RomText(gone_switch));
    EXPECT_EQ(seen.at(4).status.rfind(u"Not on the bus, their settings are kept: thermometer ", 0),
              0u);

    const std::vector<SampleList> passes = DayPasses();
    ASSERT_EQ(passes.size(), seen.size());
    for (size_t i = 0; i < passes.size(); ++i) {
        EXPECT_EQ(passes[i].size(), i < 4 ? 5u : 6u) << i;
        EXPECT_EQ(Of(passes[i], codes[0]) != nullptr, i < 4) << i;
    }
    for (RomCode code : added) EXPECT_EQ(Of(passes.back(), code)->valid, 1u);
}

// A sensor's offset reaches the table, the live view, the day file, the thermostat and the
// listeners alike; a listener that throws costs nothing but one line on stderr.
TEST_F(TimedFaultTest, AnOffsetReachesEveryOutputAndListenersHearEveryPass) {
    HeardListener heard;
    ThrowingListener rude;
    Rig([&](int cycle) {
        if (cycle != 1) return;
        Rules rules;
        rules.sensors[watched].offset = 45.0;  // about 65 °C: its heater (50/60) stays off
        rules.sensors[codes[0]].offset = -0.25;
        program->SetRules(rules);
        program->AddListener(rude);
        program->AddListener(heard);
    });
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(Cycles(6));
    Close();
    program->RemoveListener(rude);
    program->RemoveListener(heard);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(err, "A pass listener failed in OnPass: queue full\n"), 1u) << err;
    EXPECT_EQ(CountOf(err, "A pass listener failed"), 1u) << "once per listener";

    const std::vector<SampleList> day = DayPasses();
    ASSERT_EQ(day.size(), seen.size());
    ASSERT_EQ(heard.passes.size(), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i + 1));
        const CycleSeen& c = seen[i];
        EXPECT_EQ(heard.passes[i].period, 2);
        ASSERT_EQ(heard.passes[i].samples.size(), 5u);
        for (size_t k = 0; k < 5; ++k) {
            const double value = c.pass[k].temperature;
            EXPECT_EQ(day[i][k].temperature, value);
            EXPECT_EQ(heard.passes[i].samples[k].temperature, value);
            EXPECT_EQ(heard.passes[i].time, day[i][k].time);
            EXPECT_EQ(c.shown[size_t(Row(c.pass[k].rom))], FormatRus(u"  %.2f", value));
        }
        const double hot = Of(c.pass, watched)->temperature;
        EXPECT_TRUE(hot > 63.0 && hot < 67.0) << hot;
        EXPECT_LT(Of(c.pass, codes[0])->temperature, 19.0 - 0.25 + 1.0);
        EXPECT_FALSE(c.a_on) << "controlled by the corrected value";
        EXPECT_TRUE(c.b_on);
    }
    ASSERT_FALSE(heard.channels.empty());
    const std::vector<ChannelState>& first = heard.channels.front();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].rom, sw);
    EXPECT_TRUE(first[0].driven && !first[0].on);
    EXPECT_EQ(first[0].name, engine->Thermometers().ThermometerName(Row(watched)));
    EXPECT_TRUE(first[1].on);
    EXPECT_EQ(heard.channels.size(), 1u) << "nothing changed after the first pass";
}

// A high limit below a sensor's reading and a sensor gone for 12 s (silent after 5 s): each raise
// and clear is one line of alarms.log, a status text, a mark on the row, an event for the
// listeners and a run of the alarm command with the event in its environment.
TEST_F(TimedFaultTest, AlarmsReachTheLogTheRowTheListenersAndTheCommand) {
    const std::string script = dir.File("notify"), out = dir.File("notified");
    WriteBytes(script,
               "#!/bin/sh\n"
               "echo \"$KALVO_ALARM_SENSOR $KALVO_ALARM_KIND $KALVO_ALARM_STATE\" >> \"$1\"\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    HeardListener heard;
    std::vector<AlarmKind> marks;  // the row's mark as each event is heard
    heard.on_alarm = [&](const AlarmEvent& e) {
        marks.push_back(engine->Thermometers().RowAlarm(Row(e.rom)));
    };
    Rig([&](int cycle) {
        if (cycle == 1) {
            Rules rules;
            rules.sensors[watched].silent_after = 5;
            rules.sensors[other].alarm_high = 20.5;  // it reads 21 to 23
            rules.alarm_command = script + " " + out;
            program->SetRules(rules);
            program->AddListener(heard);
        }
        if (cycle == 3)
            world.ScheduleFault({.kind = sim::FaultKind::kGone,
                                 .at_ms = world.RunMs(),
                                 .for_ms = 12000,
                                 .device = watched});
    });
    ASSERT_TRUE(Cycles(16));
    Close();
    program->RemoveListener(heard);

    using K = AlarmKind;
    const std::string hot = W1Id(other), gone = W1Id(watched);
    const std::vector<std::tuple<RomCode, K, K>> expected = {
        {other, K::kHigh, K::kOk}, {watched, K::kSilent, K::kOk}, {watched, K::kOk, K::kSilent}};
    ASSERT_EQ(heard.alarms.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(heard.alarms[i].rom, std::get<0>(expected[i]));
        EXPECT_EQ(heard.alarms[i].kind, std::get<1>(expected[i]));
        EXPECT_EQ(heard.alarms[i].cleared, std::get<2>(expected[i]));
        EXPECT_EQ(marks[i], std::get<1>(expected[i]));
    }
    // Its last valid reading was in cycle 2; the first pass 5 s after that is cycle 5.
    EXPECT_EQ(heard.alarms[1].time - heard.alarms[0].time, 8);
    EXPECT_EQ(engine->Thermometers().RowAlarm(Row(other)), K::kHigh);
    EXPECT_EQ(engine->Thermometers().RowAlarm(Row(watched)), K::kOk);

    std::vector<std::vector<std::string>> logged;
    std::istringstream log(ReadBytes(dir.File("alarms.log")));
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string f; std::getline(split, f, '\t');) fields.push_back(f);
        ASSERT_EQ(fields.size(), 6u) << line;
        logged.push_back({fields[1], fields[3], fields[4]});
    }
    EXPECT_EQ(logged, (std::vector<std::vector<std::string>>{{hot, "high", "raised"},
                                                             {gone, "silent", "raised"},
                                                             {gone, "silent", "cleared"}}));
    const auto texts = bar.Texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const auto& t) {
        return t.text.rfind(u"Alarm silent: ", 0) == 0;
    }));

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!(engine->AlarmCommandsIdle() && CountOf(ReadBytes(out), "\n") == 3) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ReadBytes(out),
              hot + " high raised\n" + gone + " silent raised\n" + gone + " silent cleared\n");
}

// Passes that outlast the period (a slow bridge for three cycles) are said in the status bar each
// period and once on stderr; once they fit again it is said once and the text goes.
TEST_F(TimedFaultTest, APassLongerThanThePeriodIsSaidUntilPassesFitAgain) {
    Rig([&](int cycle) {
        if (cycle == 3) world.SetLatencyMs(250);
        if (cycle == 6) world.SetLatencyMs(-1);
    });
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(Cycles(8));
    Close();
    const std::string err = ::testing::internal::GetCapturedStderr();
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i + 1));
        const bool slow = i >= 2 && i <= 4;
        EXPECT_EQ(seen[i].end_ms - seen[i].begin_ms > kPeriodMs, slow);
        EXPECT_EQ(seen[i].status == kOverPeriodText, slow);
    }
    EXPECT_EQ(CountOf(err, "Measurement takes longer than the period\n"), 1u) << err;
    EXPECT_EQ(CountOf(err, "Measurement fits the period again\n"), 1u) << err;
}

}  // namespace
}  // namespace kalvo
