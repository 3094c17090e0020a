// The drop-in driver: the D2XX C functions over one simulated world, read at the first call from
// $KALVO_SIMBUS, else simbus.conf beside the program, else the built-in bus.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <type_traits>

#include "core/common/clock.h"
#include "core/common/paths.h"
#include "drivers/sim/sim_config.h"
#include "drivers/sim/sim_world.h"

namespace kalvo::sim {
namespace {

std::atomic<bool> g_gone{false};

struct Holder {
    std::unique_ptr<World> world;  // null when the configuration was malformed
    // A program closing its bridge from a static destructor after ours finds no world.
    ~Holder() { g_gone = true; }
};

World* LoadWorld() {
    BusConfig config = DefaultBusConfig();
    ConfigError error;
    std::string path;
    if (const char* env = std::getenv("KALVO_SIMBUS"); env && *env) {
        path = env;
    } else {
        const std::string beside = ProgramFolder() + "/simbus.conf";
        struct stat st {};
        if (stat(beside.c_str(), &st) == 0) path = beside;
    }
    if (!path.empty() && !LoadBusConfig(path, &config, &error)) {
        std::fprintf(stderr, "simulated bus %s: %s; no devices\n", path.c_str(),
                     error.Text().c_str());
        return nullptr;
    }
    return MakeWorld(config, SystemClock()).release();
}

World* TheWorld() {
    static Holder holder;
    static std::once_flag once;
    if (g_gone) return nullptr;
    std::call_once(once, [] { holder.world.reset(LoadWorld()); });
    return holder.world.get();
}

}  // namespace
}  // namespace kalvo::sim

#define KALVO_EXPORT extern "C" __attribute__((visibility("default")))

using kalvo::DWORD;
using kalvo::FT_HANDLE;
using kalvo::FT_STATUS;
using kalvo::UCHAR;
using kalvo::ULONG;
using kalvo::sim::TheWorld;

KALVO_EXPORT FT_STATUS FT_Open(int index, FT_HANDLE* handle) {
    auto* w = TheWorld();
    return w ? w->Open(index, handle) : kalvo::FT_DEVICE_NOT_FOUND;
}
KALVO_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    auto* w = TheWorld();
    return w ? w->Close(handle) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial,
                                        char* description, void* reserved) {
    auto* w = TheWorld();
    return w ? w->GetDeviceInfo(handle, type, id, serial, description, reserved)
             : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop,
                                                 UCHAR parity) {
    auto* w = TheWorld();
    return w ? w->SetDataCharacteristics(handle, bits, stop, parity) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
    auto* w = TheWorld();
    return w ? w->SetBaudRate(handle, baud) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size) {
    auto* w = TheWorld();
    return w ? w->SetUSBParameters(handle, in_size, out_size) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    auto* w = TheWorld();
    return w ? w->SetLatencyTimer(handle, ms) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    auto* w = TheWorld();
    return w ? w->SetTimeouts(handle, read_ms, write_ms) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
    auto* w = TheWorld();
    return w ? w->Purge(handle, mask) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    auto* w = TheWorld();
    if (!w && written) *written = 0;
    return w ? w->Write(handle, buffer, n, written) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    auto* w = TheWorld();
    if (!w && got) *got = 0;
    return w ? w->Read(handle, buffer, n, got) : kalvo::FT_INVALID_HANDLE;
}
KALVO_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    auto* w = TheWorld();
    return w ? w->ListDevices(arg1, arg2, flags) : kalvo::FT_DEVICE_NOT_FOUND;
}

// The exports must keep the signatures the program's table expects.
static_assert(std::is_same_v<decltype(&FT_Open), kalvo::PFN_FT_Open>);
static_assert(std::is_same_v<decltype(&FT_Close), kalvo::PFN_FT_Close>);
static_assert(std::is_same_v<decltype(&FT_GetDeviceInfo), kalvo::PFN_FT_GetDeviceInfo>);
static_assert(
    std::is_same_v<decltype(&FT_SetDataCharacteristics), kalvo::PFN_FT_SetDataCharacteristics>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), kalvo::PFN_FT_SetBaudRate>);
static_assert(std::is_same_v<decltype(&FT_SetUSBParameters), kalvo::PFN_FT_SetUSBParameters>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), kalvo::PFN_FT_SetLatencyTimer>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), kalvo::PFN_FT_SetTimeouts>);
static_assert(std::is_same_v<decltype(&FT_Purge), kalvo::PFN_FT_Purge>);
static_assert(std::is_same_v<decltype(&FT_Write), kalvo::PFN_FT_Write>);
static_assert(std::is_same_v<decltype(&FT_Read), kalvo::PFN_FT_Read>);
static_assert(std::is_same_v<decltype(&FT_ListDevices), kalvo::PFN_FT_ListDevices>);
