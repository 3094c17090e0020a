#include "core/device/ft_link.h"

#include <cmath>

#include "core/common/text.h"

namespace kalvo {

std::u16string FtDevice::SerialText() const {
    return FromFixedField(serial, 16);
}
std::u16string FtDevice::DescriptionText() const {
    return FromFixedField(description, 64);
}

uint32_t ExchangeWriteTimeoutMs(size_t n) {
    const double ms = double(n) * 10000.0 * std::ldexp(1.0, -17);
    if (ms >= 4294967285.0) return 0xFFFFFFFFu;
    uint32_t wt = uint32_t(ms);
    if (wt > 128) wt += 10;
    return wt;
}

CFtLink::CFtLink(const D2xxApi& api) : api_(api) {}

CFtLink::~CFtLink() {
    for (FtDevice& bridge : bridges_) {
        if (bridge.handle == NOT_OPEN) continue;
        if (api_.Close(bridge.handle) == FT_OK) bridge.handle = NOT_OPEN;
    }
}

FT_HANDLE CFtLink::OpenByIndex(int index) {
    if (bridges_.empty()) return nullptr;
    // An index outside the list would store the handle out of bounds.
    if (index < 0 || size_t(index) >= bridges_.size()) return NOT_OPEN;
    const int driver_index = bridges_[size_t(index)].driver_index;
    FT_HANDLE handle = NOT_OPEN;
    const FT_STATUS status = api_.Open(driver_index >= 0 ? driver_index : index, &handle);
    if (status != FT_OK) {
        last_open_failure_ = status;
        return NOT_OPEN;
    }
    bridges_[size_t(index)].handle = handle;
    Configure(handle);
    return handle;
}

bool CFtLink::Configure(FT_HANDLE handle) {
    return api_.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) ==
               FT_OK &&
           api_.SetBaudRate(handle, baud_rate_) == FT_OK &&
           api_.SetUSBParameters(handle, usb_in_size_, 0) == FT_OK &&
           api_.SetLatencyTimer(handle, kLatencyMs) == FT_OK;
}

bool CFtLink::SetBaudRate(FT_HANDLE handle, ULONG rate) {
    baud_rate_ = rate;
    if (api_.SetBaudRate(handle, rate) == FT_OK) return true;
    ++driver_failures_;
    return false;
}

bool CFtLink::CloseBridge(FT_HANDLE handle) {
    if (handle == NOT_OPEN) return false;
    if (api_.Close(handle) != FT_OK) return false;
    for (FtDevice& bridge : bridges_) {
        if (bridge.handle == handle) {
            bridge.handle = NOT_OPEN;
            return true;
        }
    }
    return false;
}

void CFtLink::ForgetHandle(FT_HANDLE handle) {
    if (handle == NOT_OPEN) return;
    api_.Close(handle);
    for (FtDevice& bridge : bridges_)
        if (bridge.handle == handle) bridge.handle = NOT_OPEN;
}

bool CFtLink::Exchange(FT_HANDLE handle, std::vector<uint8_t>& buffer) {
    const size_t n = buffer.size();
    last_echo_complete_ = false;
    if (n == 0 || n > 0xFFFFFFFFu) return false;
    if (api_.SetTimeouts(handle, kReadTimeoutMs, ExchangeWriteTimeoutMs(n)) != FT_OK) {
        ++driver_failures_;
        return false;
    }
    if (api_.Purge(handle, FT_PURGE_RX | FT_PURGE_TX) != FT_OK) ++driver_failures_;
    DWORD written = 0;
    if (api_.Write(handle, buffer.data(), DWORD(n), &written) != FT_OK) ++driver_failures_;
    buffer.assign(n, 0);
    DWORD got = 0;
    if (api_.Read(handle, buffer.data(), DWORD(n), &got) != FT_OK) {
        ++driver_failures_;
        return false;
    }
    last_echo_complete_ = got == n;
    return last_echo_complete_;
}

}  // namespace kalvo
