// The engine end to end over the simulated bus: start-up paths with their texts, boxes and
// messages; cycles, batches, pause and resume, the period entry and the shutdown. The bus runs
// on a manual clock, the timer on a shrunken time base (2 us per engine ms: a 4 ms period).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <thread>

#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/common/text.h"
#include "core/engine/engine_test_util.h"
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

TEST_F(EngineTest, CyclesBatchesAndShutdown) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    for (double celsius : {21.5, -3.5, 100.0}) Sensor(celsius);
    switches = {world.AddDs2413(0, 0x42)};
    StoreSettings(kFlagMask);
    day_ops.refusals = 1;  // the first batch cannot be written at once
    StartUp();
    EXPECT_EQ(host.tray_hides + host.start_commands, 2);
    ASSERT_TRUE(Cycles(205));
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
    EXPECT_EQ(host.batch_sizes.at(0), 300u);
    EXPECT_EQ(host.batch_cycles.at(0), 100) << "the hundredth pass hands over";
    EXPECT_EQ(host.batch_cycles.at(1), 200);
    EXPECT_EQ(Day().size(), 600u) << "the first batch went with the second";
    EXPECT_EQ(bar.Marks().back(), std::make_pair(3, StatusBar::kMarkNone));

    Close();
    EXPECT_EQ(Day().size(), size_t(3 * host.Ended())) << "every pass recorded";
    EXPECT_FALSE(world.ChannelOn(switches[0], 0)) << "all off at exit";
    EXPECT_TRUE(engine->LoadSettings()) << "saved at exit";
}

TEST_F(EngineTest, SamplesThatCannotBeWrittenAtExitAreReported) {
    world.AddBridge("KALVO001", "FT232R USB UART");
    Sensor(21.5);
    StoreSettings(kFlagMask & ~uint16_t(4));  // no tray
    StartUp();
    ASSERT_TRUE(Cycles(3));
    day_ops.refusals = 1000;  // the day file is held elsewhere for good
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

    // Recording off: batches are built, but nothing reaches the disk, not even at exit.
    engine->SetOption(kFlagWriteDataFile, false);
    host.RunStartCommand();
    ASSERT_TRUE(Cycles(120));
    EXPECT_EQ(host.batch_sizes.size(), 1u);
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

// Thousands of fast cycles while another thread injects bus faults: nothing crashes, every pass
// that completed is in the day file once, and the samples held in memory stay bounded.
TEST_F(EngineTest, SoakWithRandomBusFaults) {
    constexpr int kCycles = 2500;
    SetNowSecondsSource(&NextSecond);
    const int b = world.AddBridge("KALVO001", "FT232R USB UART");
    for (double celsius : {19.0, 20.0, 21.0}) Sensor(celsius);
    const RomCode sw = world.AddDs2413(b, 0x42);
    StartUp(1);
    const std::vector<RomCode> order = engine->Bus().Thermometers();
    engine->Switches().SetCellText(0, 6, engine->Thermometers().ThermometerName(0));
    engine->Switches().SetCellText(0, 3, u"19,5");
    engine->Switches().SetCellText(0, 4, u"20");
    host.RunStartCommand();

    std::atomic<bool> stop{false};
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
                    world.ShortenNextReads(b, 3, 1);
                    break;
                case 4:
                    world.SetAttached(sw, rng() % 2 == 0);
                    break;
                case 5:
                    world.SetLineHeldLow(b, true);
                    std::this_thread::sleep_for(300us);
                    world.SetLineHeldLow(b, false);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
        for (RomCode s : codes) world.SetAttached(s, true);
    });
    const bool ran = host.Pump([&] { return host.Ended() >= kCycles; }, std::chrono::minutes(5));
    stop = true;
    faults.join();
    ASSERT_TRUE(ran);
    // Then the bridge goes away altogether: passes fail, the program still closes in order.
    world.SetUnplugged(b, true);
    ASSERT_TRUE(Cycles(kCycles + 20));
    Close();

    EXPECT_GE(host.batch_sizes.size(), size_t(kCycles / 200));
    // A batch the window thread was too late for is kept and joined by the next; that message
    // then finds nothing. Otherwise a batch holds 100 passes and at most one more pass.
    const auto late = std::count(host.batch_sizes.begin(), host.batch_sizes.end(), 0u);
    for (size_t size : host.batch_sizes) EXPECT_LE(size, 303u * (1 + late)) << "memory bounded";
    // Each pass is one run of equal time stamps, a prefix of the thermometers in table order.
    const SampleList day = Day();
    int complete = 0, partial = 0, invalid = 0;
    for (size_t i = 0, j = 0; i < day.size(); i = j) {
        for (; j < day.size() && day[j].time == day[i].time; ++j) {
            ASSERT_LT(j - i, order.size());
            EXPECT_EQ(day[j].rom, order[j - i]);
            invalid += day[j].valid == 0;
        }
        ASSERT_TRUE(i == 0 || day[i].time > day[i - 1].time);
        (j - i == order.size() ? complete : partial) += 1;
    }
    EXPECT_EQ(complete, host.Count(PostTarget::kLiveView, WM_APP_SAMPLES))
        << "every completed pass is recorded, once";
    EXPECT_GT(partial, 0);
    EXPECT_GT(invalid, 0);
}

}  // namespace
}  // namespace kalvo
