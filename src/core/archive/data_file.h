#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/archive/shell.h"
#include "core/common/sample_record.h"

namespace kalvo::SHELL {

// Day file: a 32-byte header (28-byte magic, 32-bit thermometer count) and 96-byte records,
// all little-endian, so the size is always 32 + 96 * n.
constexpr size_t kDayHeaderSize = 32;
constexpr size_t kDayMagicSize = 28;
constexpr size_t kDayRecordSize = 96;
constexpr size_t kDayNameUnits = 32;  // UTF-16 units in the name field, terminator included
// The file magic, 14 UTF-16 units without terminator.
inline constexpr char16_t kDayFileMagic[] = u"KALVO_USB_V3xx";
// No real day comes near this: 64 sensors every 2 s fill about 265 MB. A larger file is refused
// before anything is read, so a damaged or foreign file cannot exhaust the memory.
constexpr uint64_t kMaxDayFileSize = uint64_t(512) << 20;

// Why Read gave 0, in the order the checks run.
enum class ReadError {
    kNone,
    kOpen,           // missing, not a regular file, or held by somebody else
    kSize,           // the size could not be queried
    kTooLarge,       // larger than kMaxDayFileSize
    kNoRecords,      // 32 bytes or less: empty or header only
    kHeaderRead,     // the header could not be read whole
    kMagic,          // not a day file of this version
    kZeroCount,      // the header's thermometer count is 0
    kPartialRecord,  // the size is not 32 + 96 * n
    kRecordRead,     // a record could not be read whole
};
// A short English text for the reason, for tools and logs.
const char* ReadErrorText(ReadError error);
// The same reason in the window's language.
std::u16string_view ReadErrorTextRus(ReadError error);

// A record that carries a temperature: not marked failed, and a finite number (a damaged file can
// hold NaN or infinity under a valid flag). Doubtful readings (valid 2) count.
inline bool HoldsReading(const SampleRecord& record) {
    return record.valid != 0 && std::isfinite(record.temperature);
}

// The fixed images. The name is cut to 31 units and zero-filled; the rest is copied unchanged.
void EncodeHeader(uint32_t thermometers, uint8_t* out /* kDayHeaderSize */);
void EncodeRecord(const SampleRecord& record, uint8_t* out /* kDayRecordSize */);
void DecodeRecord(const uint8_t* in /* kDayRecordSize */, SampleRecord& record);

class CDataFile : public CShell {
  public:
    using CShell::CShell;

    // Magic and count at the current position.
    bool WriteHeader(uint32_t thermometers);
    // All records from one buffer with one write; an empty list writes nothing and succeeds.
    bool WriteRecords(const SampleList& records);
    // A new file's header and its first records with one write, so that no crash can leave a
    // header without the records it came with.
    bool WriteHeaderAndRecords(uint32_t thermometers, const SampleList& records);
    // Reads a whole day file. Returns the header's thermometer count, or 0 when the file fails
    // a check; `why` then says which. On success `records` holds exactly the file's records in
    // file order; it is left untouched when the header checks fail.
    uint32_t Read(const std::string& path, SampleList& records, ReadError* why = nullptr);

  private:
    // The header (when given) and the records from one buffer with one write.
    bool WriteImages(const uint32_t* header, const SampleList& records);
};

}  // namespace kalvo::SHELL
