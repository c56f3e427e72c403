#include "panic.hpp"

#include <cstdio>
#include <string>

#include "once_cache.hpp"

namespace rastermark::py {

namespace {

std::atomic<PyObject*> panic_class{nullptr};

// Derives from BaseException so that it passes through handlers written for
// Exception; it is created on first need and never published on the module.
PyObject* panic_exception_class() {
    return once_cached(panic_class, [] {
        return own(PyErr_NewExceptionWithDoc(
            "rastermark.PanicException",
            "Raised when rastermark meets an internal fault it cannot recover from.",
            PyExc_BaseException, nullptr));
    });
}

// "<type name>: <str(value)>" of an exception object, best effort.
std::string describe(PyObject* exception) {
    std::string text = Py_TYPE(exception)->tp_name;
    if (Ref message = own(PyObject_Str(exception))) {
        if (const char* utf8 = PyUnicode_AsUTF8(message.get())) {
            if (*utf8 != '\0') text += std::string(": ") + utf8;
            return text;
        }
    }
    PyErr_Clear();
    return text;
}

}  // namespace

void* raise_panic(std::string_view text) {
    std::fprintf(stderr, "rastermark: internal fault on thread %lu: %.*s\n",
                 static_cast<unsigned long>(PyThread_get_thread_native_id()), static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
    PyObject* type = panic_exception_class();
    if (type == nullptr) return nullptr;  // the class could not be made; its error stays set
    Ref message = own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message == nullptr) return nullptr;
    PyErr_SetObject(type, message.get());
    return nullptr;
}

void* raise_panic_from_pending(std::string_view prefix) {
    Ref pending = own(PyErr_GetRaisedException());
    std::string text(prefix);
    if (pending != nullptr) text += ": " + describe(pending.get());
    return raise_panic(text);
}

}  // namespace rastermark::py
