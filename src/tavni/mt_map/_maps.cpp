// tavni.mt_map._maps: whole-array kernels behind tavni.mt_map.maps.
//
//   super_lorentzian(Delta, T2b, out, threads)
//   fit_fraction(inputs, b1, masks, lo, hi, clip, exact, threads, f, status[, derivatives])
//   predicted_ratio(inputs, threads, ratio)
//   spgr_signal(M0, R1, flip_angle, TR, b1, threads, S)
//   spgr_log_derivatives(R1, flip_angle, TR, b1, threads, d_R1, d_log_b1)
//   fit_r1(signals, flip_angles, TRs, b1, masks, threads, R1, M0, status)
//   mtsat(signals, flip_angles, TRs, b1, correction, threads, saturation)
//   fit_echoes(signals, echo_times, threads, S0, R2star, R2star_sd, status)
//   fast_kernels(), fast_kernel([name])   builds of fit_fraction's fast way
//
// Outputs are C-contiguous buffers (float64 f, G and ratio, single-byte status)
// whose shape is the map's (S0's has one more axis, last: the contrasts).
// Inputs are buffers of exactly that shape in any layout (a broadcast view
// has stride 0 along its repeated axes and is read without being copied):
// float64 or float32 numbers, single bytes for masks, in this machine's byte
// order; a contrast's echoes have one more axis, last, and their echo times
// are C-contiguous float64. Broadcasting, conversions, defaults and
// friendly messages are the Python wrapper's business; this layer only
// checks what it must to stay memory-safe, then computes with the
// interpreter lock released. The calling thread takes the lock back now and
// then to run pending signal handlers, so an interrupt (Ctrl-C) stops a long
// computation: the exception propagates, and the outputs are left half
// written for the wrapper to discard.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "kernels/echoes.hpp"
#include "kernels/fast_kernel.hpp"
#include "kernels/fraction_maps.hpp"
#include "kernels/lineshape.hpp"
#include "kernels/predicted_ratio.hpp"
#include "kernels/relaxometry.hpp"
#include "kernels/status.hpp"

