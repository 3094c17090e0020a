// Step grammar, its formatters and the record image.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/common/text.h"
#include "core/scenario/scenario_model.h"

namespace kalvo {
namespace {

constexpr int32_t kKept = 7777;  // thresholds that must stay as they were

TEST(StepGrammar, ValuesAndOddTexts) {
    const struct {
        const char* label;
        std::u16string text;
        uint32_t seconds;
        int32_t lower, upper;
    } cases[] = {
        {"bare zero", u"0:0:0", 0, kKept, kKept},
        {"zero delay text", u"0:0:0;", 0, kKept, kKept},
        {"zero step", u"0:0:0; 20/30", 0, 20, 30},
        {"emptied step default", u"0:0:0; 125/125", 0, 125, 125},
        {"negative thresholds", u"1:30:0; -10/-5", 5400, -10, -5},
        {"one threshold only", u"10:0:0;25", 36000, kKept, kKept},
        {"separator kind is free", u"1/2/3:4;5", 3723, 4, 5},
        {"empty pieces dropped", u"::1:2:3;;4//5;", 3723, 4, 5},
        {"six numbers", u"1:2:3;4/5/6", 3723, kKept, kKept},
        {"two numbers", u"1:2", 0, kKept, kKept},
        {"empty", u"", 0, kKept, kKept},
        {"blanks and signs", u" 20: +3:-1", 72179, kKept, kKept},
        {"tab and newline", u"\t1:\n2:3", 3723, kKept, kKept},
        {"junk stops a number", u"5x:1:1; 2 5/3c", 18061, 2, 3},
        {"no digits read 0", u"abc:def:ghi;x/y", 0, 0, 0},
        {"blank piece counts", u"0:0:0; ", 0, kKept, kKept},
        {"fullwidth is no digit", u"１:2:3", 123, kKept, kKept},
        {"65536 seconds", u"18:12:16", 65536, kKept, kKept},
        {"negative time wraps", u"-1:0:0", 4294963696u, kKept, kKept},
        {"hours wrap at 32 bits", u"1193047:0:0", 1904, kKept, kKept},
        {"huge number saturates", u"99999999999:0:0", 4294963696u, kKept, kKept},
        {"threshold limits", u"0:0:0;-2147483648/2147483647", 0, INT32_MIN, INT32_MAX},
        {"thresholds saturate", u"0:0:0;-99999999999/99999999999", 0, INT32_MIN, INT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        int32_t lower = kKept, upper = kKept;
        EXPECT_EQ(ParseStepText(c.text, &lower, &upper), c.seconds);
        EXPECT_EQ(lower, c.lower);
        EXPECT_EQ(upper, c.upper);
        // One output alone is never written.
        lower = upper = kKept;
        EXPECT_EQ(ParseStepText(c.text, &lower, nullptr), c.seconds);
        EXPECT_EQ(ParseStepText(c.text, nullptr, &upper), c.seconds);
        EXPECT_EQ(lower + upper, 2 * kKept);
    }
}

// Texts are shown in full, and what is shown reads back as the same step, however large;
// otherwise a file saved after loading would differ from the file loaded.
TEST(StepFormat, ShownInFullAndReadBack) {
    EXPECT_EQ(FormatDuration(5400), u"1:30:0;");
    EXPECT_EQ(FormatDuration(1000u * 3600u), u"1000:0:0;");
    EXPECT_EQ(FormatDuration(UINT32_MAX), u"1193046:28:15;");
    EXPECT_EQ(FormatTotalDuration(uint64_t(UINT32_MAX) * 2), u"2386092:56:30;");
    EXPECT_EQ(FormatThresholds(20, 30), u"20/30");
    EXPECT_EQ(FormatThresholds(-1000, 12345), u"-1000/12345");

    const uint32_t durations[] = {59, 65536, 2147483648u, UINT32_MAX};
    const std::pair<int32_t, int32_t> thresholds[] = {{-10, -5}, {INT32_MIN, INT32_MAX}};
    for (uint32_t d : durations) {
        for (auto [lo, up] : thresholds) {
            const std::u16string text = FormatDuration(d) + u" " + FormatThresholds(lo, up);
            SCOPED_TRACE(Utf16ToUtf8(text));
            int32_t lower = kKept, upper = kKept;
            EXPECT_EQ(ParseStepText(text, &lower, &upper), d);
            EXPECT_EQ(std::pair(lower, upper), std::pair(lo, up));
            EXPECT_TRUE(StepTextParses(text, true));
        }
        EXPECT_TRUE(StepTextParses(FormatDuration(d), false));
    }
}

// What an editor takes: the forms the grammar is meant for, not everything it reads.
TEST(StepGrammar, TextsThatParse) {
    const struct {
        std::u16string text;
        bool step, delay;
    } cases[] = {
        {u"2:35:12;25/30", true, false},
        {u"0:0:30;20,5/25.5", true, false},
        {u"99:99:99", true, true},
        {u"0:1:0;", true, true},
        {u" 1 : 2 : 3 ; -10 / +5", true, false},
        {u"5x:1:1", true, true},
        {u"1193046:28:15", true, true},
        {u"1193046:28:16", false, false},
        {u"abc", false, false},
        {u"", false, false},
        {u"1:0:0;25", false, false},
        {u"1:2:3;4/5/6", false, false},
        {u"1:2", false, false},
        {u"-1:0:0", false, false},
        {u"0:+1:0", false, false},
        {u"0:0:0;x/30", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StepTextParses(c.text, true), c.step) << Utf16ToUtf8(c.text);
        EXPECT_EQ(StepTextParses(c.text, false), c.delay) << Utf16ToUtf8(c.text);
    }
}

}  // namespace
}  // namespace kalvo
