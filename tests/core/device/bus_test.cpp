// The bus master over the scripted driver: primitives, inventory, temperature pass, switches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "core/common/messages.h"
#include "core/device/one_wire_bus.h"
#include "fake_d2xx.h"

namespace kalvo {
namespace {

using test::FakeD2xx;
using test::PaneText;
using test::Rom;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr RomCode kSensor = 0xC60000031F3C6B28ull;  // 28 6B 3C 1F 03 00 00 C6

struct Rows : ThermometerRows, SwitchRows {
    std::map<int, std::pair<std::u16string, uint32_t>> rows;
    std::vector<std::pair<RomCode, uint8_t>> refreshed;
    bool ThermometerRowExists(int row) const override { return rows.count(row) != 0; }
    std::u16string ThermometerName(int row) const override {
        return rows.count(row) ? rows.at(row).first : u"";
    }
    uint32_t ThermometerColour(int row) const override {
        return rows.count(row) ? rows.at(row).second : 0;
    }
    void RefreshSwitchRow(RomCode code, uint8_t status) override {
        refreshed.emplace_back(code, status);
    }
};

class BusTest : public ::testing::Test {
  protected:
    BusTest() {
        fake.devices.resize(1);
        // The script answers one byte an exchange; the batched path is shown over the
        // simulator.
        bus.SetBytewise(true);
        bus.SetStatusBar(&bar);
        bus.SetThermometerTable(&rows);
        bus.SetSwitchTable(&rows);
    }
    // Lists the bridges and opens the bus over these devices.
    bool Open(const std::vector<RomCode>& codes) {
        bus.Link().Bridges().resize(fake.devices.size());
        if (!codes.empty()) fake.QueueInventory(codes);
        return bus.OpenBus();
    }
    bool HasDeviceText() const {
        for (const auto& [pane, text] : test::TextsOf(bar))
            if (pane == kPaneDevice) return true;
        return false;
    }

