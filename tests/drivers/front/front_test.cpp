// The D2XX front over a scripted driver: which calls the FT232R rules refuse before a bridge is
// touched, what comes first, and FT_ListDevices for every flag.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "drivers/front/d2xx_front.h"

namespace kalvo::front {
namespace {

const FT_HANDLE kOpen = reinterpret_cast<FT_HANDLE>(uintptr_t(0x10));
const FT_HANDLE kGone = reinterpret_cast<FT_HANDLE>(uintptr_t(0x20));

// Counts what reaches the bridge; every operation succeeds and moves all bytes.
class CountingPort final : public Port {
  public:
    int calls = 0;
    Info Describe() override { return Touch(Info{6, 0x12345678, "SER", "Desc"}); }
    FT_STATUS SetDataCharacteristics(UCHAR, UCHAR, UCHAR) override { return Touch(FT_OK); }
    FT_STATUS SetBaudRate(ULONG) override { return Touch(FT_OK); }
    FT_STATUS SetUSBParameters(ULONG, ULONG) override { return Touch(FT_OK); }
    FT_STATUS SetLatencyTimer(UCHAR) override { return Touch(FT_OK); }
    FT_STATUS SetTimeouts(ULONG, ULONG) override { return Touch(FT_OK); }
    FT_STATUS Purge(ULONG) override { return Touch(FT_OK); }
    FT_STATUS Write(const uint8_t*, DWORD n, DWORD* written) override {
        *written = n;
        return Touch(FT_OK);
    }
    FT_STATUS Read(uint8_t*, DWORD n, DWORD* got) override {
        *got = n;
        return Touch(FT_OK);
    }

  private:
    template <class T>
    T Touch(T value) {
        ++calls;
        return value;
    }
};

class ScriptedDriver final : public Driver {
  public:
    CountingPort port;
    std::vector<Listed> bridges = {{"A1", "First"}, {"B2", "Second bridge"}};
    int opens = 0;

  private:
    FT_STATUS OpenBridge(int, FT_HANDLE* handle) override {
        ++opens;
        *handle = kOpen;
        return FT_OK;
    }
    FT_STATUS CloseBridge(FT_HANDLE handle) override {
        return handle == kOpen ? FT_OK : FT_INVALID_HANDLE;
    }
    FT_STATUS WithPort(FT_HANDLE handle, PortUse use) override {
        if (handle == kGone) return FT_IO_ERROR;
        return handle == kOpen ? use(port) : FT_INVALID_HANDLE;
    }
    std::vector<Listed> ListBridges() override { return bridges; }
};

struct Case {
    const char* name;
    std::function<FT_STATUS(Driver&, FT_HANDLE)> call;
    FT_STATUS status;  // on an open handle
};

uint8_t g_byte[1];

// Each limit from both sides: a refused call never reaches the bridge.
const Case kCases[] = {
    {"baud 182", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 182); }, kFtInvalidBaudRate},
    {"baud 183", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 183); }, FT_OK},
    {"baud 3M", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 3000000); }, FT_OK},
    {"baud 3M+1", [](Driver& d, FT_HANDLE h) { return d.SetBaudRate(h, 3000001); },
     kFtInvalidBaudRate},
    {"6 bits", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 6, 0, 0); },
     kFtInvalidParameter},
    {"7E2", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 7, 2, 2); }, FT_OK},
    {"stop 1", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 8, 1, 0); },
     kFtInvalidParameter},
    {"parity 4", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 8, 0, 4); },
     FT_OK},
    {"parity 5", [](Driver& d, FT_HANDLE h) { return d.SetDataCharacteristics(h, 8, 0, 5); },
     kFtInvalidParameter},
    {"latency 0", [](Driver& d, FT_HANDLE h) { return d.SetLatencyTimer(h, 0); },
     kFtInvalidParameter},
    {"latency 1", [](Driver& d, FT_HANDLE h) { return d.SetLatencyTimer(h, 1); }, FT_OK},
    {"usb 63", [](Driver& d, FT_HANDLE h) { return d.SetUSBParameters(h, 63, 0); },
     kFtInvalidParameter},
    {"usb 64", [](Driver& d, FT_HANDLE h) { return d.SetUSBParameters(h, 64, 0); }, FT_OK},
    {"usb 64k", [](Driver& d, FT_HANDLE h) { return d.SetUSBParameters(h, 65536, 1); }, FT_OK},
    {"usb 64k+1", [](Driver& d, FT_HANDLE h) { return d.SetUSBParameters(h, 65537, 0); },
     kFtInvalidParameter},
    {"write null", [](Driver& d, FT_HANDLE h) { return d.Write(h, nullptr, 1, nullptr); },
     kFtInvalidParameter},
    {"write none", [](Driver& d, FT_HANDLE h) { return d.Write(h, nullptr, 0, nullptr); }, FT_OK},
    {"read null", [](Driver& d, FT_HANDLE h) { return d.Read(h, nullptr, 1, nullptr); },
     kFtInvalidParameter},
    {"read one", [](Driver& d, FT_HANDLE h) { return d.Read(h, g_byte, 1, nullptr); }, FT_OK},
    {"timeouts", [](Driver& d, FT_HANDLE h) { return d.SetTimeouts(h, 0, 0); }, FT_OK},
    {"purge", [](Driver& d, FT_HANDLE h) { return d.Purge(h, 0xFF); }, FT_OK},
};

