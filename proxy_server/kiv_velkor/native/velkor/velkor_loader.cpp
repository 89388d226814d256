#include "velkor_loader.h"

#include "../common/dynamic_library.h"

namespace {

struct EntryTable {
#define KIV_TABLE_SLOT(name, params, args) decltype(&::name) name;
    VELKOR_ENTRY_POINTS(KIV_TABLE_SLOT)
#undef KIV_TABLE_SLOT
};

constexpr const char* kNames[] = {
#define KIV_SLOT_NAME(name, params, args) #name,
    VELKOR_ENTRY_POINTS(KIV_SLOT_NAME)
#undef KIV_SLOT_NAME
};

kiv::RuntimeLibrary<EntryTable> s_runtime;

}  // namespace

int load_velkor_func(const char* path) { return s_runtime.load(path, "[VELKOR_FUNC]", kNames); }

void unload_velkor_func(void) { s_runtime.unload(); }

#define KIV_DEFINE_SHIM(name, params, args)            \
    KIV_LLMRetStatus name params {                     \
        const auto entry = s_runtime->name;            \
        return entry != nullptr ? entry args : 1u;     \
    }
VELKOR_ENTRY_POINTS(KIV_DEFINE_SHIM)
#undef KIV_DEFINE_SHIM
