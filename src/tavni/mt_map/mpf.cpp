// tavni.mt_map.mpf: the two-pool magnetization-transfer signal model for
// estimating the bound-pool (macromolecular proton) fraction f.
//
//   model(f, S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR,
//         duration, flip_angle)
//       measured MT ratio minus the ratio the model predicts at f;
//   super_lorentzian_differential(u, Delta, T2b)
//       integrand of the bound pool's super-Lorentzian lineshape.
//
// This file only speaks to the interpreter: it binds call arguments to
// parameters, rounds them to single precision and wraps the result; the
// numbers are computed in mpf_core. The functions are called millions of
// times inside root finders, so binding allocates nothing and matches
// keywords by identity against names interned at import.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <iterator>

#include "mpf_core.hpp"
#include "version_check.hpp"

namespace {

namespace core = tavni::mt_map;

constexpr const char module_qualified_name[] = "tavni.mt_map.mpf";
constexpr const char source_file[] = "mpf.cpp";

// ---------------------------------------------------------------------------
// Names, interned and hashed once at import. The parameters of each function
// are contiguous, in parameter order. The enumerators and their texts are
// laid out alike, a function's parameters to a group.

// clang-format off
enum Name : int {
    name_u, name_Delta, name_T2b,
    name_f, name_S_ratio, name_R1, name_T2_free, name_delta_omega,
    name_omega_1_rms, name_G, name_TR, name_duration, name_flip_angle,
    name_super_lorentzian_differential, name_model,
    name_module, name_test, name_nan,
    name_count
};

constexpr const char *name_texts[name_count] = {
    "u", "Delta", "T2b",
    "f", "S_ratio", "R1", "T2_free", "delta_omega",
    "omega_1_rms", "G", "TR", "duration", "flip_angle",
    "super_lorentzian_differential", "model",
    module_qualified_name, "__test__", "nan",
};
// clang-format on

PyObject *names[name_count];

// Process-wide state, written only while the module is imported.
std::int64_t recorded_interpreter_id = -1;
PyObject *module_object = nullptr;
PyObject *module_namespace = nullptr;
PyObject *builtins_module = nullptr;

// ---------------------------------------------------------------------------
// Traceback entries. A C function leaves no frame behind, so an entry naming
// it is added by hand; the pending exception itself is left untouched.

void add_traceback_entry(const char *function_name, int line) {
    if (module_namespace == nullptr) {
        return;  // a function left over from an import that failed half-way
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject *code = PyCode_NewEmpty(source_file, function_name, line);
    PyFrameObject *frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, module_namespace, nullptr);
        Py_DECREF(code);
    }
    if (frame == nullptr) {
        PyErr_Clear();  // no entry then, but the original error survives
    }
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// ---------------------------------------------------------------------------
// Call binding: every parameter is required, by position or by keyword.

struct Signature {
    const char *display_name;    // in messages
    const char *qualified_name;  // in traceback entries
    Name first_parameter;
    Py_ssize_t parameter_count;
};

constexpr Py_ssize_t max_parameters = 10;

constexpr Signature super_lorentzian_differential_signature = {
    "super_lorentzian_differential",
    "tavni.mt_map.mpf.super_lorentzian_differential",
    name_u,
    3,
};

constexpr Signature model_signature = {
    "model",
    "tavni.mt_map.mpf.model",
    name_f,
    10,
};

int argument_count_error(const Signature &signature, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.display_name, "exactly", signature.parameter_count,
                 signature.parameter_count == 1 ? "" : "s", given);
    return -1;
}

// Index in [begin, end) of the parameter whose name is key itself, or -1.
Py_ssize_t find_identical(PyObject *const *parameters, Py_ssize_t begin, Py_ssize_t end,
                          PyObject *key) {
    for (Py_ssize_t i = begin; i < end; ++i) {
        if (parameters[i] == key) {
            return i;
        }
    }
    return -1;
}

