#include "drivers/serial/serial_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/serial/serial_port.h"

namespace kalvo::serial {
namespace {

constexpr int64_t kWriteGraceMs = 1000;

FT_STATUS Status(PortIo io) {
    return io == PortIo::kFailed ? FT_IO_ERROR : FT_OK;
}

}  // namespace

struct SerialDriver::OpenPort {
    SerialBridge bridge;
    std::unique_ptr<SerialPort> port;
    std::mutex mutex;  // one operation at a time on the terminal
    uint32_t baud = front::ft232r::kOpenBaud;
    uint32_t read_timeout_ms = 0;
    uint32_t write_timeout_ms = 0;
};

// One open terminal for one call; takes the terminal's own lock where it touches the terminal.
class SerialDriver::Port final : public front::Port {
  public:
    Port(SerialDriver& driver, OpenPort& open) : driver_(driver), p_(open) {}

    Info Describe() override {
        return {FT_DEVICE_232R, p_.bridge.usb_id, p_.bridge.serial, p_.bridge.description};
    }

    FT_STATUS SetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) override {
        std::lock_guard lock(p_.mutex);
        return p_.port->SetFraming(bits, stop == 2 ? 2 : 1, Parity(parity)) ? FT_OK : FT_IO_ERROR;
    }

    FT_STATUS SetBaudRate(ULONG baud) override {
        std::lock_guard lock(p_.mutex);
        if (!p_.port->SetSpeed(baud)) return p_.port->gone() ? FT_IO_ERROR : kFtInvalidBaudRate;
        p_.baud = baud;
        return FT_OK;
    }

    FT_STATUS SetUSBParameters(ULONG, ULONG) override {
        return FT_OK;  // the kernel driver sizes its own transfers
    }

    FT_STATUS SetLatencyTimer(UCHAR ms) override {
        const std::string& attribute = p_.bridge.latency_timer;
        if (attribute.empty()) {
            driver_.NoteLatency(p_.bridge.port, "it has no latency_timer");
            return FT_OK;
        }
        const int fd = open(attribute.c_str(), O_WRONLY | O_CLOEXEC);
        const std::string text = std::to_string(unsigned(ms)) + "\n";
        int error = 0;
        if (fd < 0) {
            error = errno;
        } else {
            if (write(fd, text.data(), text.size()) != ssize_t(text.size()))
                error = errno ? errno : EIO;
            if (close(fd) != 0 && !error) error = errno;
        }
        if (error) driver_.NoteLatency(p_.bridge.port, attribute + ": " + std::strerror(error));
        return FT_OK;
    }

    FT_STATUS SetTimeouts(ULONG read_ms, ULONG write_ms) override {
        std::lock_guard lock(p_.mutex);
        p_.read_timeout_ms = read_ms;
        p_.write_timeout_ms = write_ms;
        return FT_OK;
    }

    FT_STATUS Purge(ULONG mask) override {
        std::lock_guard lock(p_.mutex);
        return p_.port->Flush(mask & FT_PURGE_RX, mask & FT_PURGE_TX) ? FT_OK : FT_IO_ERROR;
    }

    FT_STATUS Write(const uint8_t* bytes, DWORD n, DWORD* written) override {
        std::lock_guard lock(p_.mutex);
        // No write timeout: as long as sending takes at the line rate, and a second more.
        const int64_t timeout_ms = p_.write_timeout_ms
                                       ? int64_t(p_.write_timeout_ms)
                                       : int64_t(n) * 10 * 1000 / p_.baud + kWriteGraceMs;
        size_t count = 0;
        const PortIo io = p_.port->Write(bytes, n, timeout_ms, &count);
        *written = DWORD(count);
        return Status(io);
    }

    FT_STATUS Read(uint8_t* bytes, DWORD n, DWORD* got) override {
        std::lock_guard lock(p_.mutex);
        size_t count = 0;
        const PortIo io = p_.port->Read(bytes, n, p_.read_timeout_ms, &count);
        *got = DWORD(count);
        return Status(io);
    }

  private:
    SerialDriver& driver_;
    OpenPort& p_;
};

SerialDriver::SerialDriver(PortSources sources) : sources_(std::move(sources)) {}

SerialDriver::~SerialDriver() = default;

void SerialDriver::NoteLatency(const std::string& port, const std::string& why) {
    if (latency_noted_.exchange(true)) return;
    std::fprintf(stderr,
                 "serial driver: the latency timer of %s cannot be set (%s); the port keeps its "
                 "own latency\n",
                 port.c_str(), why.c_str());
}

void SerialDriver::NoteOpenFailure(const std::string& port, int error) {
    {
        std::lock_guard lock(mutex_);
        if (!open_failures_noted_.emplace(port, error).second) return;
    }
    const char* hint = error == EACCES || error == EPERM
                           ? "; join the dialout group or install the udev rule"
                       : error == EBUSY ? "; another program has the port open"
                                        : "";
    std::fprintf(stderr, "serial driver: %s cannot be opened (%s)%s\n", port.c_str(),
                 std::strerror(error), hint);
}

FT_STATUS SerialDriver::OpenBridge(int index, FT_HANDLE* handle) {
    const std::vector<SerialBridge> bridges = FindBridges(sources_);
    if (index < 0 || size_t(index) >= bridges.size()) return FT_DEVICE_NOT_FOUND;
    auto open = std::make_shared<OpenPort>();
    open->bridge = bridges[size_t(index)];
    int error = 0;
    open->port = SerialPort::Open(open->bridge.port, &error);
    if (!open->port) {
        NoteOpenFailure(open->bridge.port, error);
        return FT_DEVICE_NOT_OPENED;
    }
    std::lock_guard lock(mutex_);
    const uintptr_t value = next_handle_;
    next_handle_ += 0x10;
    ports_.emplace(value, std::move(open));
    *handle = reinterpret_cast<FT_HANDLE>(value);
    return FT_OK;
}

FT_STATUS SerialDriver::CloseBridge(FT_HANDLE handle) {
    std::shared_ptr<OpenPort> port;
    {
        std::lock_guard lock(mutex_);
        const auto it = ports_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == ports_.end()) return FT_INVALID_HANDLE;
        port = std::move(it->second);
        ports_.erase(it);
    }
    // The terminal closes here, or when a call still running on it returns.
    return FT_OK;
}

FT_STATUS SerialDriver::WithPort(FT_HANDLE handle, front::PortUse use) {
    std::shared_ptr<OpenPort> open;
    {
        std::lock_guard lock(mutex_);
        const auto it = ports_.find(reinterpret_cast<uintptr_t>(handle));
        if (it != ports_.end()) open = it->second;
    }
    if (!open) return FT_INVALID_HANDLE;
    // An unplugged bridge fails every call until it is closed.
    if (open->port->gone()) return FT_IO_ERROR;
    Port port(*this, *open);
    return use(port);
}

std::vector<front::Listed> SerialDriver::ListBridges() {
    std::vector<front::Listed> listed;
    for (const SerialBridge& b : FindBridges(sources_)) listed.push_back({b.serial, b.description});
    return listed;
}

}  // namespace kalvo::serial