namespace {

namespace core = tavni::mt_map;

using core::MapShape;
using core::StridedArray;

constexpr std::size_t max_dims = core::StridedCursor<1>::max_dims;

PyObject *none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// The element type a buffer format names, in this machine's byte order:
// 'd', 'f', or a single byte ('?', 'B', 'b'). False for anything else.
bool element_type(const char *format, StridedArray::Type &type) {
    if (format == nullptr) {
        type = StridedArray::byte;  // plain bytes
        return true;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    constexpr char native_order = '>';
#else
    constexpr char native_order = '<';
#endif
    if (*format == '@' || *format == '=' || *format == native_order) {
        ++format;
    }
    if (std::strcmp(format, "d") == 0) {
        type = StridedArray::float64;
    } else if (std::strcmp(format, "f") == 0) {
        type = StridedArray::float32;
    } else if (std::strcmp(format, "?") == 0 || std::strcmp(format, "B") == 0 ||
               std::strcmp(format, "b") == 0) {
        type = StridedArray::byte;
    } else {
        return false;
    }
    return true;
}

const char *type_name(StridedArray::Type type) {
    switch (type) {
    case StridedArray::float32:
        return "float32";
    case StridedArray::byte:
        return "bytes";
    case StridedArray::float64:
    default:
        return "float64";
    }
}

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

    // An output: C-contiguous and writable, of the element type `type`, at
    // most max_dims dimensions. -1 with an exception set otherwise.
    int acquire_output(PyObject *object, const char *what, StridedArray::Type type) {
        if (acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
            return -1;
        }
        StridedArray::Type found;
        if (!element_type(view_.format, found) || found != type) {
            return wrong_type(what, type_name(type));
        }
        if (view_.ndim > static_cast<int>(max_dims)) {
            PyErr_Format(PyExc_ValueError, "%s: more than %zu dimensions", what, max_dims);
            return -1;
        }
        return 0;
    }

    // An input over the map: any strides, exactly the map's shape, numbers
    // (float64 or float32) or, for a mask, single bytes. -1 with an
    // exception set otherwise.
    int acquire_input(PyObject *object, const char *what, const MapShape &shape, bool mask) {
        if (acquire(object, PyBUF_RECORDS_RO) < 0) {
            return -1;
        }
        StridedArray::Type type;
        if (!element_type(view_.format, type) || (type == StridedArray::byte) != mask) {
            return wrong_type(what, mask ? "bytes" : "float64 or float32");
        }
        if (view_.itemsize != (type == StridedArray::float64   ? 8
                               : type == StridedArray::float32 ? 4
                                                               : 1)) {
            return wrong_type(what, type_name(type));
        }
        bool same_shape = view_.ndim >= 0 && static_cast<std::size_t>(view_.ndim) == shape.ndim;
        for (std::size_t d = 0; same_shape && d < shape.ndim; ++d) {
            same_shape =
                view_.shape[d] >= 0 && static_cast<std::size_t>(view_.shape[d]) == shape.extent[d];
        }
        if (!same_shape) {
            PyErr_Format(PyExc_ValueError, "%s: not of the output's shape", what);
            return -1;
        }
        // Strides all zero (or none, for a single value): one shared value.
        bool shared = true;
        for (std::size_t d = 0; d < shape.ndim; ++d) {
            strides_[d] = view_.strides[d];
            shared = shared && strides_[d] == 0;
        }
        array_.data = view_.buf;
        array_.type = type;
        array_.strides = shared ? nullptr : strides_;
        return 0;
    }

    // A contrast's echoes over the map: numbers (float64 or float32) of the
    // map's shape with one more axis, last, of 1 to max_echoes echoes, in any
    // layout; their count and the bytes from one echo to the next. -1 with
    // an exception set otherwise.
    int acquire_echoes(PyObject *object, const char *what, const MapShape &shape,
                       std::size_t &echoes, std::ptrdiff_t &echo_stride) {
        if (acquire(object, PyBUF_RECORDS_RO) < 0) {
            return -1;
        }
        StridedArray::Type type;
        if (!element_type(view_.format, type) || type == StridedArray::byte ||
            view_.itemsize != (type == StridedArray::float64 ? 8 : 4)) {
            return wrong_type(what, "float64 or float32");
        }
        bool same_shape = view_.ndim >= 1 && static_cast<std::size_t>(view_.ndim) == shape.ndim + 1;
        for (std::size_t d = 0; same_shape && d < shape.ndim; ++d) {
            same_shape =
                view_.shape[d] >= 0 && static_cast<std::size_t>(view_.shape[d]) == shape.extent[d];
        }
        if (!same_shape) {
            PyErr_Format(PyExc_ValueError, "%s: not of the output's shape plus an echo axis", what);
            return -1;
        }
        const Py_ssize_t count = view_.shape[shape.ndim];
        if (count < 1 || count > static_cast<Py_ssize_t>(core::max_echoes)) {
            PyErr_Format(PyExc_ValueError, "%s: 1 to %zu echoes, got %zd", what, core::max_echoes,
                         count);
            return -1;
        }
        bool shared = true;
        for (std::size_t d = 0; d < shape.ndim; ++d) {
            strides_[d] = view_.strides[d];
            shared = shared && strides_[d] == 0;
        }
        echoes = static_cast<std::size_t>(count);
        echo_stride = view_.strides[shape.ndim];
        array_.data = view_.buf;
        array_.type = type;
        array_.strides = shared ? nullptr : strides_;
        return 0;
    }

    // A C-contiguous 1-D buffer of `count` float64 values. -1 with an
    // exception set otherwise.
    int acquire_values(PyObject *object, const char *what, std::size_t count) {
        if (acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            return -1;
        }
        StridedArray::Type type;
        if (!element_type(view_.format, type) || type != StridedArray::float64 ||
            view_.itemsize != 8) {
            return wrong_type(what, "float64");
        }
        if (view_.ndim != 1 || view_.shape[0] < 0 ||
            static_cast<std::size_t>(view_.shape[0]) != count) {
            PyErr_Format(PyExc_ValueError, "%s: expected %zu values in one dimension", what, count);
            return -1;
        }
        return 0;
    }

    const StridedArray &array() const { return array_; }
    void *data() const { return view_.buf; }

    // The shape of a C-contiguous buffer (an output's), copied into extent.
    MapShape shape(std::size_t (&extent)[max_dims]) const {
        const auto ndim = static_cast<std::size_t>(view_.ndim);
        for (std::size_t d = 0; d < ndim; ++d) {
            extent[d] = static_cast<std::size_t>(view_.shape[d]);
        }
        return MapShape{ndim, extent};
    }

    Py_ssize_t count() const { return view_.itemsize > 0 ? view_.len / view_.itemsize : 0; }

private:
    int acquire(PyObject *object, int flags) {
        if (PyObject_GetBuffer(object, &view_, flags) < 0) {
            return -1;
        }
        held_ = true;
        return 0;
    }

    int wrong_type(const char *what, const char *expected) {
        PyErr_Format(PyExc_TypeError, "%s: expected a buffer of %s, got format '%s'", what,
                     expected, view_.format != nullptr ? view_.format : "B");
        return -1;
    }

    Py_buffer view_{};
    bool held_ = false;
    std::ptrdiff_t strides_[max_dims] = {};
    StridedArray array_{};
};

// More threads than this are never started; larger requests mean as many.
constexpr long max_threads = 1024;

// The thread count a Python integer asks for: at least 1, at most
// max_threads. -1 with an exception set for anything else.
int thread_count(PyObject *object, unsigned &threads) {
    int overflow = 0;
    const long requested = PyLong_AsLongAndOverflow(object, &overflow);
    if (requested == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow < 0 || (overflow == 0 && requested < 1)) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return -1;
    }
    threads =
        static_cast<unsigned>(overflow > 0 || requested > max_threads ? max_threads : requested);
    return 0;
}

