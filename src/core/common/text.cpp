#include "core/common/text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace kalvo {

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // lone surrogate
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    const size_t n = text.size();
    auto cont = [&](size_t k) { return k < n && (uint8_t(text[k]) & 0xC0) == 0x80; };
    while (i < n) {
        uint8_t b = uint8_t(text[i]);
        uint32_t c = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0 && cont(i + 1)) {
            c = ((b & 0x1F) << 6) | (uint8_t(text[i + 1]) & 0x3F);
            len = 2;
            if (c < 0x80) c = 0xFFFD;
        } else if ((b & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
            c = ((b & 0x0F) << 12) | ((uint8_t(text[i + 1]) & 0x3F) << 6) |
                (uint8_t(text[i + 2]) & 0x3F);
            len = 3;
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        } else if ((b & 0xF8) == 0xF0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            c = ((b & 0x07) << 18) | ((uint8_t(text[i + 1]) & 0x3F) << 12) |
                ((uint8_t(text[i + 2]) & 0x3F) << 6) | (uint8_t(text[i + 3]) & 0x3F);
            len = 4;
            if (c < 0x10000 || c > 0x10FFFF) c = 0xFFFD;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += len;
    }
    return out;
}

std::u16string WidenAnsi(std::string_view text) {
    std::u16string out;
    for (char ch : text) out += char16_t(uint8_t(ch));
    return out;
}

std::vector<char16_t> ToFixedField(std::u16string_view text, size_t n) {
    std::vector<char16_t> field(n, u'\0');
    if (n == 0) return field;
    const size_t len = std::min(text.size(), n - 1);
    for (size_t i = 0; i < len; ++i) field[i] = text[i];
    return field;
}

std::u16string FromFixedField(const char16_t* field, size_t n) {
    size_t len = 0;
    while (len < n && field[len] != u'\0') ++len;
    return std::u16string(field, len);
}

namespace {

struct Conversion {
    size_t begin = 0, end = 0;  // [begin, end) of the conversion in the format
    std::string pattern;        // "%...c" with grouping flags removed and length modifiers dropped
    char conv = 0;
};

// Finds the single number conversion; '%%' is literal text.
bool FindConversion(std::u16string_view f, Conversion* out) {
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != u'%') continue;
        if (i + 1 < f.size() && f[i + 1] == u'%') {
            ++i;
            continue;
        }
        std::string pattern = "%";
        size_t j = i + 1;
        while (j < f.size() && std::u16string_view(u"-+ #0'").find(f[j]) != std::u16string::npos) {
            if (f[j] != u'\'') pattern += char(f[j]);
            ++j;
        }
        int digits = 0;
        while (j < f.size() && ((f[j] >= u'0' && f[j] <= u'9') || f[j] == u'.')) {
            if (++digits > 6) return false;  // widths beyond reason are refused
            pattern += char(f[j++]);
        }
        while (j < f.size() && std::u16string_view(u"hlLqjzt").find(f[j]) != std::u16string::npos)
            ++j;
        if (j >= f.size()) return false;
        const char16_t c = f[j];
        if (std::u16string_view(u"diouxXeEfFgGaA").find(c) == std::u16string::npos) return false;
        out->begin = i;
        out->end = j + 1;
        out->conv = char(c);
        out->pattern = pattern;
        return true;
    }
    return false;
}

std::u16string Unescape(std::u16string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size(); ++i) {
        out += s[i];
        if (s[i] == u'%' && i + 1 < s.size() && s[i + 1] == u'%') ++i;
    }
    return out;
}

std::u16string FormatNumber(std::u16string_view format, bool is_double, double d, long long v) {
    Conversion cv;
    if (!FindConversion(format, &cv)) return Unescape(format).substr(0, 127);
    char buf[160];
    const bool int_conv = std::string_view("diouxX").find(cv.conv) != std::string_view::npos;
    std::string pattern = cv.pattern;
    int n;
    if (int_conv) {
        long long iv = v;
        if (is_double) iv = std::isfinite(d) && std::fabs(d) < 9.2e18 ? (long long)d : 0;
        pattern += "ll";
        pattern += cv.conv;
        n = std::snprintf(buf, sizeof buf, pattern.c_str(), iv);
    } else {
        pattern += cv.conv;
        n = std::snprintf(buf, sizeof buf, pattern.c_str(), is_double ? d : double(v));
    }
    std::u16string number;
    if (n > 0) {
        for (int k = 0; k < n && k < int(sizeof buf) - 1; ++k) {
            const char ch = buf[k];
            number += (!int_conv && ch == '.') ? u',' : char16_t(uint8_t(ch));
        }
    }
    std::u16string out =
        Unescape(format.substr(0, cv.begin)) + number + Unescape(format.substr(cv.end));
    if (out.size() > 127) out.resize(127);
    return out;
}

}  // namespace