    FakeD2xx fake;
    RecordingStatusBar bar;
    Rows rows;
    COneWireBus bus{FakeD2xx::Api()};
};

TEST_F(BusTest, Primitives) {
    // No bridge selected: no baud-rate call; the buffer comes back as sent.
    EXPECT_FALSE(bus.Reset());
    EXPECT_THAT(fake.calls, ElementsAre("SetTimeouts 1000 0"));
    EXPECT_TRUE(bus.WriteByte(0x5A));
    EXPECT_EQ(bus.ReadByte(), 0xFF);

    ASSERT_TRUE(Open({kSensor}));
    fake.calls.clear();
    EXPECT_TRUE(bus.Reset());
    EXPECT_THAT(fake.calls, ElementsAre("SetBaudRate 9600", "SetTimeouts 1000 0", "Purge 3",
                                        "Write 1: F0", "Read 1", "SetBaudRate 115200"));
    fake.presence = false;
    EXPECT_FALSE(bus.Reset());
    // Only an unchanged 0xF0 means nobody is there; a line held low counts as presence.
    fake.tamper = [](size_t, std::vector<uint8_t>& echo) { echo.assign(echo.size(), 0x00); };
    EXPECT_TRUE(bus.Reset());
    fake.tamper = nullptr;

    const size_t from = fake.writes.size();
    for (uint8_t b : {0x00, 0xFF, 0x55}) EXPECT_TRUE(bus.WriteByte(b));
    EXPECT_EQ(test::HexBytes(fake.writes[from]), "00 00 00 00 00 00 00 00");
    EXPECT_EQ(test::HexBytes(fake.writes[from + 1]), "FF FF FF FF FF FF FF FF");
    EXPECT_EQ(test::HexBytes(fake.writes[from + 2]), "FF 00 FF 00 FF 00 FF 00");
    fake.byte_reads = {0xF7};  // a device holds one slot low
    EXPECT_FALSE(bus.WriteByte(0xFF));

    // Short reads: missing echo bytes are 0.
    fake.read_limit = 4;
    EXPECT_TRUE(bus.WriteByte(0x00));
    EXPECT_FALSE(bus.WriteByte(0x80));
    fake.byte_reads = {0xFF};
    EXPECT_EQ(bus.ReadByte(), 0x0F);
    fake.read_limit = SIZE_MAX;

    fake.byte_reads = {0xA5};  // zeros echo as 0xFE: only 0xFF is a one
    EXPECT_EQ(bus.ReadByte(), 0xA5);
    fake.bit_reads = {true, false};
    bool first = false, second = true;
    bus.ReadTwoBits(first, second);
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
}

TEST_F(BusTest, MatchRomStopsAtTheFirstBadByte) {
    ASSERT_TRUE(Open({kSensor}));
    size_t from = fake.writes.size();
    EXPECT_TRUE(bus.MatchRom(kSensor));
    EXPECT_THAT(fake.SentBytes(from),
                ElementsAre(0x55, 0x28, 0x6B, 0x3C, 0x1F, 0x03, 0x00, 0x00, 0xC6));
    from = fake.writes.size();
    fake.tamper = [from](size_t index, std::vector<uint8_t>& echo) {
        if (index == from + 3) echo[0] ^= 0x01;  // the third ROM byte
    };
    EXPECT_FALSE(bus.MatchRom(kSensor));
    EXPECT_THAT(fake.SentBytes(from), ElementsAre(0x55, 0x28, 0x6B, 0x3C));
}

TEST_F(BusTest, InventoryTextsAndFailures) {
    ASSERT_TRUE(Open({kSensor}));
    EXPECT_EQ(bus.SelectedBridge(), 0);
    EXPECT_THAT(bus.Thermometers(), ElementsAre(kSensor));
    EXPECT_THAT(test::TextsOf(bar), ElementsAre(PaneText{kPaneMain, u"Search devices 1Wire"},
                                                PaneText{kPaneDevice, u"Found DS18B20"},
                                                PaneText{kPaneDevice, u"Found 1 devices"}));
    EXPECT_EQ(bar.ProgressUpper(), 16);
    EXPECT_FALSE(bar.ProgressExists());

    // Only a device of another family: false, nothing shown for it, the bridge closed.
    bar.Clear();
    EXPECT_FALSE(Open({Rom(0x01, 0x123456)}));
    EXPECT_EQ(bus.SelectedBridge(), -1);
    EXPECT_TRUE(fake.open_handles.empty());
    EXPECT_FALSE(HasDeviceText());

    // An empty bus: false at the first step, progress removed.
    fake.presence = false;
    bar.Clear();
    EXPECT_FALSE(Open({}));
    EXPECT_EQ(bar.ProgressSteps(), 1);
    EXPECT_FALSE(bar.ProgressExists());
    fake.presence = true;

    // No status bar: false before any bus traffic.
    COneWireBus quiet(FakeD2xx::Api());
    quiet.Link().Bridges().resize(1);
    fake.calls.clear();
    EXPECT_FALSE(quiet.OpenBus());
    EXPECT_EQ(fake.Count("Write"), 0u);

    // A position nobody answers ends the inventory; what was found stays listed.
    fake.bit_reads.clear();
    fake.QueueSearchPass(kSensor, {40});
    EXPECT_FALSE(Open({}));
    EXPECT_THAT(bus.Thermometers(), ElementsAre(kSensor));
}

TEST_F(BusTest, MisreadAndContradictingCodes) {
    // A code whose CRC does not check is no device, and no text is shown for it.
    const RomCode sw = Rom(0x3A, 0xABCDE);
    ASSERT_TRUE(Open({kSensor ^ (1ull << 30), sw}));
    EXPECT_THAT(bus.Thermometers(), IsEmpty());
    EXPECT_THAT(bus.Switches(), ElementsAre(sw));
    EXPECT_EQ(bar.Texts().size(), 3u);
    EXPECT_EQ(bar.LastText(kPaneDevice), u"Found 1 devices");

    // Pass 2 denies the discrepancy of pass 1 at 64 and claims one at 63, which leads back to
    // the same code: a bus that contradicts itself could keep the search going for ever.
    RomCode code = 0;
    for (uint64_t serial = 1; code == 0 || code >> 62; ++serial) code = Rom(0x28, serial);
    fake.QueueSearchPass(code, {64});
    fake.QueueSearchPass(code, {63});
    fake.QueueSearchPass(code | (1ull << 62), {63});  // would end the search
    EXPECT_FALSE(Open({}));
    EXPECT_THAT(bus.Thermometers(), ElementsAre(code));
}

TEST_F(BusTest, OpenBusWalksTheBridgeList) {
    fake.devices.resize(3);
    fake.devices[0].open_fails = true;
    EXPECT_TRUE(Open({kSensor}));
    EXPECT_EQ(bus.SelectedBridge(), 1);
    EXPECT_EQ(bus.SelectedHandle(), FakeD2xx::HandleOf(1));
    EXPECT_EQ(fake.Count("Open 2"), 0u);
}

TEST_F(BusTest, TemperaturePass) {
    EXPECT_EQ(bus.MeasureAll(), COneWireBus::kMeasureNotDone);  // no sensors: no traffic
    EXPECT_TRUE(fake.calls.empty());

    const RomCode t1 = Rom(0x28, 1), t2 = Rom(0x10, 2), t3 = Rom(0x28, 3);
    ASSERT_TRUE(Open({t1, t2, t3}));
    const auto& list = bus.Thermometers();
    rows.rows[0] = {u"Кухня", 0x00332211};  // rows 1 and 2 missing
    SetNowSecondsSource([] { return int64_t(1700000000); });
    fake.line_busy = true;
    fake.bit_reads = {false, false, true};  // converting for two slots
    const std::array<uint8_t, 9> bad = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1D};
    // 85.0 as a conversion leaves it: byte 6 is 0x10 - (LSB & 0x0F), not the power-on 0x0C.
    const std::array<uint8_t, 9> good = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10, 0xBD};
    fake.byte_reads.assign(bad.begin(), bad.end());  // read again, bad again
    fake.byte_reads.insert(fake.byte_reads.end(), bad.begin(), bad.end());
    fake.byte_reads.insert(fake.byte_reads.end(), good.begin(), good.end());
    // Nothing queued for the third: it reads nine 0xFF bytes, as a vanished sensor would.
    const size_t from = fake.writes.size();

