#include "core/archive/data_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace kalvo::SHELL {

namespace {

template <typename T>
void Store(uint8_t* out, T value) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, sizeof value);
    } else {
        using U = std::make_unsigned_t<std::conditional_t<
            std::is_floating_point_v<T>, std::conditional_t<sizeof(T) == 8, int64_t, int32_t>, T>>;
        const U bits = std::bit_cast<U>(value);
        for (size_t i = 0; i < sizeof bits; ++i) out[i] = uint8_t(bits >> (8 * i));
    }
}

template <typename T>
T Load(const uint8_t* in) {
    if constexpr (std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, in, sizeof value);
        return value;
    } else {
        using U = std::make_unsigned_t<std::conditional_t<
            std::is_floating_point_v<T>, std::conditional_t<sizeof(T) == 8, int64_t, int32_t>, T>>;
        U bits = 0;
        for (size_t i = 0; i < sizeof bits; ++i) bits |= U(in[i]) << (8 * i);
        return std::bit_cast<T>(bits);
    }
}

constexpr size_t kOffRom = 0;
constexpr size_t kOffName = 8;
constexpr size_t kOffTemperature = 72;
constexpr size_t kOffTime = 80;
constexpr size_t kOffColour = 88;
constexpr size_t kOffValid = 92;

// Records per read call: large blocks keep the system calls few.
constexpr size_t kBlockRecords = 4096;
// Room reserved up front is capped: the size of a sparse file says nothing about real data.
constexpr uint64_t kMaxReserve = uint64_t(1) << 20;

bool MagicMatches(const uint8_t* in) {
    for (size_t i = 0; i < kDayMagicSize / 2; ++i) {
        if (Load<uint16_t>(in + 2 * i) != uint16_t(kDayFileMagic[i])) return false;
    }
    return true;
}

}  // namespace

const char* ReadErrorText(ReadError error) {
    switch (error) {
        case ReadError::kNone:
            return "no error";
        case ReadError::kOpen:
            return "cannot open the file (missing, not a file, or in use)";
        case ReadError::kSize:
            return "cannot query the file size";
        case ReadError::kTooLarge:
            return "too large for a day file (over 512 MiB)";
        case ReadError::kNoRecords:
            return "no records (32 bytes or less)";
        case ReadError::kHeaderRead:
            return "cannot read the header";
        case ReadError::kMagic:
            return "not a day file (wrong magic)";
        case ReadError::kZeroCount:
            return "thermometer count is 0";
        case ReadError::kPartialRecord:
            return "size is not 32 + 96 * n (torn last record)";
        case ReadError::kRecordRead:
            return "cannot read a record";
    }
    return "unknown error";
}

std::u16string_view ReadErrorTextRus(ReadError error) {
    switch (error) {
        case ReadError::kNone:
            return u"";
        case ReadError::kOpen:
            return u"файл не открывается (его нет, это не файл или он занят)";
        case ReadError::kSize:
            return u"не удаётся узнать размер файла";
        case ReadError::kTooLarge:
            return u"файл больше 512 МиБ, такого дня не бывает";
        case ReadError::kNoRecords:
            return u"в файле нет ни одной записи";
        case ReadError::kHeaderRead:
            return u"не читается заголовок";
        case ReadError::kMagic:
            return u"это не файл данных (другая сигнатура)";
        case ReadError::kZeroCount:
            return u"в заголовке 0 термометров";
        case ReadError::kPartialRecord:
            return u"последняя запись оборвана (kalvo-archive repair её отрежет)";
        case ReadError::kRecordRead:
            return u"ошибка чтения записи";
    }
    return u"неизвестная ошибка";
}

void EncodeHeader(uint32_t thermometers, uint8_t* out) {
    for (size_t i = 0; i < kDayMagicSize / 2; ++i) Store<uint16_t>(out + 2 * i, kDayFileMagic[i]);
    Store<uint32_t>(out + kDayMagicSize, thermometers);
}

void EncodeRecord(const SampleRecord& record, uint8_t* out) {
    std::memset(out, 0, kDayRecordSize);
    Store<uint64_t>(out + kOffRom, record.rom);
    const size_t units = std::min(record.name.size(), kDayNameUnits - 1);
    for (size_t i = 0; i < units; ++i) Store<uint16_t>(out + kOffName + 2 * i, record.name[i]);
    Store<double>(out + kOffTemperature, record.temperature);
    Store<int64_t>(out + kOffTime, record.time);
    Store<uint32_t>(out + kOffColour, record.colour);
    Store<uint32_t>(out + kOffValid, record.valid);
}

