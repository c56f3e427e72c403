// Owning references to Python objects, released on every path out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace rastermark::py {

struct Decref {
    void operator()(PyObject* object) const { Py_XDECREF(object); }
};

using Ref = std::unique_ptr<PyObject, Decref>;

inline Ref own(PyObject* object) { return Ref(object); }

}  // namespace rastermark::py
