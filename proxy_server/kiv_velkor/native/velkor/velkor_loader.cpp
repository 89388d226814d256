#include "velkor_loader.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

struct EntryTable {
#define KIV_TABLE_SLOT(name, params, args) decltype(&::name) name;
    VELKOR_ENTRY_POINTS(KIV_TABLE_SLOT)
#undef KIV_TABLE_SLOT
};

void* s_handle = nullptr;
int s_loaded = 0;
EntryTable s_func{};

}  // namespace

int load_velkor_func(const char* path) {
    if (s_loaded) return 0;
    dlerror();
    if (path == nullptr) {
        // dlopen(NULL) would hand back the main program; a missing path is a failure.
        std::fprintf(stderr, "[VELKOR_FUNC] dlopen(\"%s\") failed: %s\n", "NULL", "no library path given");
        return -1;
    }
    void* handle = dlopen(path, RTLD_LAZY);
    if (handle == nullptr) {
        const char* err = dlerror();
        std::fprintf(stderr, "[VELKOR_FUNC] dlopen(\"%s\") failed: %s\n", path, err ? err : "unknown error");
        return -1;
    }
    s_handle = handle;
    s_func = EntryTable{};
    EntryTable resolved{};
#define KIV_RESOLVE_SLOT(name, params, args)                                                 \
    {                                                                                        \
        void* symbol = dlsym(handle, #name);                                                 \
        if (const char* err = dlerror()) {                                                   \
            std::fprintf(stderr, "[VELKOR_FUNC] dlsym failed: %s\n", err);                   \
            dlclose(handle);                                                                 \
            s_handle = nullptr;                                                              \
            return -1;                                                                       \
        }                                                                                    \
        resolved.name = reinterpret_cast<decltype(resolved.name)>(symbol);                   \
    }
    VELKOR_ENTRY_POINTS(KIV_RESOLVE_SLOT)
#undef KIV_RESOLVE_SLOT
    s_func = resolved;
    s_loaded = 1;
    return 0;
}

void unload_velkor_func(void) {
    if (s_handle != nullptr) {
        dlclose(s_handle);
        s_handle = nullptr;
    }
    s_func = EntryTable{};
    s_loaded = 0;
}

#define KIV_DEFINE_SHIM(name, params, args)            \
    KIV_LLMRetStatus name params {                     \
        const auto entry = s_func.name;                \
        return entry != nullptr ? entry args : 1u;     \
    }
VELKOR_ENTRY_POINTS(KIV_DEFINE_SHIM)
#undef KIV_DEFINE_SHIM