// Index in [begin, end) of the parameter whose name equals the string key,
// -1 when none does, -2 with an exception set when comparing failed.
Py_ssize_t find_equal(PyObject *const *parameters, Py_ssize_t begin, Py_ssize_t end,
                      PyObject *key) {
    for (Py_ssize_t i = begin; i < end; ++i) {
        const int order = PyUnicode_Compare(parameters[i], key);
        if (order == 0) {
            return i;
        }
        if (order == -1 && PyErr_Occurred()) {
            return -2;
        }
    }
    return -1;
}

// The keyword dict holds more entries than the parameters it had to supply:
// find the offending key, in the dict's own order, and say what is wrong.
int reject_extra_keyword(const Signature &signature, PyObject *const *parameters,
                         Py_ssize_t positional_count, PyObject *kwargs, PyObject **slots) {
    const Py_ssize_t count = signature.parameter_count;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Py_ssize_t i = find_identical(parameters, positional_count, count, key);
        if (i < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                             signature.display_name);
                return -1;
            }
            i = find_equal(parameters, positional_count, count, key);
        }
        if (i == -2) {
            return -1;
        }
        if (i >= 0) {
            Py_SETREF(slots[i], Py_NewRef(value));
            continue;
        }
        Py_ssize_t taken = find_identical(parameters, 0, positional_count, key);
        if (taken < 0) {
            taken = find_equal(parameters, 0, positional_count, key);
        }
        if (taken == -2) {
            return -1;
        }
        PyErr_Format(PyExc_TypeError,
                     taken >= 0 ? "%s() got multiple values for keyword argument '%U'"
                                : "%s() got an unexpected keyword argument '%U'",
                     signature.display_name, key);
        return -1;
    }
    return 0;
}

void release_slots(PyObject **slots, Py_ssize_t begin, Py_ssize_t end) {
    for (Py_ssize_t i = begin; i < end; ++i) {
        Py_DECREF(slots[i]);
    }
}

// The number of entries of a dict, read as PyDict_GET_SIZE reads it (the
// macro's C-style cast trips -Wold-style-cast; a call to PyDict_Size would
// cost a type check per keyword call).
Py_ssize_t dict_size(PyObject *dict) {
    return reinterpret_cast<PyDictObject *>(dict)->ma_used;
}

// The usual keyword call: the dict holds exactly the parameters not given by
// position, under the very name objects interned at import (a call written
// in Python passes the interned names of its code). Taking the dict's entries
// in order and matching each key by identity, expecting parameter order,
// binds them with no hashing, no probing and no Python code run. Any other
// dict binds nothing and returns false; the general lookup then decides.
bool bind_keywords_by_identity(PyObject *const *parameters, Py_ssize_t first, Py_ssize_t count,
                               PyObject *kwargs, PyObject **slots) {
    if (dict_size(kwargs) != count - first) {
        return false;
    }
    Py_ssize_t position = 0;
    Py_ssize_t expected = first;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        Py_ssize_t i = expected < count && parameters[expected] == key
                           ? expected
                           : find_identical(parameters, first, count, key);
        if (i < 0) {
            return false;
        }
        // Keys are distinct objects, so each one fills another slot.
        slots[i] = value;
        expected = i + 1;
    }
    for (Py_ssize_t i = first; i < count; ++i) {
        Py_INCREF(slots[i]);
    }
    return true;
}

// Fills slots[0..N) with the arguments: borrowed references to the
// positional ones, new references to those taken from the keyword dict. A
// dict lookup may run the __eq__ of a key, and that code may change the
// dict, so a value found earlier is held from the moment it is bound.
// On failure no reference is held.
int bind_arguments(const Signature &signature, PyObject *args, PyObject *kwargs, PyObject **slots) {
    const Py_ssize_t count = signature.parameter_count;
    PyObject *const *parameters = &names[signature.first_parameter];
    const Py_ssize_t positional_count = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr ? positional_count != count : positional_count > count) {
        return argument_count_error(signature, positional_count);
    }
    for (Py_ssize_t i = 0; i < positional_count; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs == nullptr ||
        bind_keywords_by_identity(parameters, positional_count, count, kwargs, slots)) {
        return 0;
    }
    Py_ssize_t remaining = dict_size(kwargs);
    for (Py_ssize_t i = positional_count; i < count; ++i) {
        PyObject *value = PyDict_GetItemWithError(kwargs, parameters[i]);
        if (value == nullptr) {
            release_slots(slots, positional_count, i);
            return PyErr_Occurred() ? -1 : argument_count_error(signature, i);
        }
        slots[i] = Py_NewRef(value);
        --remaining;
    }
    if (remaining > 0 &&
        reject_extra_keyword(signature, parameters, positional_count, kwargs, slots) < 0) {
        release_slots(slots, positional_count, count);
        return -1;
    }
    return 0;
}

