// tavni.mt_map._maps: whole-array kernels behind tavni.mt_map.maps.
//
//   super_lorentzian(Delta, T2b, out, threads)
//   fit_fraction(inputs, b1, mask, lo, hi, clip, threads, f, status)
//   spgr_signal(M0, R1, flip_angle, TR, b1, threads, S)
//   fit_r1(signals, flip_angles, TRs, b1, mask, threads, R1, M0, status)
//   mtsat(signals, flip_angles, TRs, b1, correction, threads, saturation)
//
// Arrays cross as C-contiguous buffers (any object with the buffer
// protocol): doubles for numbers, single bytes for the mask and status.
// An input holds either one value per element of the output or a single
// value shared by all. Broadcasting, defaults and friendly messages are the
// Python wrapper's business; this layer only checks what it must to stay
// memory-safe, then computes with the interpreter lock released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fraction_core.hpp"
#include "lineshape_core.hpp"
#include "relaxometry_core.hpp"

namespace {

namespace core = tavni::mt_map;

// A buffer view, released when it goes out of scope, on every path.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // A C-contiguous buffer of doubles (item_size 8, format 'd') or of
    // bytes (item_size 1, formats '?', 'B', 'b'); -1 with TypeError set
    // otherwise.
    int acquire(PyObject *object, const char *what, Py_ssize_t item_size, bool writable) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
        if (writable) {
            flags |= PyBUF_WRITABLE;
        }
        if (PyObject_GetBuffer(object, &view_, flags) < 0) {
            return -1;
        }
        held_ = true;
        if (view_.itemsize != item_size || !format_matches(view_.format, item_size)) {
            PyErr_Format(PyExc_TypeError, "%s: expected a buffer of %s, got format '%s'", what,
                         item_size == 8 ? "float64" : "bytes",
                         view_.format != nullptr ? view_.format : "B");
            return -1;
        }
        return 0;
    }

    Py_ssize_t count() const { return view_.len / view_.itemsize; }
    void *data() const { return view_.buf; }

private:
    static bool format_matches(const char *format, Py_ssize_t item_size) {
        if (format == nullptr) {
            return item_size == 1;  // plain bytes
        }
        if (*format == '@' || *format == '=' || *format == '<') {
            ++format;  // native or little-endian: this machine's order
        }
        if (item_size == 8) {
            return std::strcmp(format, "d") == 0;
        }
        return std::strcmp(format, "?") == 0 || std::strcmp(format, "B") == 0 ||
               std::strcmp(format, "b") == 0;
    }

    Py_buffer view_{};
    bool held_ = false;
};

// The stride (1 or 0) with which an input of `count` values is read for an
// output of n elements; -1 with ValueError set when it fits neither.
std::ptrdiff_t stride_for(const Buffer &buffer, Py_ssize_t n, const char *what) {
    const Py_ssize_t count = buffer.count();
    if (count == n) {
        return 1;
    }
    if (count == 1) {
        return 0;
    }
    PyErr_Format(PyExc_ValueError, "%s: %zd values for %zd outputs", what, count, n);
    return -1;
}

constexpr Py_ssize_t max_threads = 1024;

