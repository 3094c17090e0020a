// The bridge link and the bridge search against the scripted driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/common/messages.h"
#include "core/device/one_wire_bus.h"
#include "fake_d2xx.h"

namespace kalvo {
namespace {

using test::FakeD2xx;
using ::testing::ElementsAre;

TEST(Link, ExchangeRules) {
    FakeD2xx fake;
    fake.devices.resize(1);
    CFtLink link(FakeD2xx::Api());
    link.Bridges().resize(1);
    const FT_HANDLE h = link.OpenByIndex(0);
    fake.calls.clear();

    std::vector<uint8_t> buffer;
    EXPECT_FALSE(link.Exchange(h, buffer));
    EXPECT_TRUE(fake.calls.empty());

    buffer = {0x00, 0xFF, 0x12};
    EXPECT_TRUE(link.Exchange(h, buffer));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x00, 0xFF, 0x12}));
    EXPECT_THAT(fake.calls,
                ElementsAre("SetTimeouts 1000 0", "Purge 3", "Write 3: 00 FF 12", "Read 3"));

    // Not open: the timeouts fail first and the buffer stays as sent.
    fake.calls.clear();
    buffer = {0xF0};
    EXPECT_FALSE(link.Exchange(NOT_OPEN, buffer));
    EXPECT_EQ(buffer, std::vector<uint8_t>{0xF0});
    EXPECT_THAT(fake.calls, ElementsAre("SetTimeouts 1000 0"));

    fake.read_limit = 2;  // a short read keeps what arrived, zeros after it
    buffer = {0x11, 0x22, 0x33, 0x44};
    EXPECT_FALSE(link.Exchange(h, buffer));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x11, 0x22, 0x00, 0x00}));

    fake.read_limit = SIZE_MAX;
    fake.calls.clear();
    buffer.assign(1691, 0xFF);
    EXPECT_TRUE(link.Exchange(h, buffer));
    EXPECT_EQ(fake.calls.front(), "SetTimeouts 1000 139");
}

TEST(Link, OpenConfigureAndClose) {
    FakeD2xx fake;
    fake.devices.resize(2);
    {
        CFtLink link(FakeD2xx::Api());
        EXPECT_EQ(link.OpenByIndex(0), nullptr);  // empty list: 0, no driver call
        EXPECT_TRUE(fake.calls.empty());

        link.Bridges().resize(2);
        const FT_HANDLE h1 = link.OpenByIndex(1);
        EXPECT_EQ(h1, FakeD2xx::HandleOf(1));
        EXPECT_EQ(link.Bridges()[1].handle, h1);
        EXPECT_EQ(link.Bridges()[0].handle, NOT_OPEN);
        EXPECT_THAT(fake.calls,
                    ElementsAre("Open 1", "SetDataCharacteristics 8 0 0", "SetBaudRate 131072",
                                "SetUSBParameters 64000 0", "SetLatencyTimer 4"));
        // Configure stops at the first failure; the rate last set is the one applied.
        EXPECT_TRUE(link.SetBaudRate(h1, 115200));
        fake.failing_call = "SetBaudRate";
        fake.calls.clear();
        EXPECT_FALSE(link.Configure(h1));
        EXPECT_THAT(fake.calls, ElementsAre("SetDataCharacteristics 8 0 0", "SetBaudRate 115200"));
        EXPECT_EQ(link.OpenByIndex(2), NOT_OPEN);  // outside the list
        fake.devices[0].open_fails = true;
        EXPECT_EQ(link.OpenByIndex(0), NOT_OPEN);
        fake.devices[0].open_fails = false;
        const FT_HANDLE h0 = link.OpenByIndex(0);

        fake.calls.clear();
        EXPECT_FALSE(link.CloseBridge(NOT_OPEN));
        EXPECT_TRUE(fake.calls.empty());
        fake.close_status = FT_IO_ERROR;
        EXPECT_FALSE(link.CloseBridge(h0));
        EXPECT_EQ(link.Bridges()[0].handle, h0);
        fake.close_status = FT_OK;
        EXPECT_TRUE(link.CloseBridge(h0));
        EXPECT_EQ(link.Bridges()[0].handle, NOT_OPEN);
        // A handle no record holds: the driver closes it, the result is still false.
        FT_HANDLE stray = nullptr;
        FakeD2xx::Api().Open(0, &stray);
        EXPECT_FALSE(link.CloseBridge(stray));
        EXPECT_EQ(fake.open_handles.count(stray), 0u);
        fake.calls.clear();
    }
    // Destruction closes what is still open (bridge 1), and only that.
    EXPECT_THAT(fake.calls, ElementsAre("Close 1"));
    EXPECT_TRUE(fake.open_handles.empty());
}

