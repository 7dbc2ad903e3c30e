// Typed sample reads of bound numpy columns.
//
// A register captures what it needs of a column while it holds the lock
// (data pointer, first stride, length, element type) and reads samples from
// that capture without the lock.  Reads go through memcpy, so misaligned
// buffers are read correctly.
#ifndef KESTOR_COLUMN_H
#define KESTOR_COLUMN_H

#include "kestor.h"

#include <cfloat>
#include <cmath>
#include <cstring>

constexpr int COLUMN_UNREADABLE = -1;

struct Column {
    const char *data;
    npy_intp stride;
    npy_intp length;
    int type_num;  // COLUMN_UNREADABLE for byte orders we do not read
};

constexpr Column NO_COLUMN = {nullptr, 0, 0, COLUMN_UNREADABLE};

// Captures a bound one-dimensional array; a non-native byte order is marked
// unreadable so that it reads as an unsupported type rather than as garbage.
inline Column column_of(PyArrayObject *array)
{
    Column c;
    c.data = (const char *)PyArray_DATA(array);
    c.stride = PyArray_NDIM(array) >= 1 ? PyArray_STRIDES(array)[0] : 0;
    c.length = PyArray_NDIM(array) >= 1 ? PyArray_DIMS(array)[0] : 1;
    c.type_num = PyArray_ISNOTSWAPPED(array) ? PyArray_DESCR(array)->type_num : COLUMN_UNREADABLE;
    return c;
}

template <typename T>
inline double load_as_double(const char *at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return (double)value;
}

// Reads sample p as a double; false for an element type outside the table.
inline bool read_typed(const Column &c, npy_intp p, double *out)
{
    const char *at = c.data + p * c.stride;
    if (c.type_num == NPY_DOUBLE) {  // by far the most common: no jump through the table
        *out = load_as_double<double>(at);
        return true;
    }
    switch (c.type_num) {
        case NPY_BOOL:
        case NPY_BYTE: *out = load_as_double<int8_t>(at); return true;
        case NPY_UBYTE: *out = load_as_double<uint8_t>(at); return true;
        case NPY_SHORT: *out = load_as_double<int16_t>(at); return true;
        case NPY_INT: *out = load_as_double<int32_t>(at); return true;
        case NPY_LONG: *out = load_as_double<int64_t>(at); return true;
        case NPY_FLOAT: *out = load_as_double<float>(at); return true;
        case NPY_DOUBLE: *out = load_as_double<double>(at); return true;
        default: return false;
    }
}

inline bool is_finite_value(double x) { return std::fabs(x) <= DBL_MAX; }

// A data value: unsupported type -2, NaN or infinite -1, else 0.
inline int32_t read_sample(const Column &c, npy_intp p, double *out)
{
    if (p < 0 || p >= c.length) {
        return STATUS_OUT_OF_RANGE;
    }
    if (!read_typed(c, p, out)) {
        return STATUS_UNSUPPORTED;
    }
    return is_finite_value(*out) ? STATUS_OK : STATUS_NOT_FINITE;
}

// A sample weight: an unsupported type weighs 0.0; values are not checked.
inline double read_weight(const Column &c, npy_intp p)
{
    double w;
    if (p < 0 || p >= c.length || !read_typed(c, p, &w)) {
        return 0.0;
    }
    return w;
}

// Maximum or minimum of a whole array as a double (scale detection); false
// with an exception.  Needs the lock.
inline bool array_extreme(PyArrayObject *array, bool maximum, double *out)
{
    PyObject *result = maximum ? PyArray_Max(array, NPY_RAVEL_AXIS, nullptr) : PyArray_Min(array, NPY_RAVEL_AXIS, nullptr);
    if (result == nullptr) {
        return false;
    }
    *out = PyFloat_AsDouble(result);
    Py_DECREF(result);
    return !(*out == -1.0 && PyErr_Occurred());
}

// The largest and smallest value of a bound column, for the registers'
// scale detection; false with an exception, a ValueError "<role> data for
// '<element>' contains nan or infinite values" when one is not finite.
// Needs the lock.
inline bool finite_range(PyArrayObject *array, const char *role, const char *element, double *max, double *min)
{
    if (!array_extreme(array, true, max) || !array_extreme(array, false, min)) {
        return false;
    }
    if (!is_finite_value(*max) || !is_finite_value(*min)) {
        PyErr_Format(PyExc_ValueError, "%s data for '%s' contains nan or infinite values", role, element);
        return false;
    }
    return true;
}

#endif  // KESTOR_COLUMN_H
