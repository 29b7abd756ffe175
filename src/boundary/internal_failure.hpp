// Internal failures: faults of corvane's own code that no Python error describes (an object
// the interpreter could not create, a broken invariant). They unwind as C++ exceptions to the
// nearest call guard, releasing everything held on the way, and never cross into the
// interpreter.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace corvane {

class InternalFailure final : public std::exception {
  public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

  private:
    std::string message_;
};

// Writes a short report (message and place) to standard error, then throws.
[[noreturn]] void fail_internally(std::string message,
                                  std::source_location where = std::source_location::current());

// Throws without a report: used where the caller has already written its own account.
[[noreturn]] void fail_internally_quietly(std::string message);

// The last resort when even an exception cannot be handed to the interpreter.
[[noreturn]] void abort_at_ffi_boundary(std::string_view detail) noexcept;

// The message of whatever an internal failure or a stray C++ exception carried.
std::string current_failure_message() noexcept;

} // namespace corvane
