#include "annotate.hpp"

#include <cstdint>
#include <new>
#include <span>
#include <type_traits>

#include "pipeline.hpp"
#include "numpy_api.hpp"
#include "panic.hpp"

namespace rastermark::py {

namespace {

constexpr const char* type_error_text = "x and y must both be 1D numpy arrays of float64 or float32 type";

template <class T>
constexpr int numpy_type_number() {
    return std::is_same_v<T, double> ? NPY_DOUBLE : NPY_FLOAT;
}

// Binds x and y from the fast-call vector; false with TypeError set on failure.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject* (&slots)[2]) {
    static const char* const names[2] = {"x", "y"};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "annotate_scanlines() takes 2 positional arguments but %zd were given",
                     nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int s = 0; s < 2; ++s) {
            if (PyUnicode_CompareWithASCIIString(name, names[s]) == 0) slot = s;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "annotate_scanlines() got an unexpected keyword argument '%U'", name);
            return false;
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "annotate_scanlines() got multiple values for argument '%s'",
                         names[slot]);
            return false;
        }
        slots[slot] = args[nargs + k];
    }
    if (slots[0] == nullptr && slots[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "annotate_scanlines() missing 2 required positional arguments: 'x' and 'y'");
        return false;
    }
    for (int s = 0; s < 2; ++s) {
        if (slots[s] == nullptr) {
            PyErr_Format(PyExc_TypeError, "annotate_scanlines() missing 1 required positional argument: '%s'",
                         names[s]);
            return false;
        }
    }
    return true;
}

// A new reference to `object` when it is a 1-D NumPy array whose dtype is
// equivalent to the native `type_number`; otherwise null, with no error.
Ref accept_array(const NumpyApi& api, PyObject* object, int type_number) {
    if (!PyObject_TypeCheck(object, api.array_type())) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) return nullptr;
    PyArray_Descr* wanted = api.descr_from_type(type_number);
    if (wanted == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    const bool equivalent = api.equivalent_types(PyArray_DESCR(array), wanted);
    Py_DECREF(reinterpret_cast<PyObject*>(wanted));
    if (!equivalent) return nullptr;
    return own(Py_NewRef(object));
}

template <class T>
InputView<T> view_of(PyObject* object) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const npy_intp byte_stride = PyArray_STRIDE(array, 0);
    constexpr auto size = static_cast<npy_intp>(sizeof(T));
    // A stride that is no whole multiple of the element size (a field of a
    // packed record, say) can never be read as contiguous: it becomes 0,
    // which the driver refuses for two or more elements.
    const std::ptrdiff_t stride = byte_stride % size == 0 ? byte_stride / size : 0;
    return {PyArray_DATA(array), static_cast<std::size_t>(PyArray_DIM(array, 0)), stride};
}

// A new int32 array of n labels, allocated by NumPy, for the core to fill.
// Null with MemoryError set when NumPy cannot allocate it (exhausted memory
// is the caller's to handle); any other failure is an internal fault.
Ref new_label_array(const NumpyApi& api, std::size_t n) {
    npy_intp length = static_cast<npy_intp>(n);
    npy_intp stride = n == 0 ? 0 : static_cast<npy_intp>(sizeof(std::int32_t));
    PyArray_Descr* descr = api.descr_from_type(NPY_INT32);
    Ref result = own(descr == nullptr ? nullptr
                                      : api.new_from_descr(api.array_type(), descr, 1, &length, &stride, nullptr,
                                                           0, nullptr));
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        raise_panic("PyObject pointer is null");
    }
    return result;
}

// The driver's checks first, so that its errors and their order stand; then
// the result array, which the core fills in place.
template <class T>
PyObject* run_driver(const NumpyApi& api, PyObject* x, PyObject* y) {
    const InputView<T> x_view = view_of<T>(x);
    const InputView<T> y_view = view_of<T>(y);
    if (const auto error = check_inputs(x_view, y_view)) {
        PyErr_SetString(PyExc_ValueError, error->message.c_str());
        return nullptr;
    }
    Ref result = new_label_array(api, x_view.length);
    if (result == nullptr) return nullptr;
    auto* data = static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    if (const auto fault = label_samples(x_view, y_view, std::span<std::int32_t>(data, x_view.length))) {
        return static_cast<PyObject*>(raise_panic(fault->message));
    }
    return result.release();
}

// Accepts the pair for T when both arrays pass; both tests are always made.
template <class T>
bool accept_pair(const NumpyApi& api, PyObject* const (&slots)[2], Ref& x, Ref& y) {
    x = accept_array(api, slots[0], numpy_type_number<T>());
    y = accept_array(api, slots[1], numpy_type_number<T>());
    return x != nullptr && y != nullptr;
}

PyObject* annotate(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* slots[2] = {nullptr, nullptr};
    if (!bind_arguments(args, nargsf, kwnames, slots)) return nullptr;
    const NumpyApi* api = array_api();
    if (api == nullptr) {
        return static_cast<PyObject*>(raise_panic_from_pending("Failed to access NumPy array API capsule"));
    }
    Ref x, y;
    if (accept_pair<double>(*api, slots, x, y)) return run_driver<double>(*api, x.get(), y.get());
    if (accept_pair<float>(*api, slots, x, y)) return run_driver<float>(*api, x.get(), y.get());
    PyErr_SetString(PyExc_TypeError, type_error_text);
    return nullptr;
}

}  // namespace

PyObject* annotate_scanlines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    // No C++ exception may reach the interpreter.
    try {
        return annotate(args, nargsf, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return static_cast<PyObject*>(raise_panic(e.what()));
    } catch (...) {
        return static_cast<PyObject*>(raise_panic("unknown internal fault"));
    }
}

}  // namespace rastermark::py
