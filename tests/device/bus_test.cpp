// The bus master over the scripted driver: primitives, inventory, temperature pass, switches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "common/messages.h"
#include "device/one_wire_bus.h"
#include "device/registers.h"
#include "fake_d2xx.h"

namespace kalvo {
namespace {

using test::FakeD2xx;
using test::PaneText;
using test::Rom;
using ::testing::ElementsAre;

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
        bus.SetStatusBar(&bar);
        bus.SetThermometerTable(&rows);
        bus.SetSwitchTable(&rows);
        bus.SetClock(clock);
        fake.clock = &clock;
    }
    // Lists the bridges and opens the bus over these devices.
    bool Open(const std::vector<RomCode>& codes) {
        bus.Link().Bridges().resize(fake.devices.size());
        if (!codes.empty()) fake.QueueInventory(codes);
        return bus.OpenBus();
    }
    // The bytes sent as eight-slot transfers since the last ClearCalls, one per transfer.
    std::vector<uint8_t> SentBytes(size_t from) const {
        std::vector<uint8_t> out;
        for (size_t i = from; i < fake.writes.size(); ++i) {
            const auto& w = fake.writes[i];
            if (w.size() != 8) continue;
            uint8_t b = 0;
            for (int k = 0; k < 8; ++k)
                if (w[size_t(k)] == 0xFF) b |= uint8_t(1u << k);
            out.push_back(b);
        }
        return out;
    }

    FakeD2xx fake;
    ManualClock clock;
    RecordingStatusBar bar;
    Rows rows;
    COneWireBus bus{FakeD2xx::Api()};
};

TEST_F(BusTest, PrimitivesWithoutBridgeTouchNothingButTheTimeouts) {
    EXPECT_EQ(bus.SelectedBridge(), -1);
    EXPECT_EQ(bus.SelectedHandle(), NOT_OPEN);
    EXPECT_FALSE(bus.Reset());
    EXPECT_TRUE(fake.CallsNamed("SetBaudRate").empty());
    EXPECT_THAT(fake.calls, ElementsAre("SetTimeouts 1000 0"));
    // The buffer comes back as sent: a write looks echoed, a read reads ones.
    EXPECT_TRUE(bus.WriteByte(0x5A));
    EXPECT_EQ(bus.ReadByte(), 0xFF);
    EXPECT_EQ(bus.WriteSlot(0x00), 0x00);
    EXPECT_TRUE(fake.writes.empty());
}

TEST_F(BusTest, ResetSlotsAndBytePatterns) {
    ASSERT_TRUE(Open({kSensor}));
    fake.ClearCalls();
    EXPECT_TRUE(bus.Reset());
    EXPECT_THAT(fake.calls, ElementsAre("SetBaudRate 9600", "SetTimeouts 1000 0", "Purge 3",
                                        "Write 1: F0", "Read 1", "SetBaudRate 115200"));
    EXPECT_EQ(bus.Link().BaudRate(), 115200u);
    fake.presence = false;
    EXPECT_FALSE(bus.Reset());
    // Only an unchanged 0xF0 means nobody is there; a line held low is presence too.
    fake.tamper = [](size_t, std::vector<uint8_t>& echo) { echo.assign(echo.size(), 0x00); };
    EXPECT_TRUE(bus.Reset());
    fake.tamper = nullptr;

    const size_t from = fake.writes.size();
    EXPECT_TRUE(bus.WriteByte(0x00));
    EXPECT_TRUE(bus.WriteByte(0xFF));
    EXPECT_TRUE(bus.WriteByte(0x55));
    EXPECT_EQ(test::HexBytes(fake.writes[from]), "00 00 00 00 00 00 00 00");
    EXPECT_EQ(test::HexBytes(fake.writes[from + 1]), "FF FF FF FF FF FF FF FF");
    EXPECT_EQ(test::HexBytes(fake.writes[from + 2]), "FF 00 FF 00 FF 00 FF 00");

    // A slot some device held low does not echo as sent.
    fake.tamper = [](size_t, std::vector<uint8_t>& echo) { echo[3] = 0xFE; };
    EXPECT_FALSE(bus.WriteByte(0xFF));
    fake.tamper = nullptr;

    // Short reads: the missing echo bytes are 0.
    fake.read_limit = 4;
    EXPECT_TRUE(bus.WriteByte(0x00));
    EXPECT_FALSE(bus.WriteByte(0x80));
    fake.QueueBytes({0xFF});
    EXPECT_EQ(bus.ReadByte(), 0x0F);
    fake.read_limit = SIZE_MAX;

    fake.QueueBytes({0xA5, 0x00});
    EXPECT_EQ(bus.ReadByte(), 0xA5);  // zeros come back as 0xFE: only 0xFF is a one
    EXPECT_EQ(bus.ReadByte(), 0x00);
    EXPECT_EQ(bus.ReadByte(), 0xFF);  // nobody answering

    fake.bit_reads = {true, false};
    fake.ClearCalls();
    bool first = false, second = true;
    bus.ReadTwoBits(first, second);
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(fake.CallsNamed("Write").size(), 2u);
    EXPECT_EQ(bus.WriteSlot(0x00), 0x00);
}

