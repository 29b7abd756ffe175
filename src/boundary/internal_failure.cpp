#include "src/boundary/internal_failure.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace corvane {

namespace {
constexpr const char* kNoMessage = "corvane failed internally without a message";
}

void fail_internally(std::string message, std::source_location where) {
    // The message is written with its length: a text from Python may hold a NUL.
    std::fprintf(stderr, "corvane: internal failure at %s:%u in %s: %.*s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(),
                 static_cast<int>(message.size()), message.data());
    throw InternalFailure(std::move(message));
}

void fail_internally_quietly(std::string message) {
    throw InternalFailure(std::move(message));
}

void abort_at_ffi_boundary(std::string_view detail) noexcept {
    std::fprintf(stderr, "corvane: uncaught panic at ffi boundary: %.*s\n",
                 static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    std::abort();
}

std::string current_failure_message() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        // Taken whole rather than through what(), which would end the text at its first NUL.
        try {
            return failure.message();
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            return e.what();
        } catch (...) {
        }
    } catch (...) {
    }
    return kNoMessage;
}

} // namespace corvane
