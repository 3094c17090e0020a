// The driver over pseudo-terminals whose master side the test plays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "drivers/serial/line_speed.h"
#include "drivers/serial/serial_driver.h"

namespace kalvo::serial {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Steady = std::chrono::steady_clock;

int64_t MsSince(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

class PtyDriver : public ::testing::Test {
  protected:
    PtyDriver() : root_(fs::temp_directory_path() / ("kalvo_ptyd_" + std::to_string(getpid()))) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(master_, 0);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
        fs::remove_all(root_);
        fs::create_directories(root_);
        sources_.sysfs_root = root_.string();
        sources_.named_ports = slave_;
    }
    ~PtyDriver() override {
        CloseMaster();
        fs::remove_all(root_);
    }
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    FT_HANDLE OpenPort(SerialDriver& driver) {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(driver.Open(0, &handle), FT_OK);
        return handle;
    }
    Bytes MasterRead(size_t n) {
        Bytes bytes(n);
        size_t got = 0;
        while (got < n) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            const ssize_t r = read(master_, bytes.data() + got, n - got);
            if (r <= 0) break;
            got += size_t(r);
        }
        bytes.resize(got);
        return bytes;
    }
    void MasterWrite(const Bytes& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    fs::path root_;
    int master_ = -1;
    std::string slave_;
    PortSources sources_;
};

TEST_F(PtyDriver, OpensOneUserAtATimeRawAndAtTheRatesAsked) {
    SerialDriver driver(sources_);
    FT_HANDLE handle = OpenPort(driver);
    FT_HANDLE second = nullptr;
    // The busy port is named with its reason, once however often it is tried.
    testing::internal::CaptureStderr();
    EXPECT_EQ(driver.Open(0, &second), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(driver.Open(0, &second), FT_DEVICE_NOT_OPENED);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "serial driver: " + slave_ + " cannot be opened (" + std::strerror(EBUSY) +
                        "); another program has the port open\n");
    EXPECT_EQ(driver.Open(1, &second), FT_DEVICE_NOT_FOUND);
    SerialDriver other_process(sources_);
    EXPECT_EQ(other_process.Open(0, &second), FT_DEVICE_NOT_OPENED);

    // The slave's settings are visible on the master.
    uint32_t baud = 0;
    for (uint32_t rate : {131072u, 9600u, 115200u}) {
        EXPECT_EQ(driver.SetBaudRate(handle, rate), FT_OK);
        ASSERT_TRUE(GetLineSpeed(master_, &baud));
        EXPECT_EQ(baud, rate);
    }
    EXPECT_EQ(driver.SetBaudRate(handle, 100), kFtInvalidBaudRate);
    EXPECT_EQ(driver.SetDataCharacteristics(handle, 6, 0, 0), kFtInvalidParameter);

    // Bytes a cooked terminal would translate, swallow or act on pass unchanged both ways.
    Bytes bytes = {0x0A, 0x0D, 0x03, 0x04, 0x11, 0x13, 0x7F, 0x00, 0xFF, 0x1A};
    DWORD count = 0;
    EXPECT_EQ(driver.Write(handle, bytes.data(), DWORD(bytes.size()), &count), FT_OK);
    EXPECT_EQ(count, bytes.size());
    EXPECT_EQ(MasterRead(bytes.size()), bytes);
    MasterWrite(bytes);
    Bytes in(bytes.size());
    EXPECT_EQ(driver.SetTimeouts(handle, 1000, 0), FT_OK);
    EXPECT_EQ(driver.Read(handle, in.data(), DWORD(in.size()), &count), FT_OK);
    EXPECT_EQ(count, bytes.size());
    EXPECT_EQ(in, bytes);

    EXPECT_EQ(driver.Close(handle), FT_OK);
    // A closed handle, the program's "not open" value and a made-up one are refused.
    for (FT_HANDLE bad : {handle, NOT_OPEN, reinterpret_cast<FT_HANDLE>(0x5008)}) {
        EXPECT_EQ(driver.Close(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(driver.Read(bad, in.data(), 1, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(count, 0u);
    }
    FT_HANDLE again = OpenPort(driver);
    EXPECT_NE(again, handle);  // handles are not reused
    EXPECT_EQ(driver.Close(again), FT_OK);
}

TEST_F(PtyDriver, ReadWaitsForItsTimeoutAndPurgeEmptiesTheInput) {
    SerialDriver driver(sources_);
    FT_HANDLE handle = OpenPort(driver);
    Bytes in(8, 0xEE);
    DWORD count = 99;

    // A silent port: the read returns after its timeout with what came.
    MasterWrite({1, 2, 3});
    EXPECT_EQ(driver.SetTimeouts(handle, 300, 0), FT_OK);
    const auto start = Steady::now();
    EXPECT_EQ(driver.Read(handle, in.data(), 8, &count), FT_OK);
    EXPECT_GE(MsSince(start), 290);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(in, Bytes({1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    // Without a timeout a read takes what is there and does not wait.
    EXPECT_EQ(driver.SetTimeouts(handle, 0, 0), FT_OK);
    EXPECT_EQ(driver.Read(handle, in.data(), 8, &count), FT_OK);
    EXPECT_EQ(count, 0u);

    MasterWrite({4, 5, 6});
    usleep(50000);
    EXPECT_EQ(driver.Purge(handle, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(driver.Read(handle, in.data(), 8, &count), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(driver.Close(handle), FT_OK);
}

TEST_F(PtyDriver, APortThatVanishesFailsAtOnceInsteadOfHanging) {
    SerialDriver driver(sources_);
    FT_HANDLE handle = OpenPort(driver);
    EXPECT_EQ(driver.SetTimeouts(handle, 20000, 0), FT_OK);
    std::thread unplug([this] {
        usleep(100000);
        CloseMaster();
    });
    Bytes in(8);
    DWORD count = 0;
    const auto start = Steady::now();
    EXPECT_EQ(driver.Read(handle, in.data(), 8, &count), FT_IO_ERROR);
    EXPECT_LT(MsSince(start), 10000);
    unplug.join();

    // Every later call fails until the handle is closed.
    EXPECT_EQ(driver.Write(handle, in.data(), 8, &count), FT_IO_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(driver.SetBaudRate(handle, 9600), FT_IO_ERROR);
    EXPECT_EQ(driver.Purge(handle, 3), FT_IO_ERROR);
    EXPECT_EQ(driver.SetTimeouts(handle, 1000, 0), FT_IO_ERROR);
    EXPECT_EQ(driver.Close(handle), FT_OK);
    // The slave is gone with its master: nothing to list, nothing to open.
    DWORD number = 9;
    EXPECT_EQ(driver.ListDevices(&number, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(number, 0u);
}

TEST_F(PtyDriver, LatencyTimerIsWrittenWhereTheKernelOffersOne) {
    // The named pty resolves to a tty whose sysfs entry has the attribute.
    const fs::path attribute =
        root_ / "class" / "tty" / fs::path(slave_).filename() / "device" / "latency_timer";
    fs::create_directories(attribute.parent_path());
    std::ofstream(attribute) << "16\n";
    SerialDriver driver(sources_);
    FT_HANDLE handle = OpenPort(driver);
    EXPECT_EQ(driver.SetLatencyTimer(handle, 4), FT_OK);
    std::ifstream in(attribute);
    std::string value;
    std::getline(in, value);
    EXPECT_EQ(value, "4");
    EXPECT_EQ(driver.SetLatencyTimer(handle, 0), kFtInvalidParameter);

    // An attribute that cannot be written: the call still succeeds, and says so once.
    fs::remove(attribute);
    fs::create_directory(attribute);
    testing::internal::CaptureStderr();
    EXPECT_EQ(driver.SetLatencyTimer(handle, 4), FT_OK);
    EXPECT_EQ(driver.SetLatencyTimer(handle, 4), FT_OK);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("keeps its own latency"), std::string::npos) << said;
    EXPECT_EQ(said.find("keeps its own latency"), said.rfind("keeps its own latency")) << said;
    EXPECT_EQ(driver.Close(handle), FT_OK);
}

}  // namespace
}  // namespace kalvo::serial
