// The real driver binding, run in child processes: it ends the process when the library or one
// of its functions is missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/paths.h"
#include "device/d2xx_binding.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using ::testing::ExitedWithCode;

int CountDevices() {
    DWORD count = 0;
    if (DriverApi().ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return -1;
    return int(count);
}

class BindingDeathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("kalvo_binding_" + std::to_string(getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

TEST_F(BindingDeathTest, MissingLibraryEndsWithCode2) {
    const std::string missing = (folder_ / "libnothing.so").string();
    EXPECT_EXIT(
        {
            setenv("KALVO_D2XX_LIBRARY", missing.c_str(), 1);
            CountDevices();
        },
        ExitedWithCode(2),
        "Error: libnothing.so загрузка DLL невозможна, приложение будет закрыто");

    // Without the override the library of the platform's name is looked for; the program
    // folder here has none.
    EXPECT_EXIT(
        {
            unsetenv("KALVO_D2XX_LIBRARY");
            SetProgramFolderForTesting(folder_.string());
            CountDevices();
        },
        ExitedWithCode(2),
        "^Error: libftd2xx.so загрузка DLL невозможна, приложение будет закрыто\n$");
}

TEST_F(BindingDeathTest, MissingFunctionEndsWithCode2AtItsFirstCall) {
    EXPECT_EXIT(
        {
            setenv("KALVO_D2XX_LIBRARY", KALVO_PARTIAL_DRIVER, 1);
            std::fprintf(stderr, "listed %d\n", CountDevices());
            FT_HANDLE handle = nullptr;
            std::fprintf(stderr, "opened %d\n", DriverApi().Open(0, &handle) == FT_OK);
            DriverApi().Close(handle);
            std::fprintf(stderr, "not reached\n");
        },
        ExitedWithCode(2),
        "^listed 3\nopened 1\nError: libkalvo_partial_driver.so загрузка требуемой функции "
        "невозможна, приложение будет закрыто\n$");
}

TEST_F(BindingDeathTest, ProgramFolderComesFirst) {
    fs::copy_file(KALVO_PARTIAL_DRIVER, folder_ / "libftd2xx.so");
    EXPECT_EXIT(
        {
            unsetenv("KALVO_D2XX_LIBRARY");
            SetProgramFolderForTesting(folder_.string());
            std::_Exit(CountDevices() == 3 ? 0 : 1);
        },
        ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kalvo
