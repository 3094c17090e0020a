#include "core/archive/csv_export.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "core/archive/data_file.h"
#include "core/common/file_ops.h"
#include "core/common/message_box.h"
#include "core/common/text.h"

namespace kalvo {

namespace {

constexpr size_t kReserveRecords = 100000;
constexpr size_t kStreamBuffer = 1 << 16;

void AppendTwoDigits(std::u16string& out, int value) {
    out += char16_t(u'0' + (value / 10) % 10);
    out += char16_t(u'0' + value % 10);
}

void AppendAscii(std::u16string& out, const char* begin, const char* end) {
    for (const char* p = begin; p != end; ++p) out += char16_t(uint8_t(*p));
}

// The Cyrillic block through a table taken from EncodeCp1251 itself, so both always agree;
// every other character goes through EncodeCp1251 one at a time.
class Cp1251Writer {
  public:
    Cp1251Writer() {
        for (char16_t c = 0x0400; c < 0x0460; ++c) cyrillic_[c - 0x0400] = EncodeCp1251({&c, 1})[0];
    }
    // Appends the bytes of `text`, every line feed as CR LF.
    void Append(std::u16string_view text, std::string& out) const {
        for (char16_t c : text) {
            if (c == u'\n') {
                out += "\r\n";
            } else if (c < 0x80) {
                out += char(c);
            } else if (c >= 0x0400 && c < 0x0460) {
                out += cyrillic_[c - 0x0400];
            } else {
                out += EncodeCp1251({&c, 1});
            }
        }
    }

