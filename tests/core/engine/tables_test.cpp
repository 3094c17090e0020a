// The thermometer and switch tables: rows from the inventory, palette, colour rules, the switch
// row refresh, the end-of-edit rules and what a threshold cell takes.
#include <gtest/gtest.h>

#include "core/common/text.h"
#include "core/engine/grid_kalvo.h"
#include "core/engine/grid_sw.h"

namespace kalvo {
namespace {

TEST(DeviceTablesTest, ThermometerRows) {
    GridKalvo grid;
    EXPECT_FALSE(grid.Fill(std::vector<RomCode>{}));
    std::vector<RomCode> codes{0x0100000ABCDEF028};  // top byte below 0x10: 15 digits
    for (uint64_t i = 1; i < 12; ++i) codes.push_back(0x28 + (i << 8));
    ASSERT_TRUE(grid.Fill(codes));
    ASSERT_EQ(grid.RowCount(), 12);
    EXPECT_EQ(grid.CellText(0, GridKalvo::kColSerial), u"100000abcdef028");
    EXPECT_EQ(grid.ThermometerName(11), u"Термометр 12");
    // Every row its own colour, also past the first ten.
    EXPECT_EQ(grid.ThermometerColour(10), Rgb(30, 135, 255));
    EXPECT_EQ(grid.ThermometerColour(11), Rgb(135, 90, 120));
    for (int a = 0; a < 64; ++a)
        for (int b = a + 1; b < 64; ++b) EXPECT_NE(PaletteColour(a), PaletteColour(b)) << a << b;
    EXPECT_EQ(grid.ThermometerColour(12), 0u);

    EXPECT_EQ(grid.CellBackground(1, GridKalvo::kColColour), Rgb(199, 21, 133));
    EXPECT_EQ(grid.CellBackground(0, GridKalvo::kColState), Rgb(255, 250, 205));
    grid.UserSetText(0, GridKalvo::kColState, u"Запрещен");
    EXPECT_EQ(grid.CellBackground(0, GridKalvo::kColState), Rgb(193, 205, 205));
    grid.UserSetText(1, GridKalvo::kColName, std::u16string(40, u'ж'));
    EXPECT_EQ(grid.ThermometerName(1), std::u16string(31, u'ж'));
}

TEST(DeviceTablesTest, SwitchRows) {
    GridSw grid;
    grid.Fill(std::vector<RomCode>{0x9A0000000ABCDE3A, 0x13A});
    ASSERT_EQ(grid.RowCount(), 2);
    EXPECT_EQ(grid.SwitchRom(0), 0x9A0000000ABCDE3Au);
    EXPECT_EQ(grid.FindRow(0x13A), 1);
    EXPECT_EQ(grid.FindRow(0x23A), -1);

    // Pin bits 0 (A) and 2 (B); a low pin means the channel conducts.
    grid.RefreshSwitchRow(0x13A, 0xC3);
    EXPECT_EQ(grid.CellBackground(1, 8), Rgb(154, 205, 50));
    EXPECT_EQ(grid.CellBackground(1, 15), Rgb(255, 160, 122));
    EXPECT_EQ(grid.CellBackground(1, 9), Rgb(171, 130, 255));
    EXPECT_EQ(grid.CellBackground(1, 10), Rgb(224, 255, 255));

    const std::pair<int32_t, int32_t> numbers[] = {{16, 16}, {17, 0}, {-1, 0}, {3, 3}};
    for (auto [entered, kept] : numbers) {
        grid.UserSetNumber(0, 12, entered);
        EXPECT_EQ(grid.CellNumber(0, 12), kept) << entered;
    }
    grid.UserSetText(0, 6, std::u16string(40, u'x'));
    EXPECT_EQ(grid.CellText(0, 6).size(), 31u);
    grid.UserSetText(0, 9, std::u16string(40, u'x'));  // a channel name is cut only when saved
    EXPECT_EQ(grid.CellText(0, 9).size(), 40u);
}

TEST(DeviceTablesTest, ThresholdEntries) {
    GridSw grid;
    grid.Fill(std::vector<RomCode>{0x3A});
    const int low = GridSw::Col(1, GridSw::kColLowA), high = GridSw::Col(1, GridSw::kColHighA);
    EXPECT_TRUE(GridSw::IsThresholdColumn(GridSw::kColLowA));
    EXPECT_TRUE(GridSw::IsThresholdColumn(high));
    EXPECT_FALSE(GridSw::IsThresholdColumn(GridSw::kColNameA));
    struct Case {
        const char16_t* typed;
        const char16_t* stored;  // null: refused
        const char16_t* refusal;
    } cases[] = {
        {u"20,5", u"20,5", u""},
        {u" 21.25 ", u"21.25", u""},
        {u"-55", u"-55", u""},
        {u"125", u"125", u""},
        {u"", u"", u""},
        {u"  ", u"", u""},
        {u"-10,126", u"-10,1", u""},
        {u"124.996", u"125", u""},
        {u"0020", u"0020", u""},
        {u"abc", nullptr, kThresholdRangeText},
        {u"99999", nullptr, kThresholdRangeText},
        {u"125,01", nullptr, kThresholdRangeText},
        {u"-55.5", nullptr, kThresholdRangeText},
        {u"20 5", nullptr, kThresholdRangeText},
        {u"1e2", nullptr, kThresholdRangeText},
    };
    for (const Case& c : cases) {
        const GridSw::ThresholdEntry entry = grid.CheckThresholdEntry(0, low, c.typed);
        EXPECT_EQ(entry.text.has_value(), c.stored != nullptr) << Utf16ToUtf8(c.typed);
        if (c.stored) {
            EXPECT_EQ(*entry.text, c.stored) << Utf16ToUtf8(c.typed);
        }
        EXPECT_EQ(entry.refusal, c.refusal) << Utf16ToUtf8(c.typed);
    }

    // Тн never above Тв, whichever is typed second; a cell without a valid number binds nothing.
    grid.SetCellText(0, high, u"22");
    EXPECT_EQ(grid.CheckThresholdEntry(0, low, u"22,0").text.value_or(u"refused"), u"22,0");
    EXPECT_EQ(grid.CheckThresholdEntry(0, low, u"22,5").refusal, kThresholdOrderText);
    grid.SetCellText(0, low, u"20");
    EXPECT_EQ(grid.CheckThresholdEntry(0, high, u"19.99").refusal, kThresholdOrderText);
    EXPECT_EQ(grid.CheckThresholdEntry(0, GridSw::kColHighA, u"19").text.value_or(u"refused"),
              u"19")
        << "channel A";
    grid.SetCellText(0, low, u"abc");
    EXPECT_EQ(grid.CheckThresholdEntry(0, high, u"-20").text.value_or(u"refused"), u"-20");

    EXPECT_FALSE(ValidThresholds(u"abc", u"22"));
    EXPECT_FALSE(ValidThresholds(u"20", u"200"));
    EXPECT_FALSE(ValidThresholds(u"22", u"20"));
    EXPECT_FALSE(ValidThresholds(u"", u"20"));
    ASSERT_TRUE(ValidThresholds(u"20,5", u"20.5"));
    EXPECT_EQ(ValidThresholds(u"-55", u"125")->low, -55.0);
}

}  // namespace
}  // namespace kalvo
