#include "drivers/sim/sim_api.h"

#include <atomic>

#include "drivers/sim/sim_world.h"

namespace kalvo::sim {
namespace {

std::atomic<World*> g_world{nullptr};

FT_STATUS Open(int index, FT_HANDLE* handle) {
    World* w = g_world.load();
    return w ? w->Open(index, handle) : FT_DEVICE_NOT_FOUND;
}
FT_STATUS Close(FT_HANDLE handle) {
    World* w = g_world.load();
    return w ? w->Close(handle) : FT_INVALID_HANDLE;
}
FT_STATUS GetDeviceInfo(FT_HANDLE handle, ULONG* type, DWORD* id, char* serial, char* description,
                        void* reserved) {
    World* w = g_world.load();
    return w ? w->GetDeviceInfo(handle, type, id, serial, description, reserved)
             : FT_INVALID_HANDLE;
}
FT_STATUS SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop, UCHAR parity) {
    World* w = g_world.load();
    return w ? w->SetDataCharacteristics(handle, bits, stop, parity) : FT_INVALID_HANDLE;
}
FT_STATUS SetBaudRate(FT_HANDLE handle, ULONG baud) {
    World* w = g_world.load();
    return w ? w->SetBaudRate(handle, baud) : FT_INVALID_HANDLE;
}
FT_STATUS SetUSBParameters(FT_HANDLE handle, ULONG in_size, ULONG out_size) {
    World* w = g_world.load();
    return w ? w->SetUSBParameters(handle, in_size, out_size) : FT_INVALID_HANDLE;
}
FT_STATUS SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    World* w = g_world.load();
    return w ? w->SetLatencyTimer(handle, ms) : FT_INVALID_HANDLE;
}
FT_STATUS SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
    World* w = g_world.load();
    return w ? w->SetTimeouts(handle, read_ms, write_ms) : FT_INVALID_HANDLE;
}
FT_STATUS Purge(FT_HANDLE handle, ULONG mask) {
    World* w = g_world.load();
    return w ? w->Purge(handle, mask) : FT_INVALID_HANDLE;
}
FT_STATUS Write(FT_HANDLE handle, void* buffer, DWORD n, DWORD* written) {
    World* w = g_world.load();
    if (!w && written) *written = 0;
    return w ? w->Write(handle, buffer, n, written) : FT_INVALID_HANDLE;
}
FT_STATUS Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
    World* w = g_world.load();
    if (!w && got) *got = 0;
    return w ? w->Read(handle, buffer, n, got) : FT_INVALID_HANDLE;
}
FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) {
    World* w = g_world.load();
    return w ? w->ListDevices(arg1, arg2, flags) : FT_DEVICE_NOT_FOUND;
}

const D2xxApi kApi{Open,
                   Close,
                   GetDeviceInfo,
                   SetDataCharacteristics,
                   SetBaudRate,
                   SetUSBParameters,
                   SetLatencyTimer,
                   SetTimeouts,
                   Purge,
                   Write,
                   Read,
                   ListDevices};

}  // namespace

const D2xxApi& Api() {
    return kApi;
}
void SetActiveWorld(World* world) {
    g_world.store(world);
}
World* ActiveWorld() {
    return g_world.load();
}

}  // namespace kalvo::sim
