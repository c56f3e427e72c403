// rastermark_tools._native: the toolkit's native readers.  Arrays come in
// and go out through the buffer protocol (the Python side makes and checks
// the NumPy arrays), so this module needs no NumPy API.  Private to the
// toolkit: rastermark_tools.readers and .sampling are its only callers.
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fill_samples.hpp"
#include "gcode_interpreter.hpp"
#include "label_hatches.hpp"
#include "py_ref.hpp"
#include "simd/block_scans.hpp"

namespace rastermark::py {

namespace {

namespace mf = machine_files;

// A buffer view, released on every path out of scope.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    // Takes a C-contiguous buffer of `itemsize`-byte items; false with an
    // exception set otherwise.
    bool take(PyObject* object, Py_ssize_t itemsize, bool writable, const char* name) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) != 0) return false;
        held_ = true;
        if (view_.itemsize != itemsize || view_.ndim > 1) {
            PyErr_Format(PyExc_ValueError, "%s: expected a 1-D buffer of %zd-byte items", name, itemsize);
            return false;
        }
        return true;
    }
    // Takes a C-contiguous 1-D buffer of any item type; its format character
    // (native byte order) tells which.
    bool take_any(PyObject* object, bool writable) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    char format() const {
        const char* f = view_.format == nullptr ? "B" : view_.format;
        if (*f == '@' || *f == '=') ++f;
        return f[1] == '\0' ? *f : '?';
    }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    int ndim() const { return view_.ndim; }
    template <typename T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }
    std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
    const char* bytes() const { return static_cast<const char*>(view_.buf); }
    std::size_t byte_size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <typename T>
PyObject* bytes_of(const std::vector<T>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = own(value);
    return owned != nullptr && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

constexpr const char interpret_gcode_doc[] =
    "interpret_gcode(data, chord)\n--\n\n"
    "The drawn pieces of a G-code file (bytes): (error_line, error_message, columns), where columns maps x0, y0,\n"
    "x1, y1, z0, z1, speed, pause (float64), line, layer (int64) and prints (uint8) to their bytes.  error_line\n"
    "is 0 where the file was read to its end.";

PyObject* interpret_gcode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "interpret_gcode() takes 2 arguments (data, chord)");
        return nullptr;
    }
    double chord = PyFloat_AsDouble(args[1]);
    if (chord == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(chord > 0)) {
        PyErr_SetString(PyExc_ValueError, "chord must be positive");
        return nullptr;
    }
    View data;
    if (!data.take(args[0], 1, false, "data")) return nullptr;
    mf::GcodeResult result;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        result = mf::interpret_gcode(std::string_view(data.bytes(), data.byte_size()), chord);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    const mf::GcodePieces& p = result.pieces;
    Ref columns = own(PyDict_New());
    if (columns == nullptr) return nullptr;
    if (!put(columns.get(), "x0", bytes_of(p.x0)) || !put(columns.get(), "y0", bytes_of(p.y0)) ||
        !put(columns.get(), "x1", bytes_of(p.x1)) || !put(columns.get(), "y1", bytes_of(p.y1)) ||
        !put(columns.get(), "z0", bytes_of(p.z0)) || !put(columns.get(), "z1", bytes_of(p.z1)) ||
        !put(columns.get(), "speed", bytes_of(p.speed)) || !put(columns.get(), "pause", bytes_of(p.pause)) ||
        !put(columns.get(), "line", bytes_of(p.line)) || !put(columns.get(), "layer", bytes_of(p.layer)) ||
        !put(columns.get(), "prints", bytes_of(p.prints))) {
        return nullptr;
    }
    Ref message = own(PyUnicode_DecodeUTF8(result.error.message.data(),
                                           static_cast<Py_ssize_t>(result.error.message.size()), "replace"));
    if (message == nullptr) return nullptr;
    return Py_BuildValue("(LOO)", static_cast<long long>(result.error.line), message.get(), columns.get());
}

constexpr const char fill_samples_doc[] =
    "fill_samples(x0, y0, x1, y1, z0, z1, start_time, duration, laser_on, vector, index, steps, joined,\n"
    "             out_x, out_y, out_z, out_t, out_laser_on, out_vector)\n--\n\n"
    "Writes the samples of the kept segments into the out_ buffers (out_z and out_t may be None).";

