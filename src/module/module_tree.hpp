// The module tree: corvane, corvane.do_mod, corvane.do_mod.packets and its get_do and set_do.
#pragma once

#include "src/boundary/python_error.hpp"

namespace corvane {

// Fills the freshly created top-level module with the whole tree below it. The result is the
// built tree: a tuple of the top-level module and then the nested modules in the order they
// enter sys.modules, kept where no Python code can swap one of them for another.
PyResult<Owned> build_module_tree(Borrowed top_module);

// The top-level module of a built tree.
Borrowed top_module_of(Borrowed tree);

// Enters the nested modules of a built tree in sys.modules again, replacing whatever is there
// under their keys.
PyStatus register_nested_modules(Borrowed tree);

// The same, straight into the sys module's sys.modules, without importing sys: no import hook
// sees it, and as long as sys.modules is a plain dict nothing runs but the release of the
// entries it replaces. A sys.modules of any other kind is left alone.
PyStatus register_nested_modules_directly(Borrowed tree);

} // namespace corvane
