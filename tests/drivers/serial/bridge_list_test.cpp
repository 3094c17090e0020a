// Which ports become bridges: a fake sysfs tree in a temporary folder, and the named ports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "drivers/serial/bridge_list.h"

namespace kalvo::serial {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::Field;

void Put(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class FakeSysfs : public ::testing::Test {
  protected:
    FakeSysfs() : root_(fs::temp_directory_path() / ("kalvo_sysfs_" + std::to_string(getpid()))) {
        fs::remove_all(root_);
        fs::create_directories(root_ / "class" / "tty");
        sources_.sysfs_root = root_.string();
        sources_.dev_root = "/devroot";
    }
    ~FakeSysfs() override { fs::remove_all(root_); }

    // A usb-serial tty as the kernel lays it out: the tty's device link leads to the port,
    // under the interface, under the USB device that carries the ids and strings.
    fs::path UsbTty(const std::string& tty, const std::string& usb, const std::string& vendor,
                    const std::string& product, const std::string& serial,
                    const std::string& product_name = "FT232R USB UART") {
        const fs::path device = root_ / "devices" / "pci0000:00" / "usb1" / usb;
        Put(device / "idVendor", vendor + "\n");
        Put(device / "idProduct", product + "\n");
        if (!serial.empty()) Put(device / "serial", serial + "\n");
        Put(device / "product", product_name + "\n");
        const fs::path port = device / (usb + ":1.0") / tty;
        Put(port / "latency_timer", "16\n");
        Link(tty, port);
        return port;
    }
    void Link(const std::string& tty, const fs::path& target) {
        fs::create_directories(root_ / "class" / "tty" / tty);
        fs::create_directory_symlink(target, root_ / "class" / "tty" / tty / "device");
    }

    fs::path root_;
    PortSources sources_;
};

TEST_F(FakeSysfs, FindsOnlyFt232rBridgesSortedBySerial) {
    const fs::path port0 = UsbTty("ttyUSB0", "1-1", "0403", "6001", "B2220000");
    const fs::path port1 = UsbTty("ttyUSB1", "1-2", "0403", "6001", "A1110000", "Kitchen bus");
    UsbTty("ttyUSB2", "1-3", "0403", "6015", "C3330000");  // FT-X: another product
    UsbTty("ttyUSB3", "1-4", "10c4", "ea60", "D4440000");  // another vendor
    UsbTty("ttyUSB4", "1-5", "04x3", "6001", "E5550000");  // unreadable id
    // A bridge whose tty links straight to the interface, with the ids one level up.
    const fs::path usb6 = root_ / "devices" / "pci0000:00" / "usb1" / "1-6";
    Put(usb6 / "idVendor", "0403");
    Put(usb6 / "idProduct", "6001");
    Put(usb6 / "serial", "A0000000000000000042");  // longer than the driver's buffer
    fs::create_directories(usb6 / "1-6:1.0");
    Link("ttyUSB6", usb6 / "1-6:1.0");
    // Not USB, no device at all, and a link that leaves the sysfs tree.
    Put(root_ / "devices" / "platform" / "serial8250" / "tty" / "ttyS0" / "uevent", "");
    Link("ttyS0", root_ / "devices" / "platform" / "serial8250" / "tty" / "ttyS0");
    fs::create_directories(root_ / "class" / "tty" / "tty0");
    Link("ttyUSB9", fs::temp_directory_path());

    const auto bridges = FindBridges(sources_);
    ASSERT_EQ(bridges.size(), 3u);
    EXPECT_EQ(bridges[0].serial, "A00000000000000");
    EXPECT_EQ(bridges[0].port, "/devroot/ttyUSB6");
    EXPECT_EQ(bridges[0].latency_timer, "");
    EXPECT_EQ(bridges[1].serial, "A1110000");
    EXPECT_EQ(bridges[1].description, "Kitchen bus");
    EXPECT_EQ(bridges[1].port, "/devroot/ttyUSB1");
    EXPECT_EQ(bridges[1].latency_timer, (fs::canonical(port1) / "latency_timer").string());
    EXPECT_EQ(bridges[1].usb_id, kFt232rUsbId);
    EXPECT_EQ(bridges[2].serial, "B2220000");
    EXPECT_EQ(bridges[2].latency_timer, (fs::canonical(port0) / "latency_timer").string());
}

TEST_F(FakeSysfs, NamedPortsFollowInTheirOrderOnce) {
    const fs::path dev = root_ / "dev";
    fs::create_directories(dev);
    for (const char* name : {"ttyUSB0", "ttyACM0", "pty-a"}) Put(dev / name, "");
    sources_.dev_root = dev.string();
    UsbTty("ttyUSB0", "1-1", "0403", "6001", "A1110000");
    // ttyACM0 is in sysfs with a latency timer of its own, though not an FT232R.
    Put(root_ / "devices" / "acm" / "latency_timer", "1");
    Link("ttyACM0", root_ / "devices" / "acm");
    fs::create_symlink(dev / "ttyUSB0", dev / "by-id-bridge");

    sources_.named_ports = "::" + (dev / "pty-a").string() +
                           ":/nonexistent/port:" + (dev / "ttyACM0").string() + ":" +
                           (dev / "pty-a").string() + ":" + (dev / "by-id-bridge").string() + ":";
    const auto bridges = FindBridges(sources_);
    EXPECT_THAT(bridges, ElementsAre(Field(&SerialBridge::serial, "A1110000"),
                                     Field(&SerialBridge::serial, "pty-a"),
                                     Field(&SerialBridge::serial, "ttyACM0")));
    ASSERT_EQ(bridges.size(), 3u);
    EXPECT_EQ(bridges[1].port, (dev / "pty-a").string());
    EXPECT_EQ(bridges[1].description, "Serial port");
    EXPECT_EQ(bridges[1].latency_timer, "");
    EXPECT_EQ(bridges[1].usb_id, 0u);
    EXPECT_EQ(bridges[2].latency_timer,
              (root_ / "class" / "tty" / "ttyACM0" / "device" / "latency_timer").string());

    // Without sysfs the named ports are all there is.
    sources_.sysfs_root = (root_ / "missing").string();
    EXPECT_EQ(FindBridges(sources_).size(), 3u);  // by-id-bridge now counts as its own
}

TEST(BridgeText, CutsAtUtf8Boundaries) {
    EXPECT_EQ(CutUtf8("short", 15), "short");
    EXPECT_EQ(CutUtf8("0123456789abcdefgh", 15), "0123456789abcde");
    // "Шина" is two bytes a letter: cutting at 5 bytes keeps two whole letters.
    EXPECT_EQ(CutUtf8("\xd0\xa8\xd0\xb8\xd0\xbd\xd0\xb0", 5), "\xd0\xa8\xd0\xb8");
}

}  // namespace
}  // namespace kalvo::serial
