#pragma once

#include "py_ref.hpp"

namespace rastermark::py {

// The fast-call entry behind rastermark.annotate_scanlines(x, y).
PyObject* annotate_scanlines_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames);

}  // namespace rastermark::py
