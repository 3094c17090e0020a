#include <gtest/gtest.h>

#include <clocale>

#include "core/common/colour.h"
#include "core/common/sample_record.h"
#include "core/common/text.h"

namespace kalvo {
namespace {

TEST(FormatRus, NumbersUseADecimalComma) {
    struct Case {
        const char16_t* fmt;
        double value;
        const char16_t* want;
    } cases[] = {
        {u"%.2f", 23.5, u"23,50"},   {u"%.2f", -5.0625, u"-5,06"},
        {u"  %.2f", 0.0, u"  0,00"}, {u" t= %.2f\nвремя - ", 21.25, u" t= 21,25\nвремя - "},
        {u"%d", 42.9, u"42"},        {u"100%% %.1f", 1.25, u"100% 1,2"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatRus(c.fmt, c.value), c.want) << Utf16ToUtf8(c.fmt);
}

TEST(FormatRus, IntegersAndOddFormats) {
    EXPECT_EQ(FormatRus(u"     Время наблюдения - %.2dч.", 5), u"     Время наблюдения - 05ч.");
    EXPECT_EQ(FormatRus(u"%d", -17), u"-17");
    EXPECT_EQ(FormatRus(u"no conversion", 3), u"no conversion");
    EXPECT_EQ(FormatRus(u"%s", 3), u"%s");  // a string conversion is never fed a number
    EXPECT_EQ(FormatRus(u"%999999999f", 1.0), u"%999999999f");
    EXPECT_EQ(FormatRus(u"%.0f", 1e300).size(), 127u);
}

TEST(FormatRus, IgnoresTheProcessLocale) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) {
        EXPECT_EQ(FormatRus(u"%.2f", 1.5), u"1,50");
        double v = 0;
        EXPECT_TRUE(ParseDecimal(u"2.25", &v));
        EXPECT_DOUBLE_EQ(v, 2.25);
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(ParseDecimal, AcceptsCommaAndPoint) {
    struct Case {
        const char16_t* text;
        bool ok;
        double want;
    } cases[] = {
        {u"23,50", true, 23.5}, {u"23.5", true, 23.5}, {u"  -4,25 ", true, -4.25},
        {u"+7", true, 7},       {u"0", true, 0},       {u",5", true, 0.5},
        {u"", false, 0},        {u" ", false, 0},      {u"-", false, 0},
        {u"1,2,3", false, 0},   {u"12a", false, 0},    {u"1e5", false, 0},
        {u",", false, 0},       {u"--1", false, 0},    {u"Имя термометра", false, 0},
    };
    for (const auto& c : cases) {
        double v = -999;
        EXPECT_EQ(ParseDecimal(c.text, &v), c.ok) << Utf16ToUtf8(c.text);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.want) << Utf16ToUtf8(c.text);
        }
    }
}

TEST(ParseInteger, WholeTextOnly) {
    int64_t v = 0;
    EXPECT_TRUE(ParseInteger(u" 70000 ", &v));
    EXPECT_EQ(v, 70000);
    EXPECT_TRUE(ParseInteger(u"-3", &v));
    EXPECT_EQ(v, -3);
    EXPECT_FALSE(ParseInteger(u"3.5", &v));
    EXPECT_FALSE(ParseInteger(u"", &v));
    EXPECT_FALSE(ParseInteger(u"99999999999999999999", &v));
}

TEST(Utf, RoundTripsAndRepairs) {
    const std::u16string text = u"Термометр 1 °C \U0001F321";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
    EXPECT_EQ(Utf16ToUtf8(u"Январь"), "Январь");
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");    // truncated sequence
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");  // overlong
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(FixedField, TruncatesToSizeMinusOneAndFillsNul) {
    auto f = ToFixedField(u"abcdef", 4);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(std::u16string(f.begin(), f.end()), std::u16string(u"abc\0", 4));
    auto g = ToFixedField(u"ab", 5);
    EXPECT_EQ(std::u16string(g.begin(), g.end()), std::u16string(u"ab\0\0\0", 5));
    EXPECT_EQ(FromFixedField(g.data(), g.size()), u"ab");
    const char16_t full[3] = {u'x', u'y', u'z'};
    EXPECT_EQ(FromFixedField(full, 3), u"xyz");
}

TEST(Cp1251, EncodesCyrillicAndReplacesTheRest) {
    EXPECT_EQ(EncodeCp1251(u"Аа Яя Ёё №"), "\xC0\xE0 \xDF\xFF \xA8\xB8 \xB9");
    EXPECT_EQ(EncodeCp1251(u"н/д;°"), "\xED/\xE4;\xB0");
    EXPECT_EQ(EncodeCp1251(u"中\U0001F321"), "???");
    EXPECT_EQ(DecodeCp1251("\xC0\xE0\x98"), u"Аа?");
    for (int b = 0x80; b < 0x100; ++b) {
        if (b == 0x98) continue;
        std::string one(1, char(b));
        EXPECT_EQ(EncodeCp1251(DecodeCp1251(one)), one) << b;
    }
}

TEST(TimeText, LocalDayMonthYear) {
    // Tests run in a fixed zone (UTC+3, no summer time).
    EXPECT_EQ(FormatTimeC(0), u"01.01.1970 03:00:00");
    EXPECT_EQ(FormatTimeC(1700000000), u"15.11.2023 01:13:20");
}

TEST(Colour, ColorrefAndArgb) {
    EXPECT_EQ(ColorrefToArgb(0x00336699), 0xFF996633u);
    EXPECT_EQ(ArgbToColorref(0xFF996633u), 0x00336699u);
    EXPECT_EQ(ColorrefToArgb(0), 0xFF000000u);
}

TEST(SampleRecord, NewRecordDefaults) {
    SetNowSecondsSource([]() -> int64_t { return 1234; });
    SampleRecord r;
    SetNowSecondsSource(nullptr);
    EXPECT_EQ(r.time, 1234);
    EXPECT_EQ(r.colour, 0xFF008000u);
    EXPECT_EQ(r.valid, 0u);
    EXPECT_EQ(r.rom, 0u);
    EXPECT_EQ(r.temperature, 0.0);
}

TEST(Hex, NoLeadingZeros) {
    EXPECT_EQ(ToHex(0xC60000031F3C6B28ull), u"c60000031f3c6b28");
    EXPECT_EQ(ToHex(0x0F0000031F3C6B28ull), u"f0000031f3c6b28");
    EXPECT_EQ(ToHex(0), u"0");
}

}  // namespace
}  // namespace kalvo
