// The scenario file: round trips, the reference fixtures, rejected files and status texts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/common/file_ops.h"
#include "core/common/messages.h"
#include "core/common/paths.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/scenario/grid_sn.h"
#include "core/scenario/scenario_file.h"
#include "core/scenario/scenario_run.h"
#include "core/scenario/scenario_shell.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;

std::string Fixture(const char* name) {
    return std::string(KALVO_TEST_DATA) + "/scenario/" + name;
}

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::vector<std::u16string> AllTexts(const GridSn& grid) {
    std::vector<std::u16string> texts;
    for (int r = 0; r < grid.RowCount(); ++r)
        for (int c = 0; c < grid.ColumnCount(); ++c) texts.push_back(grid.CellText(r, c));
    return texts;
}

class ScenarioFile : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kalvo_snr_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        SetProgramFolderForTesting("");
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string Path(const char* name) const { return dir + "/" + name; }
    std::vector<std::u16string> PaneTexts() const {
        std::vector<std::u16string> texts;
        for (const auto& e : status.Texts()) {
            EXPECT_EQ(e.pane, kPaneMain);
            texts.push_back(e.text);
        }
        return texts;
    }

    std::string dir;
    RecordingStatusBar status;
};

TEST_F(ScenarioFile, GridRecordFileGridRoundTrip) {
    GridSn grid;
    grid.UserSetText(0, 1, u"Режим «А»");
    grid.UserSetNumber(0, 2, 3);
    grid.UserSetText(0, 3, u"0:5:0");
    grid.UserSetText(0, 4, u"1:30:0; -10/-5");
    grid.UserSetText(0, 5, u"2:0:0;25");  // thresholds of a fresh record: 0/0
    grid.UserSetText(9, 19, u"1000:0:0; -200/2000");
    const std::string path = Path("a.snr");
    const ScenarioFileResult saved = SaveScenarios(grid, path);
    EXPECT_TRUE(saved.ok);
    EXPECT_EQ(saved.status, u"Запись файла сценария выполнена");
    EXPECT_EQ(fs::file_size(path), 5408u);

    GridSn loaded;
    loaded.UserSetText(3, 1, u"будет заменено");
    const ScenarioFileResult result = LoadScenarios(loaded, path);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.status, u"");
    EXPECT_EQ(loaded.StoreAll(), grid.StoreAll());
    EXPECT_EQ(loaded.CellText(0, 5), u"2:0:0; 0/0");
    EXPECT_EQ(loaded.CellText(3, 1), u"Sn_4");

    // What a loaded grid shows saves back to the same bytes.
    ASSERT_TRUE(SaveScenarios(loaded, Path("b.snr")).ok);
    EXPECT_EQ(ReadAll(Path("b.snr")), ReadAll(path));
}

