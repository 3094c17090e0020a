#pragma once
// Day files for the window tests and the screenshot, written by the program's own writer.
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/archive/day_archive.h"

namespace kalvo::fixture {

inline int64_t LocalSeconds(int year, int month, int day, int hour, int minute = 0, int sec = 0) {
    std::tm t{};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
    t.tm_hour = hour, t.tm_min = minute, t.tm_sec = sec, t.tm_isdst = -1;
    return int64_t(std::mktime(&t));
}

struct Thermometer {
    uint64_t rom;
    std::u16string name;
    uint32_t colour;  // ARGB
};

// One pass per period from `start`; thermometer i reads temperature(i, pass).
inline SampleList MakeDay(const std::vector<Thermometer>& thermometers, int64_t start, int passes,
                          int period, double (*temperature)(size_t thermometer, int pass)) {
    SampleList records;
    for (int p = 0; p < passes; ++p) {
        for (size_t i = 0; i < thermometers.size(); ++i) {
            SampleRecord& r = records.emplace_back();
            r.rom = thermometers[i].rom, r.name = thermometers[i].name;
            r.colour = thermometers[i].colour, r.valid = 1;
            r.time = start + int64_t(p) * period, r.temperature = temperature(i, p);
        }
    }
    return records;
}

// The writer files a batch under the date of "now": here the first record's. Gives the path.
inline int64_t g_fixture_now = 0;
inline std::string WriteDay(const std::string& root, const SampleList& records, uint32_t count) {
    g_fixture_now = records.front().time;
    SetNowSecondsSource([] { return g_fixture_now; });
    WriteDayFile(records, root, count);
    SetNowSecondsSource(nullptr);
    return BuildDayPaths(root, g_fixture_now).day_file;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kalvo::fixture
