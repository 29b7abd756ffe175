#include "src/boundary/internal_failure.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvane {

namespace {
constexpr std::string_view kNoMessage = "corvane failed internally without a message";
}

void report_internal_failure(std::string_view message, std::source_location where) noexcept {
    // The message is written with its length: a text from Python may hold a NUL. stderr is
    // unbuffered, so printing to it allocates nothing.
    std::fprintf(stderr, "corvane: internal failure at %s:%u in %s: %.*s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(),
                 static_cast<int>(message.size()), message.data());
}

void fail_internally(FailureText message, std::source_location where) {
    report_internal_failure(message.text(), where);
    throw InternalFailure(std::move(message));
}

void fail_internally_quietly(FailureText message) {
    throw InternalFailure(std::move(message));
}

void abort_at_ffi_boundary(std::string_view detail) noexcept {
    std::fprintf(stderr, "corvane: uncaught panic at ffi boundary: %.*s\n",
                 static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    std::abort();
}

std::string_view current_failure_message() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        return failure.text().text();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return kNoMessage;
}

} // namespace corvane