  private:
    char cyrillic_[0x60];
};

// Upper bound of the time stamp of `first` in [first, last): a galloping search from `first`,
// so each pass costs a few probes near it instead of a walk over the whole day.
SampleList::const_iterator PassEnd(SampleList::const_iterator first,
                                   SampleList::const_iterator last) {
    const int64_t t = first->time;
    const auto time_less = [](int64_t v, const SampleRecord& r) { return v < r.time; };
    auto lo = first;
    ptrdiff_t step = 1;
    while (last - lo > step && !(t < (lo + step)->time)) {
        lo += step;
        step *= 2;
    }
    const auto hi = last - lo > step ? lo + step + 1 : last;
    return std::upper_bound(lo, hi, t, time_less);
}

}  // namespace

std::u16string_view CsvResultText(CsvResult result) {
    switch (result) {
        case CsvResult::kOk:
            return u"";
        case CsvResult::kNoPath:
            return u"Не существует пути к файлу";
        case CsvResult::kCannotOpen:
            return u"Не могу открыть файл";
        case CsvResult::kReadFailed:
            return u"Ошибка чтения файла";
        case CsvResult::kWriteFailed:
            return u"Ошибка при записи файла. Возможно файл занят другим приложением.";
    }
    return u"";
}

void ShowCsvResult(CsvResult result) {
    if (result != CsvResult::kOk) ShowMessageBox(kCsvErrorCaption, CsvResultText(result));
}

void AppendTemperature(std::u16string& out, double value) {
    // Exact, like printf, and much cheaper; huge and non-finite values take the long way.
    if (std::isfinite(value) && std::fabs(value) < 1e15) {
        char buf[32];
        const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
        if (res.ec == std::errc()) {
            for (const char* p = buf; p != res.ptr; ++p) out += *p == '.' ? u',' : char16_t(*p);
            return;
        }
    }
    out += FormatRus(u"%.2f", value);
}

std::u16string BuildCsvHeader(size_t thermometers) {
    std::u16string header = u"Дата;Время;";
    for (size_t i = 1; i <= thermometers; ++i) {
        header += u"Терм. ";
        const std::string n = std::to_string(i);
        AppendAscii(header, n.data(), n.data() + n.size());
        header += u";Значение;";
    }
    header += u'\n';
    return header;
}

void AppendCsvLine(std::u16string& line, std::span<const SampleRecord> pass) {
    if (pass.empty()) return;
    std::tm local{};
    if (SHELL::LocalTime(pass.front().time, &local)) {
        AppendTwoDigits(line, local.tm_mday);
        line += u'.';
        AppendTwoDigits(line, local.tm_mon + 1);
        line += u'.';
        AppendTwoDigits(line, ((local.tm_year + 1900) % 100 + 100) % 100);
        line += u';';
        AppendTwoDigits(line, local.tm_hour);
        line += u':';
        AppendTwoDigits(line, local.tm_min);
        line += u':';
        AppendTwoDigits(line, local.tm_sec);
        line += u';';
    } else {
        line += u";;";  // a time stamp beyond the calendar
    }
    for (const SampleRecord& r : pass) {
        if (r.name.empty()) {
            line += ToHex(r.rom);
        } else {
            const size_t lf = r.name.rfind(u'\n');
            if (lf == std::u16string::npos) {
                line += r.name;
            } else {
                line.append(r.name, 0, lf);
                line.append(r.name, lf + 1);
            }
        }
        line += u';';
        if (r.valid == 1 && std::isfinite(r.temperature)) {
            AppendTemperature(line, r.temperature);
            line += u';';
        } else {
            line += u"н/д;";
        }
    }
    line += u'\n';
}

bool CTextFileW::AppendText(std::u16string_view text) {
    if (!file_) {
        file_.reset(std::fopen(path_.c_str(), "ab"));
        if (!file_) return false;
        std::setvbuf(file_.get(), nullptr, _IOFBF, kStreamBuffer);
    }
    // Text mode of the target platform: every line feed becomes CR LF.
    static const Cp1251Writer writer;
    bytes_.clear();
    writer.Append(text, bytes_);
    if (std::fwrite(bytes_.data(), 1, bytes_.size(), file_.get()) != bytes_.size()) {
        file_.reset();
        return false;
    }
    return true;
}

bool CTextFileW::Close() {
    if (!file_) return true;
    std::FILE* f = file_.release();
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
    return std::fclose(f) == 0 && flushed;
}

namespace {

// A fresh file beside `target`, created exclusively so nothing else is overwritten; empty when
// none could be made.
std::string CreateTempBeside(const std::filesystem::path& target) {
    const std::filesystem::path folder = target.parent_path();
    // Appended, not joined with +: GCC 12 at -O3 warns falsely (-Wrestrict) on the latter.
    std::string stem = ".";
    stem.append(target.filename().string());
    stem.push_back('.');
    static std::atomic<uint32_t> counter{0};
    const uint64_t seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const uint64_t tag = seed * 2654435761u + counter.fetch_add(1);
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%08x.tmp", uint32_t(tag ^ (tag >> 32)));
        const std::string path = (folder / (stem + suffix)).string();
        if (std::FILE* f = std::fopen(path.c_str(), "wbx")) {
            std::fclose(f);
            return path;
        }
        if (errno != EEXIST) break;
    }
    return {};
}

// Puts the file's data on the disk before it replaces the target.
bool SyncFile(const std::string& path) {
    SHELL::FileOps& ops = SHELL::DefaultFileOps();
    const int handle = ops.Open(path, SHELL::FileOps::Access::kWrite);
    if (handle < 0) return false;
    const bool synced = ops.Sync(handle);
    return ops.Close(handle) && synced;
}

// Removes the temporary file unless it was renamed into place.
class TempFileGuard {
  public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    ~TempFileGuard() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

}  // namespace

CsvResult ExportCsv(const std::string& day_file, const std::string& target, size_t* lines) {
    if (lines) *lines = 0;
    if (target.empty()) return CsvResult::kNoPath;
    namespace fs = std::filesystem;
    std::error_code ec;
    // The text replaces the target only once it is whole, so a failed export leaves an existing
    // file as it was. Through a link the file it names is replaced, not the link.
    fs::path final_path = target;
    if (fs::is_symlink(final_path, ec)) {
        final_path = fs::weakly_canonical(final_path, ec);
        if (ec) return CsvResult::kCannotOpen;
    }
    // The day being read is never replaced by its own export.
    if (fs::equivalent(final_path, day_file, ec) && !ec) return CsvResult::kCannotOpen;
    const bool exists = fs::exists(final_path, ec);
    if (exists) {
        // A file that may not be written (read-only, a folder) is refused as before.
        std::FILE* f = std::fopen(final_path.string().c_str(), "ab");
        if (!f) return CsvResult::kCannotOpen;
        std::fclose(f);
    }
    // A device or a pipe is written to as it is; only a regular file is replaced.
    const bool in_place = exists && !fs::is_regular_file(final_path, ec);
    const std::string written = in_place ? final_path.string() : CreateTempBeside(final_path);
    if (written.empty()) return CsvResult::kCannotOpen;
    TempFileGuard guard(in_place ? std::string() : written);
    if (exists && !in_place) {
        const fs::perms perms = fs::status(final_path, ec).permissions();
        if (!ec) fs::permissions(written, perms, ec);  // the replacement keeps the file's mode
    }

    SampleList records;
    records.reserve(kReserveRecords);
    {
        SHELL::CDataFile file;
        if (file.Read(day_file, records) == 0) return CsvResult::kReadFailed;
    }

    CTextFileW out(written);
    std::u16string line;
    bool header_done = false;
    size_t passes = 0;
    for (auto it = records.cbegin(); it != records.cend();) {
        auto end = PassEnd(it, records.cend());
        // The search assumes time order; after a clock step back it could span records of
        // other passes, so the pass ends at the first different time stamp in any case.
        end = std::find_if(it, end, [&](const SampleRecord& r) { return r.time != it->time; });
        const std::span<const SampleRecord> pass(&*it, size_t(end - it));
        if (!header_done) {
            if (!out.AppendText(BuildCsvHeader(pass.size()))) return CsvResult::kWriteFailed;
            header_done = true;
        }
        line.clear();
        AppendCsvLine(line, pass);
        if (!out.AppendText(line)) return CsvResult::kWriteFailed;
        ++passes;
        it = end;
    }
    if (!out.Close()) return CsvResult::kWriteFailed;
    if (!in_place) {
        if (!SyncFile(written)) return CsvResult::kWriteFailed;
        fs::rename(written, final_path, ec);
        if (ec) return CsvResult::kWriteFailed;
        guard.Release();
    }
    if (lines) *lines = passes;
    return CsvResult::kOk;
}

}  // namespace kalvo
