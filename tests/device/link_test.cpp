// The bridge link and the bridge search against the scripted driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/messages.h"
#include "device/ft_link.h"
#include "device/one_wire_bus.h"
#include "fake_d2xx.h"

namespace kalvo {
namespace {

using test::FakeD2xx;
using ::testing::ElementsAre;

class LinkTest : public ::testing::Test {
  protected:
    LinkTest() { fake.devices.resize(2); }
    FakeD2xx fake;
};

TEST_F(LinkTest, ExchangeRules) {
    CFtLink link(FakeD2xx::Api());
    link.Bridges().resize(1);
    const FT_HANDLE h = link.OpenByIndex(0);
    ASSERT_EQ(h, FakeD2xx::HandleOf(0));
    fake.ClearCalls();

    std::vector<uint8_t> empty;
    EXPECT_FALSE(link.Exchange(h, empty));
    EXPECT_TRUE(fake.calls.empty());

    std::vector<uint8_t> buffer = {0x00, 0xFF, 0x12};
    EXPECT_TRUE(link.Exchange(h, buffer));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x00, 0xFF, 0x12}));
    EXPECT_THAT(fake.calls,
                ElementsAre("SetTimeouts 1000 0", "Purge 3", "Write 3: 00 FF 12", "Read 3"));

    // Not open: the timeouts fail first and the buffer stays as sent.
    fake.ClearCalls();
    buffer = {0xF0};
    EXPECT_FALSE(link.Exchange(NOT_OPEN, buffer));
    EXPECT_EQ(buffer, std::vector<uint8_t>{0xF0});
    EXPECT_THAT(fake.calls, ElementsAre("SetTimeouts 1000 0"));

    // A short read keeps what arrived and zero-fills the rest.
    fake.read_limit = 2;
    buffer = {0x11, 0x22, 0x33, 0x44};
    EXPECT_FALSE(link.Exchange(h, buffer));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x11, 0x22, 0x00, 0x00}));

    fake.read_limit = SIZE_MAX;
    fake.ClearCalls();
    buffer.assign(1691, 0xFF);
    EXPECT_TRUE(link.Exchange(h, buffer));
    EXPECT_EQ(fake.calls.front(), "SetTimeouts 1000 139");
}

TEST_F(LinkTest, OpenConfiguresInOrderAndStopsAtFirstFailure) {
    CFtLink link(FakeD2xx::Api());
    EXPECT_EQ(link.OpenByIndex(0), nullptr);  // empty list: 0, no driver call
    EXPECT_TRUE(fake.calls.empty());

    link.Bridges().resize(2);
    EXPECT_EQ(link.UsbInTransferSize(), 64000u);
    EXPECT_EQ(link.BaudRate(), 131072u);
    const FT_HANDLE h = link.OpenByIndex(1);
    EXPECT_EQ(h, FakeD2xx::HandleOf(1));
    EXPECT_EQ(link.Bridges()[1].handle, h);
    EXPECT_EQ(link.Bridges()[0].handle, NOT_OPEN);
    EXPECT_THAT(fake.calls,
                ElementsAre("Open 1", "SetDataCharacteristics 8 0 0", "SetBaudRate 131072",
                            "SetUSBParameters 64000 0", "SetLatencyTimer 4"));

    // The rate last set is the one a later open applies.
    EXPECT_TRUE(link.SetBaudRate(h, 115200));
    EXPECT_EQ(link.BaudRate(), 115200u);
    EXPECT_TRUE(link.CloseBridge(h));
    fake.ClearCalls();
    fake.failing_call = "SetBaudRate";
    EXPECT_FALSE(link.Configure(FakeD2xx::HandleOf(1)));    // not open any more
    EXPECT_EQ(link.OpenByIndex(1), FakeD2xx::HandleOf(1));  // configure result not used
    EXPECT_THAT(fake.calls, ElementsAre("SetDataCharacteristics 8 0 0", "Open 1",
                                        "SetDataCharacteristics 8 0 0", "SetBaudRate 115200"));

    fake.devices[0].open_fails = true;
    EXPECT_EQ(link.OpenByIndex(0), NOT_OPEN);
    EXPECT_EQ(link.OpenByIndex(2), NOT_OPEN);  // outside the list
    EXPECT_EQ(link.OpenByIndex(-1), NOT_OPEN);
}

TEST_F(LinkTest, CloseRulesAndDestruction) {
    {
        CFtLink link(FakeD2xx::Api());
        link.Bridges().resize(2);
        const FT_HANDLE h0 = link.OpenByIndex(0);
        const FT_HANDLE h1 = link.OpenByIndex(1);
        fake.ClearCalls();

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
        fake.Open(0, &stray);
        EXPECT_FALSE(link.CloseBridge(stray));
        EXPECT_EQ(fake.open_handles.count(stray), 0u);

        EXPECT_EQ(link.Bridges()[1].handle, h1);
        fake.ClearCalls();
    }
    // Destruction closes what is still open, and only that.
    EXPECT_EQ(fake.CallsNamed("Close").size(), 1u);
    EXPECT_TRUE(fake.open_handles.empty());
}

