// Arbitrary bytes as a day file: the reader must reject or read them, never crash, and never
// allocate more than the file holds. Whatever it accepts goes on through the CSV line builder
// and the compression, as a stored-day view would.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "core/archive/compress.h"
#include "core/archive/csv_export.h"
#include "core/archive/data_file.h"

namespace {

std::string TempPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/kalvo-fuzz-day-" + std::to_string(getpid()) +
           ".dat";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = TempPath();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    kalvo::SampleList records;
    kalvo::SHELL::ReadError why = kalvo::SHELL::ReadError::kNone;
    const uint32_t count = kalvo::SHELL::CDataFile().Read(path, records, &why);
    if (count == 0) {
        if (why == kalvo::SHELL::ReadError::kNone) std::abort();
        return 0;
    }
    if (records.size() != (size - kalvo::SHELL::kDayHeaderSize) / kalvo::SHELL::kDayRecordSize)
        std::abort();

    // The export walks the passes by their time stamps, which here may come in any order.
    if (kalvo::ExportCsv(path, "/dev/null") != kalvo::CsvResult::kOk) std::abort();

    std::u16string line;
    for (size_t i = 0; i < records.size(); i += 3) {
        line.clear();
        kalvo::AppendCsvLine(line, std::span<const kalvo::SampleRecord>(records).subspan(
                                       i, std::min<size_t>(3, records.size() - i)));
    }
    const kalvo::SampleRecord selected = records[records.size() / 2];
    if (kalvo::CompressSeries(records, selected) != kalvo::CompressOutcome::kCompressed)
        std::abort();
    return 0;
}
