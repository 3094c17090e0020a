#include "core/archive/line_protocol.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/archive/data_file.h"
#include "core/common/pass_report.h"
#include "core/common/text.h"

namespace kalvo {

std::string ShortestDecimal(double value) {
    if (!std::isfinite(value)) return {};
    if (value == 0) value = 0;  // no "-0"
    char buffer[400];           // the longest fixed form of a double is 309 digits and a sign
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

std::string EscapeTag(std::string_view utf8) {
    std::string plain;
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        plain += (u < 0x20 || u == 0x7F) ? ' ' : c;
    }
    const size_t first = plain.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    plain = plain.substr(first, plain.find_last_not_of(' ') - first + 1);
    std::string out;
    for (char c : plain) {
        if (c == ',' || c == '=' || c == ' ' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string LineProtocolRecord(const SampleRecord& record, std::string_view node) {
    constexpr int64_t kNsPerSecond = 1000000000;
    if (!SHELL::HoldsReading(record)) return {};
    if (record.time > std::numeric_limits<int64_t>::max() / kNsPerSecond ||
        record.time < std::numeric_limits<int64_t>::min() / kNsPerSecond)
        return {};
    std::string line = "temperature,id=" + W1Id(record.rom);
    if (const std::string name = EscapeTag(Utf16ToUtf8(record.name)); !name.empty())
        line += ",name=" + name;
    if (const std::string tag = EscapeTag(node); !tag.empty()) line += ",node=" + tag;
    line += " celsius=" + ShortestDecimal(record.temperature) + " " +
            std::to_string(record.time * kNsPerSecond) + "\n";
    return line;
}

}  // namespace kalvo
