#include "core/archive/day_archive.h"

#include <algorithm>
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

std::string PrepareArchive(const std::string& root, FileOps& ops) {
    if (root.empty()) return {};
    const DayPaths paths = BuildDayPaths(root);
    if (!EnsureFolder(paths.month_folder, ops)) return {};
    if (!ops.Exists(paths.day_file)) {
        // Failure is left for the writer, which creates the file again.
        SHELL::CShell file(ops);
        file.OpenForWriting(paths.day_file);
    }
    return root;
}

uint64_t WholeRecordSize(uint64_t size) {
    if (size < SHELL::kDayHeaderSize) return 0;
    return SHELL::kDayHeaderSize +
           (size - SHELL::kDayHeaderSize) / SHELL::kDayRecordSize * SHELL::kDayRecordSize;
}

bool WriteDayFile(const SampleList& batch, const std::string& root, uint32_t thermometers,
                  bool recording, FileOps& ops) {
    if (!recording || root.empty()) return false;
    const DayPaths paths = BuildDayPaths(root);
    if (!EnsureFolder(paths.month_folder, ops)) return false;
    if (ops.Exists(paths.day_file))
        ops.SetAttributes(paths.day_file, FileOps::Attributes::kArchive);

    SHELL::CDataFile file(ops);
    if (!file.OpenForWriting(paths.day_file)) return false;
    auto finish = [&](bool ok) {
        ops.SetAttributes(paths.day_file, FileOps::Attributes::kReadOnly);
        file.Close();
        return ok;
    };

    // Without the size there is no telling where records would land.
    uint64_t size = 0;
    if (!file.Size(&size)) return finish(false);
    // A crash during an earlier append may have left a torn record (or header); records
    // appended after it would be misaligned and the whole day unreadable.
    const uint64_t whole = WholeRecordSize(size);
    if (whole != size) {
        if (!file.Truncate(whole)) return finish(false);
        size = whole;
    }
    if (size == 0) {
        // A count of 0 would make the file unreadable for good; the batch knows the pass size.
        const uint32_t count = thermometers != 0 ? thermometers : FirstPassSize(batch);
        if (count == 0) return finish(true);
        if (!file.WriteHeader(count)) {
            file.Truncate(0);
            return finish(false);
        }
    }
    // Records written anywhere but at the end would overwrite stored ones.
    uint64_t end = 0;
    if (!file.SeekEnd(&end)) return finish(false);
    if (!file.WriteRecords(batch)) {
        file.Truncate(end);
        return finish(false);
    }
    // A batch holds up to 100 passes; a power cut after the write must not take them along. A
    // failed sync is not a failed write: the caller would append the batch a second time.
    file.Sync();
    return finish(true);
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
