#include "core/scenario/scenario_record.h"

#include <algorithm>

#include "core/common/text.h"

namespace kalvo {
namespace {

// Field offsets inside the record image.
constexpr size_t kOffNumber = 0;
constexpr size_t kOffCycles = 2;
constexpr size_t kOffDelay = 4;
constexpr size_t kOffStart = 6;
constexpr size_t kOffFlags = 14;
constexpr size_t kOffName = 18;
constexpr size_t kOffSteps = kOffName + 2 * kScenarioNameUnits;

static_assert(kOffSteps == 82);
static_assert(kOffSteps + kScenarioSteps * kScenarioStepSize == kScenarioRecordSize);
static_assert(sizeof(ScenarioStepImage) == 16);
static_assert(sizeof(ScenarioRecordImage) == 338);
static_assert(kScenarioFileSize == 5408);

template <typename T>
void Put(uint8_t* out, T value) {
    using U = std::make_unsigned_t<T>;
    const U u = static_cast<U>(value);
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

template <typename T>
T Get(const uint8_t* in) {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<U>(U(in[i]) << (8 * i));
    return static_cast<T>(u);
}

}  // namespace

ScenarioRecord ScenarioRecord::Fresh(int row) {
    ScenarioRecord r;
    r.number = static_cast<uint16_t>(row);
    return r;
}

std::u16string ScenarioRecord::Name() const {
    // A file may hold a name without terminator; the last unit is never part of the name.
    return FromFixedField(name.data(), kScenarioNameUnits - 1);
}

void ScenarioRecord::SetName(std::u16string_view text) {
    const auto field = ToFixedField(text, kScenarioNameUnits);
    std::copy(field.begin(), field.end(), name.begin());
}

ScenarioStepImage EncodeScenarioStep(const ScenarioStep& step) {
    ScenarioStepImage out{};
    Put(&out[0], step.duration);
    Put(&out[4], step.lower);
    Put(&out[8], step.upper);
    Put(&out[12], step.flags);
    return out;
}

ScenarioStep DecodeScenarioStep(std::span<const uint8_t, kScenarioStepSize> bytes) {
    ScenarioStep s;
    s.duration = Get<uint32_t>(&bytes[0]);
    s.lower = Get<int32_t>(&bytes[4]);
    s.upper = Get<int32_t>(&bytes[8]);
    s.flags = Get<uint32_t>(&bytes[12]);
    return s;
}

ScenarioRecordImage EncodeScenarioRecord(const ScenarioRecord& record) {
    ScenarioRecordImage out{};
    Put(&out[kOffNumber], record.number);
    Put(&out[kOffCycles], record.cycles);
    Put(&out[kOffDelay], record.delay);
    Put(&out[kOffStart], record.start_time);
    Put(&out[kOffFlags], record.flags);
    for (size_t i = 0; i < kScenarioNameUnits; ++i)
        Put(&out[kOffName + 2 * i], static_cast<uint16_t>(record.name[i]));
    for (size_t k = 0; k < kScenarioSteps; ++k) {
        const auto step = EncodeScenarioStep(record.steps[k]);
        std::copy(step.begin(), step.end(), out.begin() + kOffSteps + k * kScenarioStepSize);
    }
    return out;
}

ScenarioRecord DecodeScenarioRecord(std::span<const uint8_t, kScenarioRecordSize> bytes) {
    ScenarioRecord r;
    r.number = Get<uint16_t>(&bytes[kOffNumber]);
    r.cycles = Get<uint16_t>(&bytes[kOffCycles]);
    r.delay = Get<uint16_t>(&bytes[kOffDelay]);
    r.start_time = Get<int64_t>(&bytes[kOffStart]);
    r.flags = Get<uint32_t>(&bytes[kOffFlags]);
    for (size_t i = 0; i < kScenarioNameUnits; ++i)
        r.name[i] = static_cast<char16_t>(Get<uint16_t>(&bytes[kOffName + 2 * i]));
    for (size_t k = 0; k < kScenarioSteps; ++k)
        r.steps[k] = DecodeScenarioStep(
            bytes.subspan(kOffSteps + k * kScenarioStepSize).first<kScenarioStepSize>());
    return r;
}

}  // namespace kalvo