TEST_F(BusTest, MatchRomStopsAtTheFirstBadByte) {
    ASSERT_TRUE(Open({kSensor}));
    size_t from = fake.writes.size();
    EXPECT_TRUE(bus.MatchRom(kSensor));
    EXPECT_THAT(SentBytes(from), ElementsAre(0x55, 0x28, 0x6B, 0x3C, 0x1F, 0x03, 0x00, 0x00, 0xC6));

    from = fake.writes.size();
    fake.tamper = [from](size_t index, std::vector<uint8_t>& echo) {
        if (index == from + 3) echo[0] ^= 0x01;  // the third ROM byte
    };
    EXPECT_FALSE(bus.MatchRom(kSensor));
    EXPECT_THAT(SentBytes(from), ElementsAre(0x55, 0x28, 0x6B, 0x3C));
}

TEST_F(BusTest, InventoryOfOneThermometer) {
    ASSERT_TRUE(Open({kSensor}));
    EXPECT_EQ(bus.SelectedBridge(), 0);
    EXPECT_THAT(bus.Thermometers(), ElementsAre(kSensor));
    EXPECT_TRUE(bus.Switches().empty());
    EXPECT_THAT(test::TextsOf(bar), ElementsAre(PaneText{kPaneMain, u"Search devices 1Wire"},
                                                PaneText{kPaneDevice, u"Found DS18B20"},
                                                PaneText{kPaneDevice, u"Found 1 devices"}));
    EXPECT_EQ(bar.ProgressUpper(), 16);
    EXPECT_EQ(bar.ProgressSteps(), 1);
    EXPECT_FALSE(bar.ProgressExists());
    EXPECT_TRUE(fake.bit_reads.empty());  // the whole pass was read
}

TEST_F(BusTest, InventorySortsByNumberAndIgnoresOtherFamilies) {
    const RomCode t1 = Rom(0x28, 0x000000000001);
    const RomCode t2 = Rom(0x10, 0x0000000000A0);
    const RomCode t3 = Rom(0x28, 0x00000000BEEF);
    const RomCode sw = Rom(0x3A, 0x00000000ABCD);
    const RomCode other = Rom(0x01, 0x000000123456);
    ASSERT_TRUE(Open({t1, sw, other, t2, t3}));
    std::vector<RomCode> expected = {t1, t2, t3};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(bus.Thermometers(), expected);
    EXPECT_THAT(bus.Switches(), ElementsAre(sw));
    EXPECT_EQ(bar.LastText(kPaneDevice), u"Found 4 devices");
    int family_texts = 0;
    for (const auto& [pane, text] : test::TextsOf(bar))
        if (pane == kPaneDevice && text.rfind(u"Found DS", 0) == 0) ++family_texts;
    EXPECT_EQ(family_texts, 4);
    EXPECT_EQ(bar.ProgressSteps(), 5);
}

