#include "drivers/serial/bridge_list.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace kalvo::serial {
namespace {

namespace fs = std::filesystem;

// The tty's device link leads to the usb-serial port; the USB device with its ids is the
// interface's parent. Look a few levels up, never above the sysfs root.
constexpr int kUsbDeviceLevels = 3;

std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text(256, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    text.resize(std::min(text.size(), text.find('\0')));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r' ||
                             text.back() == '\t'))
        text.pop_back();
    return text;
}

// Four hex digits; -1 for anything else.
long HexId(const std::string& text) {
    if (text.size() != 4) return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 16);
    return end == text.c_str() + 4 ? value : -1;
}

bool IsWithin(const fs::path& path, const fs::path& root) {
    auto p = path.begin(), r = root.begin();
    for (; r != root.end(); ++r, ++p)
        if (p == path.end() || *p != *r) return false;
    return true;
}

std::string Canonical(const fs::path& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

void FindUsbBridges(const PortSources& sources, std::vector<SerialBridge>& out) {
    std::error_code ec;
    const fs::path root = fs::canonical(sources.sysfs_root, ec);
    if (ec) return;
    fs::directory_iterator it(root / "class" / "tty", ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code dev_ec;
        const fs::path device = fs::canonical(it->path() / "device", dev_ec);
        if (dev_ec || !IsWithin(device, root)) continue;

        fs::path usb = device;
        bool found = false;
        for (int level = 0; level <= kUsbDeviceLevels && IsWithin(usb, root) && usb != root;
             ++level, usb = usb.parent_path()) {
            std::error_code e1, e2;
            if (fs::exists(usb / "idVendor", e1) && fs::exists(usb / "idProduct", e2)) {
                found = true;
                break;
            }
        }
        if (!found) continue;
        const long vendor = HexId(ReadAttribute(usb / "idVendor"));
        const long product = HexId(ReadAttribute(usb / "idProduct"));
        if (vendor < 0 || product < 0 ||
            (uint32_t(vendor) << 16 | uint32_t(product)) != kFt232rUsbId)
            continue;

        SerialBridge bridge;
        bridge.port = (fs::path(sources.dev_root) / name).string();
        bridge.serial = CutUtf8(ReadAttribute(usb / "serial"), front::ft232r::kSerialBytes);
        bridge.description =
            CutUtf8(ReadAttribute(usb / "product"), front::ft232r::kDescriptionBytes);
        std::error_code lat_ec;
        if (fs::exists(device / "latency_timer", lat_ec))
            bridge.latency_timer = (device / "latency_timer").string();
        bridge.usb_id = kFt232rUsbId;
        out.push_back(std::move(bridge));
    }
    std::sort(out.begin(), out.end(), [](const SerialBridge& a, const SerialBridge& b) {
        return a.serial != b.serial ? a.serial < b.serial : a.port < b.port;
    });
}

// A named port gets the latency timer of the tty it resolves to, when sysfs has one.
std::string LatencyTimerOf(const PortSources& sources, const std::string& real_port) {
    if (real_port.empty()) return {};
    const fs::path attribute = fs::path(sources.sysfs_root) / "class" / "tty" /
                               fs::path(real_port).filename() / "device" / "latency_timer";
    std::error_code ec;
    return fs::exists(attribute, ec) ? attribute.string() : std::string();
}

}  // namespace

std::string CutUtf8(std::string text, size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    size_t cut = max_bytes;
    while (cut > 0 && (uint8_t(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

PortSources PortSourcesFromEnvironment() {
    PortSources sources;
    if (const char* root = std::getenv("KALVO_SYSFS_ROOT"); root && *root)
        sources.sysfs_root = root;
    if (const char* ports = std::getenv("KALVO_SERIAL_PORTS")) sources.named_ports = ports;
    return sources;
}

std::vector<SerialBridge> FindBridges(const PortSources& sources) {
    std::vector<SerialBridge> bridges;
    FindUsbBridges(sources, bridges);

    std::set<std::string> listed;
    for (const SerialBridge& b : bridges) listed.insert(Canonical(b.port));
    size_t start = 0;
    while (start <= sources.named_ports.size()) {
        size_t end = sources.named_ports.find(':', start);
        if (end == std::string::npos) end = sources.named_ports.size();
        const std::string path = sources.named_ports.substr(start, end - start);
        start = end + 1;
        if (path.empty()) continue;
        const std::string real = Canonical(path);
        if (real.empty() || !listed.insert(real).second) continue;  // missing, or listed already

        SerialBridge bridge;
        bridge.port = path;
        bridge.serial = CutUtf8(fs::path(path).filename().string(), front::ft232r::kSerialBytes);
        bridge.description = kNamedPortDescription;
        bridge.latency_timer = LatencyTimerOf(sources, real);
        bridges.push_back(std::move(bridge));
    }
    return bridges;
}

}  // namespace kalvo::serial
