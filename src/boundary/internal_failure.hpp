// Internal failures: faults of corvane's own code that no Python error describes (an object
// the interpreter could not create, a broken invariant). They unwind as C++ exceptions to the
// nearest call guard, releasing everything held on the way, and never cross into the
// interpreter.
#pragma once

#include "src/boundary/refs.hpp"

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace corvane {

// The text of an internal failure. It is reported when memory may have run out, so it is not
// copied where it can be referred to: a literal stays where it is, and a text that Python code
// gave travels as the str object holding it (its UTF-8 form made beforehand, and kept inside
// it by the interpreter). Only a text composed at run time is owned here.
// The constructors are implicit, so that fail_internally takes a literal or a string as it is.
class FailureText {
  public:
    template <std::size_t N>
    FailureText(const char (&literal)[N]) noexcept : view_(literal, N - 1) {}
    FailureText(std::string composed) noexcept : owned_(std::move(composed)) {}
    // `utf8` is the UTF-8 form that `str` keeps; both stay valid while the str lives.
    FailureText(Owned str, std::string_view utf8) noexcept : object_(std::move(str)), view_(utf8) {}

    // NUL-terminated, though it may hold a NUL of its own before the end.
    std::string_view text() const noexcept {
        return view_.data() != nullptr ? view_ : std::string_view(owned_);
    }
    // The str holding the text, when it came as one.
    Borrowed object() const noexcept { return object_.borrow(); }

  private:
    std::string owned_;
    Owned object_;
    std::string_view view_;
};

class InternalFailure final : public std::exception {
  public:
    explicit InternalFailure(FailureText text) noexcept : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.text().data(); }
    // Taken whole rather than through what(), which would end the text at its first NUL.
    const FailureText& text() const noexcept { return text_; }

  private:
    FailureText text_;
};

// Writes a short report (message and place) to standard error, then throws.
[[noreturn]] void fail_internally(FailureText message,
                                  std::source_location where = std::source_location::current());

// Throws without a report: used where the caller has already written its own account.
[[noreturn]] void fail_internally_quietly(FailureText message);

// The report that fail_internally writes; needs no memory.
void report_internal_failure(std::string_view message,
                             std::source_location where = std::source_location::current()) noexcept;

// The last resort when even an exception cannot be handed to the interpreter.
[[noreturn]] void abort_at_ffi_boundary(std::string_view detail) noexcept;

// The message of whatever an internal failure or a stray C++ exception carried, while it is
// being handled (the text lives in the exception object). Copies nothing.
std::string_view current_failure_message() noexcept;

} // namespace corvane
