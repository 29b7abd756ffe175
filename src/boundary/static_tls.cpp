// Keeps the first C++ exception of a thread from needing memory of the heap.
//
// Throwing uses per-thread state of the C++ runtime linked into corvane (its exception globals),
// which lives in corvane's thread-local block. For a module loaded with dlopen, glibc allocates
// that block, in each thread, on its first use, and when the heap has run out it cannot, and ends
// the process ("cannot allocate memory for thread-local data"): a thread's first error would
// abort instead of raising a MemoryError. A module that accesses any of its thread-local data in
// the initial-exec model is given static TLS instead (the linker marks it STATIC_TLS), for the
// whole block: the loader places it in the space every thread reserves when it is created, the
// importing thread and those already running included, and nothing is allocated later. This
// variable is that access; it is kept (retain) although nothing else refers to it. The block is
// a few dozen bytes, well within what glibc keeps for modules that dlopen loads.
//
// A limit remains: on an exhausted heap the exception objects themselves come from libc++abi's
// emergency pool, about 512 bytes shared by the whole process, which holds only two or three of
// them in flight, so with the GIL off several threads failing at once can still reach
// std::terminate.
namespace corvane {
namespace {

[[gnu::tls_model("initial-exec")]] constinit thread_local char exception_globals_in_static_tls = 0;

[[gnu::used, gnu::retain]] char* place_thread_locals_in_static_tls() noexcept {
    return &exception_globals_in_static_tls;
}

} // namespace
} // namespace corvane
