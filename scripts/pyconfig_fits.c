/* Compiled for each wheel's target with the build interpreter's pyconfig.h
 * (scripts/wheels.sh): every type size, alignment and byte order that the
 * interpreter's headers were configured with must hold on the target too.
 * CPython's headers are the same on every platform except pyconfig.h, and of
 * pyconfig.h the public API's layouts depend only on these; the rest names
 * features of the interpreter's own build. */
#include <pyconfig.h>

#include <pthread.h>
#include <stdalign.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>
#include <wchar.h>

#define FITS(macro, value) _Static_assert((macro) == (value), #macro " differs on the target")

FITS(SIZEOF_SHORT, sizeof(short));
FITS(SIZEOF_INT, sizeof(int));
FITS(SIZEOF_LONG, sizeof(long));
FITS(SIZEOF_LONG_LONG, sizeof(long long));
FITS(SIZEOF_FLOAT, sizeof(float));
FITS(SIZEOF_DOUBLE, sizeof(double));
FITS(SIZEOF_LONG_DOUBLE, sizeof(long double));
FITS(SIZEOF__BOOL, sizeof(_Bool));
FITS(SIZEOF_VOID_P, sizeof(void*));
FITS(SIZEOF_SIZE_T, sizeof(size_t));
FITS(SIZEOF_UINTPTR_T, sizeof(uintptr_t));
FITS(SIZEOF_WCHAR_T, sizeof(wchar_t));
FITS(SIZEOF_OFF_T, sizeof(off_t));
FITS(SIZEOF_TIME_T, sizeof(time_t));
FITS(SIZEOF_PID_T, sizeof(pid_t));
FITS(SIZEOF_FPOS_T, sizeof(fpos_t));
FITS(SIZEOF_PTHREAD_T, sizeof(pthread_t));
FITS(SIZEOF_PTHREAD_KEY_T, sizeof(pthread_key_t));
FITS(ALIGNOF_LONG, alignof(long));
FITS(ALIGNOF_SIZE_T, alignof(size_t));
FITS(ALIGNOF_MAX_ALIGN_T, alignof(max_align_t));

#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#error "the interpreter's byte order differs on the target"
#endif
#if defined(DOUBLE_IS_LITTLE_ENDIAN_IEEE754) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#error "the interpreter's float layout differs on the target"
#endif
#if defined(Py_GIL_DISABLED) || defined(Py_DEBUG)
#error "the wheels are for the default build of the interpreter (with the GIL, no debug build)"
#endif
