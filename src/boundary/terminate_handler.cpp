// The handler std::terminate calls, for builds on libc++abi (the wheels').
//
// libc++abi's own default handler names the uncaught exception's type, and to do so it carries a
// whole C++ demangler: about 70 KB of code and 1,300 of the module's 1,600 relocations, which
// the loader applies on every import, though a terminate never happens in corvane (internal
// failures end at the entry's call guard). Defining the three handler variables here keeps
// libc++abi's default-handler object (and with it the demangler) out of the link. corvane's
// handler says in one line what happened, then aborts, as libc++abi's would. Builds on GCC's
// runtime keep its handler: there the variables have other names, and this file compiles to
// nothing.
#include <cxxabi.h> // and with it the C++ ABI library's version: _LIBCPPABI_VERSION

#if defined(_LIBCPPABI_VERSION)

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void report_and_abort() noexcept {
    static constexpr char kMessage[] = "corvane: std::terminate called; aborting\n";
    std::fwrite(kMessage, 1, sizeof kMessage - 1, stderr);
    std::abort();
}

} // namespace

extern "C" {

// The names and types are libc++abi's (cxa_handlers.h), which std::terminate, std::get_terminate
// and operator new read.
void (*__cxa_terminate_handler)() = report_and_abort;
void (*__cxa_unexpected_handler)() = report_and_abort;
void (*__cxa_new_handler)() = nullptr;

} // extern "C"

#endif
