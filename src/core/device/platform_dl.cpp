#include "core/device/platform_dl.h"

#include <dlfcn.h>

namespace kalvo {

const char* DriverLibraryFileName() {
    return "libftd2xx.so";
}

void* LoadSharedLibrary(const std::string& path_or_name) {
    return dlopen(path_or_name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindLibrarySymbol(void* library, const char* name) {
    return library ? dlsym(library, name) : nullptr;
}

}  // namespace kalvo