std::u16string FormatRus(std::u16string_view format, double value) {
    return FormatNumber(format, true, value, 0);
}
std::u16string FormatRus(std::u16string_view format, int value) {
    return FormatNumber(format, false, 0.0, value);
}

std::u16string FormatTimeC(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return u"";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return WidenAnsi(buf);
}

namespace {
// Windows-1251, bytes 0x80..0xFF; 0 marks the one unassigned byte (0x98).
constexpr char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

struct ReverseCp1251 {
    // Cyrillic block U+0400..U+045F maps by table; the rest by search (few characters).
    uint8_t cyr[0x60] = {};
    ReverseCp1251() {
        for (int i = 0; i < 128; ++i) {
            char16_t c = kCp1251High[i];
            if (c >= 0x0400 && c < 0x0460) cyr[c - 0x0400] = uint8_t(0x80 + i);
        }
    }
};
}  // namespace

std::string EncodeCp1251(std::u16string_view text) {
    static const ReverseCp1251 rev;
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80) {
            out += char(c);
        } else if (c >= 0x0400 && c < 0x0460 && rev.cyr[c - 0x0400]) {
            out += char(rev.cyr[c - 0x0400]);
        } else {
            char b = '?';
            for (int i = 0; i < 128; ++i) {
                if (kCp1251High[i] == c && c != 0) {
                    b = char(0x80 + i);
                    break;
                }
            }
            out += b;
        }
    }
    return out;
}

std::u16string DecodeCp1251(std::string_view bytes) {
    std::u16string out;
    for (char ch : bytes) {
        uint8_t b = uint8_t(ch);
        out += b < 0x80 ? char16_t(b) : (kCp1251High[b - 0x80] ? kCp1251High[b - 0x80] : u'?');
    }
    return out;
}

namespace {
std::u16string_view Trim(std::u16string_view t) {
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (!t.empty() && blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    return t;
}
}  // namespace

bool ParseDecimal(std::u16string_view text, double* value) {
    text = Trim(text);
    if (text.empty() || text.size() > 64) return false;
    std::string ascii;
    bool digit = false, sep = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if ((c == u'-' || c == u'+') && i == 0) {
            ascii += char(c);
        } else if (c >= u'0' && c <= u'9') {
            ascii += char(c);
            digit = true;
        } else if ((c == u',' || c == u'.') && !sep) {
            ascii += '.';
            sep = true;
        } else {
            return false;
        }
    }
    if (!digit) return false;
    // strtod honours LC_NUMERIC; parse the integer and fraction ourselves.
    const bool neg = ascii[0] == '-';
    size_t p = (ascii[0] == '-' || ascii[0] == '+') ? 1 : 0;
    bool frac = false;
    std::string mant;
    int exp10 = 0;
    for (; p < ascii.size(); ++p) {
        if (ascii[p] == '.') {
            frac = true;
            continue;
        }
        mant += ascii[p];
        if (frac) --exp10;
    }
    // Exact decimal conversion via the C library in a locale-neutral form: "<digits>e<exp>".
    std::string norm = mant + "e" + std::to_string(exp10);
    errno = 0;
    char* end = nullptr;
    const double v =
        std::strtod(norm.c_str(), &end);  // no decimal point, so the locale does not matter
    if (errno == ERANGE || !std::isfinite(v)) return false;
    *value = neg ? -v : v;
    return true;
}

bool ParseInteger(std::u16string_view text, int64_t* value) {
    text = Trim(text);
    if (text.empty() || text.size() > 20) return false;
    size_t p = 0;
    bool neg = false;
    if (text[0] == u'-' || text[0] == u'+') {
        neg = text[0] == u'-';
        p = 1;
    }
    if (p >= text.size()) return false;
    unsigned long long v = 0;
    for (; p < text.size(); ++p) {
        if (text[p] < u'0' || text[p] > u'9') return false;
        v = v * 10 + (text[p] - u'0');
        if (v > 9223372036854775807ULL) return false;
    }
    *value = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

std::u16string ToU16(int64_t value) {
    return WidenAnsi(std::to_string(value));
}

std::u16string ToHex(uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(value));
    return WidenAnsi(buf);
}

}  // namespace kalvo
