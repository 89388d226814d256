/* Preloaded beside the sanitizer runtimes by scripts/sanitize.sh and
 * scripts/leakcheck.sh. With GCC, UndefinedBehaviorSanitizer runs as a plugin
 * of AddressSanitizer in its own library and then ignores log_path, so its
 * reports would only reach a standard error stream that a test may capture
 * and discard. This points its report path at $KIV_UBSAN_LOG, so that every
 * report of every process also lands in a file the scripts check. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>

__attribute__((constructor)) static void kiv_set_ubsan_report_path(void) {
    const char* path = getenv("KIV_UBSAN_LOG");
    if (path == NULL || *path == '\0') return;
    void* ubsan = dlopen("libubsan.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (ubsan == NULL) return;
    /* dlsym on that handle finds libubsan's own copy of the function, which
     * sets its own report path (libasan exports one of the same name). */
    void (*set_path)(const char*) = (void (*)(const char*))dlsym(ubsan, "__sanitizer_set_report_path");
    if (set_path != NULL) set_path(path);
}
