/* An LD_PRELOAD library that fails the allocations corvane's own code makes (its C++ runtime's
 * operator new and exception allocation included, as they are linked into it), from the n-th on
 * or the n-th alone (tests/test_alloc_failure.py builds it; tests/isolated/own_alloc_sweep.py and
 * first_import_sweep.py drive it). A call is corvane's when malloc returns into corvane's mapped
 * range; the interpreter's allocations are never failed. Single-threaded: the sweep makes one
 * call at a time. */
#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

static uintptr_t range_start, range_end; /* corvane's mappings */
static long left = -1;                   /* allocations still granted; -1: none ever failed */
static long counted;                     /* corvane's allocations since arming */
static int refuse_one;                   /* grant every allocation after the one refused */

/* From now on, grant corvane `granted` allocations, then fail every one. */
void failing_malloc_arm(uintptr_t start, uintptr_t end, long granted) {
    range_start = start;
    range_end = end;
    counted = 0;
    left = granted;
    refuse_one = 0;
}

/* From now on, grant corvane `granted` allocations, fail the next one, and grant the rest. */
void failing_malloc_arm_once(uintptr_t start, uintptr_t end, long granted) {
    failing_malloc_arm(start, end, granted);
    refuse_one = 1;
}

/* Stops failing; returns how many allocations corvane asked for while armed. */
long failing_malloc_disarm(void) {
    left = -1;
    return counted;
}

static int refused(void *caller) {
    uintptr_t at = (uintptr_t)caller;
    if (left < 0 || at < range_start || at >= range_end) {
        return 0;
    }
    ++counted;
    if (left == 0) {
        if (refuse_one) {
            left = LONG_MAX;
        }
        errno = ENOMEM;
        return 1;
    }
    --left;
    return 0;
}

void *malloc(size_t size) {
    return refused(__builtin_return_address(0)) ? NULL : __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    return refused(__builtin_return_address(0)) ? NULL : __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) {
    return refused(__builtin_return_address(0)) ? NULL : __libc_realloc(block, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    return refused(__builtin_return_address(0)) ? NULL : __libc_memalign(alignment, size);
}

int posix_memalign(void **result, size_t alignment, size_t size) {
    if (refused(__builtin_return_address(0))) {
        return ENOMEM;
    }
    void *block = __libc_memalign(alignment, size);
    if (block == NULL) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}
