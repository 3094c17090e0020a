#include "core/archive/day_archive.h"

#include <algorithm>
#include <ctime>
#include <utility>
#include <vector>

#include "core/archive/data_file.h"
#include "core/common/text.h"

namespace kalvo {

using SHELL::FileOps;

namespace {

constexpr const char16_t* kMonthNames[12] = {
    u"1 январь", u"2 февраль", u"3 март",     u"4 апрель",   u"5 май",     u"6 июнь",
    u"7 июль",   u"8 август",  u"9 сентябрь", u"10 октябрь", u"11 ноябрь", u"12 декабрь",
};

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == SHELL::kPathSeparator ? folder + name
                                                  : folder + SHELL::kPathSeparator + name;
}

std::string ParentOf(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == SHELL::kPathSeparator) --end;  // trailing separators
    const size_t slash = path.rfind(SHELL::kPathSeparator, end - 1);
    if (slash == std::string::npos) return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// Records of the first pass in a batch: the leading run with one time stamp.
uint32_t FirstPassSize(const SampleList& batch) {
    uint32_t n = 0;
    while (n < batch.size() && batch[n].time == batch.front().time) ++n;
    return n;
}

bool StartsLikeDayFile(const uint8_t* bytes, size_t n) {
    uint8_t magic[SHELL::kDayHeaderSize];
    SHELL::EncodeHeader(0, magic);
    for (size_t i = 0; i < n && i < SHELL::kDayMagicSize; ++i) {
        if (bytes[i] != magic[i]) return false;
    }
    return true;
}

}  // namespace

std::u16string MonthFolderName(int month) {
    if (month < 1 || month > 12) return {};
    return kMonthNames[month - 1];
}

DayPaths BuildDayPaths(const std::string& root, int64_t now) {
    std::tm local{};
    if (!SHELL::LocalTime(now, &local)) local = std::tm{};  // beyond the calendar: still a path
    DayPaths paths;
    paths.root = root;
    const std::string year = Join(root, std::to_string(local.tm_year + 1900));
    paths.month_folder = Join(year, Utf16ToUtf8(MonthFolderName(local.tm_mon + 1)));
    paths.day_file = Join(paths.month_folder, "day" + std::to_string(local.tm_mday) + ".dat");
    return paths;
}

bool EnsureFolder(const std::string& path, FileOps& ops) {
    if (path.empty()) return false;
    std::vector<std::string> missing;
    for (std::string p = path; !p.empty() && !ops.IsFolder(p); p = ParentOf(p)) {
        missing.push_back(p);
        if (p == ParentOf(p)) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!ops.MakeFolder(*it)) return false;
    }
    return true;
}

uint64_t WholeRecordSize(uint64_t size) {
    if (size < SHELL::kDayHeaderSize) return 0;
    return SHELL::kDayHeaderSize +
           (size - SHELL::kDayHeaderSize) / SHELL::kDayRecordSize * SHELL::kDayRecordSize;
}

std::string PrepareArchive(const std::string& root, FileOps& ops, RepairResult* repaired) {
    if (root.empty()) return {};
    const DayPaths paths = BuildDayPaths(root);
    if (!EnsureFolder(paths.month_folder, ops)) return {};
    if (!ops.Exists(paths.day_file)) {
        // Failure is left for the writer, which creates the file again.
        SHELL::CShell file(ops);
        file.OpenForWriting(paths.day_file);
    }
    // A kill during an append may have torn the last record: without the cut the stored-day
    // view and the tools reject the whole day until the next append.
    const RepairResult result = RepairDayFile(paths.day_file, ops);
    if (repaired) *repaired = result;
    return root;
}

namespace {

// One append with one write call at the end of `path`: a new (or emptied) file gets its header
// in the same call. On failure the records written so far are cut again.
AppendResult AppendToDayFile(const std::string& path, const SampleList& records,
                             uint32_t thermometers, bool sync, FileOps& ops) {
    AppendResult result;
    // Fails for a missing file, which the open creates.
    ops.SetAttributes(path, FileOps::Attributes::kArchive);
    SHELL::CDataFile file(ops);
    auto finish = [&](AppendResult::Status status) {
        // Also after a refused open: the file must not stay writable for the day.
        ops.SetAttributes(path, FileOps::Attributes::kReadOnly);
        file.Close();
        result.status = status;
        return result;
    };
    if (!file.OpenForWriting(path)) return finish(AppendResult::kOpenFailed);

    // The end is the size: without it there is no telling where records would land.
    uint64_t size = 0;
    if (!file.SeekEnd(&size)) return finish(AppendResult::kFailed);
    // A crash during an earlier append may have left a torn record (or header); records
    // appended after it would be misaligned and the whole day unreadable.
    const uint64_t whole = WholeRecordSize(size);
    if (whole != size) {
        if (!file.Truncate(whole)) return finish(AppendResult::kFailed);
        result.cut = size - whole;
        if (!file.SeekEnd(&size)) return finish(AppendResult::kFailed);
    }
    bool written = true;
    if (size == 0) {
        // A count of 0 would make the file unreadable for good; the records know the pass size.
        // With neither, the file stays empty.
        const uint32_t count = thermometers != 0 ? thermometers : FirstPassSize(records);
        if (count != 0) written = file.WriteHeaderAndRecords(count, records);
    } else {
        written = file.WriteRecords(records);
    }
    if (!written) {
        file.Truncate(size);
        return finish(AppendResult::kFailed);
    }
    // A failed sync is not a failed write: the caller would append the records a second time.
    if (sync) result.synced = file.Sync();
    return finish(AppendResult::kWritten);
}

}  // namespace

