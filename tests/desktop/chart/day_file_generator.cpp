#include "day_file_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/common/text.h"

namespace kalvo {
namespace {

constexpr double kPi = 3.14159265358979323846;

// 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected), so the ROM codes look like real ones.
uint8_t Crc8(const uint8_t* data, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = (crc ^ byte) & 1;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
            byte >>= 1;
        }
    }
    return crc;
}

uint64_t RomCode(uint64_t serial) {
    uint8_t bytes[8] = {0x28};
    for (int i = 1; i <= 6; ++i) bytes[i] = uint8_t(serial >> (8 * (i - 1)));
    bytes[7] = Crc8(bytes, 7);
    uint64_t rom = 0;
    for (int i = 7; i >= 0; --i) rom = (rom << 8) | bytes[i];
    return rom;
}

// DS18B20 readings come in sixteenths of a degree.
double Quantise(double t) {
    return std::round(t * 16.0) / 16.0;
}

// Small deterministic jitter in -0.5 .. 0.5.
double Jitter(uint32_t seed) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return double(seed % 1000) / 1000.0 - 0.5;
}

struct Sensor {
    const char16_t* name;
    uint32_t colour;  // ARGB
};
constexpr Sensor kSensors[4] = {
    {u"Улица", 0xFF4FA3FF},
    {u"Комната", 0xFF5CD65C},
    {u"Бак", 0xFFFF9933},
    {u"Подвал", 0xFFE05CE0},
};

void PutLe(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = uint8_t(value >> (8 * i));
}

}  // namespace

SampleList MakeDay(const DayFileOptions& o) {
    SampleList records;
    const int count = std::max(1, std::min(o.thermometers, 4));
    double tank = 41.0;
    bool heating = true;
    double last[4] = {};
    for (int pass = 0; pass < o.passes; ++pass) {
        const int64_t time = o.start + int64_t(pass) * o.period_seconds;
        const double hours = double(time - o.start) / 3600.0;
        // The heater holds the tank between 40 and 45 degrees: quick rise, slow fall.
        tank += heating ? 0.08 * o.period_seconds / 2 : -0.025 * o.period_seconds / 2;
        if (tank >= 45.0) heating = false;
        if (tank <= 40.0) heating = true;
        const double values[4] = {
            2.0 + 6.0 * std::sin(2 * kPi * (hours - 9.0) / 24.0) + 0.3 * Jitter(pass * 7 + 1),
            21.5 + 0.8 * std::sin(2 * kPi * (hours - 15.0) / 24.0) + 0.1 * Jitter(pass * 7 + 2),
            tank,
            8.0 + 0.3 * std::sin(2 * kPi * hours / 24.0),
        };
        // Now and then the bus gives up after two sensors.
        const int taken = (o.faults && pass == o.passes / 3 && count > 2) ? 2 : count;
        for (int k = 0; k < taken; ++k) {
            SampleRecord r;
            r.rom = RomCode(0x0008A1C3D0ull + 0x1111ull * uint64_t(k + 1));
            r.name = kSensors[k].name;
            r.time = time;
            r.colour = kSensors[k].colour;
            r.valid = 1;
            r.temperature = Quantise(values[k]);
            // A scratchpad with a bad CRC: the stored value is not a measurement.
            if (o.faults && k == count - 1 && pass % 997 == 500) {
                r.valid = 0;
                r.temperature = last[k];
            }
            last[k] = r.temperature;
            records.push_back(r);
        }
    }
    return records;
}

bool WriteDayFile(const std::string& path, const DayFileOptions& options) {
    const SampleList records = MakeDay(options);
    std::vector<uint8_t> bytes(32 + 96 * records.size(), 0);
    const char16_t magic[] = u"KALVO_USB_V3xx";
    for (int i = 0; i < 14; ++i) PutLe(&bytes[size_t(2 * i)], magic[i], 2);
    PutLe(&bytes[28], uint32_t(std::max(1, std::min(options.thermometers, 4))), 4);
    for (size_t i = 0; i < records.size(); ++i) {
        const SampleRecord& r = records[i];
        uint8_t* out = &bytes[32 + 96 * i];
        PutLe(out, r.rom, 8);
        const auto name = ToFixedField(r.name, 32);
        for (size_t k = 0; k < name.size(); ++k) PutLe(out + 8 + 2 * k, name[k], 2);
        uint64_t temperature;
        static_assert(sizeof temperature == sizeof r.temperature);
        std::memcpy(&temperature, &r.temperature, sizeof temperature);
        PutLe(out + 72, temperature, 8);
        PutLe(out + 80, uint64_t(r.time), 8);
        PutLe(out + 88, r.colour, 4);
        PutLe(out + 92, r.valid, 4);
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) return false;
    return std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

}  // namespace kalvo