TEST(BridgeSearch, ListsFt232rBridgesWithTextsAndProgress) {
    FakeD2xx fake;
    fake.devices.resize(5);
    fake.devices[0].serial = "A1";
    fake.devices[0].description = "First bridge";
    fake.devices[1].open_fails = true;
    fake.devices[2].type = 8;  // another chip
    fake.devices[3].info_fails = true;
    fake.devices[4].serial = "0123456789ABCDEFGH";  // fills the 16-byte buffer
    fake.devices[4].description = std::string(70, 'x');
    RecordingStatusBar bar;
    COneWireBus bus(FakeD2xx::Api());
    bus.SetStatusBar(&bar);

    EXPECT_TRUE(bus.SearchBridges());
    const auto& bridges = bus.Link().Bridges();
    ASSERT_EQ(bridges.size(), 2u);
    EXPECT_EQ(bridges[0].SerialText(), u"A1");
    EXPECT_EQ(bridges[0].DescriptionText(), u"First bridge");
    EXPECT_EQ(bridges[1].SerialText(), u"0123456789ABCDE");
    EXPECT_EQ(bridges[1].DescriptionText(), std::u16string(63, u'x'));
    EXPECT_EQ(bridges[1].handle, NOT_OPEN);
    EXPECT_TRUE(fake.open_handles.empty());  // every device opened for the check is closed
    EXPECT_EQ(fake.Count("GetDeviceInfo null"), 4u);
    EXPECT_THAT(
        test::TextsOf(bar),
        ElementsAre(test::PaneText{kPaneMain, u"Searching device FT232R"},
                    test::PaneText{kPaneMain, u"Device search FT232R completed successfully"}));
    EXPECT_EQ(bar.ProgressUpper(), 5);
    EXPECT_EQ(bar.ProgressSteps(), 1 + 3 * 2);
    EXPECT_FALSE(bar.ProgressExists());

    // Skipped devices shift the list: a bridge is opened by the driver's index.
    fake.calls.clear();
    EXPECT_EQ(bus.Link().OpenByIndex(1), FakeD2xx::HandleOf(4));
    EXPECT_EQ(fake.calls.front(), "Open 4");

    // Failures: no count, no devices, strings that cannot be read.
    fake.count_fails = true;
    bar.Clear();
    EXPECT_FALSE(bus.SearchBridges());
    EXPECT_EQ(bar.LastText(kPaneMain), u"Device search FT232R failed");
    EXPECT_EQ(bar.ProgressCreations(), 0);
    fake.count_fails = false;
    fake.devices.assign(2, {});
    fake.devices[0].description_fails = true;
    fake.devices[1].serial_fails = true;
    COneWireBus empty(FakeD2xx::Api());
    empty.SetStatusBar(&bar);
    bar.Clear();
    EXPECT_FALSE(empty.SearchBridges());
    EXPECT_TRUE(empty.Link().Bridges().empty());
    EXPECT_EQ(bar.LastText(kPaneMain), u"Device search FT232R failed");
    EXPECT_EQ(bar.ProgressSteps(), 2);  // the description step of device 1 only
    EXPECT_FALSE(bar.ProgressExists());
}

}  // namespace
}  // namespace kalvo