TEST_F(ScenarioFile, ReferenceFixtures) {
    GridSn grid;
    grid.RestartAll();
    ASSERT_TRUE(LoadScenarios(grid, Fixture("programmes_in.snr")).ok);
    // Number fields are all 0 in this file: the position decides the row.
    EXPECT_EQ(grid.CellText(0, 1), u"Закалка");
    EXPECT_EQ(grid.CellNumber(0, 2), 2);
    EXPECT_EQ(grid.CellText(0, 3), u"0:1:0;");
    EXPECT_EQ(grid.CellText(0, 4), u"0:10:0; 20/30");
    EXPECT_EQ(grid.CellText(0, 5), u"0:20:0; -10/-5");
    EXPECT_EQ(grid.CellText(2, 1), u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcde");  // 32 units, no NUL
    EXPECT_EQ(grid.CellText(2, 4), u"1193046:28:15; -2147483648/2147483647");
    // The junk start times, flags and step flags of the file are not taken over.
    const ScenarioRecord r0 = grid.Record(0);
    EXPECT_EQ(r0.flags, kScenarioActive | kScenarioHasCycles | kScenarioHasDelay);
    EXPECT_EQ(r0.steps[0].flags, kStepDefined);
    EXPECT_NE(r0.start_time, 0x1122334455667788);

    ASSERT_TRUE(SaveScenarios(grid, Path("out.snr")).ok);
    EXPECT_EQ(ReadAll(Path("out.snr")), ReadAll(Fixture("programmes_saved.snr")));
}

TEST_F(ScenarioFile, RejectedFilesChangeNothing) {
    const std::vector<char> good = ReadAll(Fixture("programmes_in.snr"));
    ASSERT_EQ(good.size(), 5408u);
    struct Case {
        const char* label;
        std::vector<char> bytes;
    };
    std::vector<char> longer = good;
    longer.resize(5746);
    std::vector<char> huge(1 << 20, '\x7f');
    const Case cases[] = {
        {"one byte short", std::vector<char>(good.begin(), good.end() - 1)},
        {"one record more", longer},
        {"empty", {}},
        {"one record", std::vector<char>(good.begin(), good.begin() + 338)},
        {"large", huge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteAll(Path("bad.snr"), c.bytes);
        GridSn grid;
        const auto before = AllTexts(grid);
        const auto result = LoadScenarios(grid, Path("bad.snr"));
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.status, u"Файл сценария испорчен");
        EXPECT_EQ(AllTexts(grid), before);
    }

    // Files that cannot be opened say nothing themselves.
    GridSn grid;
    ASSERT_EQ(mkfifo(Path("pipe.snr").c_str(), 0600), 0);  // must not wait for a writer
    for (const std::string& path : {Path("missing.snr"), dir, Path("pipe.snr"), std::string("")}) {
        const auto result = LoadScenarios(grid, path);
        EXPECT_FALSE(result.ok) << path;
        EXPECT_EQ(result.status, u"") << path;
    }
    EXPECT_EQ(SaveScenarios(grid, dir).status, u"Ошибка открытия файла сценария");
}

TEST_F(ScenarioFile, SavingReplacesALongerFile) {
    WriteAll(Path("old.snr"), std::vector<char>(20000, 'x'));
    GridSn grid;
    EXPECT_TRUE(SaveScenarios(grid, Path("old.snr")).ok);
    EXPECT_EQ(fs::file_size(Path("old.snr")), 5408u);
}

// "No sharing": a file another opener holds is neither read nor emptied.
TEST_F(ScenarioFile, FilesInUseAreRefused) {
    GridSn grid;
    const std::string path = Path("busy.snr");
    ASSERT_TRUE(SaveScenarios(grid, path).ok);
    const auto bytes = ReadAll(path);
    {
        SHELL::CScenarioFile holder;
        ASSERT_TRUE(holder.Open(path, SHELL::CScenarioFile::Mode::kReadExisting));
        EXPECT_EQ(SaveScenarios(grid, path).status, u"Ошибка открытия файла сценария");
        EXPECT_EQ(ReadAll(path), bytes);
        const auto result = LoadScenarios(grid, path);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.status, u"");
    }
    EXPECT_TRUE(LoadScenarios(grid, path).ok);
}

TEST_F(ScenarioFile, WriteFailureIsReportedAndTheFileRejected) {
    GridSn grid;
    const std::string path = Path("full.snr");
    // A file size limit of 1000 bytes: the third record cannot be written.
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const ScenarioFileResult result = SaveScenarios(grid, path);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.status, u"Ошибка при записи файла сценария");
    EXPECT_LE(fs::file_size(path), 1000u);
    EXPECT_GE(fs::file_size(path), 676u);  // the records written so far stay
    EXPECT_EQ(LoadScenarios(grid, path).status, u"Файл сценария испорчен");
}

// Single system calls failing, through the file seam the archive shares.
struct FailingOps : SHELL::FileOps {
    bool fail_truncate = false, fail_close = false, short_read = false;
    bool Truncate(int handle, uint64_t size) override {
        return !fail_truncate && FileOps::Truncate(handle, size);
    }
    bool Close(int handle) override { return FileOps::Close(handle) && !fail_close; }
    int64_t Read(int handle, void* buffer, size_t n) override {
        const int64_t got = FileOps::Read(handle, buffer, n);
        return short_read && got > 0 ? got - 1 : got;
    }
};

TEST_F(ScenarioFile, SystemFailuresAreReported) {
    GridSn grid;
    grid.UserSetText(0, 1, u"Первый");
    const std::string path = Path("ops.snr");
    ASSERT_TRUE(SaveScenarios(grid, path).ok);
    const auto bytes = ReadAll(path);
    grid.UserSetText(0, 1, u"Второй");

    FailingOps no_truncate;
    no_truncate.fail_truncate = true;  // the old content is not half replaced
    EXPECT_EQ(SaveScenarios(grid, path, no_truncate).status, u"Ошибка открытия файла сценария");
    EXPECT_EQ(ReadAll(path), bytes);

    FailingOps late_error;
    late_error.fail_close = true;  // a late write error is still a failed save
    const ScenarioFileResult late = SaveScenarios(grid, path, late_error);
    EXPECT_FALSE(late.ok);
    EXPECT_EQ(late.status, u"Ошибка при записи файла сценария");

    FailingOps short_read;
    short_read.short_read = true;
    const auto before = AllTexts(grid);
    EXPECT_EQ(LoadScenarios(grid, path, short_read).status, u"Файл сценария испорчен");
    EXPECT_EQ(AllTexts(grid), before);
}

