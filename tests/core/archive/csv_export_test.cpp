#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "archive_test_util.h"
#include "core/archive/csv_export.h"
#include "core/common/message_box.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

using namespace testing_util;

TEST(CsvExport, ReferenceDayGivesTheReferenceBytes) {
    TempDir dir;
    const std::string out = dir.File("day7.csv");
    WriteBytes(out, "old content that must go");
    ASSERT_EQ(ExportCsv(Data("reference.dat"), out), CsvResult::kOk);
    EXPECT_EQ(ReadBytes(out), ReadBytes(Data("reference.csv")));
}

TEST(CsvExport, TemperaturesReadLikeFormatRus) {
    std::vector<double> values = {0.0,   -0.0,   0.125, 0.375,  -12.875, 23.4375,
                                  2.675, -0.004, 0.005, 99.995, 1e14,    -1e14 - 0.25,
                                  1e15,  -3e20,  1e300, 5e-324, -5.0625, 85.0};
    for (int i = -880; i <= 2000; ++i) values.push_back(i * 0.0625);  // every sensor step
    for (int i = -1000; i <= 1000; ++i) values.push_back(i * 0.001 + 0.0005);
    values.push_back(std::numeric_limits<double>::infinity());
    values.push_back(-std::numeric_limits<double>::infinity());
    values.push_back(std::numeric_limits<double>::quiet_NaN());
    values.push_back(-std::numeric_limits<double>::quiet_NaN());
    for (double v : values) {
        std::u16string got;
        AppendTemperature(got, v);
        EXPECT_EQ(got, FormatRus(u"%.2f", v)) << v;
    }
}

TEST(CsvExport, LinesFollowThePassesOfTheFile) {
    // Passes of unequal size, and a clock stepped back at 10:00:30: every line holds the records
    // of exactly one time stamp.
    const int64_t t = 1267945200;  // 07.03.2010 10:00:00 local
    SampleList day = {Rec(0x28, u"a", 1, t),      Rec(0x128, u"b", 2, t),
                      Rec(0x28, u"a", 3, t + 60), Rec(0x128, u"b", 4, t + 60),
                      Rec(0x228, u"", 5, t + 60), Rec(0x28, u"a", 6, t + 30),
                      Rec(0x28, u"a", 7, t + 90)};
    TempDir dir;
    WriteBytes(dir.File("day.dat"), DayImage(2, day));
    ASSERT_EQ(ExportCsv(dir.File("day.dat"), dir.File("out.csv")), CsvResult::kOk);
    EXPECT_EQ(DecodeCp1251(ReadBytes(dir.File("out.csv"))),
              u"Дата;Время;Терм. 1;Значение;Терм. 2;Значение;\r\n"
              u"07.03.10;10:00:00;a;1,00;b;2,00;\r\n"
              u"07.03.10;10:01:00;a;3,00;b;4,00;228;5,00;\r\n"
              u"07.03.10;10:00:30;a;6,00;\r\n"
              u"07.03.10;10:01:30;a;7,00;\r\n");

    std::u16string line;
    SampleRecord odd = Rec(0x10, u"x\ny\n", -0.5, t, 0);
    AppendCsvLine(line, std::span<const SampleRecord>(&odd, 1));
    EXPECT_EQ(line, u"07.03.10;10:00:00;x\ny;н/д;\n");  // only the last line feed goes
    EXPECT_EQ(BuildCsvHeader(0), u"Дата;Время;\n");
}