class BridgeSearchTest : public LinkTest {
  protected:
    BridgeSearchTest() { bus.SetStatusBar(&bar); }
    COneWireBus bus{FakeD2xx::Api()};
    RecordingStatusBar bar;
};

TEST_F(BridgeSearchTest, FindsFt232rBridgesInIndexOrder) {
    fake.devices.resize(5);
    fake.devices[0].serial = "A1";
    fake.devices[0].description = "First bridge";
    fake.devices[1].open_fails = true;
    fake.devices[2].type = 8;  // another chip
    fake.devices[3].info_fails = true;
    fake.devices[4].serial = "0123456789ABCDEFGH";  // longer than the 16-byte buffer
    fake.devices[4].description = std::string(70, 'x');

    EXPECT_TRUE(bus.SearchBridges());
    const auto& bridges = bus.Link().Bridges();
    ASSERT_EQ(bridges.size(), 2u);
    EXPECT_EQ(bridges[0].SerialText(), u"A1");
    EXPECT_EQ(bridges[0].DescriptionText(), u"First bridge");
    EXPECT_EQ(bridges[1].SerialText(), u"0123456789ABCDE");
    EXPECT_EQ(bridges[1].DescriptionText(), std::u16string(63, u'x'));
    for (const auto& b : bridges) {
        EXPECT_EQ(b.flags, 0u);
        EXPECT_EQ(b.handle, NOT_OPEN);
        EXPECT_EQ(b.type, FT_DEVICE_232R);
    }
    // Every device opened for the check is closed again; the info call passes a null last one.
    EXPECT_TRUE(fake.open_handles.empty());
    EXPECT_EQ(fake.CallsNamed("Close").size(), 4u);
    EXPECT_EQ(fake.CallsNamed("GetDeviceInfo null").size(), 4u);
    EXPECT_EQ(fake.CallsNamed("ListDevices").size(), 5u);  // number + 2 per listed bridge

    EXPECT_THAT(
        test::TextsOf(bar),
        ElementsAre(test::PaneText{kPaneMain, u"Searching device FT232R"},
                    test::PaneText{kPaneMain, u"Device search FT232R completed successfully"}));
    EXPECT_EQ(bar.ProgressCreations(), 1);
    EXPECT_EQ(bar.ProgressUpper(), 5);
    EXPECT_EQ(bar.ProgressSteps(), 1 + 3 * 2);
    EXPECT_FALSE(bar.ProgressExists());

    // The list position is not the driver's index once devices were skipped; opening goes by
    // the driver's index.
    EXPECT_EQ(bridges[0].driver_index, 0);
    EXPECT_EQ(bridges[1].driver_index, 4);
    fake.ClearCalls();
    EXPECT_EQ(bus.Link().OpenByIndex(1), FakeD2xx::HandleOf(4));
    EXPECT_EQ(fake.calls.front(), "Open 4");
    EXPECT_TRUE(bus.Link().CloseBridge(FakeD2xx::HandleOf(4)));

    // A second search appends.
    EXPECT_TRUE(bus.SearchBridges());
    EXPECT_EQ(bus.Link().Bridges().size(), 4u);
}

TEST_F(BridgeSearchTest, FailuresAndTheirTexts) {
    fake.count_fails = true;
    EXPECT_FALSE(bus.SearchBridges());
    EXPECT_EQ(bar.LastText(kPaneMain), u"Device search FT232R failed");
    EXPECT_EQ(bar.ProgressCreations(), 0);

    fake.count_fails = false;
    fake.devices.clear();
    bar.Clear();
    EXPECT_FALSE(bus.SearchBridges());
    EXPECT_EQ(bar.Texts().size(), 1u);
    EXPECT_EQ(bar.ProgressCreations(), 0);

    // Devices found but none listed: the strings could not be read.
    fake.devices.resize(2);
    fake.devices[0].description_fails = true;
    fake.devices[1].serial_fails = true;
    bar.Clear();
    EXPECT_FALSE(bus.SearchBridges());
    EXPECT_TRUE(bus.Link().Bridges().empty());
    EXPECT_EQ(bar.LastText(kPaneMain), u"Device search FT232R failed");
    EXPECT_EQ(bar.ProgressSteps(), 1 + 1);  // the description step of device 1 only
    EXPECT_FALSE(bar.ProgressExists());
}

}  // namespace
}  // namespace kalvo
