// libftd2xx.so from build/demo, loaded by name as the program loads its driver. Each case runs
// in a child process, since the library reads its bus once per process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using ListDevicesFn = uint32_t (*)(void*, void*, uint32_t);
using OpenFn = uint32_t (*)(int, void**);
constexpr uint32_t kNumberOnly = 0x80000000u;

std::string WriteConf(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + "/" + name + "_" + std::to_string(getpid());
    std::ofstream(path) << text;
    return path;
}

// Exits with the number of bridges listed, or 100 + the failure status.
[[noreturn]] void ListInChild(const char* simbus) {
    if (simbus)
        setenv("KALVO_SIMBUS", simbus, 1);
    else
        unsetenv("KALVO_SIMBUS");
    void* lib = dlopen(KALVO_BUILD_DIR "/demo/libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) std::_Exit(99);
    auto list = reinterpret_cast<ListDevicesFn>(dlsym(lib, "FT_ListDevices"));
    if (!list) std::_Exit(98);
    uint32_t count = 0;
    const uint32_t status = list(&count, nullptr, kNumberOnly);
    std::_Exit(status == 0 ? int(count) : 100 + int(status));
}

TEST(SimLibrary, ReadsTheBusNamedByTheEnvironment) {
    const std::string conf = WriteConf("two_bridges.conf",
                                       "bridge serial=A\nds18b20 id=000000000001\n"
                                       "bridge serial=B description=\"Second bridge\"\n");
    EXPECT_EXIT(ListInChild(conf.c_str()), testing::ExitedWithCode(2), "");
    std::remove(conf.c_str());
}

TEST(SimLibrary, AMalformedBusListsNothingAndSaysWhy) {
    const std::string conf = WriteConf("bad.conf", "bridge serial=A\nds18b20 id=12\n");
    EXPECT_EXIT(ListInChild(conf.c_str()), testing::ExitedWithCode(100 + 2),
                "line 2: id must be 12 hex digits");
    std::remove(conf.c_str());
    EXPECT_EXIT(ListInChild("/nonexistent/simbus.conf"), testing::ExitedWithCode(100 + 2),
                "cannot read");
}

TEST(SimLibrary, WithoutAFileTheDefaultBusIsThere) {
    EXPECT_EXIT(ListInChild(nullptr), testing::ExitedWithCode(1), "");
}

TEST(SimLibrary, ExportsOnlyTheDriverFunctions) {
    void* lib = dlopen(KALVO_BUILD_DIR "/demo/libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : {"FT_Open", "FT_Close", "FT_GetDeviceInfo", "FT_SetDataCharacteristics",
                             "FT_SetBaudRate", "FT_SetUSBParameters", "FT_SetLatencyTimer",
                             "FT_SetTimeouts", "FT_Purge", "FT_Write", "FT_Read", "FT_ListDevices"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    EXPECT_EQ(dlsym(lib, "_ZN5kalvo3sim4Crc8EPKhm"), nullptr);  // kalvo::sim::Crc8
    EXPECT_EQ(dlsym(lib, "_ZN5kalvo13ProgramFolderB5cxx11Ev"), nullptr);
    dlclose(lib);
}

}  // namespace
