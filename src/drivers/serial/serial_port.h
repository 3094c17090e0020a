#pragma once
// One terminal opened for the bridge: exclusive, raw, non-blocking, with reads and writes that
// wait at most a given time and notice a port that has gone away.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kalvo::serial {

enum class PortIo {
    kOk,       // everything transferred
    kTimeout,  // the time ran out first; the count says how much was transferred
    kFailed,   // an error; gone() tells whether the port has disappeared
};

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };

class SerialPort {
  public:
    // Opens a terminal exclusively (TIOCEXCL and flock) in raw mode at 9600 baud, 8N1, without
    // flow control or modem control. nullptr with *error set to an errno value on failure
    // (ENOTTY for a file that is not a terminal, EBUSY for a port someone else holds).
    static std::unique_ptr<SerialPort> Open(const std::string& path, int* error);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool SetFraming(int data_bits, int stop_bits, Parity parity);
    // False when the terminal refuses the rate or settles more than 3 % away from it.
    bool SetSpeed(uint32_t baud);
    bool Flush(bool input, bool output);
    // Timeouts in ms; a negative timeout waits as long as it takes.
    PortIo Write(const uint8_t* data, size_t n, int64_t timeout_ms, size_t* written);
    PortIo Read(uint8_t* data, size_t n, int64_t timeout_ms, size_t* got);

    // True once the port has hung up or reported that the device is gone (unplugged).
    bool gone() const { return gone_; }

  private:
    explicit SerialPort(int fd) : fd_(fd) {}
    // Records whether an errno value means the device is gone; returns kFailed.
    PortIo Fail(int error);
    bool Failed(int error);

    int fd_;
    bool gone_ = false;
};

}  // namespace kalvo::serial
