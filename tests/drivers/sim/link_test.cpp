// The bridge as the driver table shows it: listing, opening, settings, echo timing, faults.
#include <gtest/gtest.h>

#include <cstring>

#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"
#include "uart_master.h"

namespace kalvo::sim {
namespace {

void* Index(uintptr_t i) {
    return reinterpret_cast<void*>(i);
}

TEST(SimLink, ListsOpensAndDescribesBridges) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("A50285BI", "FT232R USB UART");
    world.AddBridge("B2", "Failing bridge", FT_DEVICE_232R, /*open_fails=*/true);
    world.AddBridge("0123456789ABCDEFXYZ", std::string(80, 'd'), 6);
    SetActiveWorld(&world);
    const D2xxApi& api = Api();

    DWORD count = 0;
    ASSERT_EQ(api.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 3u);
    char serial[16], description[64];
    ASSERT_EQ(api.ListDevices(Index(0), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    EXPECT_STREQ(serial, "A50285BI");
    ASSERT_EQ(api.ListDevices(Index(1), description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
              FT_OK);
    EXPECT_STREQ(description, "Failing bridge");
    EXPECT_EQ(api.ListDevices(Index(3), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);

    // Strings longer than the driver's buffers are cut to fit them, terminator included.
    char small[17];
    std::memset(small, 'x', sizeof small);
    ASSERT_EQ(api.ListDevices(Index(2), small, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(std::strlen(small), 15u);
    EXPECT_EQ(small[16], 'x');

    FT_HANDLE h = nullptr, again = nullptr;
    EXPECT_EQ(api.Open(1, &h), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(api.Open(7, &h), FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(api.Open(0, &h), FT_OK);
    EXPECT_NE(h, nullptr);
    EXPECT_NE(h, NOT_OPEN);
    EXPECT_EQ(api.Open(0, &again), FT_DEVICE_NOT_OPENED);  // already open

    ULONG type = 0;
    DWORD id = 0;
    std::memset(description, 'x', sizeof description);
    ASSERT_EQ(api.GetDeviceInfo(h, &type, &id, serial, description, nullptr), FT_OK);
    EXPECT_EQ(type, FT_DEVICE_232R);
    EXPECT_STREQ(serial, "A50285BI");
    EXPECT_STREQ(description, "FT232R USB UART");
    FT_HANDLE other = nullptr;
    ASSERT_EQ(api.Open(2, &other), FT_OK);
    ASSERT_EQ(api.GetDeviceInfo(other, &type, &id, serial, description, nullptr), FT_OK);
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(std::strlen(description), 63u);

    // Reopening starts from the chip's defaults again.
    EXPECT_EQ(api.SetBaudRate(h, 131072), FT_OK);
    EXPECT_EQ(api.SetBaudRate(h, 0), kFtInvalidBaudRate);
    EXPECT_EQ(api.Close(h), FT_OK);
    ASSERT_EQ(api.Open(0, &h), FT_OK);
    EXPECT_EQ(world.Bridge(0).baud, 9600u);
    EXPECT_EQ(api.Close(h), FT_OK);
    EXPECT_EQ(api.Close(h), FT_INVALID_HANDLE);
    EXPECT_EQ(api.SetBaudRate(h, 9600), FT_INVALID_HANDLE);
    EXPECT_EQ(api.SetTimeouts(NOT_OPEN, 1000, 0), FT_INVALID_HANDLE);
    EXPECT_EQ(api.SetTimeouts(nullptr, 1000, 0), FT_INVALID_HANDLE);
    EXPECT_EQ(api.Close(other), FT_OK);

    SetActiveWorld(nullptr);
    EXPECT_NE(api.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_NE(api.Open(0, &h), FT_OK);
}

TEST(SimLink, EchoReadsTakeTheLatencyOnTheWorldsClock) {
    ManualClock clock(5000);
    World world(clock);
    world.AddBridge("S", "D");
    test::UartMaster m(world);  // latency timer 4 ms, read timeout 1000 ms
    m.Exchange({0xFF});         // the rate change of the open is behind

    const int64_t t0 = clock.NowMs();
    EXPECT_EQ(m.Exchange({0xFF, 0x00, 0xFF}), (std::vector<uint8_t>{0xFF, 0x00, 0xFF}));
    EXPECT_EQ(clock.NowMs() - t0, 4);

    world.SetLatencyMs(7);
    m.Exchange({0xFF});
    EXPECT_EQ(clock.NowMs() - t0, 11);
    world.SetLatencyMs(0);
    m.Exchange({0xFF});
    EXPECT_EQ(clock.NowMs() - t0, 11);
    world.SetLatencyMs(-1);  // back to the program's latency timer
    m.Exchange({0xFF});
    EXPECT_EQ(clock.NowMs() - t0, 15);

    // Writes without reads pile up until purged.
    DWORD n = 0;
    uint8_t bytes[2] = {0xFF, 0xFF};
    Api().Write(m.handle(), bytes, 2, &n);
    Api().Write(m.handle(), bytes, 2, &n);
    Api().Purge(m.handle(), FT_PURGE_RX);
    uint8_t in[4] = {};
    EXPECT_EQ(Api().Read(m.handle(), in, 4, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(clock.NowMs() - t0, 15 + 1000);  // nothing came: the whole read timeout
}

TEST(SimLink, FaultsOfTheBridge) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    world.AddBridge("T", "E");
    world.AddDs18b20(0, 1, {});
    test::UartMaster m(world);
    const D2xxApi& api = Api();

    // Short reads: the next read returns fewer bytes, the one after is whole again.
    world.ShortenNextReads(0, 3);
    int64_t t0 = clock.NowMs();
    EXPECT_EQ(m.Exchange(std::vector<uint8_t>(8, 0xFF)).size(), 3u);
    EXPECT_EQ(clock.NowMs() - t0, 1000);
    EXPECT_EQ(m.Exchange(std::vector<uint8_t>(8, 0xFF)).size(), 8u);
    world.ShortenNextReads(0, 0, 2);
    EXPECT_TRUE(m.Exchange({0xF0}).empty());
    EXPECT_TRUE(m.Exchange({0xF0}).empty());
    EXPECT_EQ(m.Exchange({0xF0}).size(), 1u);

    // Line held low: every echo is 0x00, at any rate.
    world.SetLineHeldLow(0, true);
    EXPECT_EQ(m.ResetEcho(), 0x00);
    EXPECT_EQ(m.Exchange({0xFF, 0xFF}), (std::vector<uint8_t>{0x00, 0x00}));
    world.SetLineHeldLow(0, false);
    EXPECT_EQ(m.ResetEcho(), 0xE0);

    // Unplugged: gone from the list, and the open handle fails from now on, even after replug.
    world.SetUnplugged(0, true);
    DWORD n = 99;
    uint8_t byte = 0xF0;
    EXPECT_EQ(api.Write(m.handle(), &byte, 1, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(api.Read(m.handle(), &byte, 1, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(api.SetTimeouts(m.handle(), 1000, 0), FT_IO_ERROR);
    DWORD count = 0;
    api.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    EXPECT_EQ(count, 1u);
    char serial[16];
    api.ListDevices(Index(0), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    EXPECT_STREQ(serial, "T");  // the other bridge moved up
    EXPECT_TRUE(world.Bridge(0).unplugged);
    EXPECT_FALSE(world.Bridge(0).open);

    world.SetUnplugged(0, false);
    EXPECT_EQ(api.Write(m.handle(), &byte, 1, &n), FT_IO_ERROR);
    FT_HANDLE fresh = nullptr;
    ASSERT_EQ(api.Open(0, &fresh), FT_OK);
    EXPECT_NE(fresh, m.handle());
    EXPECT_EQ(api.Close(fresh), FT_OK);
}

}  // namespace
}  // namespace kalvo::sim