// Converts the bound arguments, in parameter order, to single precision.
int convert_arguments(PyObject *const *slots, Py_ssize_t count, float *values) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *argument = slots[i];
        double value;
        if (PyFloat_CheckExact(argument)) {
            value = PyFloat_AS_DOUBLE(argument);
        } else {
            value = PyFloat_AsDouble(argument);
            if (value == -1.0 && PyErr_Occurred()) {
                return -1;
            }
        }
        values[i] = core::to_single(value);
    }
    return 0;
}

// Binds and converts the arguments of one call. A conversion may run Python
// code (__float__, __index__); a caller that hands its own keyword dict in
// through the C API could have that code empty the dict, so the keyword
// arguments stay held, as binding took them, until the conversion is done.
int parse_arguments(const Signature &signature, PyObject *args, PyObject *kwargs, float *values) {
    PyObject *slots[max_parameters];
    if (bind_arguments(signature, args, kwargs, slots) < 0) {
        return -1;
    }
    const Py_ssize_t count = signature.parameter_count;
    const int status = convert_arguments(slots, count, values);
    if (kwargs != nullptr) {
        release_slots(slots, PyTuple_GET_SIZE(args), count);
    }
    return status;
}

// The traceback entry of a failed call: the function's qualified name (the
// name callers and tests look for; it stays exactly so) and the line of this
// file at which the wrapper saw the failure.
PyObject *call_failed(const Signature &signature, int line) {
    add_traceback_entry(signature.qualified_name, line);
    return nullptr;
}

PyObject *return_float(const Signature &signature, double result, int line) {
    PyObject *value = PyFloat_FromDouble(result);
    return value != nullptr ? value : call_failed(signature, line);
}

// ---------------------------------------------------------------------------
// The exported functions.

PyObject *super_lorentzian_differential(PyObject *Py_UNUSED(self), PyObject *args,
                                        PyObject *kwargs) {
    const Signature &signature = super_lorentzian_differential_signature;
    float v[3];
    if (parse_arguments(signature, args, kwargs, v) < 0) {
        return call_failed(signature, __LINE__);
    }
    return return_float(signature, core::super_lorentzian_differential(v[0], v[1], v[2]), __LINE__);
}

PyObject *model(PyObject *Py_UNUSED(self), PyObject *args, PyObject *kwargs) {
    const Signature &signature = model_signature;
    float v[10];
    if (parse_arguments(signature, args, kwargs, v) < 0) {
        return call_failed(signature, __LINE__);
    }
    return return_float(signature,
                        core::model(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]),
                        __LINE__);
}

template <typename Wrapper>
constexpr PyCFunction as_method(Wrapper wrapper) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper));
}

// In registration order.
PyMethodDef exported_functions[] = {
    {"super_lorentzian_differential", as_method(super_lorentzian_differential),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"model", as_method(model), METH_VARARGS | METH_KEYWORDS, nullptr},
};

constexpr Name exported_function_names[] = {
    name_super_lorentzian_differential,
    name_model,
};

// ---------------------------------------------------------------------------
// Import: create and exec.

// Copies one attribute of the import spec into the module namespace.
int copy_spec_attribute(PyObject *spec, PyObject *namespace_dict, const char *from, const char *to,
                        bool store_none) {
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    int status = 0;
    if (value != Py_None || store_none) {
        status = PyDict_SetItemString(namespace_dict, to, value);
    }
    Py_DECREF(value);
    return status;
}

