#include "drivers/sim/one_wire.h"

#include <algorithm>

namespace kalvo::sim {

void Device::OnReset() {
    phase_ = Phase::kRom;
    rx_bits_ = 0;
    mode_ = Mode::kRx;
}

bool Device::Output() {
    switch (phase_) {
        case Phase::kReadRom:
            return (code_ >> bit_) & 1;
        case Phase::kSearch:
            if (search_step_ == 2) return true;
            return (((code_ >> bit_) & 1) != 0) != (search_step_ == 1);
        case Phase::kFunction:
            if (mode_ == Mode::kTx) return (tx_[bit_ / 8] >> (bit_ % 8)) & 1;
            if (mode_ == Mode::kPoll) return PollBit();
            return true;
        default:
            return true;
    }
}

void Device::Slot(bool line) {
    switch (phase_) {
        case Phase::kIdle:
            return;
        case Phase::kRom:
            if (ReceiveBit(line)) RomCommand(rx_byte_);
            return;
        case Phase::kMatch:
            if (line != (((code_ >> bit_) & 1) != 0)) {
                phase_ = Phase::kIdle;
                rc_flag_ = false;
            } else if (++bit_ == 64) {
                rc_flag_ = true;
                EnterFunction();
            }
            return;
        case Phase::kReadRom:
            if (++bit_ == 64) EnterFunction();
            return;
        case Phase::kSearch:
            if (search_step_ < 2) {
                ++search_step_;
            } else if (line != (((code_ >> bit_) & 1) != 0)) {
                phase_ = Phase::kIdle;  // the master went the other way
                rc_flag_ = false;
            } else {
                search_step_ = 0;
                if (++bit_ == 64) {
                    rc_flag_ = true;
                    EnterFunction();
                }
            }
            return;
        case Phase::kFunction:
            FunctionSlot(line);
            return;
    }
}

bool Device::ReceiveBit(bool line) {
    rx_byte_ = uint8_t((rx_byte_ >> 1) | (line ? 0x80 : 0));
    if (++rx_bits_ < 8) return false;
    rx_bits_ = 0;
    return true;
}

void Device::RomCommand(uint8_t cmd) {
    bit_ = 0;
    switch (cmd) {
        case 0x33:  // READ ROM
            phase_ = Phase::kReadRom;
            return;
        case 0x55:  // MATCH ROM
            phase_ = Phase::kMatch;
            return;
        case 0xCC:  // SKIP ROM
            rc_flag_ = false;
            EnterFunction();
            return;
        case 0xF0:  // SEARCH ROM
            phase_ = Phase::kSearch;
            search_step_ = 0;
            return;
        case 0xEC:  // ALARM SEARCH: only devices with the alarm flag take part
            phase_ = Alarm() ? Phase::kSearch : Phase::kIdle;
            search_step_ = 0;
            return;
        case 0xA5:  // RESUME
            if (HasResume() && rc_flag_) {
                EnterFunction();
                return;
            }
            [[fallthrough]];
        default:
            phase_ = Phase::kIdle;
            return;
    }
}

void Device::EnterFunction() {
    phase_ = Phase::kFunction;
    awaiting_command_ = true;
    Receive();
}

void Device::FunctionSlot(bool line) {
    switch (mode_) {
        case Mode::kRx:
            if (!ReceiveBit(line)) return;
            if (awaiting_command_) {
                awaiting_command_ = false;
                Command(rx_byte_);
            } else {
                Byte(rx_byte_);
            }
            return;
        case Mode::kTx:
            if (++bit_ == int(tx_.size()) * 8) TxDone();
            return;
        case Mode::kPoll:
        case Mode::kRelease:
            return;
    }
}

// ------------------------------------------------------------------------------------------------

bool AnyPresent(const DeviceList& devices) {
    bool any = false;
    for (const auto& d : devices) any |= d->Present();
    return any;
}

void DesyncAll(DeviceList& devices) {
    for (auto& d : devices) d->Desync();
}

int ResetPulse(DeviceList& devices) {
    int presence = 0;
    for (auto& d : devices)
        if (d->Present()) {
            d->OnReset();
            presence = std::max(presence, d->PresenceBits());
        }
    return presence;
}

bool TimeSlot(DeviceList& devices, bool master) {
    bool line = master;
    for (auto& d : devices)
        if (d->Present() && !d->Output()) line = false;
    for (auto& d : devices)
        if (d->Present()) d->Slot(line);
    return line;
}

}  // namespace kalvo::sim
