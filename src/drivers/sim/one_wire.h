#pragma once
// The 1-Wire line and the ROM layer every device shares: reset and presence, time slots as the
// wired-AND of all devices, ROM commands and SEARCH ROM. Families add their function commands
// through the hooks.
#include <cstdint>
#include <memory>
#include <vector>

#include "drivers/sim/environment.h"
#include "drivers/sim/rom_code.h"

namespace kalvo::sim {

// One device on the line. The master's slots arrive as Output() (what the device drives)
// followed by Slot() (the wired-AND level everybody saw).
class Device {
  public:
    Device(Environment* env, RomCode code) : env_(env), code_(code) {}
    virtual ~Device() = default;

    RomCode code() const { return code_; }
    bool attached = true;
    // Timed faults (World::ScheduleFault): absent from the line; bit flips in the echo of its
    // transactions.
    bool gone = false;
    double noise_rate = 0;
    bool Present() const { return attached && !gone; }
    // Selected by MATCH ROM, SKIP ROM or RESUME, until the next reset.
    bool Selected() const { return phase_ == Phase::kFunction; }
    // Restarts as after power-up; it waits for a reset.
    virtual void PowerOn() { Desync(); }

    void OnReset();
    // Lost track of the line: waits for the next reset.
    void Desync() { phase_ = Phase::kIdle; }
    // Length of the presence pulse, in bit times at 9600 baud.
    virtual int PresenceBits() const { return 2; }

    bool Output();
    void Slot(bool line);

  protected:
    enum class Mode { kRx, kTx, kPoll, kRelease };

    // Function layer; a device of an unknown family understands none.
    virtual void Command(uint8_t) { Release(); }
    virtual void Byte(uint8_t) {}
    virtual void TxDone() { Release(); }
    virtual bool PollBit() { return true; }
    virtual bool Alarm() { return false; }
    virtual bool HasResume() const { return false; }

    void Receive() {
        mode_ = Mode::kRx;
        rx_bits_ = 0;
    }
    void Send(std::vector<uint8_t> bytes) {
        tx_ = std::move(bytes);
        bit_ = 0;
        mode_ = tx_.empty() ? Mode::kRelease : Mode::kTx;
    }
    void Poll() { mode_ = Mode::kPoll; }
    void Release() { mode_ = Mode::kRelease; }

    Environment* env_;

  private:
    enum class Phase { kIdle, kRom, kMatch, kReadRom, kSearch, kFunction };

    bool ReceiveBit(bool line);
    void RomCommand(uint8_t cmd);
    void EnterFunction();
    void FunctionSlot(bool line);

    RomCode code_;
    Phase phase_ = Phase::kIdle;
    Mode mode_ = Mode::kRx;
    uint8_t rx_byte_ = 0;
    int rx_bits_ = 0;
    int bit_ = 0;  // ROM bit or transmit bit position
    int search_step_ = 0;
    bool awaiting_command_ = false;
    bool rc_flag_ = false;
    std::vector<uint8_t> tx_;
};

using DeviceList = std::vector<std::unique_ptr<Device>>;

// The line as the devices on one bridge see it.
bool AnyPresent(const DeviceList& devices);
// Something that is neither a reset nor a slot: every device loses track.
void DesyncAll(DeviceList& devices);
// A reset pulse: the devices present start over; returns the longest presence pulse, bit times.
int ResetPulse(DeviceList& devices);
// One time slot in which the master leaves the line high (true) or drives it low; returns the
// level everybody saw.
bool TimeSlot(DeviceList& devices, bool master);

}  // namespace kalvo::sim
