#include "core/scenario/scenario_model.h"

#include <limits>
#include <vector>

#include "core/common/text.h"

namespace kalvo {
namespace {

bool IsSeparator(char16_t c) {
    return c == u':' || c == u';' || c == u'/';
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

// Leading blanks, one sign, then digits as far as they go; no digits reads 0. Saturates at the
// 32-bit limits rather than wrapping, so "-2147483648" reads back exactly.
int32_t ReadNumber(std::u16string_view token) {
    size_t p = 0;
    while (p < token.size() && IsBlank(token[p])) ++p;
    bool negative = false;
    if (p < token.size() && (token[p] == u'+' || token[p] == u'-')) {
        negative = token[p] == u'-';
        ++p;
    }
    constexpr int64_t kMaxMagnitude = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; p < token.size() && token[p] >= u'0' && token[p] <= u'9'; ++p) {
        magnitude = magnitude * 10 + (token[p] - u'0');
        if (magnitude > kMaxMagnitude) magnitude = kMaxMagnitude;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return static_cast<int32_t>(std::min<int64_t>(magnitude, std::numeric_limits<int32_t>::max()));
}

// Blanks, one sign (when allowed), then at least one digit.
bool BeginsWithNumber(std::u16string_view token, bool sign_allowed) {
    size_t p = 0;
    while (p < token.size() && IsBlank(token[p])) ++p;
    if (sign_allowed && p < token.size() && (token[p] == u'+' || token[p] == u'-')) ++p;
    return p < token.size() && token[p] >= u'0' && token[p] <= u'9';
}

// The pieces between separators, empty ones dropped.
std::vector<std::u16string_view> Tokens(std::u16string_view text) {
    std::vector<std::u16string_view> tokens;
    size_t p = 0;
    while (p < text.size()) {
        while (p < text.size() && IsSeparator(text[p])) ++p;
        const size_t begin = p;
        while (p < text.size() && !IsSeparator(text[p])) ++p;
        if (p > begin) tokens.push_back(text.substr(begin, p - begin));
    }
    return tokens;
}

}  // namespace

bool StepTextParses(std::u16string_view text, bool with_thresholds) {
    const std::vector<std::u16string_view> tokens = Tokens(text);
    if (tokens.size() != 3 && !(with_thresholds && tokens.size() == 5)) return false;
    for (size_t i = 0; i < tokens.size(); ++i)
        if (!BeginsWithNumber(tokens[i], i >= 3)) return false;
    const uint64_t h = uint32_t(ReadNumber(tokens[0]));
    const uint64_t m = uint32_t(ReadNumber(tokens[1]));
    const uint64_t s = uint32_t(ReadNumber(tokens[2]));
    return (h * 60 + m) * 60 + s <= std::numeric_limits<uint32_t>::max();
}

uint32_t ParseStepText(std::u16string_view text, int32_t* lower, int32_t* upper) {
    // At most six tokens matter: three for the time, two thresholds, and one more to tell that
    // there were too many.
    int32_t values[6] = {};
    size_t count = 0;
    size_t p = 0;
    while (p < text.size()) {
        while (p < text.size() && IsSeparator(text[p])) ++p;
        const size_t begin = p;
        while (p < text.size() && !IsSeparator(text[p])) ++p;
        if (p == begin) break;
        if (count < 6) values[count] = ReadNumber(text.substr(begin, p - begin));
        ++count;
    }
    if (count < 3) return 0;
    // Two's complement wrap-around of the 32-bit sum, done unsigned to stay defined.
    const uint32_t h = static_cast<uint32_t>(values[0]);
    const uint32_t m = static_cast<uint32_t>(values[1]);
    const uint32_t s = static_cast<uint32_t>(values[2]);
    const uint32_t seconds = (h * 60u + m) * 60u + s;
    if (lower && upper && count == 5) {
        *lower = values[3];
        *upper = values[4];
    }
    return seconds;
}

std::u16string FormatTotalDuration(uint64_t seconds) {
    return ToU16(int64_t(seconds / 3600)) + u":" + ToU16(int64_t(seconds % 3600 / 60)) + u":" +
           ToU16(int64_t(seconds % 60)) + u";";
}

std::u16string FormatDuration(uint32_t seconds) {
    return FormatTotalDuration(seconds);
}

std::u16string FormatThresholds(int32_t lower, int32_t upper) {
    return ToU16(lower) + u"/" + ToU16(upper);
}

}  // namespace kalvo