PyObject* fill_samples(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 19) {
        PyErr_SetString(PyExc_TypeError, "fill_samples() takes 19 arguments");
        return nullptr;
    }
    static const char* const names[] = {"x0",    "y0",    "x1",       "y1",     "z0",    "z1",          "start_time",
                                        "duration", "laser_on", "vector", "index", "steps",       "joined",
                                        "out_x", "out_y", "out_z",    "out_t",  "out_laser_on", "out_vector"};
    static const Py_ssize_t itemsizes[] = {8, 8, 8, 8, 8, 8, 8, 8, 1, 8, 8, 8, 1, 8, 8, 8, 8, 1, 8};
    View views[19];
    for (int k = 0; k < 19; ++k) {
        if (args[k] == Py_None && (k == 15 || k == 16)) continue;
        if (!views[k].take(args[k], itemsizes[k], k >= 13, names[k])) return nullptr;
    }
    std::size_t segments = views[0].size();
    for (int k = 1; k < 10; ++k) {
        if (views[k].size() != segments) {
            PyErr_Format(PyExc_ValueError, "%s: expected %zu segments", names[k], segments);
            return nullptr;
        }
    }
    std::size_t kept = views[10].size();
    if (views[11].size() != kept || views[12].size() != kept) {
        PyErr_SetString(PyExc_ValueError, "index, steps and joined must have one length");
        return nullptr;
    }
    mf::SegmentColumns columns{views[0].data<const double>(), views[1].data<const double>(),
                               views[2].data<const double>(), views[3].data<const double>(),
                               views[4].data<const double>(), views[5].data<const double>(),
                               views[6].data<const double>(), views[7].data<const double>(),
                               views[8].data<const std::uint8_t>(), views[9].data<const std::int64_t>(), segments};
    mf::KeptSegments which{views[10].data<const std::int64_t>(), views[11].data<const std::int64_t>(),
                           views[12].data<const std::uint8_t>(), kept};
    std::string why;
    std::optional<std::size_t> total = mf::count_samples(columns, which, &why);
    if (!total) {
        PyErr_SetString(PyExc_ValueError, why.c_str());
        return nullptr;
    }
    for (int k = 13; k < 19; ++k) {
        if ((args[k] != Py_None || (k != 15 && k != 16)) && views[k].size() != *total) {
            PyErr_Format(PyExc_ValueError, "%s: expected %zu samples", names[k], *total);
            return nullptr;
        }
    }
    mf::SampleColumns out{views[13].data<double>(),
                          views[14].data<double>(),
                          args[15] == Py_None ? nullptr : views[15].data<double>(),
                          args[16] == Py_None ? nullptr : views[16].data<double>(),
                          views[17].data<std::int8_t>(),
                          views[18].data<std::int64_t>(),
                          *total};
    Py_BEGIN_ALLOW_THREADS
    mf::fill_samples(columns, which, out);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr const char label_hatches_doc[] =
    "label_hatches(x, y, t, laser_on, out)\n--\n\n"
    "Writes the hatch ids of the samples into out (int32).  x and y are float32 or float64 of one type, t\n"
    "float64 or None, laser_on uint8 or None, all of one length.  Returns (error, scales): error is None or\n"
    "the reason the layer cannot be judged; scales a dict of what was derived from the data.";

