#include "numpy_api.hpp"

#include <memory>
#include <string>

#include "once_cache.hpp"

namespace rastermark::py {

namespace {

// Limits this module was built for.
constexpr unsigned int max_abi_version = 0x2000000;
constexpr unsigned int min_feature_version = 0xc;  // NumPy 1.15
constexpr int little_endian = 1;                   // NPY_CPU_LITTLE

// The table together with the capsule that keeps it valid.
struct CachedApi {
    NumpyApi api;
    Ref capsule;
};

std::atomic<const char*> core_package{nullptr};
std::atomic<CachedApi*> api_table{nullptr};

// "numpy._core" for NumPy 2 and later, "numpy.core" for NumPy 1.
const char* find_core_package() {
    Ref numpy = own(PyImport_ImportModule("numpy"));
    if (numpy == nullptr) return nullptr;
    Ref version = own(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (version == nullptr) return nullptr;
    Ref lib = own(PyImport_ImportModule("numpy.lib"));
    if (lib == nullptr) return nullptr;
    Ref parsed = own(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (parsed == nullptr) return nullptr;
    Ref major_object = own(PyObject_GetAttrString(parsed.get(), "major"));
    if (major_object == nullptr) return nullptr;
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    if (major < 0 || major > 255) {
        PyErr_Format(PyExc_RuntimeError, "unexpected NumPy major version %ld", major);
        return nullptr;
    }
    return major >= 2 ? "numpy._core" : "numpy.core";
}

std::unique_ptr<CachedApi> import_api() {
    const char* package = once_cached(core_package, find_core_package);
    if (package == nullptr) return nullptr;
    Ref multiarray = own(PyImport_ImportModule((std::string(package) + ".multiarray").c_str()));
    if (multiarray == nullptr) return nullptr;
    Ref capsule = own(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (capsule == nullptr) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return nullptr;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return nullptr;
    const NumpyApi api(table);
    if (api.abi_version() > max_abi_version) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x2000000 but this version of numpy is 0x%x",
                     api.abi_version());
        return nullptr;
    }
    if (api.feature_version() < min_feature_version) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running "
                     "NumPy has C-API version 0x%x",
                     api.feature_version());
        return nullptr;
    }
    if (api.endianness() != little_endian) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness at runtime");
        return nullptr;
    }
    // Once published, both stay alive until the process ends: the table lives in the capsule.
    return std::make_unique<CachedApi>(CachedApi{api, std::move(capsule)});
}

}  // namespace

const NumpyApi* array_api() {
    const CachedApi* cached = once_cached(api_table, import_api);
    return cached == nullptr ? nullptr : &cached->api;
}

}  // namespace rastermark::py
