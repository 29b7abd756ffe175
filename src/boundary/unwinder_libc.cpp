// The few C library functions that the wheels' unwinder asks of libdl and libpthread, defined
// inside corvane.
//
// The wheels carry Zig's C++ runtime, built for glibc 2.17, whose unwinder (libunwind, behind
// every C++ exception) refers to dlsym, dladdr and pthread_rwlock_*. Until glibc 2.34 those live
// in libdl.so.2 and libpthread.so.0, so a module that refers to them names both libraries, and on
// every current system (where both are empty stubs) each import opens and maps two more files: a
// third of the cost of importing corvane. Defined here, the unwinder's references stay inside the
// module (the version script exports nothing but PyInit_corvane), and the linker, told to name
// only the libraries it uses (--as-needed, cmake/zig-toolchain.cmake), names neither. Builds
// against GCC's runtime or a newer glibc never compile this.
#include <pthread.h> // and with it glibc's version: __GLIBC__, __GLIBC_MINOR__
#include <version>   // and with it the C++ runtime's: _LIBCPP_VERSION for libc++

#if defined(_LIBCPP_VERSION) && defined(__GLIBC__) && __GLIBC__ == 2 && __GLIBC_MINOR__ < 34

#include <dlfcn.h>
#include <sched.h>

extern "C" {

// Asked only for _dl_find_object, which glibc adds in 2.35: without it the unwinder walks the
// loaded objects with dl_iterate_phdr (in libc), as it does on any older system.
void* dlsym(void*, const char*) noexcept {
    return nullptr;
}

// Asked only to name a function for unw_get_proc_name, which corvane never calls.
int dladdr(const void*, Dl_info*) noexcept {
    return 0;
}

// The unwinder's cache of frame descriptions takes one of these around each look-up, for an
// exception in flight: one lock for readers and writers alike is enough for it. The lock's first
// byte, zero in PTHREAD_RWLOCK_INITIALIZER, is the flag.
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept {
    while (__atomic_test_and_set(reinterpret_cast<char*>(lock), __ATOMIC_ACQUIRE)) {
        sched_yield();
    }
    return 0;
}

int pthread_rwlock_rdlock(pthread_rwlock_t* lock) noexcept {
    return pthread_rwlock_wrlock(lock);
}

int pthread_rwlock_unlock(pthread_rwlock_t* lock) noexcept {
    __atomic_clear(reinterpret_cast<char*>(lock), __ATOMIC_RELEASE);
    return 0;
}

} // extern "C"

#endif
