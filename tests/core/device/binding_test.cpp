// The real driver binding, in child processes: a missing library or function ends the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "core/common/paths.h"
#include "core/device/d2xx_binding.h"

namespace kalvo {
namespace {

namespace fs = std::filesystem;
using ::testing::ExitedWithCode;

int CountDevices() {
    DWORD count = 0;
    return DriverApi().ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) == FT_OK ? int(count) : -1;
}

TEST(BindingDeathTest, MissingLibraryOrFunctionEndsWithCode2) {
    const fs::path folder =
        fs::temp_directory_path() / ("kalvo_binding_" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string missing = (folder / "libnothing.so").string();
    EXPECT_EXIT((setenv("KALVO_D2XX_LIBRARY", missing.c_str(), 1), CountDevices()),
                ExitedWithCode(2),
                "^Error: libnothing.so загрузка DLL невозможна, приложение будет закрыто\n$");

    // By default the platform's library name, looked for in the program folder first.
    EXPECT_EXIT((unsetenv("KALVO_D2XX_LIBRARY"), SetProgramFolderForTesting(folder.string()),
                 CountDevices()),
                ExitedWithCode(2), "^Error: libftd2xx.so загрузка DLL невозможна");
    // An installed program finds its driver in lib/kalvo beside its bin folder.
    fs::create_directories(folder / "bin");
    fs::create_directories(folder / "lib" / "kalvo");
    fs::copy_file(KALVO_PARTIAL_DRIVER, folder / "lib" / "kalvo" / "libftd2xx.so");
    EXPECT_EXIT(
        (unsetenv("KALVO_D2XX_LIBRARY"), SetProgramFolderForTesting((folder / "bin").string()),
         std::_Exit(CountDevices() == 3 ? 0 : 1)),
        ExitedWithCode(0), "");
    fs::copy_file(KALVO_PARTIAL_DRIVER, folder / "libftd2xx.so");
    EXPECT_EXIT((unsetenv("KALVO_D2XX_LIBRARY"), SetProgramFolderForTesting(folder.string()),
                 std::_Exit(CountDevices() == 3 ? 0 : 1)),
                ExitedWithCode(0), "");

    // Functions are bound one by one at their first call.
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
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kalvo
