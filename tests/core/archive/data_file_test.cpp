#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include "archive_test_util.h"
#include "core/archive/data_file.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

using namespace testing_util;
using SHELL::CDataFile;
using SHELL::ReadError;

void ExpectSameRecords(const SampleList& got, const SampleList& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].rom, want[i].rom);
        EXPECT_EQ(got[i].name, want[i].name.substr(0, 31));
        EXPECT_EQ(got[i].temperature, want[i].temperature);
        EXPECT_EQ(got[i].time, want[i].time);
        EXPECT_EQ(got[i].colour, want[i].colour);
        EXPECT_EQ(got[i].valid, want[i].valid);
    }
}

TEST(DayFileFormat, MatchesTheReferenceFileBothWays) {
    TempDir dir;
    const std::string path = dir.File("day7.dat");
    {
        CDataFile file;
        ASSERT_TRUE(file.OpenForWriting(path));
        EXPECT_TRUE(file.WriteHeader(kReferenceThermometers));
        EXPECT_TRUE(file.WriteRecords(ReferenceRecords()));
        EXPECT_TRUE(file.WriteRecords({}));
    }
    EXPECT_EQ(ReadBytes(path), ReadBytes(Data("reference.dat")));
    // A new file's header and first records in one write give the same bytes.
    const std::string one_write = dir.File("day8.dat");
    {
        CDataFile file;
        ASSERT_TRUE(file.OpenForWriting(one_write));
        EXPECT_TRUE(file.WriteHeaderAndRecords(kReferenceThermometers, ReferenceRecords()));
    }
    EXPECT_EQ(ReadBytes(one_write), ReadBytes(Data("reference.dat")));

    SampleList records{Rec(1, u"stale", 0, 0)};
    ReadError why = ReadError::kMagic;
    EXPECT_EQ(CDataFile().Read(Data("reference.dat"), records, &why), kReferenceThermometers);
    EXPECT_EQ(why, ReadError::kNone);
    ExpectSameRecords(records, ReferenceRecords());

    // Units after the terminator mean nothing; a field without one gives all 32 units.
    uint8_t image[SHELL::kDayRecordSize];
    SHELL::EncodeRecord(Rec(kRomA, u"abc", 1.0, kT0), image);
    image[8 + 2 * 5] = 'x';
    SampleRecord out;
    SHELL::DecodeRecord(image, out);
    EXPECT_EQ(out.name, u"abc");
    for (size_t i = 0; i < 32; ++i) image[8 + 2 * i] = 'a';
    SHELL::DecodeRecord(image, out);
    EXPECT_EQ(out.name, std::u16string(32, u'a'));
    EXPECT_EQ(out.time, kT0);
}

TEST(DayFileReader, RejectsEveryMalformedFileWithItsReason) {
    TempDir dir;
    const std::string good = DayImage(3, {Rec(kRomA, u"a", 1, kT0), Rec(kRomB, u"b", 2, kT0)});
    std::string other_version = good, zero_count = good;
    other_version[26] = 'y';  // "..._V3xy"
    zero_count[28] = 0;
    struct Case {
        const char* name;
        std::string bytes;
        ReadError want;
    } cases[] = {
        {"empty", "", ReadError::kNoRecords},
        {"header only", good.substr(0, 32), ReadError::kNoRecords},
        {"torn record", good.substr(0, 32 + 96 + 1), ReadError::kPartialRecord},
        {"one byte short", good.substr(0, good.size() - 1), ReadError::kPartialRecord},
        {"other version", other_version, ReadError::kMagic},
        {"zero count", zero_count, ReadError::kZeroCount},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(dir.File(c.name), c.bytes);
        SampleList records{Rec(1, u"kept", 0, 0)};
        ReadError why = ReadError::kNone;
        EXPECT_EQ(CDataFile().Read(dir.File(c.name), records, &why), 0u);
        EXPECT_EQ(why, c.want) << SHELL::ReadErrorText(why);
        // The caller's list is only emptied once the header has passed.
        EXPECT_EQ(records.size(), 1u);
    }
    SampleList records;
    ReadError why = ReadError::kNone;
    EXPECT_EQ(CDataFile().Read(dir.File("missing.dat"), records, &why), 0u);
    EXPECT_EQ(why, ReadError::kOpen);
    EXPECT_EQ(CDataFile().Read(dir.path(), records, &why), 0u);
    EXPECT_EQ(why, ReadError::kOpen);

    // Read-only is how the writer leaves a file; somebody else holding it refuses the open.
    const std::string path = dir.File("good.dat");
    WriteBytes(path, good);
    chmod(path.c_str(), 0444);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(CDataFile().Read(path, records, &why), 0u);
    EXPECT_EQ(why, ReadError::kOpen);
    close(fd);
    // The count is returned as stored, even when the passes do not match it.
    EXPECT_EQ(CDataFile().Read(path, records, &why), 3u);
    EXPECT_EQ(records.size(), 2u);
}

TEST(DayFileReader, RefusesAFileLargerThanAnyDayBeforeReadingIt) {
    // Sparse files: a good header, then a size of whole records just past the limit (and far
    // past it) without a byte of data on the disk.
    TempDir dir;
    const std::string head = DayImage(2, {Rec(kRomA, u"a", 1, kT0)});
    const uint64_t just_over =
        SHELL::kDayHeaderSize +
        ((SHELL::kMaxDayFileSize - SHELL::kDayHeaderSize) / SHELL::kDayRecordSize + 1) *
            SHELL::kDayRecordSize;
    for (uint64_t size : {just_over, uint64_t(2) << 30}) {
        SCOPED_TRACE(size);
        const std::string path = dir.File("huge.dat");
        WriteBytes(path, head);
        ASSERT_EQ(truncate(path.c_str(), off_t(size)), 0);
        SampleList records{Rec(1, u"kept", 0, 0)};
        ReadError why = ReadError::kNone;
        EXPECT_EQ(CDataFile().Read(path, records, &why), 0u);
        EXPECT_EQ(why, ReadError::kTooLarge);
        EXPECT_EQ(records.size(), 1u);  // refused before the list was touched
    }
}

TEST(DayFileReader, EveryRecordSurvivesTheBlockEdges) {
    TempDir dir;
    SampleList many;
    for (int i = 0; i < 9001; ++i)
        many.push_back(Rec(uint64_t(i) << 8 | 0x28, u"Датчик " + ToU16(i), i * 0.0625, kT0 + i));
    WriteBytes(dir.File("day3.dat"), DayImage(7, many));
    SampleList records;
    EXPECT_EQ(CDataFile().Read(dir.File("day3.dat"), records), 7u);
    ExpectSameRecords(records, many);
}

}  // namespace
}  // namespace kalvo