TEST_F(BusTest, InventoryProgressWrapsEverySixteenSteps) {
    std::vector<RomCode> codes = {kSensor};
    for (uint64_t i = 1; i <= 20; ++i) codes.push_back(Rom(0x01, i));
    ASSERT_TRUE(Open(codes));
    EXPECT_EQ(bar.ProgressSteps(), 21);
    EXPECT_EQ(bar.ProgressPos(), 5);
    EXPECT_EQ(bar.LastText(kPaneDevice), u"Found 1 devices");
}

TEST_F(BusTest, InventoryFailures) {
    // Only a device of another family.
    EXPECT_FALSE(Open({Rom(0x01, 0x123456)}));
    EXPECT_EQ(bus.SelectedBridge(), -1);
    EXPECT_EQ(bus.Link().Bridges()[0].handle, NOT_OPEN);
    EXPECT_TRUE(fake.open_handles.empty());
    for (const auto& [pane, text] : test::TextsOf(bar)) EXPECT_NE(pane, kPaneDevice);

    // An empty bus: no presence at the first step.
    fake.presence = false;
    bar.Clear();
    fake.ClearCalls();
    EXPECT_FALSE(Open({}));
    EXPECT_EQ(bar.ProgressSteps(), 1);
    EXPECT_FALSE(bar.ProgressExists());
    EXPECT_EQ(fake.CallsNamed("Close").size(), 1u);
    fake.presence = true;

    // Without a status bar nothing touches the bus.
    COneWireBus quiet(FakeD2xx::Api());
    quiet.Link().Bridges().resize(1);
    fake.ClearCalls();
    EXPECT_FALSE(quiet.OpenBus());
    EXPECT_TRUE(fake.CallsNamed("Write").empty());
    EXPECT_EQ(fake.CallsNamed("Close").size(), 1u);

    // A position where nobody answers ends the whole inventory, even after finds.
    fake.bit_reads.clear();
    bar.Clear();
    fake.QueueSearchPass(kSensor, {40});
    EXPECT_FALSE(Open({}));  // the second pass finds an empty queue: both bits read 1
    EXPECT_THAT(bus.Thermometers(), ElementsAre(kSensor));
}

TEST_F(BusTest, MisreadCodesAreNotDevices) {
    const RomCode bad = kSensor ^ (1ull << 30);  // CRC no longer checks
    const RomCode sw = Rom(0x3A, 0x0000000ABCDE);
    ASSERT_TRUE(Open({bad, sw}));
    EXPECT_TRUE(bus.Thermometers().empty());
    EXPECT_THAT(bus.Switches(), ElementsAre(sw));
    EXPECT_THAT(test::TextsOf(bar), ElementsAre(PaneText{kPaneMain, u"Search devices 1Wire"},
                                                PaneText{kPaneDevice, u"Found DS2413"},
                                                PaneText{kPaneDevice, u"Found 1 devices"}));
    bar.Clear();
    EXPECT_FALSE(Open({bad}));
    for (const auto& [pane, text] : test::TextsOf(bar)) EXPECT_NE(pane, kPaneDevice);
}

TEST_F(BusTest, ContradictingBusEndsTheInventory) {
    // Pass 1 takes the 0 branch at position 64; pass 2 is then told position 64 is not a
    // discrepancy any more and a new one at 63 leads back to the same code.
    RomCode code = 0;
    for (uint64_t serial = 1; code == 0 || code >> 62; ++serial) code = Rom(0x28, serial);
    fake.QueueSearchPass(code, {64});
    fake.QueueSearchPass(code, {63});
    fake.QueueSearchPass(code | (1ull << 62), {63});  // would end the search with LD 0
    EXPECT_FALSE(Open({}));
    EXPECT_THAT(bus.Thermometers(), ElementsAre(code));
    EXPECT_FALSE(bar.ProgressExists());
}

