#pragma once
#include <cstdint>
#include <string>

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

// Start-up: makes today's month folder (with the levels above) and today's day file, empty
// when it is new. Returns the root, or an empty string when the folders could not be made; the
// program then records nothing for the whole run.
std::string PrepareArchive(const std::string& root, SHELL::FileOps& ops = SHELL::DefaultFileOps());

// Appends a write batch to the day file of the local date at this moment, whatever the time
// stamps of its records. `thermometers` is the device table's count, written into the header of
// a new file. False when recording is off, the root is empty, or nothing could be appended;
// between writes the file is left read-only.
bool WriteDayFile(const SampleList& batch, const std::string& root, uint32_t thermometers,
                  bool recording = true, SHELL::FileOps& ops = SHELL::DefaultFileOps());

// The size a day file of `size` bytes keeps when cut back to its last whole record (0 when even
// the header is incomplete).
uint64_t WholeRecordSize(uint64_t size);

// Cuts a torn tail (a crash during an append) back to whole records.
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

}  // namespace kalvo