void DecodeRecord(const uint8_t* in, SampleRecord& record) {
    record.rom = Load<uint64_t>(in + kOffRom);
    char16_t name[kDayNameUnits];
    size_t len = 0;
    for (; len < kDayNameUnits; ++len) {
        name[len] = char16_t(Load<uint16_t>(in + kOffName + 2 * len));
        if (name[len] == 0) break;
    }
    record.name.assign(name, len);
    record.temperature = Load<double>(in + kOffTemperature);
    record.time = Load<int64_t>(in + kOffTime);
    record.colour = Load<uint32_t>(in + kOffColour);
    record.valid = Load<uint32_t>(in + kOffValid);
}

bool CDataFile::WriteHeader(uint32_t thermometers) {
    uint8_t header[kDayHeaderSize];
    EncodeHeader(thermometers, header);
    return Write(header, sizeof header);
}

bool CDataFile::WriteRecords(const SampleList& records) {
    return WriteImages(nullptr, records);
}

bool CDataFile::WriteHeaderAndRecords(uint32_t thermometers, const SampleList& records) {
    return WriteImages(&thermometers, records);
}

bool CDataFile::WriteImages(const uint32_t* header, const SampleList& records) {
    const size_t head = header ? kDayHeaderSize : 0;
    if (!header && records.empty()) return true;
    std::vector<uint8_t> buffer(head + records.size() * kDayRecordSize);
    if (header) EncodeHeader(*header, buffer.data());
    for (size_t i = 0; i < records.size(); ++i)
        EncodeRecord(records[i], buffer.data() + head + i * kDayRecordSize);
    return Write(buffer.data(), buffer.size());
}

uint32_t CDataFile::Read(const std::string& path, SampleList& records, ReadError* why) {
    ReadError dummy;
    ReadError& error = why ? *why : dummy;
    error = ReadError::kNone;

    if (!OpenForReading(path)) {
        error = ReadError::kOpen;
        return 0;
    }
    uint64_t size = 0;
    if (!Size(&size)) {
        error = ReadError::kSize;
        return 0;
    }
    if (size > kMaxDayFileSize) {
        error = ReadError::kTooLarge;
        return 0;
    }
    if (size <= kDayHeaderSize) {
        error = ReadError::kNoRecords;
        return 0;
    }
    uint8_t header[kDayHeaderSize];
    const int64_t got = CShell::Read(header, kDayHeaderSize);
    if (got < int64_t(kDayMagicSize)) {
        error = ReadError::kHeaderRead;
        return 0;
    }
    if (!MagicMatches(header)) {
        error = ReadError::kMagic;
        return 0;
    }
    if (got < int64_t(kDayHeaderSize)) {
        error = ReadError::kHeaderRead;
        return 0;
    }
    const uint32_t thermometers = Load<uint32_t>(header + kDayMagicSize);
    if (thermometers == 0) {
        error = ReadError::kZeroCount;
        return 0;
    }
    const uint64_t body = size - kDayHeaderSize;
    const uint64_t n = body / kDayRecordSize;
    if (body != n * kDayRecordSize) {
        error = ReadError::kPartialRecord;
        return 0;
    }

    records.clear();
    records.reserve(size_t(std::min(n, kMaxReserve)));
    // Records are filled in place from a prototype: the default constructor asks the clock.
    SampleRecord prototype;
    prototype.time = 0;
    std::vector<uint8_t> block(size_t(std::min<uint64_t>(n, kBlockRecords)) * kDayRecordSize);
    uint64_t left = n;
    while (left > 0) {
        const size_t want = size_t(std::min<uint64_t>(left, kBlockRecords));
        const int64_t read = CShell::Read(block.data(), want * kDayRecordSize);
        // A short block still holds whole records worth keeping for the caller's inspection.
        const size_t whole = read > 0 ? size_t(read) / kDayRecordSize : 0;
        const size_t first = records.size();
        records.resize(first + whole, prototype);
        for (size_t i = 0; i < whole; ++i)
            DecodeRecord(block.data() + i * kDayRecordSize, records[first + i]);
        if (whole != want) {
            error = ReadError::kRecordRead;
            return 0;
        }
        left -= want;
    }
    return thermometers;
}

}  // namespace kalvo::SHELL