TEST_F(BusTest, OpenBusWalksTheBridgeList) {
    fake.devices.resize(3);
    fake.devices[0].open_fails = true;
    EXPECT_TRUE(Open({kSensor}));
    EXPECT_EQ(bus.SelectedBridge(), 1);
    EXPECT_EQ(bus.SelectedHandle(), FakeD2xx::HandleOf(1));
    EXPECT_TRUE(fake.CallsNamed("Open 2").empty());  // bridges after the chosen one stay shut

    // A failed inventory on the chosen bridge does not try the next one.
    COneWireBus second(FakeD2xx::Api());
    second.SetStatusBar(&bar);
    second.Link().Bridges().resize(3);
    second.Link().Bridges()[1].flags = 1;
    fake.devices[0].open_fails = false;
    fake.presence = false;
    fake.ClearCalls();
    EXPECT_FALSE(second.OpenBus());
    EXPECT_EQ(second.SelectedBridge(), -1);
    EXPECT_EQ(second.Link().Bridges()[0].handle, NOT_OPEN);
    EXPECT_EQ(fake.CallsNamed("Open").size(), 1u);

    COneWireBus none(FakeD2xx::Api());
    none.SetStatusBar(&bar);
    EXPECT_FALSE(none.OpenBus());  // no bridges at all
}

class MeasureTest : public BusTest {
  protected:
    static int64_t FixedNow() { return 1700000000; }
    MeasureTest() { SetNowSecondsSource(&FixedNow); }
    ~MeasureTest() override { SetNowSecondsSource(nullptr); }
    static Scratchpad WithCrc(std::array<uint8_t, 8> bytes) {
        Scratchpad pad{};
        std::copy(bytes.begin(), bytes.end(), pad.begin());
        pad[8] = Crc8(pad.data(), 8, 0);
        return pad;
    }
    void QueuePad(const Scratchpad& pad) {
        fake.byte_reads.insert(fake.byte_reads.end(), pad.begin(), pad.end());
    }
};

TEST_F(MeasureTest, NoThermometersNoTraffic) {
    EXPECT_EQ(bus.MeasureAll(), COneWireBus::kMeasureNotDone);
    EXPECT_TRUE(fake.calls.empty());
    SampleList out(2);
    EXPECT_FALSE(bus.TakeLatest(out));
    EXPECT_EQ(out.size(), 2u);
}

TEST_F(MeasureTest, ReadsEachSensorAndFillsTheRecord) {
    const RomCode s1820 = Rom(0x10, 0x000000B0B0B0);
    ASSERT_TRUE(Open({kSensor, s1820}));
    ASSERT_EQ(bus.Thermometers().size(), 2u);
    const bool s1820_first = bus.Thermometers()[0] == s1820;
    const int row_1820 = s1820_first ? 0 : 1;
    rows.rows[row_1820] = {u"Кухня", 0x00332211};  // the other row is missing

    fake.line_busy = true;
    fake.bit_reads = {false, false, false, true};  // converting for three slots
    const Scratchpad pad1820 = WithCrc({0x32, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x01, 0x10});
    const Scratchpad pad18b20 = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C};
    QueuePad(s1820_first ? pad1820 : pad18b20);
    QueuePad(s1820_first ? pad18b20 : pad1820);
    const size_t from = fake.writes.size();

    EXPECT_EQ(bus.MeasureAll(), 1);
    ASSERT_EQ(bus.PendingCount(), 2u);
    const SampleRecord& a = bus.PendingSamples()[size_t(row_1820)];
    EXPECT_EQ(a.rom, s1820);
    EXPECT_EQ(a.name, u"Кухня");
    EXPECT_DOUBLE_EQ(a.temperature, 25.6875);
    EXPECT_EQ(a.colour, 0xFF112233u);
    EXPECT_EQ(a.valid, 1u);
    EXPECT_EQ(a.time, 1700000000);
    const SampleRecord& b = bus.PendingSamples()[size_t(1 - row_1820)];
    EXPECT_EQ(b.rom, kSensor);
    EXPECT_EQ(b.name, u"");
    EXPECT_DOUBLE_EQ(b.temperature, 85.0);
    EXPECT_EQ(b.colour, 0xFF000000u);
    EXPECT_EQ(b.valid, 1u);
    EXPECT_EQ(b.time, 1700000000);

    // SKIP ROM, CONVERT T, then per sensor MATCH ROM + code, READ SCRATCHPAD, nine reads.
    const auto sent = SentBytes(from);
    ASSERT_EQ(sent.size(), 2u + 2 * (9 + 1 + 9));
    EXPECT_EQ(sent[0], 0xCC);
    EXPECT_EQ(sent[1], 0x44);
    EXPECT_EQ(sent[2], 0x55);
    EXPECT_EQ(sent[11], 0xBE);
    EXPECT_TRUE(fake.bit_reads.empty());
}