    EXPECT_EQ(bus.MeasureAll(), 1);
    SetNowSecondsSource(nullptr);
    const SampleList& p = bus.PendingSamples();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].rom, list[0]);
    EXPECT_EQ(p[0].name, u"Кухня");
    EXPECT_EQ(p[0].colour, 0xFF112233u);
    EXPECT_EQ(p[0].valid, 0u);
    EXPECT_EQ(p[0].temperature, 0.0);  // bad CRC first in the pass
    EXPECT_EQ(p[1].name, u"");
    EXPECT_EQ(p[1].colour, 0xFF000000u);
    EXPECT_EQ(p[1].valid, 1u);
    // 0x0550 is 85 degrees on the DS18B20 scale; a DS1820 counts half degrees refined by the
    // counts (12 remaining of 16 per degree).
    EXPECT_DOUBLE_EQ(p[1].temperature, FamilyOf(list[1]) == kFamilyDs1820 ? 680.0 : 85.0);
    EXPECT_EQ(p[2].valid, 0u);
    EXPECT_EQ(p[2].temperature, p[1].temperature);
    for (const auto& s : p) EXPECT_EQ(s.time, 1700000000);

    // SKIP ROM, CONVERT T, then per read MATCH ROM + code, READ SCRATCHPAD, nine reads; the
    // first and the third sensor are read twice.
    const auto sent = fake.SentBytes(from);
    ASSERT_EQ(sent.size(), 2u + 5 * (9 + 1 + 9));
    EXPECT_THAT(std::vector<uint8_t>(sent.begin(), sent.begin() + 3),
                ElementsAre(0xCC, 0x44, 0x55));
    EXPECT_EQ(sent[11], 0xBE);

    // TakeLatest copies the last N records; with fewer than N it leaves the list alone.
    for (int i = 0; i < 4; ++i) bus.PendingSamples().emplace_back().temperature = 100 + i;
    SampleList out;
    ASSERT_TRUE(bus.TakeLatest(out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].temperature, 101);
    EXPECT_EQ(out[2].temperature, 103);
    bus.ClearPending();
    bus.PendingSamples().resize(2);
    EXPECT_FALSE(bus.TakeLatest(out));
    EXPECT_EQ(out.size(), 3u);
}

TEST_F(BusTest, AllZeroScratchpadIsNoReading) {
    // Echoes lost on the way read as zeros, and nine zeros pass the CRC.
    ASSERT_TRUE(Open({Rom(0x28, 1)}));
    fake.bit_reads = {true};
    fake.byte_reads.assign(9, 0x00);
    EXPECT_EQ(bus.MeasureAll(), 1);
    ASSERT_EQ(bus.PendingSamples().size(), 1u);
    EXPECT_EQ(bus.PendingSamples()[0].valid, 0u);
}

