/*
 * Baselines for the call-speed benchmark of tavni.mt_map.mpf.model.
 *
 * Built by benchmarks/call_speed.py into a temporary directory and imported
 * from there; never installed. Both functions take model's ten parameters
 * with the same calling convention (a positional tuple plus a keyword dict)
 * and return a new float, but compute nothing:
 *
 *   parse_only  binds and converts the ten arguments the way a typical
 *               hand-written extension does, with PyArg_ParseTupleAndKeywords
 *               and the format "ffffffffff";
 *   floor       converts ten floats straight from the tuple (and, for a
 *               keyword call, from the dict's values): the least any
 *               function with this calling convention can cost.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static char *model_keywords[] = {
    "f", "S_ratio", "R1",       "T2_free",    "delta_omega", "omega_1_rms",
    "G", "TR",      "duration", "flip_angle", NULL,
};

static PyObject *parse_only(PyObject *self, PyObject *args, PyObject *kwargs) {
    float f, S_ratio, R1, T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle;
    (void)self;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ffffffffff", model_keywords, &f, &S_ratio, &R1,
                                     &T2_free, &delta_omega, &omega_1_rms, &G, &TR, &duration,
                                     &flip_angle)) {
        return NULL;
    }
    return PyFloat_FromDouble((double)f);
}

/* Keeps the conversions from being optimised away. */
static volatile float sink[10];

static int convert(PyObject *item, int i) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            return -1;
        }
    }
    sink[i] = (float)value;
    return 0;
}

/* By keyword, the values are taken in the dict's order without looking at
 * the names: what the interpreter's building of the dict costs, plus the
 * least a function can do with it. */
static PyObject *floor_(PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(args), position = 0, i;
    PyObject *key, *value;
    (void)self;
    if (n + (kwargs != NULL ? PyDict_GET_SIZE(kwargs) : 0) != 10) {
        PyErr_SetString(PyExc_TypeError, "floor() takes exactly 10 arguments");
        return NULL;
    }
    for (i = 0; i < n; ++i) {
        if (convert(PyTuple_GET_ITEM(args, i), (int)i) < 0) {
            return NULL;
        }
    }
    while (kwargs != NULL && PyDict_Next(kwargs, &position, &key, &value)) {
        if (convert(value, (int)i++) < 0) {
            return NULL;
        }
    }
    return PyFloat_FromDouble((double)sink[0]);
}

static PyMethodDef methods[] = {
    {"parse_only", (PyCFunction)(void (*)(void))parse_only, METH_VARARGS | METH_KEYWORDS, NULL},
    {"floor", (PyCFunction)(void (*)(void))floor_, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "call_baseline", NULL, -1, methods,
};

PyMODINIT_FUNC PyInit_call_baseline(void) {
    return PyModule_Create(&module_definition);
}