TEST_F(MeasureTest, BadCrcKeepsThePreviousTemperatureOfThePass) {
    const RomCode t1 = Rom(0x28, 1), t2 = Rom(0x28, 2), t3 = Rom(0x28, 3);
    ASSERT_TRUE(Open({t1, t2, t3}));
    fake.QueueBytes({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1D});  // CRC off by one
    fake.QueueBytes({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C});
    // Third sensor gone: nine 0xFF bytes (nothing queued).
    EXPECT_EQ(bus.MeasureAll(), 1);
    const auto& p = bus.PendingSamples();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].valid, 0u);
    EXPECT_EQ(p[0].temperature, 0.0);
    EXPECT_EQ(p[1].valid, 1u);
    EXPECT_EQ(p[2].valid, 0u);
    EXPECT_EQ(p[2].temperature, 85.0);
    EXPECT_EQ(p[2].rom, bus.Thermometers()[2]);
}

TEST_F(MeasureTest, ConversionTimeoutAndBusFailures) {
    const RomCode t1 = Rom(0x28, 1), t2 = Rom(0x28, 2);
    ASSERT_TRUE(Open({t1, t2}));
    fake.line_busy = true;
    fake.latency_ms = 4;
    const int64_t start = clock.NowMs();
    EXPECT_EQ(bus.MeasureAll(), COneWireBus::kMeasureNotDone);
    EXPECT_GT(clock.NowMs() - start, 2000);
    EXPECT_LE(clock.NowMs() - start, 2000 + 4 + 4 * 4);
    EXPECT_EQ(bus.PendingCount(), 0u);
    fake.line_busy = false;

    // The second sensor's address is not echoed: the first record stays, the pass gives 0.
    const size_t start_write = fake.writes.size();
    const size_t second_match = start_write + 1 + 2 + 1 + 9 + 1 + 9 + 1 + 1;
    fake.tamper = [second_match](size_t index, std::vector<uint8_t>& echo) {
        if (index == second_match) echo[0] ^= 0xFF;
    };
    EXPECT_EQ(bus.MeasureAll(), 0);
    EXPECT_EQ(bus.PendingCount(), 1u);
    fake.tamper = nullptr;

    fake.presence = false;
    EXPECT_EQ(bus.MeasureAll(), 0);
    EXPECT_EQ(bus.PendingCount(), 1u);
}

TEST_F(MeasureTest, TakeLatestCopiesTheLastPass) {
    ASSERT_TRUE(Open({Rom(0x28, 1), Rom(0x28, 2), Rom(0x28, 3)}));
    SampleList out(1);
    for (int i = 1; i <= 2; ++i) {
        bus.PendingSamples().emplace_back();
        bus.PendingSamples().back().temperature = i;
    }
    EXPECT_FALSE(bus.TakeLatest(out));
    EXPECT_EQ(out.size(), 1u);
    for (int i = 3; i <= 7; ++i) {
        bus.PendingSamples().emplace_back();
        bus.PendingSamples().back().temperature = i;
    }
    ASSERT_TRUE(bus.TakeLatest(out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].temperature, 5);
    EXPECT_EQ(out[2].temperature, 7);
    EXPECT_EQ(bus.PendingCount(), 7u);
    bus.ClearPending();
    EXPECT_FALSE(bus.TakeLatest(out));
}

