// Reporting a failed argument conversion under the argument's name.
#pragma once

#include "src/boundary/python_error.hpp"

#include <string_view>

namespace corvane {

// A plain TypeError (exactly TypeError, not a subclass) becomes the TypeError
// "argument '{name}': {message}", keeping the original's __cause__ but not the original
// itself; every other error is returned as it is.
PythonError wrap_argument_error(std::string_view name, PythonError error);

// Converts one bound argument with `convert`, naming it in a TypeError on failure.
template <class Convert>
[[gnu::always_inline]] inline auto convert_argument(std::string_view name, Borrowed argument,
                                                    Convert&& convert)
    -> decltype(convert(argument)) {
    auto converted = convert(argument);
    if (!converted) [[unlikely]] {
        return fail(wrap_argument_error(name, std::move(converted.error())));
    }
    return converted;
}

} // namespace corvane
