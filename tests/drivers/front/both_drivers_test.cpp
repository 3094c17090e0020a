// The simulated and the serial driver side by side: for the same calls the same statuses, since
// both take their rules from the front.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "drivers/serial/serial_driver.h"
#include "drivers/sim/sim_world.h"

namespace kalvo::front {
namespace {

namespace fs = std::filesystem;

struct Case {
    const char* name;
    std::function<FT_STATUS(Driver&, FT_HANDLE)> call;
    FT_STATUS status;
};

uint8_t g_bytes[2] = {0xFF, 0xFF};

const Case kCases[] = {
    {"baud 182", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 182); }, kFtInvalidBaudRate},
    {"baud 3M+1", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 3000001); },
     kFtInvalidBaudRate},
    {"baud 131072", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 131072); }, FT_OK},
    {"baud 115200", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 115200); }, FT_OK},
    {"6 bits", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 6, 0, 0); },
     kFtInvalidParameter},
    {"parity 5", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 8, 0, 5); },
     kFtInvalidParameter},
    {"8N1", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 8, 0, 0); }, FT_OK},
    {"latency 0", [](Driver& d, FT_HANDLE h) { return d.SetLatencyTimer(h, 0); },
     kFtInvalidParameter},
    {"usb 63", [](Driver& d, FT_HANDLE h) { return d.SetUSBParameters(h, 63, 0); },
     kFtInvalidParameter},
    {"usb 64000", [](Driver& d, FT_HANDLE h) { return d.SetUSBParameters(h, 64000, 0); }, FT_OK},
    {"write null", [](Driver& d, FT_HANDLE h) { return d.Write(h, nullptr, 1, nullptr); },
     kFtInvalidParameter},
    {"write two", [](Driver& d, FT_HANDLE h) { return d.Write(h, g_bytes, 2, nullptr); }, FT_OK},
    {"read null", [](Driver& d, FT_HANDLE h) { return d.Read(h, nullptr, 1, nullptr); },
     kFtInvalidParameter},
    {"purge", [](Driver& d, FT_HANDLE h) { return d.Purge(h, FT_PURGE_RX | FT_PURGE_TX); }, FT_OK},
};

TEST(D2xxDrivers, BothDriversAnswerTheSameCallsAlike) {
    ManualClock clock;
    sim::World world(clock);
    world.AddBridge("S", "D");

    // The serial driver on a pseudo-terminal whose master nobody reads.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const fs::path root =
        fs::path(testing::TempDir()) / ("kalvo_front_" + std::to_string(getpid()));
    fs::create_directories(root);
    serial::PortSources sources;
    sources.sysfs_root = root.string();
    sources.named_ports = ptsname(master);
    serial::SerialDriver port_driver(sources);

    Driver* drivers[] = {&world, &port_driver};
    for (Driver* d : drivers) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(d->Open(0, nullptr), kFtInvalidParameter);
        ASSERT_EQ(d->Open(0, &h), FT_OK);
        for (const Case& c : kCases) EXPECT_EQ(c.call(*d, h), c.status) << c.name;
        EXPECT_EQ(d->Close(h), FT_OK);
        for (const Case& c : kCases) EXPECT_EQ(c.call(*d, h), FT_INVALID_HANDLE) << c.name;
    }
    close(master);
    fs::remove_all(root);
}

}  // namespace
}  // namespace kalvo::front
