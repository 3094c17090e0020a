// The alarms-and-offsets dialog: what it shows of a Rules value, what typing gives back, and the
// entries it refuses.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>

#include "desktop/pages/dlg_rules.h"

namespace kalvo {
namespace {

constexpr uint64_t kRoom = 0x5F00000A1B2C5F28ULL;
constexpr uint64_t kCellar = 0x7700000A1B2C6028ULL;
constexpr uint64_t kAbsent = 0x1100000000000128ULL;  // not on the bus now
constexpr uint64_t kSwitch = 0x660000000E00043AULL;

Rules Stored() {
    Rules rules;
    rules.sensors[kRoom] = SensorRules{-0.25, 2.0, 30.0, 120};
    rules.sensors[kAbsent] = SensorRules{0.5, {}, {}, {}};
    rules.channels[{kSwitch, 1}] = ChannelRules{300, 0};
    rules.alarm_command = "/usr/local/bin/notify-me";
    return rules;
}

struct Dialog {
    CDlgRules dialog{{{kRoom, u"Комната"}, {kCellar, u"Погреб"}}, {kSwitch}, Stored()};
    QString Text(int row, int col) { return dialog.Table()->item(row, col)->text(); }
    void Type(int row, int col, const char* text) {
        dialog.Table()->item(row, col)->setText(QString::fromUtf8(text));
    }
};

TEST(RulesDialog, ShowsTheStoredRulesOfTheDevicesOnTheBus) {
    Dialog d;
    EXPECT_EQ(d.Text(0, CDlgRules::kColDevice), QStringLiteral("Комната  (28-00000a1b2c5f)"));
    EXPECT_EQ(d.Text(0, CDlgRules::kColOffset), QStringLiteral("-0,25"));
    EXPECT_EQ(d.Text(0, CDlgRules::kColSilent), QStringLiteral("120"));
    EXPECT_EQ(d.Text(1, CDlgRules::kColLow), QString());
    const int b = d.dialog.FirstChannelRow() + 1;
    EXPECT_EQ(d.Text(b, CDlgRules::kColDevice), QStringLiteral("3a-0000000e0004 b"));
    EXPECT_EQ(d.Text(b, CDlgRules::kColMinOff), QStringLiteral("300"));
    EXPECT_EQ(d.dialog.CommandEdit()->text(), QStringLiteral("/usr/local/bin/notify-me"));
}

TEST(RulesDialog, TypedEntriesBecomeRulesAndClearedOnesGo) {
    Dialog d;
    d.Type(0, CDlgRules::kColOffset, "");
    d.Type(0, CDlgRules::kColLow, "");
    d.Type(0, CDlgRules::kColHigh, "");
    d.Type(0, CDlgRules::kColSilent, "");
    d.Type(1, CDlgRules::kColOffset, " 0.5 ");
    d.Type(1, CDlgRules::kColHigh, "12,5");
    const int a = d.dialog.FirstChannelRow();
    d.Type(a, CDlgRules::kColMinOn, "60");
    d.Type(a + 1, CDlgRules::kColMinOff, "0");
    const std::optional<Rules> rules = d.dialog.Read();
    ASSERT_TRUE(rules);
    EXPECT_FALSE(rules->sensors.count(kRoom));
    EXPECT_EQ(rules->sensors.at(kCellar), (SensorRules{0.5, {}, 12.5, {}}));
    EXPECT_EQ(rules->sensors.at(kAbsent), Stored().sensors.at(kAbsent));  // kept unseen
    EXPECT_EQ(rules->channels.at({kSwitch, 0}), (ChannelRules{0, 60}));
    EXPECT_FALSE(rules->channels.count({kSwitch, 1}));
}

TEST(RulesDialog, RefusesWhatIsNoRuleAndPointsAtIt) {
    struct Case {
        int row;
        int col;
        const char* text;
    };
    const int channel = Dialog().dialog.FirstChannelRow();
    for (const Case& c :
         {Case{0, CDlgRules::kColOffset, "abc"}, Case{0, CDlgRules::kColOffset, "11"},
          Case{1, CDlgRules::kColLow, "-60"}, Case{1, CDlgRules::kColHigh, "nan"},
          Case{0, CDlgRules::kColHigh, "2"},  // not above the low limit of 2
          Case{0, CDlgRules::kColSilent, "1,5"}, Case{0, CDlgRules::kColSilent, "0"},
          Case{channel, CDlgRules::kColMinOff, "-1"}}) {
        Dialog d;
        d.Type(c.row, c.col, c.text);
        EXPECT_FALSE(d.dialog.Read()) << c.text;
        EXPECT_FALSE(d.dialog.ErrorLabel()->text().isEmpty()) << c.text;
        EXPECT_EQ(d.dialog.Table()->currentRow(), c.row) << c.text;
        EXPECT_EQ(d.dialog.Table()->currentColumn(), c.col) << c.text;
        d.dialog.accept();
        EXPECT_EQ(d.dialog.Result(), Stored()) << c.text;
    }
}

}  // namespace
}  // namespace kalvo
