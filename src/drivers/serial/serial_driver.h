#pragma once
// The D2XX driver over serial terminals: the front's functions over the ports of this machine.
// Handles are numbers handed out once and never reused, so a stale or made-up handle is refused
// instead of followed.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/device/d2xx.h"
#include "drivers/front/d2xx_front.h"
#include "drivers/serial/bridge_list.h"

namespace kalvo::serial {

using front::kFtInvalidBaudRate;
using front::kFtInvalidParameter;
using front::kFtListAll;

class SerialDriver final : public front::Driver {
  public:
    explicit SerialDriver(PortSources sources);
    ~SerialDriver() override;
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

  private:
    struct OpenPort;
    class Port;

    FT_STATUS OpenBridge(int index, FT_HANDLE* handle) override;
    FT_STATUS CloseBridge(FT_HANDLE handle) override;
    FT_STATUS WithPort(FT_HANDLE handle, front::PortUse use) override;
    std::vector<front::Listed> ListBridges() override;

    void NoteLatency(const std::string& port, const std::string& why);
    // Says once per port and reason why a listed bridge could not be opened: the status code
    // alone cannot tell a missing permission from a port another program holds.
    void NoteOpenFailure(const std::string& port, int error);

    const PortSources sources_;
    mutable std::mutex mutex_;  // guards the handle table only
    std::map<uintptr_t, std::shared_ptr<OpenPort>> ports_;
    uintptr_t next_handle_ = 0x5000;
    std::atomic<bool> latency_noted_{false};
    std::set<std::pair<std::string, int>> open_failures_noted_;  // under mutex_
};

}  // namespace kalvo::serial
