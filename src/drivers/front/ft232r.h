#pragma once
// What an FT232R and its driver accept, and the statuses they refuse with: the one place both
// of our drivers take them from.
#include <cstddef>

#include "core/device/d2xx.h"

namespace kalvo::front {

// Statuses our drivers return besides those in core/device/d2xx.h.
constexpr FT_STATUS kFtInvalidParameter = 6;
constexpr FT_STATUS kFtInvalidBaudRate = 7;

// FT_ListDevices for every device at once: arg1 is an array of buffers, arg2 receives the count.
constexpr DWORD kFtListAll = 0x20000000u;

namespace ft232r {

constexpr DWORD kUsbId = 0x04036001;  // vendor 0403, product 6001

// Buffers of FT_GetDeviceInfo and FT_ListDevices hold this much text, terminator excluded.
constexpr size_t kSerialBytes = 15;
constexpr size_t kDescriptionBytes = 63;

// The baud divisor of the 3 MHz clock runs from 1 to 16383.875.
constexpr ULONG kMinBaud = 183;
constexpr ULONG kMaxBaud = 3000000;
// USB transfer sizes, bytes.
constexpr ULONG kMinUsbTransfer = 64;
constexpr ULONG kMaxUsbTransfer = 65536;

// What every open starts from.
constexpr ULONG kOpenBaud = 9600;
constexpr UCHAR kOpenLatencyMs = 16;
constexpr ULONG kOpenUsbInSize = 4096;

constexpr bool BaudRateOk(ULONG baud) {
    return baud >= kMinBaud && baud <= kMaxBaud;
}
// 7 or 8 data bits; stop bits 0 (one) or 2 (two); parity none, odd, even, mark or space (0-4).
constexpr bool DataCharacteristicsOk(UCHAR bits, UCHAR stop, UCHAR parity) {
    return (bits == 7 || bits == 8) && (stop == 0 || stop == 2) && parity <= 4;
}
constexpr bool LatencyTimerOk(UCHAR ms) {
    return ms >= 1;
}
// Only the IN size is checked: the chip ignores the OUT size.
constexpr bool UsbInSizeOk(ULONG in_size) {
    return in_size >= kMinUsbTransfer && in_size <= kMaxUsbTransfer;
}

}  // namespace ft232r
}  // namespace kalvo::front
