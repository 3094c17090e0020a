#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "archive_test_util.h"
#include "core/archive/day_archive.h"
#include "core/common/clock.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

using namespace testing_util;
using SHELL::CDataFile;

int64_t g_now = 0;
int64_t FixedNow() {
    return g_now;
}

// 7 March 2010 at a local time of the tests' zone (UTC+3).
int64_t March7(int h, int m, int s) {
    return kT0 - (14 * 3600 + 5 * 60 + 9) + h * 3600 + m * 60 + s;
}

bool HasWriteBits(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) != 0;
}

SampleList Batch(int passes, int thermometers, int64_t start, double t = 20.0) {
    SampleList batch;
    for (int p = 0; p < passes; ++p)
        for (int k = 0; k < thermometers; ++k) {
            // Appended rather than `u"Т" + ToU16(...)`: GCC 12 at -O3 sees a false overlap in the
            // inlined prepend (-Wrestrict).
            std::u16string name = u"Т";
            name += ToU16(k + 1);
            batch.push_back(Rec(kRomA + uint64_t(k) * 0x100, name, t + p, start + 2 * p));
        }
    return batch;
}

TEST(DayPaths, FollowTheLocalDate) {
    const DayPaths p = BuildDayPaths("/data/appdata", March7(12, 0, 0));
    EXPECT_EQ(p.month_folder, "/data/appdata/2010/3 март");
    EXPECT_EQ(p.day_file, "/data/appdata/2010/3 март/day7.dat");
    // 31 Dec 2010 22:30 UTC is already 1 January 2011 here.
    EXPECT_EQ(BuildDayPaths("r", 1293834600).day_file, "r/2011/1 январь/day1.dat");
    const std::u16string months =
        u"1 январь|2 февраль|3 март|4 апрель|5 май|6 июнь|7 июль|"
        u"8 август|9 сентябрь|10 октябрь|11 ноябрь|12 декабрь|";
    std::u16string got;
    for (int m = 0; m <= 13; ++m) got += MonthFolderName(m) + (m >= 1 && m <= 12 ? u"|" : u"");
    EXPECT_EQ(got, months);
}

class DayWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = March7(14, 0, 0);
        SetNowSecondsSource(&FixedNow);
    }
    void TearDown() override { SetNowSecondsSource(nullptr); }

    SampleList ReadDay(const std::string& path, uint32_t* count = nullptr) {
        SampleList records;
        const uint32_t n = CDataFile().Read(path, records);
        if (count) *count = n;
        return records;
    }

    TempDir dir_;
    std::string root_ = dir_.File("appdata");
    std::string day_ = root_ + "/2010/3 март/day7.dat";
};

TEST_F(DayWriter, PrepareMakesTheFoldersAndAnEmptyDayFile) {
    EXPECT_EQ(PrepareArchive(root_), root_);
    EXPECT_TRUE(std::filesystem::exists(day_));
    EXPECT_EQ(FileSize(day_), 0u);
    WriteBytes(day_, "abc");  // a second start the same day keeps the file
    EXPECT_EQ(PrepareArchive(root_), root_);
    EXPECT_EQ(ReadBytes(day_), "abc");
    WriteBytes(dir_.File("plain"), "x");
    EXPECT_EQ(PrepareArchive(dir_.File("plain") + "/appdata"), "");
}

TEST_F(DayWriter, NewDayGetsAHeaderAndLaterBatchesAppend) {
    ASSERT_TRUE(WriteDayFile(Batch(3, 2, g_now), root_, 2));
    EXPECT_EQ(FileSize(day_), 32u + 6 * 96);
    EXPECT_FALSE(HasWriteBits(day_));  // read-only between writes

    // The table grew between runs: the header keeps the count written first.
    ASSERT_TRUE(WriteDayFile(Batch(2, 3, g_now + 60), root_, 3));
    EXPECT_FALSE(HasWriteBits(day_));
    uint32_t count = 0;
    const SampleList all = ReadDay(day_, &count);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(all.size(), 12u);
    EXPECT_EQ(all[6].time, g_now + 60);

    // A shutdown without samples on a fresh day still leaves a header.
    g_now += 86400;
    EXPECT_TRUE(WriteDayFile({}, root_, 2));
    EXPECT_EQ(FileSize(root_ + "/2010/3 март/day8.dat"), 32u);
}

