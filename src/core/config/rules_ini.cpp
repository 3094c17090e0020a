#include "core/config/rules_ini.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <map>

#include "core/common/pass_report.h"
#include "core/common/text.h"
#include "core/config/config_warning.h"
#include "core/device/rom_code.h"

namespace kalvo {
namespace {

using config_detail::Lower;
using config_detail::Warn;

constexpr char kAlarm[] = "alarm";
constexpr const char* kSensorKeys[] = {"offset", "alarm_low", "alarm_high", "silent_after"};
constexpr const char* kChannelKeys[] = {"min_off", "min_on"};

// A section name split at blanks.
std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        const size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

enum class SectionType { kOther, kSensor, kChannel, kBadSensor, kBadChannel };

struct SectionId {
    SectionType type = SectionType::kOther;
    uint64_t rom = 0;
    int channel = 0;
};

SectionId Classify(std::string_view section) {
    const std::vector<std::string> words = Words(section);
    SectionId id;
    if (words.empty()) return id;
    const std::string kind = Lower(words[0]);
    if (kind == "sensor") {
        id.type = SectionType::kBadSensor;
        if (words.size() != 2) return id;
        if (const auto rom = ParseW1Id(words[1])) {
            id.type = SectionType::kSensor;
            id.rom = *rom;
        }
    } else if (kind == "channel") {
        id.type = SectionType::kBadChannel;
        if (words.size() != 3) return id;
        const std::string letter = Lower(words[2]);
        const auto rom = ParseW1Id(words[1]);
        if (!rom || (letter != "a" && letter != "b")) return id;
        id.type = SectionType::kChannel;
        id.rom = *rom;
        id.channel = letter == "a" ? 0 : 1;
    }
    return id;
}

std::string Number(double value) {
    char buffer[64];
    if (value == 0) value = 0;  // no "-0"
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

bool ReadNumber(const std::string& text, double* value) {
    return ParseDecimal(Utf8ToUtf16(text), value) && std::isfinite(*value);
}

// Sets a number unless the file already says the same in its own spelling.
bool SetNumber(KalvoIni& ini, const std::string& section, const char* key, double value) {
    double old = 0;
    if (const auto text = ini.Get(section, key); text && ReadNumber(*text, &old) && old == value)
        return true;
    return ini.Set(section, key, Number(value));
}

}  // namespace

std::optional<uint64_t> ParseW1Id(std::string_view text) {
    if (text.size() != 15 || text[2] != '-') return std::nullopt;
    std::array<uint8_t, 8> bytes{};
    const auto hex = [&](size_t at, uint8_t* out) {
        unsigned value = 0;
        for (size_t i = at; i < at + 2; ++i) {
            const char c = text[i];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= unsigned(c - 'A' + 10);
            else
                return false;
        }
        *out = uint8_t(value);
        return true;
    };
    if (!hex(0, &bytes[0])) return std::nullopt;
    for (int index = 6; index >= 1; --index) {
        if (!hex(3 + size_t(6 - index) * 2, &bytes[size_t(index)])) return std::nullopt;
    }
    bytes[7] = Crc8(bytes.data(), 7, 0);
    return RomFromBytes(bytes);
}

Rules ReadRules(const KalvoIni& ini, std::vector<std::string>* warnings) {
    Rules rules;
    for (const std::string& section : ini.Sections()) {
        const SectionId id = Classify(section);
        const auto warn = [&](const std::string& key, const std::string& text) {
            Warn(warnings, ini, ini.LineOf(section, key),
                 "[" + section + "] " + (key.empty() ? "" : key + ": ") + text);
        };
        const auto known = [](const std::string& key, const auto& keys) {
            for (const char* k : keys) {
                if (key == k) return true;
            }
            return false;
        };
        switch (id.type) {
            case SectionType::kBadSensor:
                warn("", "not a sensor like [sensor 28-00000a1b2c5f]; ignored");
                continue;
            case SectionType::kBadChannel:
                warn("", "not a channel like [channel 3a-0000000e0004 a]; ignored");
                continue;
            case SectionType::kOther:
                if (section == kAlarm) {
                    for (const std::string& key : ini.Keys(section)) {
                        if (key != "command") warn(key, "unknown key, ignored");
                    }
                    rules.alarm_command = ini.Get(section, "command").value_or("");
                }
                continue;
            case SectionType::kSensor: {
                SensorRules& sensor = rules.sensors[id.rom];
                for (const std::string& key : ini.Keys(section)) {
                    const std::string text = *ini.Get(section, key);
                    if (!known(key, kSensorKeys)) {
                        warn(key, "unknown key, ignored");
                        continue;
                    }
                    if (text.empty()) continue;  // written but off
                    if (key == "silent_after") {
                        int64_t seconds = 0;
                        if (ParseInteger(Utf8ToUtf16(text), &seconds) && seconds > 0 &&
                            seconds <= std::numeric_limits<int>::max())
                            sensor.silent_after = int(seconds);
                        else
                            warn(key, "'" + text + "' is not a number of seconds; ignored");
                        continue;
                    }
                    double value = 0;
                    if (!ReadNumber(text, &value)) {
                        warn(key, "'" + text + "' is not a temperature; ignored");
                        continue;
                    }
                    if (key == "offset")
                        sensor.offset = value;
                    else if (key == "alarm_low")
                        sensor.alarm_low = value;
                    else
                        sensor.alarm_high = value;
                }
                if (sensor.alarm_low && sensor.alarm_high &&
                    *sensor.alarm_low >= *sensor.alarm_high)
                    warn("alarm_low", "not below alarm_high; the alarm never clears");
                if (sensor == SensorRules{}) rules.sensors.erase(id.rom);
                continue;
            }
            case SectionType::kChannel: {
                ChannelRules& channel = rules.channels[{id.rom, id.channel}];
                for (const std::string& key : ini.Keys(section)) {
                    const std::string text = *ini.Get(section, key);
                    if (!known(key, kChannelKeys)) {
                        warn(key, "unknown key, ignored");
                        continue;
                    }
                    if (text.empty()) continue;
                    int64_t seconds = 0;
                    if (!ParseInteger(Utf8ToUtf16(text), &seconds) || seconds < 0 ||
                        seconds > std::numeric_limits<int>::max()) {
                        warn(key, "'" + text + "' is not a number of seconds; ignored");
                        continue;
                    }
                    (key == "min_off" ? channel.min_off : channel.min_on) = int(seconds);
                }
                if (channel == ChannelRules{}) rules.channels.erase({id.rom, id.channel});
                continue;
            }
        }
    }
    return rules;
}

bool WriteRules(KalvoIni& ini, const Rules& rules) {
    bool ok = true;
    // The sections the file already has, by what they name, so their spelling stays.
    std::map<uint64_t, std::vector<std::string>> sensor_sections;
    std::map<std::pair<uint64_t, int>, std::vector<std::string>> channel_sections;
    for (const std::string& section : ini.Sections()) {
        const SectionId id = Classify(section);
        if (id.type == SectionType::kSensor) sensor_sections[id.rom].push_back(section);
        if (id.type == SectionType::kChannel)
            channel_sections[{id.rom, id.channel}].push_back(section);
    }
    for (const auto& [rom, sensor] : rules.sensors) {
        if (!sensor_sections.count(rom) && !(sensor == SensorRules{}))
            sensor_sections[rom].push_back("sensor " + W1Id(rom));
    }
    for (const auto& [key, channel] : rules.channels) {
        if (!channel_sections.count(key) && !(channel == ChannelRules{}))
            channel_sections[key].push_back("channel " + W1Id(key.first) + " " +
                                            (key.second == 0 ? "a" : "b"));
    }

    for (const auto& [rom, sections] : sensor_sections) {
        const auto found = rules.sensors.find(rom);
        const SensorRules sensor = found == rules.sensors.end() ? SensorRules{} : found->second;
        // The value goes to the section read last, where ReadRules found it; the others lose
        // the key so they cannot say otherwise.
        for (size_t i = 0; i < sections.size(); ++i) {
            const std::string& section = sections[i];
            const bool last = i + 1 == sections.size();
            const auto put = [&](const char* key, const std::optional<double>& value) {
                if (value && last)
                    ok = SetNumber(ini, section, key, *value) && ok;
                else
                    ini.Remove(section, key);
            };
            put("offset", sensor.offset);
            put("alarm_low", sensor.alarm_low);
            put("alarm_high", sensor.alarm_high);
            if (sensor.silent_after && last)
                ok = ini.Set(section, "silent_after", std::to_string(*sensor.silent_after)) && ok;
            else
                ini.Remove(section, "silent_after");
            ini.RemoveSectionIfEmpty(section);
        }
    }
    for (const auto& [key, sections] : channel_sections) {
        const auto found = rules.channels.find(key);
        const ChannelRules channel = found == rules.channels.end() ? ChannelRules{} : found->second;
        for (size_t i = 0; i < sections.size(); ++i) {
            const std::string& section = sections[i];
            const bool last = i + 1 == sections.size();
            const auto put = [&](const char* name, int seconds) {
                if (seconds > 0 && last)
                    ok = ini.Set(section, name, std::to_string(seconds)) && ok;
                else
                    ini.Remove(section, name);
            };
            put("min_off", channel.min_off);
            put("min_on", channel.min_on);
            ini.RemoveSectionIfEmpty(section);
        }
    }
    if (!rules.alarm_command.empty()) {
        ok = ini.Set(kAlarm, "command", rules.alarm_command) && ok;
    } else {
        ini.Remove(kAlarm, "command");
        ini.RemoveSectionIfEmpty(kAlarm);
    }
    return ok;
}

}  // namespace kalvo
