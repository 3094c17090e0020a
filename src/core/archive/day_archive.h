#pragma once
#include <cstdint>
#include <string>

#include "core/common/clock.h"
#include "core/common/file_ops.h"
#include "core/common/sample_record.h"

namespace kalvo {

// The three paths of one local day: the archive root, its month folder
// (root/2010/3 март) and its day file (root/2010/3 март/day7.dat). UTF-8.
struct DayPaths {
    std::string root;
    std::string month_folder;
    std::string day_file;
};

// "1 январь" .. "12 декабрь"; empty outside 1..12.
std::u16string MonthFolderName(int month);
// Paths for the local date of `now` (seconds since 1970 UTC).
DayPaths BuildDayPaths(const std::string& root, int64_t now = NowSeconds());

// Creates the folder and every missing level above it. True when it exists afterwards.
bool EnsureFolder(const std::string& path, SHELL::FileOps& ops = SHELL::DefaultFileOps());

// The size a day file of `size` bytes keeps when cut back to its last whole record (0 when even
// the header is incomplete).
uint64_t WholeRecordSize(uint64_t size);

// Cuts a torn tail (a crash during an append) back to whole records. The attribute is kept.
struct RepairResult {
    enum Status {
        kWhole,       // nothing to cut
        kCut,         // cut from `before` to `after` bytes
        kNotDayFile,  // the bytes present do not start like a day file; left alone
        kOpenFailed,  // missing, not a file, or in use
        kFailed,      // the size could not be read or the cut failed
    };
    Status status = kFailed;
    uint64_t before = 0;
    uint64_t after = 0;
};
RepairResult RepairDayFile(const std::string& path, SHELL::FileOps& ops = SHELL::DefaultFileOps());
// The same for the day file of the local date now under `root`.
RepairResult RepairTodaysDayFile(const std::string& root,
                                 SHELL::FileOps& ops = SHELL::DefaultFileOps());

// Start-up: makes today's month folder (with the levels above) and today's day file, empty
// when it is new, and cuts a torn tail of today's file back so that it reads at once;
// `repaired`, when given, says what the cut found. Returns the root, or an empty string when the
// folders could not be made; the program then records nothing for the whole run.
std::string PrepareArchive(const std::string& root, SHELL::FileOps& ops = SHELL::DefaultFileOps(),
                           RepairResult* repaired = nullptr);

// What one append did. On any failure the file keeps exactly the records it had before (a torn
// tail found on the way may have been cut), so the caller can hand the same records in again.
struct AppendResult {
    enum Status {
        kWritten,     // the records are at the end of the file
        kNoFolder,    // no archive root, or the month folder could not be made
        kOpenFailed,  // held by somebody else, or cannot be created or opened
        kFailed,      // the size, a cut or the write failed
    };
    Status status = kFailed;
    uint64_t cut = 0;     // bytes of a torn tail cut back before the write
    bool synced = false;  // the data went to the disk with this call
    bool ok() const { return status == kWritten; }
};

// Appends a write batch to the day file of the local date at this moment, whatever the time
// stamps of its records, and syncs it. `thermometers` is the device table's count, written into
// the header of a new file. False when recording is off, the root is empty, or nothing could be
// appended; between writes the file is left read-only.
bool WriteDayFile(const SampleList& batch, const std::string& root, uint32_t thermometers,
                  bool recording = true, SHELL::FileOps& ops = SHELL::DefaultFileOps());

// Appends pass after pass, each as it is measured, to the day file of the local date at the
// moment of the append (as WriteDayFile does): one write call at the end of the file, the file
// read-only again before the call returns, and fdatasync on the first append, then at most once
// per sync interval, before the day changes and at Flush. A killed program thus loses no pass
// Append accepted; a power cut loses what was appended since the last sync. The file is closed
// between appends, so readers and `kalvo-archive` see it whole. Keeps today's paths between
// calls. One thread at a time.
class DayFileAppender {
  public:
    static constexpr int64_t kSyncIntervalMs = 60 * 1000;

    // `clock` times the syncs; the day comes from NowSeconds().
    explicit DayFileAppender(std::string root, SHELL::FileOps& ops = SHELL::DefaultFileOps(),
                             Clock& clock = SystemClock());
    // Flushes; call Flush first to learn whether it worked.
    ~DayFileAppender();
    DayFileAppender(const DayFileAppender&) = delete;
    DayFileAppender& operator=(const DayFileAppender&) = delete;

    // `records` is one pass, or the passes of failed appends followed by the new one.
    // `thermometers` goes into a new file's header (0: the size of the first pass).
    AppendResult Append(const SampleList& records, uint32_t thermometers);
    // Puts what was appended since the last sync on the disk. True when nothing is left unsynced.
    bool Flush();
    // The day file of the latest append; empty before the first.
    const std::string& day_file() const { return paths_.day_file; }

  private:
    std::string root_;
    SHELL::FileOps& ops_;
    Clock& clock_;
    int day_key_ = -1;  // the local date of `paths_`
    DayPaths paths_;
    bool folder_ready_ = false;
    std::string unsynced_;  // the file appended to since its last sync; empty when none
    bool synced_once_ = false;
    int64_t last_sync_ms_ = 0;
};

}  // namespace kalvo
