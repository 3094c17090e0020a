#include "core/device/d2xx_binding.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "core/common/message_box.h"
#include "core/common/paths.h"
#include "core/common/text.h"
#include "core/device/platform_dl.h"

namespace kalvo {
namespace {

enum Entry : size_t {
    kOpen,
    kClose,
    kGetDeviceInfo,
    kSetDataCharacteristics,
    kSetBaudRate,
    kSetUSBParameters,
    kSetLatencyTimer,
    kSetTimeouts,
    kPurge,
    kWrite,
    kRead,
    kListDevices,
    kEntryCount
};

constexpr std::array<const char*, kEntryCount> kNames = {"FT_Open",
                                                         "FT_Close",
                                                         "FT_GetDeviceInfo",
                                                         "FT_SetDataCharacteristics",
                                                         "FT_SetBaudRate",
                                                         "FT_SetUSBParameters",
                                                         "FT_SetLatencyTimer",
                                                         "FT_SetTimeouts",
                                                         "FT_Purge",
                                                         "FT_Write",
                                                         "FT_Read",
                                                         "FT_ListDevices"};

std::mutex g_mutex;
void* g_library = nullptr;
std::string g_library_name;  // file name shown in the error texts
std::array<std::atomic<void*>, kEntryCount> g_resolved{};

// The box text is built in a 128-character buffer.
[[noreturn]] void Fail(const char16_t* reason) {
    std::u16string text = WidenAnsi(g_library_name) + reason;
    if (text.size() > 127) text.resize(127);
    FatalExit(u"Error", text, 2);
}

std::string FileNameOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void LoadLibraryLocked() {
    if (g_library) return;
    const char* override_path = std::getenv("KALVO_D2XX_LIBRARY");
    if (override_path && *override_path) {
        g_library_name = FileNameOf(override_path);
        g_library = LoadSharedLibrary(override_path);
    } else {
        g_library_name = DriverLibraryFileName();
        // Beside the program (a build folder), then where an installation puts its own driver
        // (bin/../lib/kalvo), then the system's library path.
        const std::string program = ProgramFolder();
        for (const std::string& path :
             {program + "/" + g_library_name, program + "/../lib/kalvo/" + g_library_name,
              g_library_name}) {
            if ((g_library = LoadSharedLibrary(path))) break;
        }
    }
    if (!g_library) Fail(u" загрузка DLL невозможна, приложение будет закрыто");
}

void* Resolve(Entry entry) {
    if (void* fn = g_resolved[entry].load(std::memory_order_acquire)) return fn;
    std::lock_guard lock(g_mutex);
    if (void* fn = g_resolved[entry].load(std::memory_order_relaxed)) return fn;
    LoadLibraryLocked();
    void* fn = FindLibrarySymbol(g_library, kNames[entry]);
    if (!fn) Fail(u" загрузка требуемой функции невозможна, приложение будет закрыто");
    g_resolved[entry].store(fn, std::memory_order_release);
    return fn;
}

// One trampoline per table entry: resolve on first use, then forward.
template <Entry E, typename Fn>
struct Lazy;
template <Entry E, typename R, typename... Args>
struct Lazy<E, R (*)(Args...)> {
    static R Call(Args... args) { return reinterpret_cast<R (*)(Args...)>(Resolve(E))(args...); }
};

}  // namespace

const D2xxApi& DriverApi() {
    static const D2xxApi api = {
        &Lazy<kOpen, PFN_FT_Open>::Call,
        &Lazy<kClose, PFN_FT_Close>::Call,
        &Lazy<kGetDeviceInfo, PFN_FT_GetDeviceInfo>::Call,
        &Lazy<kSetDataCharacteristics, PFN_FT_SetDataCharacteristics>::Call,
        &Lazy<kSetBaudRate, PFN_FT_SetBaudRate>::Call,
        &Lazy<kSetUSBParameters, PFN_FT_SetUSBParameters>::Call,
        &Lazy<kSetLatencyTimer, PFN_FT_SetLatencyTimer>::Call,
        &Lazy<kSetTimeouts, PFN_FT_SetTimeouts>::Call,
        &Lazy<kPurge, PFN_FT_Purge>::Call,
        &Lazy<kWrite, PFN_FT_Write>::Call,
        &Lazy<kRead, PFN_FT_Read>::Call,
        &Lazy<kListDevices, PFN_FT_ListDevices>::Call,
    };
    return api;
}

}  // namespace kalvo
