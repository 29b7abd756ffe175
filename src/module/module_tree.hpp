// The module tree: corvane, corvane.do_mod, corvane.do_mod.packets and its get_do and set_do.
#pragma once

#include "src/boundary/python_error.hpp"

namespace corvane {

// Fills the freshly created top-level module with the whole tree below it.
PyStatus build_top_module(Borrowed top_module);

// Enters the nested modules of a finished top-level module in sys.modules again, replacing
// whatever is there under their keys.
PyStatus register_nested_modules(Borrowed top_module);

} // namespace corvane
