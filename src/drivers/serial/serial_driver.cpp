#include "drivers/serial/serial_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/device/d2xx_list.h"
#include "drivers/serial/serial_port.h"

namespace kalvo::serial {
namespace {

constexpr uint32_t kMinBaud = 183;  // the bridge's divisor range
constexpr uint32_t kMaxBaud = 3000000;
constexpr uint32_t kOpenBaud = 9600;
constexpr int64_t kWriteGraceMs = 1000;

void CopyText(const std::string& text, char* out) {
    std::memcpy(out, text.c_str(), text.size() + 1);
}

FT_STATUS Status(PortIo io) {
    return io == PortIo::kFailed ? FT_IO_ERROR : FT_OK;
}

}  // namespace

struct SerialDriver::OpenPort {
    SerialBridge bridge;
    std::unique_ptr<SerialPort> port;
    std::mutex mutex;  // one operation at a time on the terminal
    uint32_t baud = kOpenBaud;
    uint32_t read_timeout_ms = 0;
    uint32_t write_timeout_ms = 0;
};

SerialDriver::SerialDriver(PortSources sources) : sources_(std::move(sources)) {}

SerialDriver::~SerialDriver() = default;

std::shared_ptr<SerialDriver::OpenPort> SerialDriver::Find(FT_HANDLE handle,
                                                           FT_STATUS* status) const {
    std::shared_ptr<OpenPort> port;
    {
        std::lock_guard lock(mutex_);
        const auto it = ports_.find(reinterpret_cast<uintptr_t>(handle));
        if (it != ports_.end()) port = it->second;
    }
    if (!port) {
        *status = FT_INVALID_HANDLE;
        return nullptr;
    }
    // An unplugged bridge fails every call until it is closed.
    if (port->port->gone()) {
        *status = FT_IO_ERROR;
        return nullptr;
    }
    *status = FT_OK;
    return port;
}

void SerialDriver::NoteLatency(const std::string& port, const std::string& why) {
    if (latency_noted_.exchange(true)) return;
    std::fprintf(stderr,
                 "serial driver: the latency timer of %s cannot be set (%s); the port keeps its "
                 "own latency\n",
                 port.c_str(), why.c_str());
}

FT_STATUS SerialDriver::Open(int index, FT_HANDLE* handle) {
    if (!handle) return kFtInvalidParameter;
    const std::vector<SerialBridge> bridges = FindBridges(sources_);
    if (index < 0 || size_t(index) >= bridges.size()) return FT_DEVICE_NOT_FOUND;
    auto open = std::make_shared<OpenPort>();
    open->bridge = bridges[size_t(index)];
    int error = 0;
    open->port = SerialPort::Open(open->bridge.port, &error);
    if (!open->port) return FT_DEVICE_NOT_OPENED;
    std::lock_guard lock(mutex_);
    const uintptr_t value = next_handle_;
    next_handle_ += 0x10;
    ports_.emplace(value, std::move(open));
    *handle = reinterpret_cast<FT_HANDLE>(value);
    return FT_OK;
}

FT_STATUS SerialDriver::Close(FT_HANDLE handle) {
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

FT_STATUS SerialDriver::GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                      char* description, void*) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    if (type) *type = FT_DEVICE_232R;
    if (id) *id = port->bridge.usb_id;
    if (serial) CopyText(port->bridge.serial, serial);
    if (description) CopyText(port->bridge.description, description);
    return FT_OK;
}

FT_STATUS SerialDriver::SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop,
                                               UCHAR parity) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    if ((bits != 7 && bits != 8) || (stop != 0 && stop != 2) || parity > 4)
        return kFtInvalidParameter;
    std::lock_guard lock(port->mutex);
    return port->port->SetFraming(bits, stop == 2 ? 2 : 1, Parity(parity)) ? FT_OK : FT_IO_ERROR;
}

FT_STATUS SerialDriver::SetBaudRate(FT_HANDLE handle, ULONG baud) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    if (baud < kMinBaud || baud > kMaxBaud) return kFtInvalidBaudRate;
    std::lock_guard lock(port->mutex);
    if (!port->port->SetSpeed(baud)) return port->port->gone() ? FT_IO_ERROR : kFtInvalidBaudRate;
    port->baud = baud;
    return FT_OK;
}

FT_STATUS SerialDriver::SetUSBParameters(FT_HANDLE handle, ULONG, ULONG) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    return port ? FT_OK : status;  // the kernel driver sizes its own transfers
}

FT_STATUS SerialDriver::SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    if (ms == 0) return kFtInvalidParameter;
    const std::string& attribute = port->bridge.latency_timer;
    if (attribute.empty()) {
        NoteLatency(port->bridge.port, "it has no latency_timer");
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
    if (error) NoteLatency(port->bridge.port, attribute + ": " + std::strerror(error));
    return FT_OK;
}

FT_STATUS SerialDriver::SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    std::lock_guard lock(port->mutex);
    port->read_timeout_ms = read_ms;
    port->write_timeout_ms = write_ms;
    return FT_OK;
}

FT_STATUS SerialDriver::Purge(FT_HANDLE handle, ULONG mask) {
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    std::lock_guard lock(port->mutex);
    return port->port->Flush(mask & FT_PURGE_RX, mask & FT_PURGE_TX) ? FT_OK : FT_IO_ERROR;
}

FT_STATUS SerialDriver::Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    if (written) *written = 0;
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    if (!buffer && n) return kFtInvalidParameter;
    std::lock_guard lock(port->mutex);
    // No write timeout: as long as sending takes at the line rate, and a second more.
    const int64_t timeout_ms = port->write_timeout_ms
                                   ? int64_t(port->write_timeout_ms)
                                   : int64_t(n) * 10 * 1000 / port->baud + kWriteGraceMs;
    size_t count = 0;
    const PortIo io = port->port->Write(static_cast<const uint8_t*>(buffer), n, timeout_ms, &count);
    if (written) *written = DWORD(count);
    return Status(io);
}

FT_STATUS SerialDriver::Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    if (got) *got = 0;
    FT_STATUS status;
    const auto port = Find(handle, &status);
    if (!port) return status;
    if (!buffer && n) return kFtInvalidParameter;
    std::lock_guard lock(port->mutex);
    size_t count = 0;
    const PortIo io =
        port->port->Read(static_cast<uint8_t*>(buffer), n, port->read_timeout_ms, &count);
    if (got) *got = DWORD(count);
    return Status(io);
}

FT_STATUS SerialDriver::ListDevices(void* arg1, void* arg2, DWORD flags) {
    const std::vector<SerialBridge> bridges = FindBridges(sources_);
    return AnswerListDevices(arg1, arg2, flags, bridges.size(),
                             [&](size_t i, DWORD f) -> const std::string* {
                                 const SerialBridge& b = bridges[i];
                                 if (f & FT_OPEN_BY_SERIAL_NUMBER) return &b.serial;
                                 if (f & FT_OPEN_BY_DESCRIPTION) return &b.description;
                                 return nullptr;
                             });
}

}  // namespace kalvo::serial
