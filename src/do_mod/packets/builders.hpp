// The two request builders: Python integers in, the exact request frame out as bytes.
#pragma once

#include <Python.h>

namespace corvane::do_mod {

// Function definitions for the top-level module; static records for the whole process.
PyMethodDef& get_do_request_definition();
PyMethodDef& set_do_request_definition();

} // namespace corvane::do_mod
