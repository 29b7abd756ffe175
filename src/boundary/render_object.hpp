// Text of Python objects for use inside corvane's messages.
#pragma once

#include "src/boundary/refs.hpp"

#include <optional>
#include <string>

namespace corvane {

// The UTF-8 form of a str. Lone surrogates, which UTF-8 cannot hold, come out as U+FFFD.
// Empty (with no error pending) only when the interpreter cannot even do that.
std::optional<std::string> utf8_of_str(Borrowed str);

// str(object) as UTF-8. Never fails: when str() raises, that error is written to the
// unraisable hook and the text is "<unprintable {type} object>".
std::string render_object(Borrowed object);

} // namespace corvane