// While a kernel runs with the interpreter lock released, its calling
// thread takes the lock back every poll_interval to run the signal handlers
// that are due (only the main thread runs them; elsewhere this is a no-op).
// A handler that raises (KeyboardInterrupt, by default, on Ctrl-C) stops
// the kernel; the exception stays set for the caller.
class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()), last_poll_(std::chrono::steady_clock::now()) {}
    ReleasedLock(const ReleasedLock &) = delete;
    ReleasedLock &operator=(const ReleasedLock &) = delete;
    ~ReleasedLock() { PyEval_RestoreThread(state_); }

    core::KeepGoing keep_going() { return {&ReleasedLock::poll, this}; }

private:
    static constexpr std::chrono::milliseconds poll_interval{20};

    static bool poll(void *context) noexcept {
        auto *self = static_cast<ReleasedLock *>(context);
        const auto now = std::chrono::steady_clock::now();
        if (now - self->last_poll_ < poll_interval) {
            return true;
        }
        self->last_poll_ = now;
        PyEval_RestoreThread(self->state_);
        const bool go_on = PyErr_CheckSignals() == 0;
        self->state_ = PyEval_SaveThread();
        return go_on;
    }

    PyThreadState *state_;
    std::chrono::steady_clock::time_point last_poll_;
};

