#pragma once
// The USB bridge: the list of FT232R bridges found, their line configuration, and the echo
// exchange every 1-Wire slot is built on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/device/d2xx.h"

namespace kalvo {

// One found bridge.
struct FtDevice {
    uint32_t flags = 0;  // 1: skipped when a bridge is chosen
    char16_t serial[16] = {};
    char16_t description[64] = {};
    FT_HANDLE handle = NOT_OPEN;
    ULONG type = FT_DEVICE_232R;
    // The driver's index of this device. The search skips devices, so the position in the list
    // is not always the driver's index; -1 means the position is.
    int driver_index = -1;

    std::u16string SerialText() const;
    std::u16string DescriptionText() const;
};

// Write timeout of an exchange of n bytes: the time of n ten-bit characters at 131072 baud,
// truncated to ms, plus 10 ms above 128 ms.
uint32_t ExchangeWriteTimeoutMs(size_t n);

class CFtLink {
  public:
    static constexpr ULONG kReadTimeoutMs = 1000;
    static constexpr UCHAR kLatencyMs = 4;

    explicit CFtLink(const D2xxApi& api);
    ~CFtLink();
    CFtLink(const CFtLink&) = delete;
    CFtLink& operator=(const CFtLink&) = delete;

    const D2xxApi& Api() const { return api_; }

    // In search order. Filled by the bus's bridge search.
    std::vector<FtDevice>& Bridges() { return bridges_; }
    const std::vector<FtDevice>& Bridges() const { return bridges_; }
    ULONG UsbInTransferSize() const { return usb_in_size_; }
    ULONG BaudRate() const { return baud_rate_; }

    // Opens the bridge of list position `index` by its driver index. The handle, NOT_OPEN when
    // the bridge cannot be opened, 0 when the list is empty.
    FT_HANDLE OpenByIndex(int index);
    // What the driver answered the last open that failed (FT_OK when none failed).
    FT_STATUS LastOpenFailure() const { return last_open_failure_; }
    // Line settings; stops at the first driver call that fails.
    bool Configure(FT_HANDLE handle);
    bool SetBaudRate(FT_HANDLE handle, ULONG rate);
    bool CloseBridge(FT_HANDLE handle);
    // Closes a handle whose bridge is gone and forgets it, whatever the driver answers.
    void ForgetHandle(FT_HANDLE handle);
    // Sends the buffer and replaces it with the echo. After a short read the missing bytes are 0;
    // when the timeouts cannot be set the buffer is left as it was.
    bool Exchange(FT_HANDLE handle, std::vector<uint8_t>& buffer);

    // Driver calls of exchanges and rate changes that failed, since the link was made: a
    // handle whose bridge is gone fails every call.
    uint64_t DriverFailures() const { return driver_failures_; }
    // False when the last exchange's echo came back short (or not at all).
    bool LastEchoComplete() const { return last_echo_complete_; }

  private:
    const D2xxApi& api_;
    std::vector<FtDevice> bridges_;
    ULONG usb_in_size_ = 64000;
    ULONG baud_rate_ = 131072;
    uint64_t driver_failures_ = 0;
    bool last_echo_complete_ = true;
    FT_STATUS last_open_failure_ = FT_OK;
};

}  // namespace kalvo
