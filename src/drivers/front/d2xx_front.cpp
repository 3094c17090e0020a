#include "drivers/front/d2xx_front.h"

#include <cstring>

namespace kalvo::front {
namespace {

// The buffers are the caller's, sized for the longest text the chip holds.
void CopyText(std::string_view text, char* out) {
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
}

// The serial or description of a bridge, as the flags ask; null for neither.
const std::string* TextOf(const Listed& bridge, DWORD flags) {
    if (flags & FT_OPEN_BY_SERIAL_NUMBER) return &bridge.serial;
    if (flags & FT_OPEN_BY_DESCRIPTION) return &bridge.description;
    return nullptr;
}

}  // namespace

FT_STATUS Driver::Open(int index, FT_HANDLE* handle) {
    if (!handle) return kFtInvalidParameter;
    return OpenBridge(index, handle);
}

FT_STATUS Driver::Close(FT_HANDLE handle) {
    return CloseBridge(handle);
}

FT_STATUS Driver::GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                char* description, void*) {
    return WithPort(handle, [&](Port& port) {
        const Port::Info info = port.Describe();
        if (type) *type = info.type;
        if (id) *id = info.usb_id;
        if (serial) CopyText(info.serial, serial);
        if (description) CopyText(info.description, description);
        return FT_OK;
    });
}

FT_STATUS Driver::SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop, UCHAR parity) {
    return WithPort(handle, [&](Port& port) {
        return ft232r::DataCharacteristicsOk(bits, stop, parity)
                   ? port.SetDataCharacteristics(bits, stop, parity)
                   : kFtInvalidParameter;
    });
}

FT_STATUS Driver::SetBaudRate(FT_HANDLE handle, ULONG baud) {
    return WithPort(handle, [&](Port& port) {
        return ft232r::BaudRateOk(baud) ? port.SetBaudRate(baud) : kFtInvalidBaudRate;
    });
}

FT_STATUS Driver::SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size) {
    return WithPort(handle, [&](Port& port) {
        return ft232r::UsbInSizeOk(in_size) ? port.SetUSBParameters(in_size, out_size)
                                            : kFtInvalidParameter;
    });
}

FT_STATUS Driver::SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    return WithPort(handle, [&](Port& port) {
        return ft232r::LatencyTimerOk(ms) ? port.SetLatencyTimer(ms) : kFtInvalidParameter;
    });
}

FT_STATUS Driver::SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    return WithPort(handle, [&](Port& port) { return port.SetTimeouts(read_ms, write_ms); });
}

FT_STATUS Driver::Purge(FT_HANDLE handle, ULONG mask) {
    return WithPort(handle, [&](Port& port) { return port.Purge(mask); });
}

FT_STATUS Driver::Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    if (written) *written = 0;
    return WithPort(handle, [&](Port& port) {
        if (!buffer && n) return kFtInvalidParameter;
        DWORD count = 0;
        const FT_STATUS status = port.Write(static_cast<const uint8_t*>(buffer), n, &count);
        if (written) *written = count;
        return status;
    });
}

FT_STATUS Driver::Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    if (got) *got = 0;
    return WithPort(handle, [&](Port& port) {
        if (!buffer && n) return kFtInvalidParameter;
        DWORD count = 0;
        const FT_STATUS status = port.Read(static_cast<uint8_t*>(buffer), n, &count);
        if (got) *got = count;
        return status;
    });
}

FT_STATUS Driver::ListDevices(void* arg1, void* arg2, DWORD flags) {
    const std::vector<Listed> bridges = ListBridges();
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1) return kFtInvalidParameter;
        *static_cast<DWORD*>(arg1) = DWORD(bridges.size());
        return FT_OK;
    }
    if (flags & FT_LIST_BY_INDEX) {
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (!arg2) return kFtInvalidParameter;
        if (index >= bridges.size()) return FT_DEVICE_NOT_FOUND;
        const std::string* text = TextOf(bridges[index], flags);
        if (!text) return kFtInvalidParameter;
        CopyText(*text, static_cast<char*>(arg2));
        return FT_OK;
    }
    if (flags & kFtListAll) {
        if (!arg1) return kFtInvalidParameter;
        auto** buffers = static_cast<char**>(arg1);
        for (size_t i = 0; i < bridges.size(); ++i) {
            const std::string* text = TextOf(bridges[i], flags);
            if (!text || !buffers[i]) return kFtInvalidParameter;
            CopyText(*text, buffers[i]);
        }
        if (arg2) *static_cast<DWORD*>(arg2) = DWORD(bridges.size());
        return FT_OK;
    }
    return kFtInvalidParameter;
}

}  // namespace kalvo::front