class SwitchTest : public BusTest {
  protected:
    const RomCode sw = Rom(0x3A, 0x00000000ABCD);
    void SetUp() override {
        ASSERT_NE(RomByte(sw, 7), 0xFF) << "the fake takes an all-ones byte for a read";
        ASSERT_TRUE(Open({sw}));
    }
};

TEST_F(SwitchTest, SetChannelsSendsValueAndInverseThenRefreshes) {
    size_t from = fake.writes.size();
    fake.QueueBytes({0xAA, 0x3C});  // A latch and pin 0, B latch and pin 1
    EXPECT_EQ(bus.SetChannels(sw, 1, 0), 1);
    const auto sent = SentBytes(from);
    ASSERT_EQ(sent.size(), 9u + 3 + 2);
    EXPECT_EQ(sent[1], 0x3A);
    EXPECT_THAT(std::vector<uint8_t>(sent.begin() + 9, sent.begin() + 12),
                ElementsAre(0x5A, 0xFE, 0x01));
    EXPECT_THAT(rows.refreshed, ElementsAre(std::pair{sw, uint8_t(0x3C)}));

    // Both off: the value byte is 0xFF, itself an all-ones transfer; queue its echo first.
    from = fake.writes.size();
    fake.QueueBytes({0xFF, 0xAA, 0xFF});
    EXPECT_EQ(bus.SetChannels(sw, 0, 0), 1);
    const auto off = SentBytes(from);
    EXPECT_THAT(std::vector<uint8_t>(off.begin() + 9, off.begin() + 12),
                ElementsAre(0x5A, 0xFF, 0x00));
}

TEST_F(SwitchTest, UnconfirmedWriteIsAFailureAndLeavesTheRow) {
    fake.QueueBytes({0x55, 0xC3});  // no 0xAA
    EXPECT_EQ(bus.SetChannels(sw, 1, 1), 0);
    EXPECT_TRUE(rows.refreshed.empty());

    fake.byte_reads.clear();
    fake.QueueBytes({0x0F, 0x00});  // read status, then a missing confirmation
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), 0);
    EXPECT_TRUE(rows.refreshed.empty());

    // The status cannot be read: nothing is written.
    fake.presence = false;
    const size_t from = fake.writes.size();
    EXPECT_EQ(bus.SetChannel(sw, 1, 0), 0);
    EXPECT_EQ(fake.writes.size(), from + 1);  // the reset only
}

TEST_F(SwitchTest, SetChannelKeepsTheOtherChannel) {
    // Both on (0xF0): switching A off keeps B on.
    size_t from = fake.writes.size();
    fake.QueueBytes({0xF0, 0xAA, 0xE1});
    bus.SetChannel(sw, 0, 0);
    // PIO ACCESS READ: MATCH ROM + code, F5, one read; then the write.
    auto sent = SentBytes(from);
    ASSERT_EQ(sent.size(), (9u + 1 + 1) + (9 + 3 + 2));
    EXPECT_EQ(sent[9], 0xF5);
    EXPECT_EQ(sent[11 + 9], 0x5A);
    EXPECT_EQ(sent[11 + 10], 0xFD);

    // Both off (0x0F): switching B on keeps A off; 0xC3 is correct and a change, so refresh.
    from = fake.writes.size();
    rows.refreshed.clear();
    fake.QueueBytes({0x0F, 0xAA, 0xC3});
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), 1);
    sent = SentBytes(from);
    EXPECT_EQ(sent[11 + 10], 0xFD);
    EXPECT_THAT(rows.refreshed, ElementsAre(std::pair{sw, uint8_t(0xC3)}));

    // Same upper nibble before and after: no refresh, the result still reported.
    rows.refreshed.clear();
    fake.QueueBytes({0xC3, 0xAA, 0xCB});
    EXPECT_EQ(bus.SetChannel(sw, 1, 1), -2);
    EXPECT_TRUE(rows.refreshed.empty());
}

}  // namespace
}  // namespace kalvo