TEST_F(DayWriter, BatchLandsInTheFileOfTheDayItIsWritten) {
    g_now = March7(23, 58, 0);
    ASSERT_TRUE(WriteDayFile(Batch(1, 2, March7(23, 57, 0)), root_, 2));
    const std::string day7 = ReadBytes(day_);
    // Written after midnight, a batch measured partly before it goes into the new day.
    g_now = March7(23, 59, 59) + 61;
    ASSERT_TRUE(WriteDayFile(Batch(2, 2, March7(23, 59, 59)), root_, 2));
    EXPECT_EQ(ReadBytes(day_), day7);
    EXPECT_EQ(ReadDay(root_ + "/2010/3 март/day8.dat").size(), 4u);
    // New month and new year: the missing levels are made.
    g_now = 1293834600;
    ASSERT_TRUE(WriteDayFile(Batch(1, 1, g_now), root_, 1));
    EXPECT_EQ(ReadDay(root_ + "/2011/1 январь/day1.dat").size(), 1u);
}

TEST_F(DayWriter, WritesNothingWhenOffWithoutRootOrWhileHeld) {
    EXPECT_FALSE(WriteDayFile(Batch(1, 1, g_now), root_, 1, /*recording=*/false));
    EXPECT_FALSE(std::filesystem::exists(root_));
    EXPECT_FALSE(WriteDayFile(Batch(1, 1, g_now), "", 1));

    ASSERT_TRUE(WriteDayFile(Batch(1, 1, g_now), root_, 1));
    const std::string before = ReadBytes(day_);
    const int fd = open(day_.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_FALSE(WriteDayFile(Batch(1, 1, g_now), root_, 1));
    close(fd);
    EXPECT_EQ(ReadBytes(day_), before);
}

// File operations that fail on request, to reach the writer's error paths.
class FaultyOps : public SHELL::FileOps {
  public:
    int writes = 0;
    int fail_write = 0;  // the failing write call, from 1; 0 for none
    size_t partial = 0;  // bytes the failing write still puts down
    bool fail_seek = false;
    int syncs = 0;
    bool fail_sync = false;
    std::string opened;               // the latest path opened
    std::vector<std::string> synced;  // the path of each sync

    int Open(const std::string& path, Access access) override {
        opened = path;
        return FileOps::Open(path, access);
    }
    bool Sync(int handle) override {
        ++syncs;
        synced.push_back(opened);
        return !fail_sync && FileOps::Sync(handle);
    }
    bool Write(int handle, const void* data, size_t n) override {
        if (++writes != fail_write) return FileOps::Write(handle, data, n);
        if (partial > 0) FileOps::Write(handle, data, std::min(partial, n));
        return false;
    }
    bool SeekEnd(int handle, uint64_t* position) override {
        return !fail_seek && FileOps::SeekEnd(handle, position);
    }
};

TEST_F(DayWriter, TornTailIsCutBeforeAppending) {
    ASSERT_TRUE(WriteDayFile(Batch(1, 2, g_now), root_, 2));
    WriteBytes(day_, ReadBytes(day_) + std::string(50, '\x7f'));  // a crash mid-append
    ASSERT_TRUE(WriteDayFile(Batch(1, 2, g_now + 2, 30.0), root_, 2));
    const SampleList all = ReadDay(day_);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2].temperature, 30.0);
    // Even the header can be torn; it is written anew.
    WriteBytes(day_, ReadBytes(day_).substr(0, 10));
    ASSERT_TRUE(WriteDayFile(Batch(1, 2, g_now), root_, 2));
    EXPECT_EQ(ReadDay(day_).size(), 2u);
}

TEST_F(DayWriter, FailedWritesLeaveAReadableFile) {
    FaultyOps header;
    header.fail_write = 1;
    header.partial = 10;
    EXPECT_FALSE(WriteDayFile(Batch(2, 2, g_now), root_, 2, true, header));
    EXPECT_EQ(FileSize(day_), 0u);

    ASSERT_TRUE(WriteDayFile(Batch(2, 2, g_now), root_, 2));
    const std::string stored = ReadBytes(day_);
    FaultyOps seek;
    seek.fail_seek = true;
    EXPECT_FALSE(WriteDayFile(Batch(1, 2, g_now + 10), root_, 2, true, seek));
    EXPECT_EQ(ReadBytes(day_), stored);
    FaultyOps records;
    records.fail_write = 1;
    records.partial = 150;
    EXPECT_FALSE(WriteDayFile(Batch(3, 2, g_now + 10), root_, 2, true, records));
    EXPECT_EQ(ReadBytes(day_), stored);
    EXPECT_FALSE(HasWriteBits(day_));

    // One write call per batch: header and records for a new file, records alone after.
    FaultyOps count;
    ASSERT_TRUE(WriteDayFile(Batch(100, 3, g_now + 20), root_, 3, true, count));
    EXPECT_EQ(count.writes, 1);
    EXPECT_EQ(ReadDay(day_).size(), 304u);
    EXPECT_EQ(count.syncs, 1);  // the batch is pushed to the disk
    EXPECT_EQ(records.syncs, 0);

    // The records are written even when the disk cannot confirm them: reporting a failure would
    // make the caller append the same batch again.
    FaultyOps sync;
    sync.fail_sync = true;
    EXPECT_TRUE(WriteDayFile(Batch(1, 3, g_now + 30), root_, 3, true, sync));
    EXPECT_EQ(ReadDay(day_).size(), 307u);
}

