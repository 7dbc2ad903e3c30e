// Conversion of parameter values handed to setattr, and parameter names.
#ifndef KESTOR_PARAMETER_H
#define KESTOR_PARAMETER_H

#include "kestor.h"

#include <cstring>

inline bool name_is(const char *name, const char *wanted) { return std::strcmp(name, wanted) == 0; }

// Converts a parameter value to a double the way every setattr does:
// non-numbers are refused without an exception, failed conversions with one.
inline bool parameter_as_double(PyObject *value, double *out)
{
    if (!PyNumber_Check(value)) {
        return false;
    }
    PyObject *as_float = PyNumber_Float(value);
    if (as_float == nullptr) {
        return false;
    }
    *out = PyFloat_AsDouble(as_float);
    Py_DECREF(as_float);
    return true;
}

// A flag parameter takes the integer value of the argument itself (2.7 gives
// 2, True gives 1), keeping the low 32 bits.
inline bool parameter_as_flag(PyObject *value, int32_t *out)
{
    PyObject *as_int = PyNumber_Long(value);
    if (as_int == nullptr) {
        return false;
    }
    long v = PyLong_AsLong(as_int);
    Py_DECREF(as_int);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = (int32_t)(uint32_t)(unsigned long)v;
    return true;
}

#endif  // KESTOR_PARAMETER_H
