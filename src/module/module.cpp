// The rastermark extension module: definition, exec step and init entry.
#include <new>
#include <string>

#include "annotate.hpp"
#include "once_cache.hpp"
#include "panic.hpp"
#include "simd/block_scans.hpp"

namespace rastermark::py {

namespace {

constexpr const char module_doc[] =
    "A library for processing and annotating raster scanlines in powder bed fusion data.";

constexpr const char annotate_doc[] =
    "annotate_scanlines(x, y)\n--\n\n"
    "Annotate in-memory scanline data from 1D x and y coordinate arrays.\n\n"
    "Args:\n"
    "    x (ndarray): 1D numpy array of x-coordinates (float32 or float64).\n"
    "    y (ndarray): 1D numpy array of y-coordinates (float32 or float64).\n\n"
    "Returns:\n"
    "    ndarray: 1D numpy array of scanline_id assignments (int32).";

PyMethodDef annotate_method = {
    .ml_name = "annotate_scanlines",
    .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(annotate_scanlines_entry)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = annotate_doc,
};

std::atomic<PyObject*> all_name{nullptr};
std::atomic<PyObject*> name_name{nullptr};

PyObject* interned(std::atomic<PyObject*>& cache, const char* text) {
    return once_cached(cache, [text] { return own(PyUnicode_InternFromString(text)); });
}

// Adds the function object and lists its name in __all__ (before the
// attribute is set, so a failed set leaves the name listed).
int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "rastermark can only be executed on a module object");
        return -1;
    }
    // A typo in the instruction-set cap would otherwise go unnoticed.
    try {
        const std::string simd_error = simd::setting_error();
        if (!simd_error.empty()) {
            PyErr_SetString(PyExc_ImportError, simd_error.c_str());
            return -1;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    PyObject* dunder_all = interned(all_name, "__all__");
    PyObject* dunder_name = interned(name_name, "__name__");
    if (dunder_all == nullptr || dunder_name == nullptr) return -1;

    Ref module_name = own(PyModule_GetNameObject(module));
    if (module_name == nullptr) return -1;
    Ref function = own(PyCMethod_New(&annotate_method, module, module_name.get(), nullptr));
    module_name.reset();
    if (function == nullptr) return -1;

    Ref name = own(PyObject_GetAttr(function.get(), dunder_name));
    if (name == nullptr) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "__name__ of the function is not a string");
        return -1;
    }

    PyObject* existing = nullptr;
    const int found = PyObject_GetOptionalAttr(module, dunder_all, &existing);
    if (found < 0) return -1;
    Ref all = own(existing);
    if (found == 0) {
        all = own(PyList_New(0));
        if (all == nullptr || PyObject_SetAttr(module, dunder_all, all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return -1;
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rastermark",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace rastermark::py

PyMODINIT_FUNC PyInit_rastermark(void) { return PyModuleDef_Init(&rastermark::py::module_def); }