TEST_F(DayWriter, ZeroThermometersNeverReachTheHeader) {
    // Nothing to write and no count: the file stays empty rather than unreadable for the day.
    EXPECT_TRUE(WriteDayFile({}, root_, 0));
    EXPECT_EQ(FileSize(day_), 0u);
    // Records but no count: the first pass tells it.
    ASSERT_TRUE(WriteDayFile(Batch(2, 3, g_now), root_, 0));
    uint32_t count = 0;
    EXPECT_EQ(ReadDay(day_, &count).size(), 6u);
    EXPECT_EQ(count, 3u);
}

// Per-pass appends: what a killed program leaves must read, and match what batches give.
class PassAppender : public DayWriter {
  protected:
    // One pass of `thermometers` at `time`, as Batch makes it.
    static SampleList Pass(int thermometers, int64_t time, double t = 20.0) {
        return Batch(1, thermometers, time, t);
    }

    ManualClock clock_;
    FaultyOps ops_;
};

TEST_F(PassAppender, PassByPassGivesTheBatchBytesInOneReadOnlyWriteEach) {
    const SampleList batch = Batch(5, 3, g_now);
    const std::string batch_root = dir_.File("batch");
    ASSERT_TRUE(WriteDayFile(batch, batch_root, 3));

    DayFileAppender appender(root_, ops_, clock_);
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(p);
        const SampleList pass(batch.begin() + 3 * p, batch.begin() + 3 * (p + 1));
        EXPECT_TRUE(appender.Append(pass, 3).ok());
        EXPECT_EQ(ops_.writes, p + 1);  // the new file's header rides with the first pass
        EXPECT_FALSE(HasWriteBits(day_));
        EXPECT_EQ(ReadDay(day_).size(), 3u * (p + 1));  // readable after every pass
    }
    EXPECT_EQ(appender.day_file(), day_);
    EXPECT_EQ(ReadBytes(day_), ReadBytes(batch_root + "/2010/3 март/day7.dat"));
}

TEST_F(PassAppender, SyncsAtMostOnceAMinuteAndAtFlush) {
    {
        DayFileAppender appender(root_, ops_, clock_);
        // A pass every 2 s for 150 s: the first and then one a minute.
        for (int p = 0; p < 75; ++p) {
            const AppendResult r = appender.Append(Pass(2, g_now + 2 * p), 2);
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.synced, p == 0 || p == 30 || p == 60) << p;
            clock_.Advance(2000);
        }
        EXPECT_EQ(ops_.syncs, 3);
        EXPECT_TRUE(appender.Flush());
        EXPECT_EQ(ops_.syncs, 4);
        EXPECT_TRUE(appender.Flush());  // nothing new
        EXPECT_EQ(ops_.syncs, 4);

        // A disk that fails the sync is not hammered each pass, and Flush says it.
        ops_.fail_sync = true;
        clock_.Advance(60000);
        EXPECT_TRUE(appender.Append(Pass(2, g_now + 200), 2).ok());
        EXPECT_TRUE(appender.Append(Pass(2, g_now + 202), 2).ok());
        EXPECT_EQ(ops_.syncs, 5);
        EXPECT_FALSE(appender.Flush());
        ops_.fail_sync = false;
        EXPECT_TRUE(appender.Append(Pass(2, g_now + 204), 2).ok());
    }
    // Closing puts the last pass on the disk.
    EXPECT_EQ(ops_.syncs, 7);
    EXPECT_EQ(ReadDay(day_).size(), 2u * 78);
    EXPECT_FALSE(HasWriteBits(day_));
}

