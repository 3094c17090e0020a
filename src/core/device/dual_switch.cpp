// DS2413 PIO access and the channel operations built on it.
#include "core/device/one_wire_bus.h"
#include "core/device/registers.h"

namespace kalvo {
namespace {
constexpr uint8_t kPioConfirmation = 0xAA;
}

bool COneWireBus::PioWrite(RomCode code, int a, int b, uint8_t* status) {
    const uint8_t value = PioOutputByte(a, b);
    // The inverted copy goes out only once the value echoed as sent: the switch latches on it,
    // so a write judged failed must not have reached the switch whole. Then the confirmation
    // and the status byte.
    if (!Transaction(code, {kPioWrite, value})) return false;
    const uint8_t inverted = uint8_t(~value);
    std::array<uint8_t, 2> answer{};
    if (Send({&inverted, 1}, answer, false) != 1) return false;
    if (answer[0] != kPioConfirmation) return false;
    *status = answer[1];
    // Ends the write; batched, it goes out with the next transaction's reset.
    if (bytewise_)
        Reset();
    else
        pending_reset_ = true;
    return true;
}

std::optional<uint8_t> COneWireBus::PioRead(RomCode code) {
    std::array<uint8_t, 1> status{};
    if (!Transaction(code, {kPioRead}, status, true)) return std::nullopt;
    if (!Reset()) return std::nullopt;
    return status[0];
}

void COneWireBus::RefreshSwitch(RomCode code, uint8_t status) {
    if (switch_table_) switch_table_->RefreshSwitchRow(code, status);
}

// A write that was not confirmed leaves the status byte at its initial value, which would read
// as success; it is reported as a failure and the row keeps what it shows.
int COneWireBus::SetChannels(RomCode code, int a, int b) {
    uint8_t status = 0xFF;
    if (!PioWrite(code, a, b, &status)) return kSwitchFailed;
    const int result = EvaluatePioStatus(status);
    RefreshSwitch(code, status);
    return result;
}

int COneWireBus::SetChannel(RomCode code, int value, int channel) {
    std::optional<uint8_t> before;
    if (bytewise_) {
        before = PioRead(code);
    } else {
        // The reset that ends the read goes out with the write's first one, in one exchange;
        // when nobody answers it the write fails there, as the read would have.
        std::array<uint8_t, 1> status{};
        if (Transaction(code, {kPioRead}, status, true)) {
            before = status[0];
            pending_reset_ = judge_pending_ = true;
        }
    }
    if (!before) return kSwitchFailed;
    // The other channel stays on exactly when its pin is low now (inverted pin bits 4 and 6).
    const int pin_a_low = (*before >> 4) & 1;
    const int pin_b_low = (*before >> 6) & 1;
    const int a = channel == 0 ? value : pin_a_low;
    const int b = channel == 0 ? pin_b_low : value;
    uint8_t after = 0x00;
    const bool written = PioWrite(code, a, b, &after);
    pending_unanswered_ = false;
    if (!written) return kSwitchFailed;
    const int result = EvaluatePioStatus(after);
    if ((after >> 4) != (*before >> 4)) RefreshSwitch(code, after);
    return result;
}

}  // namespace kalvo
