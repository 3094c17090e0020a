#pragma once
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/common/sample_record.h"

namespace kalvo {

// Outcome of an export; every failure has the text of the message box the window shows.
enum class CsvResult {
    kOk,
    kNoPath,       // "Не существует пути к файлу" (no target given)
    kCannotOpen,   // "Не могу открыть файл"
    kReadFailed,   // "Ошибка чтения файла"
    kWriteFailed,  // "Ошибка при записи файла. Возможно файл занят другим приложением."
};
inline constexpr char16_t kCsvErrorCaption[] = u"Error";
std::u16string_view CsvResultText(CsvResult result);
// The export's message box (caption "Error", OK, no owner); nothing for kOk.
void ShowCsvResult(CsvResult result);

// "Дата;Время;" and "Терм. i;Значение;" for i = 1..thermometers, then a line feed.
std::u16string BuildCsvHeader(size_t thermometers);
// One pass: date and time of its first record, then name (or ROM hex) and temperature (or
// "н/д") of every record, each field closed by ';', then a line feed. Appended to `line`.
void AppendCsvLine(std::u16string& line, std::span<const SampleRecord> pass);
// The same text as FormatRus(u"%.2f", value), appended.
void AppendTemperature(std::u16string& out, double value);

// Text file in code page 1251 with CR LF line ends and no byte-order mark. The file is opened
// for appending by the first AppendText and closed with the object.
class CTextFileW {
  public:
    explicit CTextFileW(std::string path) : path_(std::move(path)) {}
    CTextFileW(const CTextFileW&) = delete;
    CTextFileW& operator=(const CTextFileW&) = delete;

    // False when the open or the write failed; after a failed write the file is closed.
    bool AppendText(std::u16string_view text);
    // Flushes and closes. False when buffered text could not be written after all, so a full
    // disk is not reported as success.
    bool Close();

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::string path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::string bytes_;
};

// Writes the stored day `day_file` as semicolon-separated text to `target`: a header for the
// first pass's thermometers, then one line per pass (records with one time stamp). The text is
// written to a new file in the target's folder and renamed over the target only when complete,
// so on any failure an existing target keeps its content. A target that cannot be written, or
// that is the day file itself, is refused. `lines`, when given, receives the number of pass
// lines written (the header not counted).
CsvResult ExportCsv(const std::string& day_file, const std::string& target,
                    size_t* lines = nullptr);

}  // namespace kalvo
