// What both output registers keep of a training call: the read position, the
// per-sample loss array, the expected values and the optional weights (the
// leading fields of their states), and those arrays as captured for reads
// without the lock (kept at the end of their states).
#ifndef KESTOR_OUTPUT_REGISTER_H
#define KESTOR_OUTPUT_REGISTER_H

#include "column.h"
#include "loss.h"

struct OutputArrays {
    int32_t position;
    PyObject *outputarray;
    PyObject *yarray;
    PyObject *sample_weights;
};

struct OutputColumns {
    Column expected;
    Column weights;
    Column losses;
};

inline void output_release(OutputArrays &o)
{
    Py_CLEAR(o.sample_weights);
    Py_CLEAR(o.yarray);
    Py_CLEAR(o.outputarray);
}

// Binds y and the weights (None leaves the samples unweighted).
inline void output_bind_expected(OutputArrays &o, OutputColumns &c, PyObject *yarray, PyObject *sample_weights)
{
    o.position = 0;
    Py_CLEAR(o.yarray);
    Py_CLEAR(o.sample_weights);
    c.expected = NO_COLUMN;
    c.weights = NO_COLUMN;
    if (yarray == nullptr) {
        return;
    }
    o.yarray = Py_NewRef(yarray);
    c.expected = column_of((PyArrayObject *)yarray);
    if (sample_weights != nullptr && sample_weights != Py_None) {
        o.sample_weights = Py_NewRef(sample_weights);
        if (PyArray_Check(sample_weights)) {
            c.weights = column_of((PyArrayObject *)sample_weights);
        }
    }
}

inline int32_t output_create(OutputArrays &o, OutputColumns &c, int64_t n_samples)
{
    o.position = 0;
    Py_CLEAR(o.outputarray);
    c.losses = NO_COLUMN;
    npy_intp dims[1] = {(npy_intp)n_samples};
    o.outputarray = PyArray_New(&PyArray_Type, 1, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr);
    if (o.outputarray == nullptr) {
        return -1;
    }
    c.losses = column_of((PyArrayObject *)o.outputarray);
    return 0;
}

// Hands the loss array over; runs without the lock, so no reference count changes.
inline PyObject *output_take(OutputArrays &o, OutputColumns &c)
{
    PyObject *array = o.outputarray;
    o.outputarray = nullptr;
    c.losses = NO_COLUMN;
    return array;
}

// The sample a forward scored, as its reverse needs it.
struct ScoredSample {
    bool read;        // false when nothing was scored: the reverse reads y itself
    double expected;  // y of the sample
    double weight;    // its weight, 1.0 for unweighted samples
};

// Scores the sample at the read position and advances it; returns a status.
// Without a loss array (nothing to score) only the position advances.
template <class Loss>
inline int32_t output_score(OutputArrays &o, const OutputColumns &c, const Loss &loss_of, double prediction,
                            ScoredSample *scored)
{
    scored->read = false;
    if (o.outputarray == nullptr) {
        o.position += 1;
        return STATUS_OK;
    }
    double y;
    int32_t status = read_sample(c.expected, o.position, &y);
    if (status != STATUS_OK) {
        return status;
    }
    if (o.position >= c.losses.length) {
        return STATUS_OUT_OF_RANGE;
    }
    double loss = loss_of.value(y, prediction);
    double weight = 1.0;
    if (o.sample_weights != nullptr) {
        weight = read_weight(c.weights, o.position);
        loss = loss * weight;
    }
    std::memcpy((char *)c.losses.data + o.position * c.losses.stride, &loss, sizeof loss);
    o.position += 1;
    *scored = ScoredSample{true, y, weight};
    return STATUS_OK;
}

template <class Loss>
inline int32_t output_score(OutputArrays &o, const OutputColumns &c, const Loss &loss_of, double prediction)
{
    ScoredSample scored;
    return output_score(o, c, loss_of, prediction, &scored);
}

// The weighted loss derivative of the sample the last forward scored.
template <class Loss>
inline int32_t output_derivative(const OutputArrays &o, const OutputColumns &c, const Loss &loss_of,
                                 double prediction, double *d)
{
    npy_intp s = (npy_intp)o.position - 1;
    double y;
    int32_t status = read_sample(c.expected, s, &y);
    if (status != STATUS_OK) {
        return status;
    }
    *d = loss_of.derivative(y, prediction);
    if (o.sample_weights != nullptr) {
        *d = *d * read_weight(c.weights, s);
    }
    return STATUS_OK;
}

// The same from what the forward kept, without reading y and the weight again.
template <class Loss>
inline int32_t output_derivative(const OutputArrays &o, const OutputColumns &c, const Loss &loss_of,
                                 const ScoredSample &scored, double prediction, double *d)
{
    if (!scored.read) {
        return output_derivative(o, c, loss_of, prediction, d);
    }
    *d = loss_of.derivative(scored.expected, prediction);
    if (o.sample_weights != nullptr) {
        *d = *d * scored.weight;
    }
    return STATUS_OK;
}

#endif  // KESTOR_OUTPUT_REGISTER_H
