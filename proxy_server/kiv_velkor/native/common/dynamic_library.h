// Opening a runtime library and resolving its entry points, shared by both
// modules' loaders: all or nothing, with one tagged line on stderr on failure.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace kiv {

// dlopen(path, RTLD_LAZY), then dlsym of each of `names` in order into
// `slots`. Returns the handle, or NULL after writing
//   "<tag> dlopen("<path>") failed: <reason>"  or  "<tag> dlsym failed: <reason>"
// to stderr, with the library closed again and `slots` untouched. A NULL
// path is refused (dlopen(NULL) would hand back the main program). A symbol
// whose value is NULL without an error is a NULL slot.
void* open_library(const char* path, const char* tag, const char* const* names, void** slots,
                   std::size_t count);

// dlclose(handle).
void close_library(void* handle);

// A runtime library and its table of entry points. `Table` holds one function
// pointer per entry point and `names` names them, both expanded from the same
// list, so slot i of the table is names[i].
template <typename Table>
class RuntimeLibrary {
public:
    static constexpr std::size_t kCount = sizeof(Table) / sizeof(void*);
    static_assert(std::is_trivially_copyable_v<Table> && sizeof(Table) == kCount * sizeof(void*));

    // Opens the library at `path` and fills the table, all or nothing. Returns
    // 0 when loaded (now or before), -1 on failure with one line on stderr.
    int load(const char* path, const char* tag, const char* const (&names)[kCount]) {
        if (handle_ != nullptr) return 0;
        void* slots[kCount];
        void* handle = open_library(path, tag, names, slots, kCount);
        if (handle == nullptr) return -1;
        // Object and function pointers share one representation where dlsym
        // exists, so the addresses are copied into the table as they are.
        std::memcpy(&table_, slots, sizeof table_);
        handle_ = handle;
        return 0;
    }

    // Closes the library and empties the table; safe in any state.
    void unload() {
        if (handle_ != nullptr) {
            close_library(handle_);
            handle_ = nullptr;
        }
        table_ = Table{};
    }

    // The entry points; each NULL while the library is not loaded.
    const Table* operator->() const { return &table_; }

private:
    void* handle_ = nullptr;
    Table table_{};
};

}  // namespace kiv
