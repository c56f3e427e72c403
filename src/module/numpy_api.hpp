// The one place that includes NumPy's headers.  NumPy is reached only through
// the function table of its `_ARRAY_API` capsule, obtained on first use (never
// at import) and shared by all threads; NumPy's own `import_array()` and its
// global table pointer are not used.
#pragma once

#include "py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

namespace rastermark::py {

// Typed entries of NumPy's array API table.  The indices are part of NumPy's
// stable ABI and the same in NumPy 1.x and 2.x.
class NumpyApi {
public:
    explicit NumpyApi(void** table) : table_(table) {}

    PyTypeObject* array_type() const { return static_cast<PyTypeObject*>(table_[2]); }

    // New reference to the built-in descriptor of `type_number`.
    PyArray_Descr* descr_from_type(int type_number) const {
        return entry<PyArray_Descr* (*)(int)>(45)(type_number);
    }
    bool equivalent_types(PyArray_Descr* a, PyArray_Descr* b) const {
        return entry<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(182)(a, b) != 0;
    }
    // Steals the reference to `descr`.
    PyObject* new_from_descr(PyTypeObject* type, PyArray_Descr* descr, int nd, npy_intp* dims,
                             npy_intp* strides, void* data, int flags, PyObject* base) const {
        using Fn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, npy_intp*, npy_intp*, void*, int,
                                 PyObject*);
        return entry<Fn>(94)(type, descr, nd, dims, strides, data, flags, base);
    }
    unsigned int abi_version() const { return entry<unsigned int (*)()>(0)(); }
    int endianness() const { return entry<int (*)()>(210)(); }
    unsigned int feature_version() const { return entry<unsigned int (*)()>(211)(); }

private:
    template <class Fn>
    Fn entry(int index) const {
        return reinterpret_cast<Fn>(table_[index]);
    }

    void** table_;
};

// NumPy's array API, importing and checking NumPy on the first successful
// call in the process.  Returns null with a Python error set on failure; the
// next call then tries again.
const NumpyApi* array_api();

}  // namespace rastermark::py
