#include "dynamic_library.h"

#include <dlfcn.h>

#include <cstdio>

namespace kiv {

void* open_library(const char* path, const char* tag, const char* const* names, void** slots,
                   std::size_t count) {
    dlerror();  // discard a stale error text
    if (path == nullptr) {
        std::fprintf(stderr, "%s dlopen(\"%s\") failed: %s\n", tag, "NULL", "no library path given");
        return nullptr;
    }
    void* handle = dlopen(path, RTLD_LAZY);
    if (handle == nullptr) {
        const char* err = dlerror();
        std::fprintf(stderr, "%s dlopen(\"%s\") failed: %s\n", tag, path, err ? err : "unknown error");
        return nullptr;
    }
    void* resolved[32];
    if (count > sizeof resolved / sizeof resolved[0]) {
        std::fprintf(stderr, "%s dlsym failed: %s\n", tag, "too many entry points");
        dlclose(handle);
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        resolved[i] = dlsym(handle, names[i]);
        if (const char* err = dlerror()) {
            std::fprintf(stderr, "%s dlsym failed: %s\n", tag, err);
            dlclose(handle);
            return nullptr;
        }
    }
    for (std::size_t i = 0; i < count; ++i) slots[i] = resolved[i];
    return handle;
}

void close_library(void* handle) { dlclose(handle); }

}  // namespace kiv