TEST_F(PassAppender, PassAfterMidnightStartsTheNextDayAndSyncsTheOldOne) {
    DayFileAppender appender(root_, ops_, clock_);
    g_now = March7(23, 59, 56);
    ASSERT_TRUE(appender.Append(Pass(2, g_now), 2).ok());
    clock_.Advance(2000);
    ASSERT_TRUE(appender.Append(Pass(2, g_now + 2), 2).ok());
    EXPECT_EQ(ops_.syncs, 1);
    // Measured before midnight, appended after: the new day's file, as a batch would.
    g_now = March7(23, 59, 59) + 1;
    clock_.Advance(2000);
    ASSERT_TRUE(appender.Append(Pass(3, g_now - 1), 3).ok());
    const std::string day8 = root_ + "/2010/3 март/day8.dat";
    EXPECT_EQ(appender.day_file(), day8);
    EXPECT_EQ(ops_.synced, (std::vector<std::string>{day_, day_}));
    EXPECT_EQ(ReadDay(day_).size(), 4u);
    uint32_t count = 0;
    EXPECT_EQ(ReadDay(day8, &count).size(), 3u);
    EXPECT_EQ(count, 3u);
    EXPECT_FALSE(HasWriteBits(day8));
}

TEST_F(PassAppender, TornTailIsCutAtStartAndTheNextPassStaysAligned) {
    const SampleList stored = Batch(2, 2, g_now);
    const std::string whole = DayImage(2, stored);
    // Inside the header, inside each record, and one byte short of the end.
    for (size_t torn : {1, 27, 28, 31, 33, 80, 127, 129, 200, 415}) {
        SCOPED_TRACE(torn);
        std::filesystem::create_directories(root_ + "/2010/3 март");
        WriteBytes(day_, whole.substr(0, torn));
        chmod(day_.c_str(), 0444);
        const uint64_t kept = WholeRecordSize(torn);
        RepairResult repaired;
        if (torn % 2 == 0) {
            ASSERT_EQ(PrepareArchive(root_, SHELL::DefaultFileOps(), &repaired), root_);
        } else {
            repaired = RepairTodaysDayFile(root_);
        }
        EXPECT_EQ(repaired.status, RepairResult::kCut);
        EXPECT_EQ(repaired.after, kept);
        EXPECT_EQ(FileSize(day_), kept);
        EXPECT_FALSE(HasWriteBits(day_));
        const size_t records = kept < 32 ? 0 : (kept - 32) / 96;
        EXPECT_EQ(ReadDay(day_).size(), records);  // at once, before any append

        DayFileAppender appender(root_, ops_, clock_);
        ASSERT_TRUE(appender.Append(Pass(2, g_now + 10, 30.0), 2).ok());
        const SampleList all = ReadDay(day_);
        ASSERT_EQ(all.size(), records + 2);
        EXPECT_EQ(all.back().temperature, 30.0);
        EXPECT_EQ(all.back().time, g_now + 10);
    }

    // Torn while running, behind the appender's back: cut before the write, and said.
    DayFileAppender appender(root_, ops_, clock_);
    WriteBytes(day_, whole + "xyz");
    const AppendResult r = appender.Append(Pass(2, g_now + 20), 2);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.cut, 3u);
    EXPECT_EQ(ReadDay(day_).size(), 6u);
}

TEST_F(PassAppender, FailedAppendLeavesTheFileForTheCallersRetry) {
    DayFileAppender appender(root_, ops_, clock_);
    ASSERT_TRUE(appender.Append(Pass(3, g_now), 3).ok());
    const std::string stored = ReadBytes(day_);

    // The disk fills up in the middle of the second record.
    ops_.fail_write = 2;
    ops_.partial = 150;
    const SampleList failed = Pass(3, g_now + 2, 21.0);
    EXPECT_EQ(appender.Append(failed, 3).status, AppendResult::kFailed);
    EXPECT_EQ(ReadBytes(day_), stored);
    EXPECT_FALSE(HasWriteBits(day_));

    // Held by a reader for a moment: refused, and still read-only afterwards.
    const int fd = open(day_.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(appender.Append(failed, 3).status, AppendResult::kOpenFailed);
    close(fd);
    EXPECT_EQ(ReadBytes(day_), stored);
    EXPECT_FALSE(HasWriteBits(day_));

    // The kept pass goes with the next one, once each.
    SampleList retry = failed;
    const SampleList next = Pass(3, g_now + 4, 22.0);
    retry.insert(retry.end(), next.begin(), next.end());
    ASSERT_TRUE(appender.Append(retry, 3).ok());
    const SampleList all = ReadDay(day_);
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(all[3].temperature, 21.0);
    EXPECT_EQ(all[6].temperature, 22.0);
}

}  // namespace
}  // namespace kalvo
