// kalvo-archive: the day files from the command line. Results go to stdout; errors to stderr
// with exit code 1.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/archive/compress.h"
#include "core/archive/csv_export.h"
#include "core/archive/data_file.h"
#include "core/archive/day_archive.h"
#include "core/archive/line_protocol.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/config/mqtt_config.h"
#include "plot_command.h"

namespace kalvo {
namespace {

const char kUsage[] =
    "usage: kalvo-archive COMMAND ...\n"
    "  info DAYFILE              header, record count, time span, one line per sensor\n"
    "  csv DAYFILE OUT.csv       the program's CSV export (code page 1251, CR LF)\n"
    "  thin DAYFILE ROM          the thinned curve of one sensor: seconds and temperature\n"
    "                            (\"-\" where failed readings break it)\n"
    "  repair DAYFILE            cut a torn last record back to whole records\n"
    "  lines DAYFILE [--node NODE]\n"
    "                            the valid records as database lines (measurement\n"
    "                            temperature, tags id, name, node, field celsius, ns time);\n"
    "                            NODE defaults to this machine's name, as MQTT uses it\n"
    "  plot ...                  draw a day as an image\n";

int Fail(const std::string& text) {
    std::fprintf(stderr, "kalvo-archive: %s\n", text.c_str());
    return 1;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

// Names are printed on one line: control characters are made visible.
std::string Printable(const std::u16string& name) {
    std::u16string out;
    for (char16_t c : name) {
        if (c == u'\n')
            out += u"\\n";
        else if (c == u'\t')
            out += u"\\t";
        else if (c == u'\r')
            out += u"\\r";
        else if (c < 0x20)
            out += u'?';
        else
            out += c;
    }
    return Utf16ToUtf8(out);
}

bool ReadDay(const char* path, SampleList& records, uint32_t* thermometers) {
    SHELL::CDataFile file;
    SHELL::ReadError why = SHELL::ReadError::kNone;
    *thermometers = file.Read(path, records, &why);
    if (*thermometers != 0) return true;
    Fail(std::string(path) + ": rejected: " + SHELL::ReadErrorText(why));
    return false;
}

int Info(const char* path) {
    SampleList records;
    uint32_t thermometers = 0;
    if (!ReadDay(path, records, &thermometers)) return 1;
    std::printf("thermometers\t%" PRIu32 "\n", thermometers);
    std::printf("records\t%zu\n", records.size());
    std::printf("first\t%s\n", Utf16ToUtf8(FormatTimeC(records.front().time)).c_str());
    std::printf("last\t%s\n", Utf16ToUtf8(FormatTimeC(records.back().time)).c_str());

    struct Sensor {
        std::u16string name;
        size_t records = 0, invalid = 0, valid = 0;
        double min = 0, max = 0;
    };
    std::vector<uint64_t> order;  // first appearance, which is device-table order
    std::map<uint64_t, Sensor> sensors;
    for (const SampleRecord& r : records) {
        auto [it, fresh] = sensors.try_emplace(r.rom);
        if (fresh) order.push_back(r.rom);
        Sensor& s = it->second;
        s.name = r.name;  // the latest name
        ++s.records;
        if (r.valid != 1 || !std::isfinite(r.temperature)) {
            ++s.invalid;
            continue;
        }
        if (s.valid == 0 || r.temperature < s.min) s.min = r.temperature;
        if (s.valid == 0 || r.temperature > s.max) s.max = r.temperature;
        ++s.valid;
    }
    std::printf("rom\tname\trecords\tinvalid\tmin\tmax\n");
    for (uint64_t rom : order) {
        const Sensor& s = sensors[rom];
        char range[80] = "-\t-";
        if (s.valid > 0) std::snprintf(range, sizeof range, "%.2f\t%.2f", s.min, s.max);
        std::printf("%s\t%s\t%zu\t%zu\t%s\n", Utf16ToUtf8(ToHex(rom)).c_str(),
                    Printable(s.name).c_str(), s.records, s.invalid, range);
    }
    return 0;
}

int Csv(const char* path, const char* target) {
    const CsvResult result = ExportCsv(path, target);
    if (result == CsvResult::kOk) return 0;
    std::string text = Utf16ToUtf8(CsvResultText(result));
    if (result == CsvResult::kReadFailed) {
        SampleList records;
        SHELL::ReadError why = SHELL::ReadError::kNone;
        SHELL::CDataFile().Read(path, records, &why);
        text += std::string(" (") + SHELL::ReadErrorText(why) + ")";
    }
    return Fail(text);
}

bool ParseRom(const char* text, uint64_t* rom) {
    if (std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0) text += 2;
    const size_t n = std::strlen(text);
    if (n == 0 || n > 16) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = (v << 4) | uint64_t(d);
    }
    *rom = v;
    return true;
}

int Thin(const char* path, const char* rom_text) {
    uint64_t rom = 0;
    if (!ParseRom(rom_text, &rom)) return Fail(std::string("not a ROM code: ") + rom_text);
    SampleList records;
    uint32_t thermometers = 0;
    if (!ReadDay(path, records, &thermometers)) return 1;
    SampleRecord selected;
    selected.rom = rom;
    RecordingStatusBar status;
    status.EchoToStderr(true);
    if (CompressSeries(records, selected, &status) != CompressOutcome::kCompressed)
        return Fail(std::string("no records of ") + Utf16ToUtf8(ToHex(rom)));
    for (const SampleRecord& r : records) {
        if (SHELL::HoldsReading(r))
            std::printf("%" PRId64 " %.4f\n", r.time, r.temperature);
        else
            std::printf("%" PRId64 " -\n", r.time);  // failed readings: the curve breaks here
    }
    return 0;
}

int Repair(const char* path) {
    const RepairResult r = RepairDayFile(path);
    switch (r.status) {
        case RepairResult::kWhole:
            std::printf("%s: whole, nothing cut (%" PRIu64 " bytes)\n", path, r.before);
            return 0;
        case RepairResult::kCut:
            std::printf("%s: cut %" PRIu64 " bytes of a torn record (%" PRIu64 " -> %" PRIu64
                        " bytes)\n",
                        path, r.before - r.after, r.before, r.after);
            return 0;
        case RepairResult::kNotDayFile:
            return Fail(std::string(path) + ": not a day file, left alone");
        case RepairResult::kOpenFailed:
            return Fail(std::string(path) + ": cannot open (missing, not a file, or in use)");
        case RepairResult::kFailed:
            break;
    }
    return Fail(std::string(path) + ": the cut failed");
}

int Lines(int argc, char** argv) {
    const char* path = nullptr;
    std::string node = DefaultNode();
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--node") == 0 && i + 1 < argc)
            node = argv[++i];
        else if (!path && argv[i][0] != '-')
            path = argv[i];
        else
            return Usage();
    }
    if (!path) return Usage();
    SampleList records;
    uint32_t thermometers = 0;
    if (!ReadDay(path, records, &thermometers)) return 1;
    std::string out;
    for (const SampleRecord& r : records) out += LineProtocolRecord(r, node);
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        return Fail("cannot write the lines");
    return 0;
}

int Main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "plot") return RunPlotCommand(argc - 1, argv + 1);
    if (command == "info" && argc == 3) return Info(argv[2]);
    if (command == "csv" && argc == 4) return Csv(argv[2], argv[3]);
    if (command == "thin" && argc == 4) return Thin(argv[2], argv[3]);
    if (command == "repair" && argc == 3) return Repair(argv[2]);
    if (command == "lines") return Lines(argc, argv);
    return Usage();
}

}  // namespace
}  // namespace kalvo

int main(int argc, char** argv) {
    return kalvo::Main(argc, argv);
}
