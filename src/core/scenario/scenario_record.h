#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kalvo {

// Record flags. Bits 0, 1 and 5 are derived from the row's texts; the others are run marks set
// by the timeline.
constexpr uint32_t kScenarioActive = 0x001;        // cycles != 0 and step 0 has a duration
constexpr uint32_t kScenarioHasCycles = 0x002;     // cycles != 0
constexpr uint32_t kScenarioCycleDone = 0x008;     // a cycle has been completed
constexpr uint32_t kScenarioFinished = 0x010;      // all cycles done
constexpr uint32_t kScenarioHasDelay = 0x020;      // delay != 0
constexpr uint32_t kScenarioDelayRunning = 0x040;  // waiting out the delay
constexpr uint32_t kScenarioDelayDone = 0x080;     // delay over in this cycle
constexpr uint32_t kScenarioDelayStarted = 0x100;  // one-shot notice for the thermostat
constexpr uint32_t kScenarioDerivedFlags = 0x023;  // everything but the run marks

// Step flags.
constexpr uint32_t kStepDefined = 0x1;    // duration != 0
constexpr uint32_t kStepExecuting = 0x2;  // run mark
constexpr uint32_t kStepExecuted = 0x4;   // run mark

constexpr int kScenarioCount = 16;
constexpr int kScenarioSteps = 16;
constexpr size_t kScenarioNameUnits = 32;  // including the terminator
constexpr size_t kScenarioStepSize = 16;
constexpr size_t kScenarioRecordSize = 338;
constexpr size_t kScenarioFileSize = kScenarioRecordSize * kScenarioCount;  // 5408

struct ScenarioStep {
    uint32_t duration = 0;  // seconds; 0 ends the cycle
    int32_t lower = 0;      // degrees C
    int32_t upper = 0;      // degrees C
    uint32_t flags = 0;

    bool operator==(const ScenarioStep&) const = default;
};

struct ScenarioRecord {
    uint16_t number = 0;  // grid row 0-15
    uint16_t cycles = 0;
    uint16_t delay = 0;      // seconds before the first step of each cycle
    int64_t start_time = 0;  // seconds since 1970-01-01 UTC; start of the current cycle
    uint32_t flags = 0;
    std::array<char16_t, kScenarioNameUnits> name{};  // NUL-terminated, NUL-filled
    std::array<ScenarioStep, kScenarioSteps> steps{};

    // A fresh record: everything zero but the number.
    static ScenarioRecord Fresh(int row);

    std::u16string Name() const;
    // Keeps at most 31 units and zero-fills the rest.
    void SetName(std::u16string_view text);

    bool operator==(const ScenarioRecord&) const = default;
};

using ScenarioStepImage = std::array<uint8_t, kScenarioStepSize>;
using ScenarioRecordImage = std::array<uint8_t, kScenarioRecordSize>;

// Packed little-endian images, independent of the host's layout and byte order.
ScenarioStepImage EncodeScenarioStep(const ScenarioStep& step);
ScenarioStep DecodeScenarioStep(std::span<const uint8_t, kScenarioStepSize> bytes);
ScenarioRecordImage EncodeScenarioRecord(const ScenarioRecord& record);
ScenarioRecord DecodeScenarioRecord(std::span<const uint8_t, kScenarioRecordSize> bytes);

}  // namespace kalvo