PyObject *super_lorentzian(PyObject *, PyObject *args) {
    PyObject *Delta_object, *T2b_object, *out_object;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "OOOn:super_lorentzian", &Delta_object, &T2b_object,
                          &out_object, &threads)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    Buffer Delta, T2b, out;
    if (out.acquire(out_object, "out", 8, true) < 0 ||
        Delta.acquire(Delta_object, "Delta", 8, false) < 0 ||
        T2b.acquire(T2b_object, "T2b", 8, false) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = out.count();
    const std::ptrdiff_t Delta_stride = stride_for(Delta, n, "Delta");
    const std::ptrdiff_t T2b_stride = Delta_stride < 0 ? -1 : stride_for(T2b, n, "T2b");
    if (T2b_stride < 0) {
        return nullptr;
    }
    const auto *D = static_cast<const double *>(Delta.data());
    const auto *T = static_cast<const double *>(T2b.data());
    auto *G = static_cast<double *>(out.data());
    const unsigned thread_count = static_cast<unsigned>(threads < max_threads ? threads : max_threads);
    Py_BEGIN_ALLOW_THREADS
    core::super_lorentzian_map(D, Delta_stride, T, T2b_stride, static_cast<std::size_t>(n),
                               thread_count, G);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr const char *input_names[core::FractionMapInputs::count] = {
    "S_ratio", "R1", "T2_free", "delta_omega", "omega_1_rms",
    "G", "TR", "duration", "flip_angle",
};

PyObject *fit_fraction(PyObject *, PyObject *args) {
    using Inputs = core::FractionMapInputs;
    PyObject *inputs_tuple, *b1_object, *mask_object, *f_object, *status_object;
    double lo, hi;
    int clip;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "O!OOddpnOO:fit_fraction", &PyTuple_Type, &inputs_tuple,
                          &b1_object, &mask_object, &lo, &hi, &clip, &threads, &f_object,
                          &status_object)) {
        return nullptr;
    }
    if (PyTuple_GET_SIZE(inputs_tuple) != Inputs::count) {
        PyErr_Format(PyExc_ValueError, "fit_fraction: expected %d inputs, got %zd",
                     static_cast<int>(Inputs::count), PyTuple_GET_SIZE(inputs_tuple));
        return nullptr;
    }
    if (!(0.0 <= lo && lo < hi && hi < 1.0)) {
        PyErr_Format(PyExc_ValueError, "bracket must satisfy 0 <= lo < hi < 1");
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }

    Buffer f, status, b1, mask;
    Buffer inputs[Inputs::count];
    if (f.acquire(f_object, "f", 8, true) < 0 ||
        status.acquire(status_object, "status", 1, true) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = f.count();
    if (status.count() != n) {
        PyErr_SetString(PyExc_ValueError, "status: not the size of f");
        return nullptr;
    }
    Inputs in;
    for (int j = 0; j < Inputs::count; ++j) {
        if (inputs[j].acquire(PyTuple_GET_ITEM(inputs_tuple, j), input_names[j], 8, false) < 0 ||
            (in.strides[j] = stride_for(inputs[j], n, input_names[j])) < 0) {
            return nullptr;
        }
        in.values[j] = static_cast<const double *>(inputs[j].data());
    }
    if (b1_object != Py_None) {
        if (b1.acquire(b1_object, "b1", 8, false) < 0 ||
            (in.b1_stride = stride_for(b1, n, "b1")) < 0) {
            return nullptr;
        }
        in.b1 = static_cast<const double *>(b1.data());
    }
    if (mask_object != Py_None) {
        if (mask.acquire(mask_object, "mask", 1, false) < 0 ||
            (in.mask_stride = stride_for(mask, n, "mask")) < 0) {
            return nullptr;
        }
        in.mask = static_cast<const std::uint8_t *>(mask.data());
    }
    in.lo = lo;
    in.hi = hi;
    in.clip = clip != 0;
    const unsigned thread_count = static_cast<unsigned>(threads < max_threads ? threads : max_threads);
    auto *f_data = static_cast<double *>(f.data());
    auto *status_data = static_cast<std::uint8_t *>(status.data());
    Py_BEGIN_ALLOW_THREADS
    core::fit_fraction_map(in, static_cast<std::size_t>(n), thread_count, f_data, status_data);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// A Column over a buffer of doubles for n outputs (or none for None when
// optional); -1 with an exception set otherwise.
int column_for(PyObject *object, Buffer &buffer, Py_ssize_t n, const char *what,
               core::Column &column) {
    if (object == Py_None) {
        return 0;
    }
    if (buffer.acquire(object, what, 8, false) < 0 ||
        (column.stride = stride_for(buffer, n, what)) < 0) {
        return -1;
    }
    column.values = static_cast<const double *>(buffer.data());
    return 0;
}

// The same for an input that must be given.
int required_column(PyObject *object, Buffer &buffer, Py_ssize_t n, const char *what,
                    core::Column &column) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "%s: expected a buffer, got None", what);
        return -1;
    }
    return column_for(object, buffer, n, what, column);
}