PyObject *create_module(PyObject *spec, PyModuleDef *Py_UNUSED(definition)) {
    // Process-wide state lives in static storage, so the module can serve one
    // interpreter only: a second one would share and corrupt it.
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (recorded_interpreter_id == -1) {
        recorded_interpreter_id = interpreter_id;
        if (interpreter_id == -1) {
            return nullptr;
        }
    } else if (interpreter_id != recorded_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (module_object != nullptr) {
        return Py_NewRef(module_object);
    }

    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) {
        return nullptr;
    }
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject *namespace_dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, namespace_dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, namespace_dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, namespace_dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, namespace_dict, "submodule_search_locations", "__path__", false) <
            0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int check_interpreter_version() {
#ifdef MPF_CLAIMED_BUILD_VERSION
    // Test builds claim another interpreter to exercise the mismatch path.
    const char *built_for = MPF_CLAIMED_BUILD_VERSION;
#else
    char built_for[16];
    PyOS_snprintf(built_for, sizeof built_for, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
#endif
    const char *running = Py_GetVersion();
    if (core::versions_match(built_for, running)) {
        return 0;
    }
    char message[200];
    core::version_mismatch_message(message, sizeof message, built_for, module_qualified_name,
                                   running);
    return PyErr_WarnEx(nullptr, message, 1);
}

int create_names() {
    for (int i = 0; i < name_count; ++i) {
        if (names[i] != nullptr) {
            continue;  // kept from an earlier, failed import
        }
        PyObject *name = PyUnicode_InternFromString(name_texts[i]);
        if (name == nullptr || PyObject_Hash(name) == -1) {
            Py_XDECREF(name);
            return -1;
        }
        names[i] = name;
    }
    return 0;
}

int register_functions() {
    for (int i = 0; i < static_cast<int>(std::size(exported_functions)); ++i) {
        PyObject *function = PyCFunction_NewEx(&exported_functions[i], nullptr, names[name_module]);
        if (function == nullptr) {
            return -1;
        }
        const int status =
            PyDict_SetItem(module_namespace, names[exported_function_names[i]], function);
        Py_DECREF(function);
        if (status < 0) {
            return -1;
        }
    }
    return 0;
}

int add_to_loaded_modules(PyObject *module) {
    PyObject *loaded = PyImport_GetModuleDict();
    PyObject *entry = PyDict_GetItemWithError(loaded, names[name_module]);
    if (entry != nullptr) {
        return 0;
    }
    return PyErr_Occurred() ? -1 : PyDict_SetItem(loaded, names[name_module], module);
}

int initialise(PyObject *module) {
    if (check_interpreter_version() < 0) {
        return -1;
    }
    module_object = Py_NewRef(module);
    PyObject *namespace_dict = PyModule_GetDict(module);
    if (namespace_dict == nullptr) {
        return -1;
    }
    module_namespace = Py_NewRef(namespace_dict);

    Py_XSETREF(builtins_module, PyImport_ImportModule("builtins"));
    if (builtins_module == nullptr ||
        PyObject_SetAttrString(module, "__builtins__", builtins_module) < 0) {
        return -1;
    }
    if (create_names() < 0 || add_to_loaded_modules(module) < 0 || register_functions() < 0) {
        return -1;
    }
    PyObject *test_dict = PyDict_New();
    if (test_dict == nullptr) {
        return -1;
    }
    const int status = PyDict_SetItem(module_namespace, names[name_test], test_dict);
    Py_DECREF(test_dict);
    return status;
}

int exec_module(PyObject *module) {
    if (module_object != nullptr) {
        if (module_object == module) {
            return 0;  // re-import of the module already set up
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'mpf' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    if (initialise(module) == 0) {
        return 0;
    }
    if (module_object != nullptr) {
        if (module_namespace != nullptr) {
            add_traceback_entry("init tavni.mt_map.mpf", __LINE__);
        }
        // Forget the half-built module so that a later import starts afresh.
        Py_CLEAR(module_namespace);
        Py_CLEAR(module_object);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init tavni.mt_map.mpf");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "mpf",         // m_name
    nullptr,       // m_doc
    0,             // m_size
    no_methods,    // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_mpf() {
    return PyModuleDef_Init(&module_definition);
}
