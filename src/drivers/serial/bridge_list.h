#pragma once
// Which serial ports the driver offers as bridges: FT232R bridges found in sysfs, then the ports
// the user names.
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/front/ft232r.h"

namespace kalvo::serial {

constexpr uint32_t kFt232rUsbId = front::ft232r::kUsbId;
constexpr const char* kNamedPortDescription = "Serial port";

struct SerialBridge {
    std::string port;           // terminal device to open
    std::string serial;         // at most 15 bytes, as the driver's 16-byte buffer holds
    std::string description;    // at most 63 bytes
    std::string latency_timer;  // sysfs attribute of the port; empty when it has none
    uint32_t usb_id = 0;        // vendor << 16 | product; 0 for a named port
};

struct PortSources {
    std::string sysfs_root = "/sys";
    std::string dev_root = "/dev";
    std::string named_ports;  // paths separated by ':'
};

// KALVO_SYSFS_ROOT (default /sys) and KALVO_SERIAL_PORTS.
PortSources PortSourcesFromEnvironment();

// The FT232R bridges under sysfs_root/class/tty, sorted by serial number (then port), followed
// by the named ports that exist, in their order. A named port that is one of the bridges found,
// or named twice, is listed once.
std::vector<SerialBridge> FindBridges(const PortSources& sources);

// Cuts text to at most max_bytes without splitting a UTF-8 sequence.
std::string CutUtf8(std::string text, size_t max_bytes);

}  // namespace kalvo::serial