TEST_F(ScenarioFile, ButtonsWithTheDialog) {
    SetProgramFolderForTesting(dir);
    const std::string folder = ScenarioFolder();
    ASSERT_FALSE(fs::exists(folder));
    GridSn grid;
    std::string offered;
    auto choose = [&](std::optional<std::string> answer) {
        return [&offered, answer](const std::string& start) {
            offered = start;
            return answer;
        };
    };

    // Cancelled save: nothing said. The folder exists for the dialog to start in.
    SaveScenariosWithDialog(grid, choose(std::nullopt), &status);
    EXPECT_TRUE(PaneTexts().empty());
    EXPECT_EQ(offered, folder);
    EXPECT_TRUE(fs::is_directory(folder));

    fs::remove_all(folder);  // a first save into a missing folder still works
    const std::string path = folder + "/first.snr";
    SaveScenariosWithDialog(grid, choose(path), &status);
    EXPECT_EQ(PaneTexts(), std::vector<std::u16string>{u"Запись файла сценария выполнена"});
    EXPECT_EQ(fs::file_size(path), 5408u);

    status.Clear();
    EXPECT_FALSE(LoadScenariosWithDialog(grid, choose(std::nullopt), &status));
    EXPECT_EQ(PaneTexts(), std::vector<std::u16string>{u"Ошибка загрузки файла сценария"});

    status.Clear();
    WriteAll(Path("short.snr"), std::vector<char>(5407, 0));
    EXPECT_FALSE(LoadScenariosWithDialog(grid, choose(Path("short.snr")), &status));
    EXPECT_EQ(
        PaneTexts(),
        (std::vector<std::u16string>{u"Ошибка загрузки файла сценария: Файл сценария испорчен"}));
    status.Clear();
    EXPECT_FALSE(LoadScenariosWithDialog(grid, choose(Path("missing.snr")), &status));
    EXPECT_EQ(PaneTexts(), (std::vector<std::u16string>{
                               u"Ошибка загрузки файла сценария: Ошибка открытия файла сценария"}));

    // A good load says nothing, unless a failure is showing: that goes.
    status.Clear();
    std::string loaded;
    EXPECT_TRUE(LoadScenariosWithDialog(grid, choose(path), &status, false, &loaded));
    EXPECT_TRUE(PaneTexts().empty());
    EXPECT_EQ(loaded, path);
    EXPECT_TRUE(LoadScenariosWithDialog(grid, choose(path), &status, true));
    EXPECT_EQ(PaneTexts(), std::vector<std::u16string>{u""});
}

// The run state file: a round trip, and every kind of damage refused as a whole.
TEST(ScenarioRunFile, RoundTripAndDamageRefused) {
    ScenarioRunState state;
    state.mode = ScenarioRunState::Mode::kRunning;
    state.runs = {{0, 1717232400, 2, false, 0x0123456789abcdefull},
                  {15, -5, 0, true, 0xffffffffffffffffull}};
    const std::string text = EncodeRunState(state);
    EXPECT_EQ(DecodeRunState(text), state);
    for (auto mode : {ScenarioRunState::Mode::kPaused, ScenarioRunState::Mode::kClosed}) {
        const ScenarioRunState other{mode, {}};
        EXPECT_EQ(DecodeRunState(EncodeRunState(other)), other);
    }
    const size_t run = text.find("run 15");
    std::string flipped = text, foreign = text, torn = text.substr(0, text.size() - 5);
    flipped[run + 4] = '4';
    foreign.replace(0, 5, "KALVO");
    const std::string damaged[] = {
        "", torn, flipped, foreign, text + "x", text + "end 0\n", text.substr(0, run)};
    for (const std::string& bad : damaged) EXPECT_FALSE(DecodeRunState(bad)) << bad;
}

}  // namespace
}  // namespace kalvo
