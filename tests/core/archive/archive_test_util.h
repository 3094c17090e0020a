#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/archive/data_file.h"
#include "core/common/sample_record.h"

namespace kalvo::testing_util {

// A fresh folder, removed with the object.
class TempDir {
  public:
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "kalvo-archive-XXXXXX";
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Also over a file the writer left read-only.
inline void WriteBytes(const std::string& path, const std::string& bytes) {
    chmod(path.c_str(), 0644);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline uint64_t FileSize(const std::string& path) {
    return ReadBytes(path).size();
}

inline SampleRecord Rec(uint64_t rom, std::u16string name, double t, int64_t time,
                        uint32_t valid = 1, uint32_t colour = 0xFF008000) {
    SampleRecord r;
    r.rom = rom;
    r.name = std::move(name);
    r.temperature = t;
    r.time = time;
    r.valid = valid;
    r.colour = colour;
    return r;
}

// A whole day file, built with the library's own encoder.
inline std::string DayImage(uint32_t thermometers, const SampleList& records) {
    std::string bytes(SHELL::kDayHeaderSize + records.size() * SHELL::kDayRecordSize, '\0');
    auto* p = reinterpret_cast<uint8_t*>(bytes.data());
    SHELL::EncodeHeader(thermometers, p);
    for (size_t i = 0; i < records.size(); ++i)
        SHELL::EncodeRecord(records[i], p + SHELL::kDayHeaderSize + i * SHELL::kDayRecordSize);
    return bytes;
}

inline std::string Data(const std::string& name) {
    return std::string(KALVO_TEST_DATA) + "/archive/" + name;
}

// The records of tests/data/archive/reference.dat (made by make_reference.py there): two
// thermometers in the header and a third joining later, an invalid reading, a rename, a name
// with ';', one ending in a line feed, one unnamed, one too long, a pass after local midnight.
constexpr uint64_t kRomA = 0x6F00000123456728;
constexpr uint64_t kRomB = 0x2A0008015E3B7710;
constexpr uint64_t kRomC = 0x0100000ABCDEF028;
constexpr int64_t kT0 = 1267959909;  // 07.03.2010 14:05:09 UTC+3
constexpr int64_t kT1 = 1267995599;  // 07.03.2010 23:59:59 UTC+3
constexpr const char16_t* kLongName = u"Очень длинное имя термометра в подвале дома";
constexpr uint32_t kReferenceThermometers = 2;

inline SampleList ReferenceRecords() {
    const uint32_t red = 0xFFFF0000, blue = 0xFF0000FF, green = 0xFF008000;
    return {
        Rec(kRomA, u"Термометр 1", 23.5, kT0, 1, red),
        Rec(kRomB, u"Термометр 2", -5.0625, kT0, 1, blue),
        Rec(kRomA, u"Термометр 1", 23.4375, kT0 + 2, 1, red),
        Rec(kRomB, u"Термометр 2", 85.0, kT0 + 2, 0, blue),
        Rec(kRomA, u"Термометр 1", 0.125, kT0 + 4, 1, red),
        Rec(kRomB, u"Термометр 2", -0.0625, kT0 + 4, 1, blue),
        Rec(kRomC, u"", 19.9375, kT0 + 4, 1, green),
        Rec(kRomA, u"Котёл;подача", 70.0, kT1, 1, red),
        Rec(kRomB, u"Улица\n", -12.875, kT1, 1, blue),
        Rec(kRomC, kLongName, 20.0, kT1, 1, green),
        Rec(kRomA, u"Котёл;подача", 69.4375, kT1 + 2, 1, red),
        Rec(kRomB, u"Улица\n", -12.9375, kT1 + 2, 1, blue),
        Rec(kRomC, kLongName, 20.0625, kT1 + 2, 0, green),
    };
}

}  // namespace kalvo::testing_util
