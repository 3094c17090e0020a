// The 1-Wire line behind the echo: resets and presence, slots, and what other rates do.
#include <gtest/gtest.h>

#include "drivers/sim/sim_api.h"
#include "drivers/sim/sim_world.h"
#include "uart_master.h"

namespace kalvo::sim {
namespace {

TEST(SimLine, ResetEchoesPresenceOnlyWhenADeviceIsThere) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    test::UartMaster m(world);
    EXPECT_EQ(m.ResetEcho(), 0xF0);  // empty bus

    const RomCode sw = world.AddDs2413(0, 0x42);  // plugged in at run time
    EXPECT_EQ(m.ResetEcho(), 0xC0);
    const RomCode t = world.AddDs18b20(0, 0x43, {});
    EXPECT_EQ(m.ResetEcho(), 0xC0);  // wired-AND of both presence pulses
    world.RemoveDevice(sw);
    EXPECT_EQ(m.ResetEcho(), 0xE0);
    world.SetAttached(t, false);
    EXPECT_EQ(m.ResetEcho(), 0xF0);
    world.SetAttached(t, true);
    EXPECT_EQ(m.ResetEcho(), 0xE0);
    EXPECT_EQ(world.Bridge(0).resets, 6u);
}

TEST(SimLine, SlotsEchoAsSentUnlessADeviceAnswersZero) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    // Family 0x28, id 0: the first ROM byte read back is 0x28 = 00010100 LSB first.
    const RomCode code = world.AddDs18b20(0, 0, {});
    test::UartMaster m(world);
    ASSERT_TRUE(m.Reset());
    ASSERT_TRUE(m.Write(0x33));  // READ ROM
    std::vector<uint8_t> echo = m.Exchange(std::vector<uint8_t>(8, 0xFF));
    ASSERT_EQ(echo.size(), 8u);
    for (int k = 0; k < 8; ++k) {
        if ((code >> k) & 1)
            EXPECT_EQ(echo[size_t(k)], 0xFF) << k;
        else
            EXPECT_NE(echo[size_t(k)], 0xFF) << k;
    }
    // A write-0 slot reads 0 whatever the device sends, and still moves it on one bit.
    EXPECT_EQ(m.Exchange({0x00}), std::vector<uint8_t>{0x00});
}

// Sends READ ROM with the command byte at `baud`, and reads the answer properly.
std::vector<uint8_t> ReadRomWithCommandAt(World& world, ULONG baud, uint8_t one = 0xFF) {
    test::UartMaster m(world);
    EXPECT_TRUE(m.Reset());
    Api().SetBaudRate(m.handle(), baud);
    std::vector<uint8_t> slots;
    for (int k = 0; k < 8; ++k) slots.push_back((0x33 >> k) & 1 ? one : 0x00);
    m.Exchange(slots);
    Api().SetBaudRate(m.handle(), 115200);
    return m.Read(8);
}

TEST(SimLine, BytesAtOtherRatesOrShapesAreNotUnderstood) {
    ManualClock clock;
    World world(clock);
    world.AddBridge("S", "D");
    const RomCode code = world.AddDs18b20(0, 0x123456, {});
    std::vector<uint8_t> expected;
    for (int i = 0; i < 8; ++i) expected.push_back(uint8_t(code >> (8 * i)));

    EXPECT_EQ(ReadRomWithCommandAt(world, 115200), expected);
    const std::vector<uint8_t> nothing(8, 0xFF);
    EXPECT_EQ(ReadRomWithCommandAt(world, 131072), nothing);  // the rate the program opens at
    EXPECT_EQ(ReadRomWithCommandAt(world, 9600), nothing);
    EXPECT_EQ(ReadRomWithCommandAt(world, 115200, 0x0F), nothing);  // two pulses in one slot
    // Slightly longer write-1 pulses are still ones to the device.
    EXPECT_EQ(ReadRomWithCommandAt(world, 115200, 0xFC), expected);

    // Other framing is garbage too.
    test::UartMaster m(world);
    ASSERT_TRUE(m.Reset());
    Api().SetDataCharacteristics(m.handle(), 7, FT_STOP_BITS_1, FT_PARITY_NONE);
    m.Write(0x33);
    Api().SetDataCharacteristics(m.handle(), FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    EXPECT_EQ(m.Read(8), nothing);
}

}  // namespace
}  // namespace kalvo::sim
