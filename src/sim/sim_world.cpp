#include "sim/sim_world.h"

namespace kalvo::sim {

struct World::State {};

uint8_t Crc8(const uint8_t* data, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        for (int k = 0; k < 8; ++k) {
            const bool mix = (crc ^ b) & 1;
            crc >>= 1;
            if (mix) crc ^= 0x8C;
            b >>= 1;
        }
    }
    return crc;
}

RomCode MakeRomCode(uint8_t family, uint64_t id48) {
    uint8_t bytes[7];
    bytes[0] = family;
    for (int i = 0; i < 6; ++i) bytes[1 + i] = uint8_t(id48 >> (8 * i));
    RomCode code = family | ((id48 & 0xFFFFFFFFFFFFull) << 8);
    return code | RomCode(Crc8(bytes, 7)) << 56;
}

World::World(Clock& clock, uint64_t) : clock_(clock), state_(std::make_unique<State>()) {}
World::~World() = default;

int World::AddBridge(const std::string&, const std::string&, uint32_t, bool) {
    return -1;
}
RomCode World::AddDs18b20(int, uint64_t, const Thermal&, int) {
    return 0;
}
RomCode World::AddDs1820(int, uint64_t, const Thermal&) {
    return 0;
}
RomCode World::AddDs2413(int, uint64_t) {
    return 0;
}
RomCode World::AddDevice(int, uint8_t, uint64_t) {
    return 0;
}
bool World::Couple(RomCode, int, RomCode, double) {
    return false;
}
void World::SetLatencyMs(int) {}
bool World::RemoveDevice(RomCode) {
    return false;
}
bool World::SetAttached(RomCode, bool) {
    return false;
}
bool World::CorruptNextScratchpad(RomCode) {
    return false;
}
bool World::SetNeverConverts(RomCode, bool) {
    return false;
}
bool World::SetPinFault(RomCode, int, PinFault) {
    return false;
}
void World::SetLineHeldLow(int, bool) {}
void World::SetUnplugged(int, bool) {}
void World::ShortenNextReads(int, uint32_t, int) {}
int World::BridgeCount() const {
    return 0;
}
BridgeState World::Bridge(int) const {
    return {};
}
std::vector<RomCode> World::Devices(int) const {
    return {};
}
double World::ModelTemperature(RomCode) const {
    return 0;
}
double World::LastConversion(RomCode) const {
    return 0;
}
int World::SwitchStatus(RomCode) const {
    return -1;
}
bool World::ChannelOn(RomCode, int) const {
    return false;
}
FT_STATUS World::Open(int, FT_HANDLE*) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS World::Close(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::GetDeviceInfo(FT_HANDLE, ULONG*, DWORD*, char*, char*, void*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::SetDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::SetBaudRate(FT_HANDLE, ULONG) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::SetUSBParameters(FT_HANDLE, ULONG, ULONG) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::SetLatencyTimer(FT_HANDLE, UCHAR) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::SetTimeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::Purge(FT_HANDLE, ULONG) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::Write(FT_HANDLE, void*, DWORD, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::Read(FT_HANDLE, void*, DWORD, DWORD*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS World::ListDevices(void*, void*, DWORD) {
    return FT_DEVICE_NOT_FOUND;
}

}  // namespace kalvo::sim