bool WriteDayFile(const SampleList& batch, const std::string& root, uint32_t thermometers,
                  bool recording, FileOps& ops) {
    if (!recording || root.empty()) return false;
    const DayPaths paths = BuildDayPaths(root);
    if (!EnsureFolder(paths.month_folder, ops)) return false;
    // A batch holds up to 100 passes; a power cut after the write must not take them along.
    return AppendToDayFile(paths.day_file, batch, thermometers, /*sync=*/true, ops).ok();
}

DayFileAppender::DayFileAppender(std::string root, FileOps& ops, Clock& clock)
    : root_(std::move(root)), ops_(ops), clock_(clock) {}

DayFileAppender::~DayFileAppender() {
    Flush();
}

AppendResult DayFileAppender::Append(const SampleList& records, uint32_t thermometers) {
    AppendResult result;
    if (root_.empty()) {
        result.status = AppendResult::kNoFolder;
        return result;
    }
    const int64_t now = NowSeconds();
    std::tm local{};
    // Beyond the calendar the key never matches, and the paths are built every time.
    const int key = SHELL::LocalTime(now, &local) ? local.tm_year * 400 + local.tm_yday : -1;
    if (key < 0 || key != day_key_) {
        DayPaths paths = BuildDayPaths(root_, now);
        if (paths.day_file != paths_.day_file) {
            // The day that ends goes to the disk before the next one begins.
            Flush();
            paths_ = std::move(paths);
            folder_ready_ = false;
        }
        day_key_ = key;
    }
    if (!folder_ready_ && !EnsureFolder(paths_.month_folder, ops_)) {
        result.status = AppendResult::kNoFolder;
        return result;
    }
    folder_ready_ = true;

    const int64_t now_ms = clock_.NowMs();
    const bool sync = !synced_once_ || now_ms - last_sync_ms_ >= kSyncIntervalMs;
    result = AppendToDayFile(paths_.day_file, records, thermometers, sync, ops_);
    if (!result.ok()) {
        // The folder may have gone meanwhile; it is looked for again next time.
        if (result.status == AppendResult::kOpenFailed) folder_ready_ = false;
        return result;
    }
    if (sync) {
        // A disk that failed the sync is not asked again before the interval is over.
        synced_once_ = true;
        last_sync_ms_ = now_ms;
    }
    if (result.synced)
        unsynced_.clear();
    else
        unsynced_ = paths_.day_file;
    return result;
}

bool DayFileAppender::Flush() {
    if (unsynced_.empty()) return true;
    // Without records the call writes nothing; it opens, syncs and leaves the file read-only.
    const AppendResult result = AppendToDayFile(unsynced_, {}, 0, /*sync=*/true, ops_);
    synced_once_ = true;
    last_sync_ms_ = clock_.NowMs();
    if (!result.synced) return false;
    unsynced_.clear();
    return true;
}

RepairResult RepairTodaysDayFile(const std::string& root, FileOps& ops) {
    if (root.empty()) return {RepairResult::kOpenFailed};
    return RepairDayFile(BuildDayPaths(root).day_file, ops);
}

RepairResult RepairDayFile(const std::string& path, FileOps& ops) {
    RepairResult result;
    {
        SHELL::CShell reader(ops);
        if (!reader.OpenForReading(path)) {
            result.status = RepairResult::kOpenFailed;
            return result;
        }
        if (!reader.Size(&result.before)) return result;
        uint8_t head[SHELL::kDayMagicSize];
        const int64_t got = reader.Read(head, sizeof head);
        const uint64_t expect = std::min<uint64_t>(result.before, sizeof head);
        if (got < 0 || uint64_t(got) != expect || !StartsLikeDayFile(head, size_t(got))) {
            result.status = RepairResult::kNotDayFile;
            return result;
        }
        result.after = WholeRecordSize(result.before);
        if (result.after == result.before) {
            result.status = RepairResult::kWhole;
            return result;
        }
    }
    const bool read_only = ops.IsReadOnly(path);
    if (read_only) ops.SetAttributes(path, FileOps::Attributes::kArchive);
    {
        SHELL::CShell writer(ops);
        if (!writer.OpenForWriting(path)) {
            result.status = RepairResult::kOpenFailed;
        } else if (!writer.Size(&result.before)) {
            result.status = RepairResult::kFailed;
        } else {
            result.after = WholeRecordSize(result.before);
            if (result.after == result.before)
                result.status = RepairResult::kWhole;
            else
                result.status =
                    writer.Truncate(result.after) ? RepairResult::kCut : RepairResult::kFailed;
        }
    }
    if (read_only) ops.SetAttributes(path, FileOps::Attributes::kReadOnly);
    return result;
}

}  // namespace kalvo
