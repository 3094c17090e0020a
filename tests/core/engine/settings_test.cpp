// setting.stg: the byte layout against a hand-made reference file (tests/data/engine), the load
// rules, every load failure with what stays applied, saves that fail and why, the devices that
// miss a start, and a failed file set aside. Also what else the data folder keeps for the next
// start: where scenarios stand, and the last scenario file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/common/text.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/file_setting.h"
#include "core/engine/scenario_keeper.h"
#include "core/scenario/scenario_file.h"

namespace kalvo {
namespace {

using namespace testing_util;

// The values of make_reference.py.
const std::u16string kLong = u"Термометр в подвале под лестницей дома";
const std::string kReference = KALVO_TEST_DATA "/engine/reference.stg";

class SettingsTest : public ::testing::Test {
  protected:
    void Fresh() {
        peer = FakePeer();
        t.Fill(std::vector<RomCode>{0x6F00000123456728, 0x0100000ABCDEF028});
        s.Fill(std::vector<RomCode>{0x9A0000000ABCDE3A});
    }
    SettingsTest() { Fresh(); }
    void SetReferenceState() {
        peer.background = 0x00302010, peer.grid = 0x00C0C0C0, peer.period = 5, peer.flags = 5;
        peer.rect = {10, 20, 810, 620};
        t.SetCellText(0, 2, u"Котёл");
        t.SetCellColour(0, 5, 0x004763FF);
        t.SetCellNumber(1, 4, 1);
        t.SetCellText(1, 2, kLong);
        t.SetCellColour(1, 5, 0x0032CD9A);
        const std::u16string a[] = {u"Пол", u"20,5", u"22", u"", u"Котёл"};
        for (int i = 0; i < 5; ++i) s.SetCellText(0, 2 + i, a[i]);
        s.SetCellText(0, 9, kLong);
        s.SetCellNumber(0, 12, 16);
        s.SetCellNumber(0, 14, 1);
    }
    static std::vector<uint8_t> Reference() {
        const std::string bytes = ReadBytes(kReference);
        return {bytes.begin(), bytes.end()};
    }
    static void Seal(std::vector<uint8_t>& image) {
        image.back() = Crc8(image.data(), image.size() - 1, 0xFF);
    }
    bool Load(const std::string& path, SettingsError* why) {
        return SHELL::CFileSetting().Load(path, peer, t, s, why);
    }

