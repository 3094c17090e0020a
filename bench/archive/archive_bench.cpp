// A full day of ten thermometers at the 2 s period: 43 200 passes, 432 000 records, 41.5 MB.
// Read and CSV export are measured against reading the same bytes raw into memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/archive/csv_export.h"
#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

constexpr int kPasses = 43200;
constexpr int kThermometers = 10;

SampleList Pass(int p, int64_t start) {
    SampleList pass;
    for (int k = 0; k < kThermometers; ++k) {
        SampleRecord r;
        r.rom = (uint64_t(0x1000 + k) << 8) | 0x28;
        r.name = u"Термометр " + ToU16(k + 1);
        r.temperature = 20.0 + 5.0 * std::sin((p + 300 * k) / 2000.0) + 0.0625 * (p % 7);
        r.time = start + 2 * int64_t(p);
        r.colour = 0xFF000000u | uint32_t(k * 0x151515);
        r.valid = (p + k) % 997 == 0 ? 0 : 1;
        pass.push_back(r);
    }
    return pass;
}

// Made once per run in a private temporary folder.
class Day {
  public:
    Day() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kalvo-bench-XXXXXX");
        if (!mkdtemp(pattern.data())) std::abort();
        folder = pattern;
        path = folder + "/day.dat";
        SampleList all;
        all.reserve(size_t(kPasses) * kThermometers);
        for (int p = 0; p < kPasses; ++p) {
            SampleList pass = Pass(p, 1267920000);
            all.insert(all.end(), pass.begin(), pass.end());
        }
        SHELL::CDataFile file;
        if (!file.OpenForWriting(path) || !file.WriteHeader(kThermometers) ||
            !file.WriteRecords(all))
            std::abort();
    }
    ~Day() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder, path;
};

const Day& TheDay() {
    static Day day;
    return day;
}

size_t ReadAll(const std::string& path, char* into, size_t size) {
    const int fd = open(path.c_str(), O_RDONLY);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, into + done, size - done);
        if (got <= 0) break;
        done += size_t(got);
    }
    close(fd);
    return done;
}

size_t DaySize() {
    struct stat st {};
    stat(TheDay().path.c_str(), &st);
    return size_t(st.st_size);
}

// The whole file into freshly allocated memory, as a loader would.
void BM_RawRead(benchmark::State& state) {
    const size_t size = DaySize();
    for (auto _ : state) {
        auto bytes = std::make_unique_for_overwrite<char[]>(size);
        const size_t done = ReadAll(TheDay().path, bytes.get(), size);
        benchmark::DoNotOptimize(bytes.get());
        state.SetBytesProcessed(state.bytes_processed() + int64_t(done));
    }
}
BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond);

// The same into memory that is already mapped: the copy out of the page cache alone.
void BM_RawReadWarmBuffer(benchmark::State& state) {
    const size_t size = DaySize();
    std::vector<char> bytes(size);
    for (auto _ : state) {
        const size_t done = ReadAll(TheDay().path, bytes.data(), size);
        benchmark::DoNotOptimize(bytes.data());
        state.SetBytesProcessed(state.bytes_processed() + int64_t(done));
    }
}
BENCHMARK(BM_RawReadWarmBuffer)->Unit(benchmark::kMillisecond);

void BM_Read(benchmark::State& state) {
    const std::string& path = TheDay().path;
    for (auto _ : state) {
        SampleList records;
        const uint32_t n = SHELL::CDataFile().Read(path, records);
        if (n != kThermometers) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(records.data());
    }
    state.counters["records"] = double(kPasses) * kThermometers;
}
BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);

void BM_CsvExport(benchmark::State& state) {
    const std::string& path = TheDay().path;
    const std::string out = TheDay().folder + "/day.csv";
    for (auto _ : state) {
        if (ExportCsv(path, out) != CsvResult::kOk) state.SkipWithError("export failed");
    }
    struct stat st {};
    stat(out.c_str(), &st);
    state.counters["csv_bytes"] = double(st.st_size);
}
BENCHMARK(BM_CsvExport)->Unit(benchmark::kMillisecond);

// One write batch: 100 passes of ten thermometers appended to a day file.
void BM_AppendBatch(benchmark::State& state) {
    const std::string root = TheDay().folder + "/appdata";
    SampleList batch;
    for (int p = 0; p < 100; ++p) {
        SampleList pass = Pass(p, NowSeconds());
        batch.insert(batch.end(), pass.begin(), pass.end());
    }
    for (auto _ : state) {
        if (!WriteDayFile(batch, root, kThermometers)) state.SkipWithError("write failed");
    }
}
BENCHMARK(BM_AppendBatch)->Unit(benchmark::kMicrosecond);

// One pass of `thermometers` as the program appends it after each measurement: the file opened,
// one write at its end, read-only again; fdatasync at most once a minute. The file is started
// anew every few thousand passes so that its size stays that of a day.
void AppendPasses(benchmark::State& state, bool sync_each) {
    const int thermometers = int(state.range(0));
    const std::string root = TheDay().folder + "/passes";
    SampleList pass = Pass(0, NowSeconds());
    pass.resize(size_t(thermometers), pass.front());
    DayFileAppender appender(root);
    int64_t n = 0;
    for (auto _ : state) {
        const bool ok = sync_each ? WriteDayFile(pass, root, uint32_t(thermometers))
                                  : appender.Append(pass, uint32_t(thermometers)).ok();
        if (!ok) state.SkipWithError("append failed");
        if (++n % 4096 == 0) {
            state.PauseTiming();
            std::filesystem::remove(BuildDayPaths(root).day_file);
            state.ResumeTiming();
        }
    }
    state.counters["bytes_per_pass"] = double(thermometers) * 96;
}

void BM_AppendPass(benchmark::State& state) {
    AppendPasses(state, false);
}
BENCHMARK(BM_AppendPass)->Arg(8)->Arg(40)->Unit(benchmark::kMicrosecond);

// The batch writer called for every pass: folders checked and fdatasync every time.
void BM_WriteDayFilePerPass(benchmark::State& state) {
    AppendPasses(state, true);
}
BENCHMARK(BM_WriteDayFilePerPass)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kalvo

BENCHMARK_MAIN();