PyObject *super_lorentzian(PyObject *Py_UNUSED(self), PyObject *args) {
    PyObject *Delta_object, *T2b_object, *out_object, *threads_object;
    if (!PyArg_ParseTuple(args, "OOOO:super_lorentzian", &Delta_object, &T2b_object, &out_object,
                          &threads_object)) {
        return nullptr;
    }
    unsigned threads;
    if (thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer Delta, T2b, out;
    if (out.acquire_output(out_object, "out", StridedArray::float64) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    const MapShape shape = out.shape(extent);
    if (Delta.acquire_input(Delta_object, "Delta", shape, false) < 0 ||
        T2b.acquire_input(T2b_object, "T2b", shape, false) < 0) {
        return nullptr;
    }
    auto *G = static_cast<double *>(out.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::super_lorentzian_map(shape, Delta.array(), T2b.array(), threads, G,
                                          unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

constexpr const char *input_names[core::FractionMapInputs::count] = {
    "S_ratio", "R1", "T2_free", "delta_omega", "omega_1_rms", "G", "TR", "duration", "flip_angle",
};

PyObject *fit_fraction(PyObject *Py_UNUSED(self), PyObject *args) {
    using Inputs = core::FractionMapInputs;
    PyObject *inputs_tuple, *b1_object, *masks_tuple, *threads_object, *f_object, *status_object;
    PyObject *derivatives_object = Py_None;
    double lo, hi;
    int clip, exact;
    if (!PyArg_ParseTuple(args, "O!OO!ddppOOO|O:fit_fraction", &PyTuple_Type, &inputs_tuple,
                          &b1_object, &PyTuple_Type, &masks_tuple, &lo, &hi, &clip, &exact,
                          &threads_object, &f_object, &status_object, &derivatives_object)) {
        return nullptr;
    }
    if (PyTuple_Size(inputs_tuple) != Inputs::count) {
        PyErr_Format(PyExc_ValueError, "fit_fraction: expected %d inputs, got %zd",
                     static_cast<int>(Inputs::count), PyTuple_Size(inputs_tuple));
        return nullptr;
    }
    const Py_ssize_t mask_count = PyTuple_Size(masks_tuple);
    if (mask_count > static_cast<Py_ssize_t>(Inputs::max_masks)) {
        PyErr_Format(PyExc_ValueError, "fit_fraction: at most %zu masks, got %zd",
                     Inputs::max_masks, mask_count);
        return nullptr;
    }
    if (!(0.0 <= lo && lo < hi && hi < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "bracket must satisfy 0 <= lo < hi < 1");
        return nullptr;
    }
    unsigned threads;
    if (thread_count(threads_object, threads) < 0) {
        return nullptr;
    }

    Buffer f, status, b1;
    Buffer inputs[Inputs::count];
    Buffer masks[Inputs::max_masks];
    Buffer derivatives[3];
    if (f.acquire_output(f_object, "f", StridedArray::float64) < 0 ||
        status.acquire_output(status_object, "status", StridedArray::byte) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    Inputs in;
    in.shape = f.shape(extent);
    if (status.count() != f.count()) {
        PyErr_SetString(PyExc_ValueError, "status: not the size of f");
        return nullptr;
    }
    for (int j = 0; j < Inputs::count; ++j) {
        if (inputs[j].acquire_input(PyTuple_GetItem(inputs_tuple, j), input_names[j], in.shape,
                                    false) < 0) {
            return nullptr;
        }
        in.values[j] = inputs[j].array();
    }
    if (b1_object != Py_None) {
        if (b1.acquire_input(b1_object, "b1", in.shape, false) < 0) {
            return nullptr;
        }
        in.b1 = b1.array();
    }
    for (Py_ssize_t k = 0; k < mask_count; ++k) {
        if (masks[k].acquire_input(PyTuple_GetItem(masks_tuple, k), "mask", in.shape, true) < 0) {
            return nullptr;
        }
        in.masks[k] = masks[k].array();
    }
    in.mask_count = static_cast<std::size_t>(mask_count);
    // Optional outputs: df/dS_ratio, df/dR1, df/db1, each of f's shape.
    core::FractionDerivativeMaps derivative_maps{};
    const core::FractionDerivativeMaps *derivative_out = nullptr;
    if (derivatives_object != Py_None) {
        constexpr const char *names[3] = {"df/dS_ratio", "df/dR1", "df/db1"};
        if (!PyTuple_Check(derivatives_object) || PyTuple_Size(derivatives_object) != 3) {
            PyErr_SetString(PyExc_TypeError, "derivatives: expected a tuple of 3 buffers");
            return nullptr;
        }
        double *outs[3];
        for (int j = 0; j < 3; ++j) {
            if (derivatives[j].acquire_output(PyTuple_GetItem(derivatives_object, j), names[j],
                                              StridedArray::float64) < 0) {
                return nullptr;
            }
            if (derivatives[j].count() != f.count()) {
                PyErr_Format(PyExc_ValueError, "%s: not the size of f", names[j]);
                return nullptr;
            }
            outs[j] = static_cast<double *>(derivatives[j].data());
        }
        derivative_maps = {outs[0], outs[1], outs[2]};
        derivative_out = &derivative_maps;
    }
    in.lo = lo;
    in.hi = hi;
    in.clip = clip != 0;
    in.exact = exact != 0;
    auto *f_data = static_cast<double *>(f.data());
    auto *status_data = static_cast<std::uint8_t *>(status.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::fit_fraction_map(in, threads, f_data, status_data, unlocked.keep_going(),
                                      derivative_out);
    }
    return done ? none() : nullptr;
}

PyObject *predicted_ratio(PyObject *Py_UNUSED(self), PyObject *args) {
    using Inputs = core::PredictedRatioInputs;
    constexpr const char *names[Inputs::count] = {
        "f", "R1", "T2_free", "delta_omega", "omega_1_rms", "G", "TR", "duration", "flip_angle",
    };
    PyObject *inputs_tuple, *threads_object, *ratio_object;
    if (!PyArg_ParseTuple(args, "O!OO:predicted_ratio", &PyTuple_Type, &inputs_tuple,
                          &threads_object, &ratio_object)) {
        return nullptr;
    }
    if (PyTuple_Size(inputs_tuple) != Inputs::count) {
        PyErr_Format(PyExc_ValueError, "predicted_ratio: expected %d inputs, got %zd",
                     static_cast<int>(Inputs::count), PyTuple_Size(inputs_tuple));
        return nullptr;
    }
    unsigned threads;
    if (thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer ratio;
    Buffer inputs[Inputs::count];
    if (ratio.acquire_output(ratio_object, "ratio", StridedArray::float64) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    Inputs in;
    in.shape = ratio.shape(extent);
    for (int j = 0; j < Inputs::count; ++j) {
        if (inputs[j].acquire_input(PyTuple_GetItem(inputs_tuple, j), names[j], in.shape, false) <
            0) {
            return nullptr;
        }
        in.values[j] = inputs[j].array();
    }
    auto *ratio_data = static_cast<double *>(ratio.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::predicted_ratio_map(in, threads, ratio_data, unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

// Exactly `count` numbers from a tuple into values; -1 with an exception
// set otherwise.
int numbers_from(PyObject *tuple, Py_ssize_t count, const char *what, double *values) {
    if (!PyTuple_Check(tuple) || PyTuple_Size(tuple) != count) {
        PyErr_Format(PyExc_ValueError, "%s: expected a tuple of %zd numbers", what, count);
        return -1;
    }
    for (Py_ssize_t j = 0; j < count; ++j) {
        values[j] = PyFloat_AsDouble(PyTuple_GetItem(tuple, j));
        if (values[j] == -1.0 && PyErr_Occurred()) {
            return -1;
        }
    }
    return 0;
}

// `count` inputs over the map from a tuple, into buffers and arrays; -1
// with an exception set otherwise.
int inputs_from(PyObject *tuple, Py_ssize_t count, const char *what, const MapShape &shape,
                Buffer *buffers, StridedArray *arrays) {
    if (PyTuple_Size(tuple) != count) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd arrays", what, count);
        return -1;
    }
    for (Py_ssize_t j = 0; j < count; ++j) {
        if (buffers[j].acquire_input(PyTuple_GetItem(tuple, j), what, shape, false) < 0) {
            return -1;
        }
        arrays[j] = buffers[j].array();
    }
    return 0;
}

// The transmit field, unless None.
int transmit_field(PyObject *object, const MapShape &shape, Buffer &buffer, StridedArray &b1) {
    if (object == Py_None) {
        return 0;
    }
    if (buffer.acquire_input(object, "b1", shape, false) < 0) {
        return -1;
    }
    b1 = buffer.array();
    return 0;
}

PyObject *spgr_signal(PyObject *Py_UNUSED(self), PyObject *args) {
    PyObject *M0_object, *R1_object, *flip_object, *TR_object, *b1_object, *threads_object,
        *S_object;
    if (!PyArg_ParseTuple(args, "OOOOOOO:spgr_signal", &M0_object, &R1_object, &flip_object,
                          &TR_object, &b1_object, &threads_object, &S_object)) {
        return nullptr;
    }
    unsigned threads;
    if (thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer S, M0, R1, flip_angle, TR, b1_buffer;
    if (S.acquire_output(S_object, "S", StridedArray::float64) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    const MapShape shape = S.shape(extent);
    StridedArray b1;
    if (M0.acquire_input(M0_object, "M0", shape, false) < 0 ||
        R1.acquire_input(R1_object, "R1", shape, false) < 0 ||
        flip_angle.acquire_input(flip_object, "flip_angle", shape, false) < 0 ||
        TR.acquire_input(TR_object, "TR", shape, false) < 0 ||
        transmit_field(b1_object, shape, b1_buffer, b1) < 0) {
        return nullptr;
    }
    auto *S_data = static_cast<double *>(S.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::spgr_signal_map(shape, M0.array(), R1.array(), flip_angle.array(), TR.array(),
                                     b1, threads, S_data, unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

PyObject *spgr_log_derivatives(PyObject *Py_UNUSED(self), PyObject *args) {
    PyObject *R1_object, *flip_object, *TR_object, *b1_object, *threads_object, *d_R1_object,
        *d_b1_object;
    if (!PyArg_ParseTuple(args, "OOOOOOO:spgr_log_derivatives", &R1_object, &flip_object,
                          &TR_object, &b1_object, &threads_object, &d_R1_object, &d_b1_object)) {
        return nullptr;
    }
    unsigned threads;
    if (thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer d_R1, d_b1, R1, flip_angle, TR, b1_buffer;
    if (d_R1.acquire_output(d_R1_object, "d_R1", StridedArray::float64) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    const MapShape shape = d_R1.shape(extent);
    double *d_b1_data = nullptr;
    if (d_b1_object != Py_None) {
        if (d_b1.acquire_output(d_b1_object, "d_log_b1", StridedArray::float64) < 0) {
            return nullptr;
        }
        if (d_b1.count() != d_R1.count()) {
            PyErr_SetString(PyExc_ValueError,
                            "spgr_log_derivatives: d_R1 and d_log_b1 differ in size");
            return nullptr;
        }
        d_b1_data = static_cast<double *>(d_b1.data());
    }
    StridedArray b1;
    if (R1.acquire_input(R1_object, "R1", shape, false) < 0 ||
        flip_angle.acquire_input(flip_object, "flip_angle", shape, false) < 0 ||
        TR.acquire_input(TR_object, "TR", shape, false) < 0 ||
        transmit_field(b1_object, shape, b1_buffer, b1) < 0) {
        return nullptr;
    }
    auto *d_R1_data = static_cast<double *>(d_R1.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::spgr_log_derivatives_map(shape, R1.array(), flip_angle.array(), TR.array(), b1,
                                              threads, d_R1_data, d_b1_data, unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

PyObject *fit_r1(PyObject *Py_UNUSED(self), PyObject *args) {
    using Inputs = core::R1MapInputs;
    PyObject *signals, *flip_angles, *TRs, *b1_object, *masks_tuple, *threads_object;
    PyObject *R1_object, *M0_object, *status_object;
    if (!PyArg_ParseTuple(args, "O!OOOO!OOOO:fit_r1", &PyTuple_Type, &signals, &flip_angles, &TRs,
                          &b1_object, &PyTuple_Type, &masks_tuple, &threads_object, &R1_object,
                          &M0_object, &status_object)) {
        return nullptr;
    }
    Inputs in;
    const Py_ssize_t mask_count = PyTuple_Size(masks_tuple);
    if (mask_count > static_cast<Py_ssize_t>(Inputs::max_masks)) {
        PyErr_Format(PyExc_ValueError, "fit_r1: at most %zu masks, got %zd", Inputs::max_masks,
                     mask_count);
        return nullptr;
    }
    unsigned threads;
    if (numbers_from(flip_angles, 2, "flip_angles", in.flip_angle) < 0 ||
        numbers_from(TRs, 2, "TRs", in.TR) < 0 || thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer R1, M0, status, b1, signal[2], masks[Inputs::max_masks];
    if (R1.acquire_output(R1_object, "R1", StridedArray::float64) < 0 ||
        M0.acquire_output(M0_object, "M0", StridedArray::float64) < 0 ||
        status.acquire_output(status_object, "status", StridedArray::byte) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    in.shape = R1.shape(extent);
    if (M0.count() != R1.count() || status.count() != R1.count()) {
        PyErr_SetString(PyExc_ValueError, "fit_r1: R1, M0 and status differ in size");
        return nullptr;
    }
    if (inputs_from(signals, 2, "signals", in.shape, signal, in.signal) < 0 ||
        transmit_field(b1_object, in.shape, b1, in.b1) < 0) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < mask_count; ++k) {
        if (masks[k].acquire_input(PyTuple_GetItem(masks_tuple, k), "mask", in.shape, true) < 0) {
            return nullptr;
        }
        in.masks[k] = masks[k].array();
    }
    in.mask_count = static_cast<std::size_t>(mask_count);
    auto *R1_data = static_cast<double *>(R1.data());
    auto *M0_data = static_cast<double *>(M0.data());
    auto *status_data = static_cast<std::uint8_t *>(status.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::fit_r1_map(in, threads, R1_data, M0_data, status_data, unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

PyObject *mtsat(PyObject *Py_UNUSED(self), PyObject *args) {
    PyObject *signals, *flip_angles, *TRs, *b1_object, *threads_object, *out_object;
    core::MTsatMapInputs in;
    if (!PyArg_ParseTuple(args, "O!OOOdOO:mtsat", &PyTuple_Type, &signals, &flip_angles, &TRs,
                          &b1_object, &in.correction, &threads_object, &out_object)) {
        return nullptr;
    }
    unsigned threads;
    if (numbers_from(flip_angles, 3, "flip_angles", in.flip_angle) < 0 ||
        numbers_from(TRs, 3, "TRs", in.TR) < 0 || thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer out, b1, signal[3];
    if (out.acquire_output(out_object, "saturation", StridedArray::float64) < 0) {
        return nullptr;
    }
    std::size_t extent[max_dims];
    in.shape = out.shape(extent);
    if (inputs_from(signals, 3, "signals", in.shape, signal, in.signal) < 0 ||
        transmit_field(b1_object, in.shape, b1, in.b1) < 0) {
        return nullptr;
    }
    auto *saturation = static_cast<double *>(out.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::mtsat_map(in, threads, saturation, unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

PyObject *fit_echoes(PyObject *Py_UNUSED(self), PyObject *args) {
    PyObject *signals, *echo_times, *threads_object;
    PyObject *S0_object, *R2star_object, *sd_object, *status_object;
    if (!PyArg_ParseTuple(args, "O!O!OOOOO:fit_echoes", &PyTuple_Type, &signals, &PyTuple_Type,
                          &echo_times, &threads_object, &S0_object, &R2star_object, &sd_object,
                          &status_object)) {
        return nullptr;
    }
    const Py_ssize_t contrasts = PyTuple_Size(signals);
    if (contrasts < 1 || contrasts > static_cast<Py_ssize_t>(core::max_contrasts)) {
        PyErr_Format(PyExc_ValueError, "fit_echoes: 1 to %zu contrasts, got %zd",
                     core::max_contrasts, contrasts);
        return nullptr;
    }
    if (PyTuple_Size(echo_times) != contrasts) {
        PyErr_Format(PyExc_ValueError, "fit_echoes: %zd signal arrays, %zd echo time arrays",
                     contrasts, PyTuple_Size(echo_times));
        return nullptr;
    }
    unsigned threads;
    if (thread_count(threads_object, threads) < 0) {
        return nullptr;
    }
    Buffer S0, R2star, sd, status, signal[core::max_contrasts], TE[core::max_contrasts];
    if (S0.acquire_output(S0_object, "S0", StridedArray::float64) < 0 ||
        R2star.acquire_output(R2star_object, "R2star", StridedArray::float64) < 0 ||
        sd.acquire_output(sd_object, "R2star_sd", StridedArray::float64) < 0 ||
        status.acquire_output(status_object, "status", StridedArray::byte) < 0) {
        return nullptr;
    }
    // The map: S0's shape less its last axis, the contrasts.
    std::size_t extent[max_dims];
    core::EchoMapInputs in;
    const MapShape with_contrasts = S0.shape(extent);
    if (with_contrasts.ndim < 1 ||
        extent[with_contrasts.ndim - 1] != static_cast<std::size_t>(contrasts)) {
        PyErr_SetString(PyExc_ValueError, "S0: its last axis is not the contrasts'");
        return nullptr;
    }
    in.shape = {with_contrasts.ndim - 1, extent};
    const auto voxels = static_cast<Py_ssize_t>(in.shape.size());
    if (R2star.count() != voxels || sd.count() != voxels || status.count() != voxels) {
        PyErr_SetString(PyExc_ValueError,
                        "fit_echoes: R2star, R2star_sd and status differ in size "
                        "from the map");
        return nullptr;
    }
    in.protocol.contrasts = static_cast<std::size_t>(contrasts);
    for (Py_ssize_t c = 0; c < contrasts; ++c) {
        std::size_t echoes;
        if (signal[c].acquire_echoes(PyTuple_GetItem(signals, c), "signals", in.shape, echoes,
                                     in.echo_stride[c]) < 0 ||
            TE[c].acquire_values(PyTuple_GetItem(echo_times, c), "echo_times", echoes) < 0) {
            return nullptr;
        }
        in.signal[c] = signal[c].array();
        in.protocol.echoes[c] = echoes;
        in.protocol.TE[c] = static_cast<const double *>(TE[c].data());
    }
    auto *S0_data = static_cast<double *>(S0.data());
    auto *R2star_data = static_cast<double *>(R2star.data());
    auto *sd_data = static_cast<double *>(sd.data());
    auto *status_data = static_cast<std::uint8_t *>(status.data());
    bool done;
    {
        ReleasedLock unlocked;
        done = core::fit_echoes_map(in, threads, S0_data, R2star_data, sd_data, status_data,
                                    unlocked.keep_going());
    }
    return done ? none() : nullptr;
}

// The fast way's builds (fast_kernel.hpp): which this processor runs, which
// is in use, and a way to choose one, for the tests and benchmarks of each.
// MT_MAP_FAST_KERNEL=name in the environment chooses one as the module
// loads.
PyObject *fast_kernels(PyObject *, PyObject *) {
    const char *names[std::size(core::fast_kernels)];
    Py_ssize_t count = 0;
    for (const core::FastKernel k : core::fast_kernels) {
        if (core::can_run(k)) {
            names[count++] = core::name_of(k);
        }
    }
    PyObject *tuple = PyTuple_New(count);
    for (Py_ssize_t i = 0; tuple != nullptr && i < count; ++i) {
        PyObject *name = PyUnicode_FromString(names[i]);
        if (name == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, i, name);
    }
    return tuple;
}

// Chooses the build called name; false with an exception set where there is
// none of that name or this processor cannot run it.
bool choose_fast_kernel(const char *name, const char *where) {
    for (const core::FastKernel k : core::fast_kernels) {
        if (std::strcmp(name, core::name_of(k)) == 0) {
            if (core::use_fast_kernel(k)) {
                return true;
            }
            PyErr_Format(PyExc_ValueError, "%sthis processor cannot run the %s build", where, name);
            return false;
        }
    }
    PyErr_Format(PyExc_ValueError, "%sno build called '%s' (avx512, avx2 or baseline)", where,
                 name);
    return false;
}

PyObject *fast_kernel(PyObject *, PyObject *args) {
    const char *name = nullptr;
    if (!PyArg_ParseTuple(args, "|z:fast_kernel", &name) ||
        (name != nullptr && !choose_fast_kernel(name, ""))) {
        return nullptr;
    }
    return PyUnicode_FromString(core::name_of(core::fast_kernel()));
}

PyMethodDef methods[] = {
    {"super_lorentzian", super_lorentzian, METH_VARARGS,
     "super_lorentzian(Delta, T2b, out, threads): the lineshape, element by element, into out."},
    {"fit_fraction", fit_fraction, METH_VARARGS,
     "fit_fraction(inputs, b1, masks, lo, hi, clip, exact, threads, f, status[, derivatives]): "
     "the bound-pool fraction of every voxel, into f and status (and its first derivatives)."},
    {"predicted_ratio", predicted_ratio, METH_VARARGS,
     "predicted_ratio(inputs, threads, ratio): S_mt/S_ref of the two-pool model at each f, "
     "into ratio."},
    {"spgr_signal", spgr_signal, METH_VARARGS,
     "spgr_signal(M0, R1, flip_angle, TR, b1, threads, S): the SPGR steady state into S."},
    {"spgr_log_derivatives", spgr_log_derivatives, METH_VARARGS,
     "spgr_log_derivatives(R1, flip_angle, TR, b1, threads, d_R1, d_log_b1): d ln S / d R1 "
     "and d ln S / d ln b1 of the SPGR steady state (d_log_b1 may be None)."},
    {"fit_r1", fit_r1, METH_VARARGS,
     "fit_r1(signals, flip_angles, TRs, b1, masks, threads, R1, M0, status): R1 and M0 of "
     "every voxel from two scans."},
    {"mtsat", mtsat, METH_VARARGS,
     "mtsat(signals, flip_angles, TRs, b1, correction, threads, saturation): MT saturation "
     "in percent units; correction < 0: none."},
    {"fit_echoes", fit_echoes, METH_VARARGS,
     "fit_echoes(signals, echo_times, threads, S0, R2star, R2star_sd, status): S_c(0) of every "
     "contrast and one R2* per voxel from multi-echo signals."},
    {"fast_kernels", fast_kernels, METH_NOARGS,
     "fast_kernels(): the builds of the fast way this processor runs, widest first."},
    {"fast_kernel", fast_kernel, METH_VARARGS,
     "fast_kernel([name]): the build of the fast way in use; with a name, that one from now "
     "on (ValueError where this processor cannot run it)."},
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
        {"STATUS_TWO_ROOTS", core::fit_two_roots},
        {"R1_STATUS_SOLVED", core::r1_solved},
        {"R1_STATUS_BELOW_RANGE", core::r1_below_range},
        {"R1_STATUS_ABOVE_RANGE", core::r1_above_range},
        {"R1_STATUS_INVALID_INPUT", core::r1_invalid_input},
        {"R1_STATUS_MASKED", core::r1_masked},
        {"R1_STATUS_TWO_ROOTS", core::r1_two_roots},
        {"ECHO_STATUS_SOLVED", core::echo_solved},
        {"ECHO_STATUS_NEGATIVE_R2STAR", core::echo_negative_r2star},
        {"ECHO_STATUS_TOO_FEW_ECHOES", core::echo_too_few_echoes},
        {"ECHO_STATUS_INVALID_INPUT", core::echo_invalid_input},
        {"ECHO_MAX_CONTRASTS", static_cast<long>(core::max_contrasts)},
        {"ECHO_MAX_ECHOES", static_cast<long>(core::max_echoes)},
    };
    for (const Constant &c : constants) {
        if (PyModule_AddIntConstant(module, c.name, c.value) < 0) {
            return -1;
        }
    }
    const char *forced = std::getenv("MT_MAP_FAST_KERNEL");
    if (forced != nullptr && *forced != '\0' &&
        !choose_fast_kernel(forced, "MT_MAP_FAST_KERNEL: ")) {
        return -1;
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
    "solver, the predicted ratio, the SPGR signal, R1/M0, MTsat and the echo fit.",
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