    FakePeer peer;
    GridKalvo t;
    GridSw s;
    TempDir dir;
};

TEST_F(SettingsTest, SaveAndLoadTheReference) {
    SetReferenceState();
    const std::string path = dir.File("setting.stg");
    ASSERT_TRUE(SHELL::CFileSetting().Save(path, peer, t, s));
    EXPECT_EQ(ReadBytes(path), ReadBytes(kReference));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only between runs";
    ASSERT_TRUE(SHELL::CFileSetting().Save(path, peer, t, s)) << "over the read-only file";
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    Fresh();
    SettingsError why;
    ASSERT_TRUE(Load(kReference, &why)) << SettingsErrorText(why);
    EXPECT_EQ(peer.background, 0x00302010u);
    EXPECT_EQ(peer.period, 5);
    EXPECT_EQ(peer.flags, 5);
    EXPECT_EQ(peer.rect, (WindowRect{10, 20, 810, 620}));
    EXPECT_EQ(t.ThermometerName(1), kLong.substr(0, 31));
    EXPECT_EQ(t.CellNumber(1, 4), 1);
    EXPECT_EQ(t.ThermometerColour(1), 0x0032CD9Au);
    EXPECT_EQ(s.CellText(0, 3), u"20,5");
    EXPECT_EQ(s.CellText(0, 9), kLong.substr(0, 31));
    EXPECT_EQ(s.CellNumber(0, 12), 16);
    EXPECT_EQ(s.CellText(0, 14), u"Охладитель");
}

TEST_F(SettingsTest, LoadRules) {
    // Offsets: period 36, flags 38, rectangle 40, first record 94 (serial at 95), second 197.
    std::vector<uint8_t> image = Reference();
    image[36] = 11;
    image[38] = 0x02;
    for (int i = 40; i < 44; ++i) image[size_t(i)] = 0xF8;  // left -8
    image[197] = 0x11;
    image[95] ^= 0x01;  // the first serial is no longer on the bus
    Seal(image);
    ASSERT_TRUE(ApplySettingsImage(image, peer, t, s));
    EXPECT_EQ(peer.period, 2);
    EXPECT_EQ(peer.flags, 2) << "flags apply whatever the period";
    EXPECT_EQ(peer.rect, (WindowRect{0, 0, 600, 800}));
    EXPECT_EQ(t.ThermometerName(0), u"Термометр 1");
    EXPECT_EQ(t.CellNumber(1, 4), 1);
}

TEST_F(SettingsTest, EveryLoadFailureAndWhatStaysApplied) {
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> change;
        SettingsError error;
        bool rect_applied, names_applied;
    } cases[] = {
        {"last byte", [](auto& b) { b.back() ^= 1; }, SettingsError::kCheckByte, false, false},
        {"one byte shorter", [](auto& b) { b.pop_back(); }, SettingsError::kCheckByte, 0, 0},
        {"header", [](auto& b) { b[2] = 'X', Seal(b); }, SettingsError::kHeader, false, false},
        {"thermometer marker", [](auto& b) { b[60] = 'X', Seal(b); },
         SettingsError::kThermometerMarker, true, false},
        {"switch marker", [](auto& b) { b[304] = 'X', Seal(b); }, SettingsError::kSwitchMarker,
         true, true},
        {"count beyond the end", [](auto& b) { b[92] = 7, Seal(b); }, SettingsError::kShort, true,
         true},
        {"inside the rectangle", [](auto& b) { b.resize(48), b.push_back(0), Seal(b); },
         SettingsError::kShort, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        std::vector<uint8_t> image = Reference();
        c.change(image);
        WriteBytes(dir.File("bad.stg"), std::string(image.begin(), image.end()));
        SettingsError why;
        EXPECT_FALSE(Load(dir.File("bad.stg"), &why));
        EXPECT_EQ(why, c.error) << SettingsErrorText(why);
        EXPECT_EQ(peer.rect == (WindowRect{10, 20, 810, 620}), c.rect_applied);
        EXPECT_EQ(t.ThermometerName(0) == u"Котёл", c.names_applied);
        EXPECT_EQ(s.CellText(0, 3), u"");
    }
    SettingsError why;
    EXPECT_FALSE(Load(dir.File("missing.stg"), &why));
    EXPECT_EQ(why, SettingsError::kOpen);
    WriteBytes(dir.File("empty.stg"), "");
    EXPECT_FALSE(Load(dir.File("empty.stg"), &why));
    EXPECT_EQ(why, SettingsError::kEmpty);
}

// A save that fails part-way leaves the previous settings whole and read-only.
TEST_F(SettingsTest, FailedSaveKeepsThePreviousFile) {
    struct FailingWrite : SHELL::SettingFileOps {
        bool Write(int, const void*, size_t) override { return false; }
    } failing_write;
    struct FailingReplace : SHELL::SettingFileOps {
        bool Replace(const std::string&, const std::string&) override { return false; }
    } failing_replace;
    SetReferenceState();
    const std::string path = dir.File("setting.stg");
    ASSERT_TRUE(SHELL::CFileSetting().Save(path, peer, t, s));
    peer.period = 9;
    EXPECT_FALSE(SHELL::CFileSetting(failing_write).Save(path, peer, t, s));
    EXPECT_FALSE(SHELL::CFileSetting(failing_replace).Save(path, peer, t, s));
    EXPECT_EQ(ReadBytes(path), ReadBytes(kReference));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
}

// Each failed save says where and why; an empty path (nowhere to save) says nothing.
TEST_F(SettingsTest, FailedSaveSaysWhy) {
    struct FailingSync : SHELL::SettingFileOps {
        bool SyncFile(const std::string&) override { return errno = EIO, false; }
    } failing_sync;
    const std::string folder = dir.File("setting.stg");
    std::filesystem::create_directory(folder);
    std::u16string why;
    EXPECT_FALSE(SHELL::CFileSetting().Save(folder, peer, t, s, &why));
    EXPECT_EQ(why,
              Utf8ToUtf16("The settings could not be saved to " + folder + ": it is a folder."));
    EXPECT_FALSE(std::filesystem::exists(folder + ".tmp"));

    const std::string path = dir.File("other.stg");
    EXPECT_FALSE(SHELL::CFileSetting(failing_sync).Save(path, peer, t, s, &why));
    EXPECT_EQ(why, Utf8ToUtf16("The settings could not be saved to " + path + ": cannot flush " +
                               path + ".tmp to the disk (" + std::strerror(EIO) + ")."));
    EXPECT_FALSE(SHELL::CFileSetting().Save(dir.File("none/setting.stg"), peer, t, s, &why));
    EXPECT_NE(why.find(u"cannot create"), std::u16string::npos) << Utf16ToUtf8(why);

    EXPECT_FALSE(SHELL::CFileSetting().Save("", peer, t, s, &why));
    EXPECT_EQ(why, u"");
    EXPECT_TRUE(SHELL::CFileSetting().Save(path, peer, t, s, &why));
    EXPECT_EQ(why, u"");
}

// A thermometer and the switch miss one start: their records come back with them, after the
// rows present, in a file that older readers take alike.
TEST_F(SettingsTest, DevicesMissingForOneStartKeepTheirSettings) {
    SetReferenceState();
    const std::string path = dir.File("setting.stg");
    ASSERT_TRUE(SHELL::CFileSetting().Save(path, peer, t, s));

    // Second start: only the second thermometer is on the bus.
    GridKalvo t2;
    GridSw s2;
    t2.Fill(std::vector<RomCode>{0x0100000ABCDEF028});
    s2.Fill(std::vector<RomCode>{});
    SettingsError why;
    ASSERT_TRUE(SHELL::CFileSetting().Load(path, peer, t2, s2, &why)) << SettingsErrorText(why);
    EXPECT_EQ(t2.ThermometerName(0), kLong.substr(0, 31));
    EXPECT_EQ(AbsentDevicesText(t2, s2),
              u"Not on the bus, their settings are kept: thermometer Котёл (6f00000123456728), "
              u"switch Пол/" +
                  kLong.substr(0, 31) + u" (9a0000000abcde3a)");
    EXPECT_EQ(AbsentDevicesText(t, s), u"") << "nothing loaded, nothing absent";
    t2.SetCellText(0, GridKalvo::kColName, u"Чердак");
    ASSERT_TRUE(SHELL::CFileSetting().Save(path, peer, t2, s2));
    const std::string second = ReadBytes(path);
    ASSERT_EQ(second.size(), ReadBytes(kReference).size());
    std::u16string first_serial;  // of the first thermometer record, at offset 95
    for (size_t at = 95; second[at] != 0; at += 2) first_serial += char16_t(second[at]);
    EXPECT_EQ(first_serial, u"100000abcdef028") << "the row present comes first";

    // Third start: all are back, with what they had and what changed meanwhile.
    Fresh();
    ASSERT_TRUE(Load(path, &why)) << SettingsErrorText(why);
    EXPECT_EQ(t.ThermometerName(0), u"Котёл");
    EXPECT_EQ(t.ThermometerColour(0), 0x004763FFu);
    EXPECT_EQ(t.ThermometerName(1), u"Чердак");
    EXPECT_EQ(s.CellText(0, 3), u"20,5");
    EXPECT_EQ(s.CellText(0, 9), kLong.substr(0, 31));
    EXPECT_EQ(s.CellNumber(0, 12), 16);
    EXPECT_EQ(AbsentDevicesText(t, s), u"");
    ASSERT_TRUE(SHELL::CFileSetting().Save(path, peer, t, s));
    t.SetCellText(1, GridKalvo::kColName, kLong);
    ASSERT_TRUE(SHELL::CFileSetting().Save(dir.File("again.stg"), peer, t, s));
    EXPECT_EQ(ReadBytes(dir.File("again.stg")), ReadBytes(kReference));

    // A record kept twice over loads keeps one copy.
    ASSERT_TRUE(SHELL::CFileSetting().Load(path, peer, t2, s2, &why));
    ASSERT_TRUE(SHELL::CFileSetting().Load(path, peer, t2, s2, &why));
    EXPECT_EQ(t2.Absent().List().size(), 1u);
    EXPECT_EQ(s2.Absent().List().size(), 1u);
}

// Start-up after a failed load: a first start is no fault; a broken file goes aside once.
TEST_F(SettingsTest, FailedFileIsSetAside) {
    const std::string path = dir.File("setting.stg");
    SettingsNotice notice =
        SetAsideFailedSettings(path, SettingsError::kOpen, SHELL::DefaultSettingFileOps());
    EXPECT_EQ(notice.status, u"No settings file yet, the default settings are in use");
    EXPECT_EQ(notice.box, u"");

    WriteBytes(path + ".bad", "older");
    WriteBytes(path, "broken");
    notice =
        SetAsideFailedSettings(path, SettingsError::kCheckByte, SHELL::DefaultSettingFileOps());
    EXPECT_EQ(notice.status, u"The settings file is corrupted");
    EXPECT_EQ(notice.box, Utf8ToUtf16("The settings file " + path +
                                      " cannot be used (check byte mismatch). It is kept as " +
                                      path + ".bad; the default settings are in use."));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(ReadBytes(path + ".bad"), "broken");
    EXPECT_EQ(
        SetAsideFailedSettings(path, SettingsError::kOpen, SHELL::DefaultSettingFileOps()).box, u"")
        << "said once";

    std::filesystem::create_directory(path);
    notice = SetAsideFailedSettings(path, SettingsError::kOpen, SHELL::DefaultSettingFileOps());
    EXPECT_EQ(notice.status, u"The settings file is corrupted");
    EXPECT_EQ(notice.box, Utf8ToUtf16(path + " is a folder, not a settings file: the default "
                                             "settings are in use, and the settings of this run "
                                             "cannot be saved."));
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(ReadBytes(path + ".bad"), "broken");
}

// What the data folder keeps for the next start: a three-step scenario (100 s, 200 s, 300 s; two
// cycles) ended by a kill continues where it was, the time it was down counted as elapsed;
// after an orderly close, a pause, a changed scenario or a damaged file it starts again.
TEST(ScenarioKeeperTest, AKilledRunContinuesAnyOtherStartsAgain) {
    enum End { kKilled, kOrderly, kPaused, kEdited, kDamaged };
    struct Case {
        End end;
        int64_t run_s, down_s;
        int step;  // where it is on the next start
        int64_t left_s, cycles_done;
    } cases[] = {
        {kKilled, 150, 30, 1, 120, 0},  {kKilled, 550, 200, 1, 150, 1},
        {kKilled, 50, 0, 0, 50, 0},     {kOrderly, 150, 30, 0, 100, 0},
        {kPaused, 150, 30, 0, 100, 0},  {kEdited, 150, 30, 0, 100, 0},
        {kDamaged, 150, 30, 0, 100, 0},
    };
    const int64_t ends[] = {100, 300, 600};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.end)) + " after " + std::to_string(c.run_s));
        TempDir dir;
        int64_t now = 1'717'232'400;
        GridSn grid;
        grid.SetTimeSource([&] { return now; });
        grid.SetCellNumber(0, GridSn::kColCycles, 2);
        grid.SetCellText(0, GridSn::kColFirstStep, u"0:1:40;20/22");
        grid.SetCellText(0, GridSn::kColFirstStep + 1, u"0:3:20;25/30");
        grid.SetCellText(0, GridSn::kColFirstStep + 2, u"0:5:0;30/35");
        grid.SetCellText(0, GridSn::kColFirstStep + 3, u"0:0:0;");
        {
            ScenarioKeeper keeper(dir.path());
            EXPECT_EQ(keeper.Start(grid), u"");
            now += c.run_s;
            grid.FindActiveStep(0);
            keeper.Pass(grid);
            if (c.end == kOrderly) keeper.Close(grid);
            if (c.end == kPaused) keeper.Pause(grid);
        }
        if (c.end == kEdited) grid.SetCellText(0, GridSn::kColFirstStep, u"0:1:41;20/22");
        if (c.end == kDamaged) {
            const std::string path = dir.File(kScenarioRunFileName);
            std::string text = ReadBytes(path);
            text[text.size() / 2] ^= 1;
            WriteBytes(path, text);
        }
        now += c.down_s;
        ::testing::internal::CaptureStderr();
        ScenarioKeeper keeper(dir.path());
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.empty(), c.end != kDamaged) << err;
        EXPECT_EQ(keeper.ResumePending(), c.end == kKilled || c.end == kEdited);
        const std::u16string said = keeper.Start(grid);
        const bool continued = c.end == kKilled;
        EXPECT_EQ(said, continued ? std::u16string(kScenariosResumedText) + u"Sn_1 step " +
                                        ToU16(c.step + 1)
                                  : u"");
        EXPECT_EQ(grid.FindActiveStep(0), c.step);
        EXPECT_EQ(grid.Record(0).start_time + ends[c.step] - now, c.left_s);
        EXPECT_EQ(grid.CompletedCycles(0), c.cycles_done);
    }
}

TEST(ScenarioKeeperTest, TheLastScenarioFileIsRemembered) {
    TempDir dir;
    GridSn grid;
    grid.SetCellText(0, GridSn::kColName, u"Брожение");
    ASSERT_TRUE(SaveScenarios(grid, dir.File("a.snr")).ok);
    grid.Build();
    {
        ScenarioKeeper keeper(dir.path());
        EXPECT_EQ(keeper.LastScenarioFile(), "");
        EXPECT_FALSE(keeper.LoadScenarioFile(grid, dir.File("missing.snr")).ok);
        EXPECT_EQ(keeper.LastScenarioFile(), "");
        EXPECT_TRUE(keeper.LoadScenarioFile(grid, dir.File("a.snr")).ok);
    }
    grid.Build();
    ScenarioKeeper keeper(dir.path());
    EXPECT_EQ(keeper.LastScenarioFile(), dir.File("a.snr"));
    EXPECT_TRUE(keeper.LoadScenarioFile(grid, keeper.LastScenarioFile()).ok);
    EXPECT_EQ(grid.CellText(0, GridSn::kColName), u"Брожение");
}

}  // namespace
}  // namespace kalvo