TEST(CsvExport, EveryFailureHasItsMessage) {
    TempDir dir;
    const std::string day = dir.File("day.dat");
    WriteBytes(day, DayImage(1, {Rec(kRomA, u"a", 1, kT0)}));

    EXPECT_EQ(ExportCsv(day, ""), CsvResult::kNoPath);
    EXPECT_EQ(ExportCsv(day, dir.File("no/such/folder.csv")), CsvResult::kCannotOpen);

    // An unreadable day leaves an existing target as it was.
    const std::string out = dir.File("out.csv");
    WriteBytes(out, "previous export");
    WriteBytes(dir.File("torn.dat"), ReadBytes(day) + "x");
    EXPECT_EQ(ExportCsv(dir.File("torn.dat"), out), CsvResult::kReadFailed);
    EXPECT_EQ(ReadBytes(out), "previous export");

    // A full disk shows up even when the text only leaves the buffer at the close.
    EXPECT_EQ(ExportCsv(day, "/dev/full"), CsvResult::kWriteFailed);
    EXPECT_EQ(ExportCsv(Data("reference.dat"), "/dev/full"), CsvResult::kWriteFailed);

    std::u16string boxes;
    SetMessageBoxHandler([&](std::u16string_view caption, std::u16string_view text, BoxKind) {
        boxes += std::u16string(caption) + u": " + std::u16string(text) + u"\n";
        return BoxAnswer::kOk;
    });
    for (auto r : {CsvResult::kOk, CsvResult::kNoPath, CsvResult::kCannotOpen,
                   CsvResult::kReadFailed, CsvResult::kWriteFailed})
        ShowCsvResult(r);
    SetMessageBoxHandler(nullptr);
    EXPECT_EQ(boxes,
              u"Error: Не существует пути к файлу\n"
              u"Error: Не могу открыть файл\n"
              u"Error: Ошибка чтения файла\n"
              u"Error: Ошибка при записи файла. Возможно файл занят другим приложением.\n");
}

TEST(CsvExport, ATargetIsReplacedWholeOrNotAtAll) {
    TempDir dir;
    const std::string day = dir.File("day.dat");
    WriteBytes(day, DayImage(2, {Rec(kRomA, u"a", 1, kT0), Rec(kRomB, u"b", 2, kT0),
                                 Rec(kRomA, u"a", 3, kT0 + 2), Rec(kRomB, u"b", 4, kT0 + 2)}));
    const auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };

    // A target that may not be written is refused untouched, and no temporary file stays.
    const std::string locked = dir.File("locked.csv");
    WriteBytes(locked, "keep me");
    chmod(locked.c_str(), 0444);
    if (access(locked.c_str(), W_OK) != 0) {  // root may write anyway
        EXPECT_EQ(ExportCsv(day, locked), CsvResult::kCannotOpen);
        EXPECT_EQ(ReadBytes(locked), "keep me");
    }
    EXPECT_EQ(ExportCsv(day, dir.path()), CsvResult::kCannotOpen);  // a folder
    EXPECT_EQ(entries(), (std::vector<std::string>{"day.dat", "locked.csv"}));

    // Success: the pass lines are counted, the old text is gone, the file's mode is kept.
    const std::string out = dir.File("out.csv");
    WriteBytes(out, std::string(10000, 'o'));
    chmod(out.c_str(), 0600);
    size_t lines = 99;
    ASSERT_EQ(ExportCsv(day, out, &lines), CsvResult::kOk);
    EXPECT_EQ(lines, 2u);
    EXPECT_EQ(ReadBytes(out).substr(0, 11), EncodeCp1251(u"Дата;Время;"));
    struct stat st {};
    stat(out.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"day.dat", "locked.csv", "out.csv"}));

    // Through a link the file it names is replaced; the link stays a link.
    const std::string link = dir.File("link.csv");
    std::filesystem::create_symlink(out, link);
    WriteBytes(out, "old");
    ASSERT_EQ(ExportCsv(day, link), CsvResult::kOk);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(out).substr(0, 11), EncodeCp1251(u"Дата;Время;"));
}

TEST(CsvExport, NonNumbersUnderAValidFlagAreNoReadings) {
    std::u16string line;
    const SampleRecord pass[] = {Rec(0x28, u"a", std::nan(""), 1267945200),
                                 Rec(0x128, u"b", INFINITY, 1267945200),
                                 Rec(0x228, u"c", 21.5, 1267945200, 2)};
    AppendCsvLine(line, pass);
    EXPECT_EQ(line, u"07.03.10;10:00:00;a;н/д;b;н/д;c;н/д;\n");
}

}  // namespace
}  // namespace kalvo
