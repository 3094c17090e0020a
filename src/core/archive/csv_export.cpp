#include "core/archive/csv_export.h"

#include <algorithm>
#include <charconv>
#include <cmath>

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
        if (r.valid == 1) {
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

CsvResult ExportCsv(const std::string& day_file, const std::string& target) {
    if (target.empty()) return CsvResult::kNoPath;
    {
        std::FILE* f = std::fopen(target.c_str(), "wb");
        if (!f) return CsvResult::kCannotOpen;
        std::fclose(f);
    }
    CTextFileW out(target);

    SampleList records;
    records.reserve(kReserveRecords);
    {
        SHELL::CDataFile file;
        if (file.Read(day_file, records) == 0) return CsvResult::kReadFailed;
    }

    std::u16string line;
    bool header_done = false;
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
        it = end;
    }
    return out.Close() ? CsvResult::kOk : CsvResult::kWriteFailed;
}

}  // namespace kalvo