template <typename T>
hatches::HatchResult run_label_hatches(const View& x, const View& y, const double* t, const std::uint8_t* laser_on,
                                       std::int32_t* out, bool& out_of_memory) {
    hatches::HatchInput<T> input{x.data<const T>(), y.data<const T>(), t, laser_on, x.size()};
    hatches::HatchResult result;
    Py_BEGIN_ALLOW_THREADS
    try {
        result = hatches::label_hatches(input, out);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    return result;
}

PyObject* scales_dict(const hatches::HatchScales& s) {
    Ref dict = own(PyDict_New());
    if (dict == nullptr) return nullptr;
    Ref directions = own(PyList_New(static_cast<Py_ssize_t>(s.directions_deg.size())));
    if (directions == nullptr) return nullptr;
    for (std::size_t k = 0; k < s.directions_deg.size(); ++k) {
        PyObject* value = PyFloat_FromDouble(s.directions_deg[k]);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(directions.get(), static_cast<Py_ssize_t>(k), value);
    }
    if (!put(dict.get(), "sampling_interval", PyFloat_FromDouble(s.sampling_interval)) ||
        !put(dict.get(), "grid", PyFloat_FromDouble(s.grid)) || !put(dict.get(), "noise", PyFloat_FromDouble(s.noise)) ||
        !put(dict.get(), "deviation", PyFloat_FromDouble(s.deviation)) ||
        !put(dict.get(), "mark_step", PyFloat_FromDouble(s.mark_step)) ||
        !put(dict.get(), "rest_step", PyFloat_FromDouble(s.rest_step)) ||
        !put(dict.get(), "jump_step", PyFloat_FromDouble(s.jump_step)) ||
        !put(dict.get(), "window", PyLong_FromLong(s.window)) ||
        !put(dict.get(), "hatch_spacing", PyFloat_FromDouble(s.hatch_spacing)) ||
        !put(dict.get(), "directions_deg", directions.release()) ||
        !put(dict.get(), "pieces", PyLong_FromSize_t(s.pieces)) ||
        !put(dict.get(), "hatches", PyLong_FromSize_t(s.hatches)) ||
        !put(dict.get(), "repeats", PyLong_FromSize_t(s.repeats))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* label_hatches(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "label_hatches() takes 5 arguments (x, y, t, laser_on, out)");
        return nullptr;
    }
    View x, y, t, laser_on, out;
    if (!x.take_any(args[0], false) || !y.take_any(args[1], false)) return nullptr;
    char kind = x.format();
    if ((kind != 'f' && kind != 'd') || y.format() != kind || x.ndim() > 1 || y.ndim() > 1) {
        PyErr_SetString(PyExc_TypeError, "x and y must be 1-D float32 or float64 buffers of one type");
        return nullptr;
    }
    std::size_t n = x.size();
    if (y.size() != n) {
        PyErr_SetString(PyExc_ValueError, "x and y must have one length");
        return nullptr;
    }
    if (args[2] != Py_None && !t.take(args[2], 8, false, "t")) return nullptr;
    if (args[3] != Py_None && !laser_on.take(args[3], 1, false, "laser_on")) return nullptr;
    if (!out.take(args[4], 4, true, "out")) return nullptr;
    if ((args[2] != Py_None && t.size() != n) || (args[3] != Py_None && laser_on.size() != n) || out.size() != n) {
        PyErr_SetString(PyExc_ValueError, "t, laser_on and out must have the length of x");
        return nullptr;
    }
    const double* times = args[2] == Py_None ? nullptr : t.data<const double>();
    const std::uint8_t* on = args[3] == Py_None ? nullptr : laser_on.data<const std::uint8_t>();
    bool out_of_memory = false;
    hatches::HatchResult result =
        kind == 'f' ? run_label_hatches<float>(x, y, times, on, out.data<std::int32_t>(), out_of_memory)
                    : run_label_hatches<double>(x, y, times, on, out.data<std::int32_t>(), out_of_memory);
    if (out_of_memory) return PyErr_NoMemory();
    Ref scales = own(scales_dict(result.scales));
    if (scales == nullptr) return nullptr;
    if (result.error.empty()) return Py_BuildValue("(OO)", Py_None, scales.get());
    Ref message = own(PyUnicode_DecodeUTF8(result.error.data(), static_cast<Py_ssize_t>(result.error.size()), "replace"));
    if (message == nullptr) return nullptr;
    return Py_BuildValue("(OO)", message.get(), scales.get());
}

constexpr const char simd_target_doc[] =
    "simd_target()\n--\n\n"
    "The instruction set of the block scans annotate_scanlines uses in this process.";

PyObject* simd_target(PyObject*, PyObject*) { return PyUnicode_FromString(rastermark::simd::chosen().name); }

PyMethodDef methods[] = {
    {"simd_target", simd_target, METH_NOARGS, simd_target_doc},
    {"interpret_gcode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interpret_gcode)), METH_FASTCALL,
     interpret_gcode_doc},
    {"label_hatches", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(label_hatches)), METH_FASTCALL,
     label_hatches_doc},
    {"fill_samples", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fill_samples)), METH_FASTCALL,
     fill_samples_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The toolkit's native readers (private).",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace rastermark::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&rastermark::py::module_def); }