TEST(D2xxFront, RulesRefuseBeforeTheBridgeAndHandlesComeFirst) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ScriptedDriver d;
        EXPECT_EQ(c.call(d, kOpen), c.status);
        EXPECT_EQ(d.port.calls, c.status == FT_OK ? 1 : 0);
        // A bad handle is reported whatever the arguments, and nothing reaches a bridge.
        EXPECT_EQ(c.call(d, kGone), FT_IO_ERROR);
        EXPECT_EQ(c.call(d, NOT_OPEN), FT_INVALID_HANDLE);
        EXPECT_EQ(d.port.calls, c.status == FT_OK ? 1 : 0);
    }
}

TEST(D2xxFront, CountsAndTextsReachTheCaller) {
    ScriptedDriver d;
    EXPECT_EQ(d.Open(0, nullptr), kFtInvalidParameter);
    EXPECT_EQ(d.opens, 0);

    uint8_t bytes[4] = {};
    DWORD count = 99;
    EXPECT_EQ(d.Write(kGone, bytes, 4, &count), FT_IO_ERROR);
    EXPECT_EQ(count, 0u);
    count = 99;
    EXPECT_EQ(d.Read(kOpen, nullptr, 4, &count), kFtInvalidParameter);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(d.Read(kOpen, bytes, 4, &count), FT_OK);
    EXPECT_EQ(count, 4u);

    ULONG type = 0;
    DWORD id = 0;
    char serial[16], description[64];
    std::memset(serial, 'x', sizeof serial);
    ASSERT_EQ(d.GetDeviceInfo(kOpen, &type, &id, serial, description, nullptr), FT_OK);
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(id, 0x12345678u);
    EXPECT_STREQ(serial, "SER");
    EXPECT_STREQ(description, "Desc");
    EXPECT_EQ(d.GetDeviceInfo(kOpen, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
}

void* Index(uintptr_t i) {
    return reinterpret_cast<void*>(i);
}

TEST(D2xxFront, ListDevicesForEveryFlag) {
    ScriptedDriver d;
    char text[64] = {};
    DWORD count = 0;
    ASSERT_EQ(d.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(d.ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), kFtInvalidParameter);

    ASSERT_EQ(d.ListDevices(Index(1), text, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_STREQ(text, "Second bridge");
    ASSERT_EQ(d.ListDevices(Index(0), text, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(text, "A1");
    EXPECT_EQ(d.ListDevices(Index(2), text, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(d.ListDevices(Index(0), nullptr, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              kFtInvalidParameter);
    EXPECT_EQ(d.ListDevices(Index(0), text, FT_LIST_BY_INDEX), kFtInvalidParameter);

    char first[16] = {}, second[16] = {};
    char* buffers[] = {first, second};
    count = 0;
    ASSERT_EQ(d.ListDevices(buffers, &count, kFtListAll | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(first, "A1");
    EXPECT_STREQ(second, "B2");
    EXPECT_EQ(count, 2u);
    char* missing[] = {first, nullptr};
    EXPECT_EQ(d.ListDevices(missing, &count, kFtListAll | FT_OPEN_BY_SERIAL_NUMBER),
              kFtInvalidParameter);
    EXPECT_EQ(d.ListDevices(&count, nullptr, 0), kFtInvalidParameter);
}

Driver* g_driver = nullptr;
Driver* Current() {
    return g_driver;
}

TEST(D2xxFront, TheTableAnswersWithoutADriverAsABusWithoutBridges) {
    const D2xxApi& api = Entry<&Current>::kTable;
    FT_HANDLE h = nullptr;
    DWORD count = 99;
    uint8_t byte = 0;
    EXPECT_EQ(api.Open(0, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(api.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(api.Close(kOpen), FT_INVALID_HANDLE);
    EXPECT_EQ(api.SetBaudRate(kOpen, 9600), FT_INVALID_HANDLE);
    EXPECT_EQ(api.Read(kOpen, &byte, 1, &count), FT_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);

    ScriptedDriver d;
    g_driver = &d;
    EXPECT_EQ(api.Open(0, &h), FT_OK);
    EXPECT_EQ(api.Write(h, &byte, 1, &count), FT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(api.Close(h), FT_OK);
    g_driver = nullptr;
}

}  // namespace
}  // namespace kalvo::front