// What one DS18B20's scratchpad reads come to: a sample, its validity and the counters.
TEST_F(BusTest, ScratchpadsJudgedAndReadAgain) {
    const RomCode code = Rom(0x28, 7);
    ASSERT_TRUE(Open({code}));
    // bytes 0-1 the register, byte 6 as a conversion leaves it; the CRC made to fit.
    auto pad = [](uint16_t raw, uint8_t byte6) {
        std::vector<uint8_t> p = {uint8_t(raw), uint8_t(raw >> 8), 0x4B, 0x46, 0x7F, 0xFF, byte6,
                                  0x10};
        p.push_back(Crc8(p.data(), 8, 0));
        return p;
    };
    auto spoilt = [](std::vector<uint8_t> p) {
        p[1] ^= 0x04;
        return p;
    };
    const auto real85 = pad(0x0550, 0x10), power_on = pad(0x0550, 0x0C);
    const auto warm = pad(0x0191, 0x0F), low_power = pad(0x07FF, 0x01);
    const std::vector<uint8_t> zeros(9, 0x00), none;  // none: nine 0xFF, nobody sends
    const struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> answers;  // to the reads in turn
        long reads;
        uint32_t valid;
        double celsius;
        SensorHealth counted;  // rom and stuck not compared
    } cases[] = {
        {"real 85.0", {real85}, 1, 1, 85.0, {}},
        {"power-on 85.0, not read again", {power_on, warm}, 1, 0, 0, {.power_on_values = 1}},
        {"too little power", {low_power}, 1, 0, 0, {.low_power_values = 1}},
        {"bad CRC, then good", {spoilt(warm), warm}, 2, 1, 25.0625, {.crc_failures = 1}},
        {"bad CRC twice", {spoilt(warm), spoilt(warm)}, 2, 0, 0, {.crc_failures = 2}},
        {"zeros, then good", {zeros, warm}, 2, 1, 25.0625, {.missing_answers = 1}},
        {"no answer", {none, none}, 2, 0, 0, {.missing_answers = 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SensorHealth before = bus.HealthOf(code);
        fake.bit_reads = {true};
        fake.byte_reads.clear();
        for (const auto& answer : c.answers)
            fake.byte_reads.insert(fake.byte_reads.end(), answer.begin(), answer.end());
        const size_t from = fake.writes.size();
        bus.ClearPending();
        ASSERT_EQ(bus.MeasureAll(), 1);
        ASSERT_EQ(bus.PendingCount(), 1u);
        EXPECT_EQ(bus.PendingSamples()[0].valid, c.valid);
        EXPECT_DOUBLE_EQ(bus.PendingSamples()[0].temperature, c.celsius);
        const auto sent = fake.SentBytes(from);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), 0xBE), c.reads);
        const SensorHealth after = bus.HealthOf(code);
        EXPECT_EQ(after.crc_failures - before.crc_failures, c.counted.crc_failures);
        EXPECT_EQ(after.power_on_values - before.power_on_values, c.counted.power_on_values);
        EXPECT_EQ(after.low_power_values - before.low_power_values, c.counted.low_power_values);
        EXPECT_EQ(after.missing_answers - before.missing_answers, c.counted.missing_answers);
        EXPECT_EQ(after.overran_conversions, 0u);
    }
    EXPECT_THAT(bus.Health(), ElementsAre(bus.HealthOf(code)));
    EXPECT_EQ(bus.HealthOf(Rom(0x28, 8)), SensorHealth{.rom = Rom(0x28, 8)});
}

// A pass cut short by the line is completed with invalid samples, so the record holds whole
// passes; a period without any pass gets one of its own.
TEST_F(BusTest, MissedPassesAreRecordedWhole) {
    ASSERT_TRUE(Open({Rom(0x28, 1), Rom(0x28, 2)}));
    const RomCode t1 = bus.Thermometers()[0], t2 = bus.Thermometers()[1];
    static int64_t now = 1700000000;
    SetNowSecondsSource([] { return now; });
    std::vector<uint8_t> warm = {0x91, 0x01, 0x4B, 0x46, 0x7F, 0xFF, 0x0F, 0x10};
    warm.push_back(Crc8(warm.data(), 8, 0));
    fake.bit_reads = {true};
    fake.byte_reads.assign(warm.begin(), warm.end());
    int resets = 0;  // from the second sensor's read on, nobody answers
    fake.tamper = [&](size_t, std::vector<uint8_t>& echo) {
        if (fake.baud == 9600 && echo.size() == 1 && ++resets >= 3) echo[0] = 0xF0;
    };
    EXPECT_EQ(bus.MeasureAll(), 0);
    EXPECT_EQ(bus.LastPassFailure(), BusFault::kNoPresence);
    ASSERT_EQ(bus.PendingCount(), 1u);
    now += 1;
    bus.RecordMissedPass();
    now += 1;
    bus.RecordMissedPass();
    SetNowSecondsSource(nullptr);
    const SampleList& p = bus.PendingSamples();
    ASSERT_EQ(p.size(), 4u);
    const std::vector<std::tuple<RomCode, int64_t, uint32_t>> expected = {
        {t1, 1700000000, 1}, {t2, 1700000000, 0}, {t1, 1700000002, 0}, {t2, 1700000002, 0}};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(std::tuple(p[i].rom, p[i].time, p[i].valid), expected[i]) << i;
}

