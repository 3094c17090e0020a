#pragma once
// Run-time loading of shared libraries; the only place that knows the platform's loader.
#include <string>

namespace kalvo {

// File name of the driver library on this platform.
const char* DriverLibraryFileName();
// Opens a library by path or plain name; nullptr when it cannot be loaded. Libraries stay loaded
// for the life of the process.
void* LoadSharedLibrary(const std::string& path_or_name);
// nullptr when the library does not export the name.
void* FindLibrarySymbol(void* library, const char* name);

}  // namespace kalvo