// Exactly `count` numbers from a tuple, into values; -1 with an exception
// set otherwise.
int numbers_from(PyObject *tuple, Py_ssize_t count, const char *what, double *values) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != count) {
        PyErr_Format(PyExc_ValueError, "%s: expected a tuple of %zd", what, count);
        return -1;
    }
    for (Py_ssize_t j = 0; j < count; ++j) {
        values[j] = PyFloat_AsDouble(PyTuple_GET_ITEM(tuple, j));
        if (values[j] == -1.0 && PyErr_Occurred()) {
            return -1;
        }
    }
    return 0;
}

unsigned thread_count_of(Py_ssize_t threads) {
    return static_cast<unsigned>(threads < max_threads ? threads : max_threads);
}

PyObject *spgr_signal(PyObject *, PyObject *args) {
    PyObject *objects[5], *out_object;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "OOOOOnO:spgr_signal", &objects[0], &objects[1], &objects[2],
                          &objects[3], &objects[4], &threads, &out_object)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    static constexpr const char *names[5] = {"M0", "R1", "flip_angle", "TR", "b1"};
    Buffer out, inputs[5];
    core::Column columns[5];
    if (out.acquire(out_object, "out", 8, true) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = out.count();
    for (int j = 0; j < 5; ++j) {
        if ((j < 4 ? required_column : column_for)(objects[j], inputs[j], n, names[j],
                                                   columns[j]) < 0) {
            return nullptr;
        }
    }
    auto *S = static_cast<double *>(out.data());
    const unsigned thread_count = thread_count_of(threads);
    Py_BEGIN_ALLOW_THREADS
    core::spgr_signal_map(columns[0], columns[1], columns[2], columns[3], columns[4],
                          static_cast<std::size_t>(n), thread_count, S);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *fit_r1(PyObject *, PyObject *args) {
    PyObject *signals, *flip_angles, *TRs, *b1_object, *mask_object;
    PyObject *R1_object, *M0_object, *status_object;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "O!OOOOnOOO:fit_r1", &PyTuple_Type, &signals, &flip_angles,
                          &TRs, &b1_object, &mask_object, &threads, &R1_object, &M0_object,
                          &status_object)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    core::R1MapInputs in;
    if (PyTuple_GET_SIZE(signals) != 2) {
        PyErr_SetString(PyExc_ValueError, "fit_r1: expected two signals");
        return nullptr;
    }
    if (numbers_from(flip_angles, 2, "flip_angles", in.flip_angle) < 0 ||
        numbers_from(TRs, 2, "TRs", in.TR) < 0) {
        return nullptr;
    }
    Buffer R1, M0, status, b1, mask, signal[2];
    if (R1.acquire(R1_object, "R1", 8, true) < 0 || M0.acquire(M0_object, "M0", 8, true) < 0 ||
        status.acquire(status_object, "status", 1, true) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = R1.count();
    if (M0.count() != n || status.count() != n) {
        PyErr_SetString(PyExc_ValueError, "fit_r1: R1, M0 and status differ in size");
        return nullptr;
    }
    for (int j = 0; j < 2; ++j) {
        if (required_column(PyTuple_GET_ITEM(signals, j), signal[j], n, "signals",
                            in.signal[j]) < 0) {
            return nullptr;
        }
    }
    if (column_for(b1_object, b1, n, "b1", in.b1) < 0) {
        return nullptr;
    }
    if (mask_object != Py_None) {
        if (mask.acquire(mask_object, "mask", 1, false) < 0 ||
            (in.mask_stride = stride_for(mask, n, "mask")) < 0) {
            return nullptr;
        }
        in.mask = static_cast<const std::uint8_t *>(mask.data());
    }
    auto *R1_data = static_cast<double *>(R1.data());
    auto *M0_data = static_cast<double *>(M0.data());
    auto *status_data = static_cast<std::uint8_t *>(status.data());
    const unsigned thread_count = thread_count_of(threads);
    Py_BEGIN_ALLOW_THREADS
    core::fit_r1_map(in, static_cast<std::size_t>(n), thread_count, R1_data, M0_data,
                     status_data);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *mtsat(PyObject *, PyObject *args) {
    PyObject *signals, *flip_angles, *TRs, *b1_object, *out_object;
    double correction;
    Py_ssize_t threads;
    if (!PyArg_ParseTuple(args, "O!OOOdnO:mtsat", &PyTuple_Type, &signals, &flip_angles, &TRs,
                          &b1_object, &correction, &threads, &out_object)) {
        return nullptr;
    }
    if (threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    core::MTsatMapInputs in;
    in.correction = correction;
    if (PyTuple_GET_SIZE(signals) != 3) {
        PyErr_SetString(PyExc_ValueError, "mtsat: expected three signals");
        return nullptr;
    }
    if (numbers_from(flip_angles, 3, "flip_angles", in.flip_angle) < 0 ||
        numbers_from(TRs, 3, "TRs", in.TR) < 0) {
        return nullptr;
    }
    Buffer out, b1, signal[3];
    if (out.acquire(out_object, "out", 8, true) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = out.count();
    for (int j = 0; j < 3; ++j) {
        if (required_column(PyTuple_GET_ITEM(signals, j), signal[j], n, "signals",
                            in.signal[j]) < 0) {
            return nullptr;
        }
    }
    if (column_for(b1_object, b1, n, "b1", in.b1) < 0) {
        return nullptr;
    }
    auto *saturation = static_cast<double *>(out.data());
    const unsigned thread_count = thread_count_of(threads);
    Py_BEGIN_ALLOW_THREADS
    core::mtsat_map(in, static_cast<std::size_t>(n), thread_count, saturation);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"super_lorentzian", super_lorentzian, METH_VARARGS,
     "super_lorentzian(Delta, T2b, out, threads): the lineshape, element by element, into out."},
    {"fit_fraction", fit_fraction, METH_VARARGS,
     "fit_fraction(inputs, b1, mask, lo, hi, clip, threads, f, status): the bound-pool "
     "fraction of every voxel, into f and status."},
    {"spgr_signal", spgr_signal, METH_VARARGS,
     "spgr_signal(M0, R1, flip_angle, TR, b1, threads, S): the SPGR steady state into S."},
    {"fit_r1", fit_r1, METH_VARARGS,
     "fit_r1(signals, flip_angles, TRs, b1, mask, threads, R1, M0, status): R1 and M0 of "
     "every voxel from two scans."},
    {"mtsat", mtsat, METH_VARARGS,
     "mtsat(signals, flip_angles, TRs, b1, correction, threads, saturation): MT saturation "
     "in percent units; correction < 0: none."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) {
    struct Constant {
        const char *name;
        long value;
    };
    const Constant constants[] = {
        {"STATUS_SOLVED", core::fit_solved},
        {"STATUS_BELOW_BRACKET", core::fit_below_bracket},
        {"STATUS_ABOVE_BRACKET", core::fit_above_bracket},
        {"STATUS_INVALID_INPUT", core::fit_invalid_input},
        {"STATUS_MASKED", core::fit_masked},
    };
    for (const Constant &c : constants) {
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_maps",
    "Array kernels for tavni.mt_map.maps and .relaxometry: the lineshape, the fraction "
    "solver, the SPGR signal, R1/M0 and MTsat.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__maps() {
    return PyModuleDef_Init(&module_definition);
}
