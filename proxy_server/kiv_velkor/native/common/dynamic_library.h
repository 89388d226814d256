// Opening a runtime library and resolving its entry points, shared by both
// modules' loaders: all or nothing, with one tagged line on stderr on failure.
#pragma once

#include <cstddef>

namespace kiv {

// dlopen(path, RTLD_LAZY), then dlsym of each of `names` in order into
// `slots`. Returns the handle, or NULL after writing
//   "<tag> dlopen("<path>") failed: <reason>"  or  "<tag> dlsym failed: <reason>"
// to stderr, with the library closed again and `slots` untouched. A NULL
// path is refused (dlopen(NULL) would hand back the main program). A symbol
// whose value is NULL without an error is a NULL slot.
void* open_library(const char* path, const char* tag, const char* const* names, void** slots,
                   std::size_t count);

}  // namespace kiv
