#include "velkor_loader.h"

#include "../common/dynamic_library.h"

#include <dlfcn.h>

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
    static const char* const names[] = {
#define KIV_SLOT_NAME(name, params, args) #name,
        VELKOR_ENTRY_POINTS(KIV_SLOT_NAME)
#undef KIV_SLOT_NAME
    };
    constexpr std::size_t count = sizeof names / sizeof names[0];
    void* slots[count];
    void* handle = kiv::open_library(path, "[VELKOR_FUNC]", names, slots, count);
    if (handle == nullptr) return -1;
    std::size_t slot = 0;
#define KIV_FILL_SLOT(name, params, args) s_func.name = reinterpret_cast<decltype(s_func.name)>(slots[slot++]);
    VELKOR_ENTRY_POINTS(KIV_FILL_SLOT)
#undef KIV_FILL_SLOT
    s_handle = handle;
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