class SwitchTest : public BusTest {
  protected:
    void SetUp() override {
        ASSERT_NE(RomByte(sw, 7), 0xFF) << "the fake takes an all-ones byte for a read";
        ASSERT_TRUE(Open({sw}));
    }
    // What PIO ACCESS WRITE sent (command, value, inverse) after MATCH ROM at `from`.
    std::vector<uint8_t> WriteCommand(size_t from, size_t skip = 0) {
        const auto sent = fake.SentBytes(from);
        return std::vector<uint8_t>(sent.begin() + long(skip) + 9, sent.begin() + long(skip) + 12);
    }
    const RomCode sw = Rom(0x3A, 0xABCD);
};

TEST_F(SwitchTest, SetChannels) {
    size_t from = fake.writes.size();
    fake.byte_reads = {0xAA, 0x3C};  // A latch and pin 0, B latch and pin 1
    EXPECT_EQ(bus.SetChannels(sw, 1, 0), 1);
    EXPECT_THAT(WriteCommand(from), ElementsAre(0x5A, 0xFE, 0x01));
    EXPECT_THAT(rows.refreshed, ElementsAre(std::pair{sw, uint8_t(0x3C)}));

    // Both off: the value 0xFF is itself an all-ones transfer, so its echo is queued first.
    from = fake.writes.size();
    fake.byte_reads = {0xFF, 0xAA, 0xA5};
    EXPECT_EQ(bus.SetChannels(sw, 0, 0), -3);
    EXPECT_THAT(WriteCommand(from), ElementsAre(0x5A, 0xFF, 0x00));

    // Not confirmed: a failure, and the row keeps what it shows.
    rows.refreshed.clear();
    fake.byte_reads = {0x55, 0xC3};
    EXPECT_EQ(bus.SetChannels(sw, 1, 1), 0);
    EXPECT_THAT(rows.refreshed, IsEmpty());
}

TEST_F(SwitchTest, SetChannelKeepsTheOtherChannel) {
    // Both on (0xF0): switching A off keeps B on.
    size_t from = fake.writes.size();
    fake.byte_reads = {0xF0, 0xAA, 0xE1};
    bus.SetChannel(sw, 0, 0);
    EXPECT_EQ(fake.SentBytes(from)[9], 0xF5);
    EXPECT_THAT(WriteCommand(from, 11), ElementsAre(0x5A, 0xFD, 0x02));

    // Both off (0x0F): switching B on keeps A off; 0xC3 is right and new, so refresh.
    from = fake.writes.size();
    rows.refreshed.clear();
    fake.byte_reads = {0x0F, 0xAA, 0xC3};
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), 1);
    EXPECT_EQ(WriteCommand(from, 11)[1], 0xFD);
    EXPECT_THAT(rows.refreshed, ElementsAre(std::pair{sw, uint8_t(0xC3)}));

    // Same upper nibble before and after: no refresh, the result still given.
    rows.refreshed.clear();
    fake.byte_reads = {0xC3, 0xAA, 0xCB};
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), -2);
    EXPECT_THAT(rows.refreshed, IsEmpty());

    // Write not confirmed: 0, no refresh.
    fake.byte_reads = {0x0F, 0x00};
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), 0);
    EXPECT_THAT(rows.refreshed, IsEmpty());

    // Status unreadable: 0, and nothing is written.
    fake.presence = false;
    from = fake.writes.size();
    EXPECT_EQ(bus.SetChannel(sw, 1, 0), 0);
    EXPECT_EQ(fake.writes.size(), from + 1);  // the reset only
}

}  // namespace
}  // namespace kalvo
