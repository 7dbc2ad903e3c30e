// Shared records and operation-slot signatures of the _kestor module.
//
// A model is a fixed-capacity record of element slots; every element is an
// instance of an InteractionType, a static table of operation slots in the
// style of CPython's own type slots.  Interaction source files fill one
// descriptor each and register it at library load.
#ifndef KESTOR_H
#define KESTOR_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

// Built against numpy's version-2 ABI, running on any numpy from 1.23 on.
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kestor_ARRAY_API
#ifndef KESTOR_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#define KESTOR_VISIBLE __attribute__((visibility("default")))
#define KESTOR_EXPORT extern "C" KESTOR_VISIBLE

constexpr int MAX_ELEMENTS = 32;

struct PyModel;

typedef int32_t (*kestor_step_fn)(PyModel *model, int32_t index, int32_t n);
typedef int32_t (*kestor_setattr_fn)(PyModel *model, int32_t index, const char *name, PyObject *value);
typedef PyObject *(*kestor_getattr_fn)(PyModel *model, int32_t index, const char *name);
typedef void *(*kestor_allocate_fn)(PyModel *model, int32_t index);
typedef void (*kestor_deallocate_fn)(PyModel *model, int32_t index, void *state);
typedef int32_t (*kestor_set_inputarray_fn)(PyModel *model, int32_t index, PyObject *array);
typedef int32_t (*kestor_set_expectedarray_fn)(PyModel *model, int32_t index, PyObject *yarray,
                                               PyObject *sample_weights);
typedef int32_t (*kestor_create_outputarray_fn)(PyModel *model, int32_t index, int64_t n_samples);
typedef PyObject *(*kestor_get_outputarray_fn)(PyModel *model, int32_t index);

struct InteractionType {
    const char *name;
    int32_t arity;
    kestor_step_fn forward;
    kestor_step_fn reverse;
    const char *const *attributes;
    kestor_setattr_fn setattr;
    kestor_getattr_fn getattr;
    kestor_allocate_fn allocate;
    kestor_deallocate_fn deallocate;
    kestor_set_inputarray_fn set_inputarray;
    kestor_set_expectedarray_fn set_expectedarray;
    kestor_create_outputarray_fn create_outputarray;
    kestor_get_outputarray_fn get_outputarray;
    InteractionType *next;
};

// Expected value first, prediction second.
typedef double (*LossFunction)(double expected, double predicted);

// Bias-correction divisors of the update rule.  The step number is constant
// for a whole training call, so the driver computes them once per call; a
// regime without correction divides by exactly 1.0, which leaves every value
// (NaN and infinities included) unchanged.
struct UpdateSchedule {
    double first_moment_divisor;
    double second_moment_divisor;
};

struct PyModel {
    PyObject_HEAD
    PyThreadState *thread_state;
    int32_t sample_count;
    int32_t count;
    void *state[MAX_ELEMENTS];
    InteractionType *type[MAX_ELEMENTS];
    int32_t batch_length;
    double activation[MAX_ELEMENTS];
    double gradient[MAX_ELEMENTS];
    char *name[MAX_ELEMENTS];
    int32_t second_operand[MAX_ELEMENTS];
    LossFunction loss_fn;
    LossFunction loss_derivative;
    double rate_factor;
    // Private to the module, after the published fields.
    UpdateSchedule schedule;
    int32_t training;  // nonzero while a _fit or predict call has released the lock
};

// Registry (kestor.cpp).
KESTOR_EXPORT int kestor_add_interactiontype(InteractionType *type);
KESTOR_EXPORT InteractionType *kestor_find_interactiontype(const char *name);

// Model (model.cpp).
KESTOR_EXPORT PyTypeObject PyModel_Type;
KESTOR_EXPORT Py_ssize_t PyModel_Len(PyObject *self);
KESTOR_EXPORT PyObject *model_addtomodule(PyObject *module);

// KCell (kcell.cpp).
KESTOR_EXPORT PyTypeObject PyKCell_Type;
KESTOR_EXPORT PyObject *kcell_addtomodule(PyObject *module);

// Load-time initialisers, one per interaction source file; kestor.cpp calls
// them in a fixed order when the library is loaded.
void init_add();
void init_register_cat();
void init_exp();
void init_gaussian();
void init_inverse();
void init_linear();
void init_log();
void init_multiply();
void init_register_in_lin();
void init_register_out_lin();
void init_register_out_lr();
void init_sqrt();
void init_squared();
void init_tanh();

// ---------------------------------------------------------------------------
// Parameter update rule shared by every learnable parameter.

inline UpdateSchedule update_schedule(int32_t t)
{
    if (t < 1) {
        t = 1;  // a non-positive step has no meaningful correction; use the first
    }
    UpdateSchedule s{1.0, 1.0};
    if (t < 30) {
        s.first_moment_divisor = 1.0 - std::pow(0.9, (double)t);
    }
    if (t < 2000) {
        s.second_moment_divisor = 1.0 - std::pow(0.999, (double)t);
    }
    return s;
}

inline void adam_step(double &p, double &m, double &v, double g, double lr, const UpdateSchedule &s)
{
    m = 0.9 * m + 0.09999999999999998 * g;
    v = 0.999 * v + (0.0010000000000000009 * g) * g;
    double m_hat = m / s.first_moment_divisor;
    double v_hat = v / s.second_moment_divisor;
    p = p - (m_hat / (std::sqrt(v_hat) + 1e-7)) * lr;
}

// ---------------------------------------------------------------------------
// Typed sample reads of bound numpy columns.
//
// A register captures what it needs of a column while it holds the lock
// (data pointer, first stride, length, element type) and reads samples from
// that capture without the lock.  Reads go through memcpy, so misaligned
// buffers are read correctly.

constexpr int32_t STATUS_OK = 0;
constexpr int32_t STATUS_NOT_FINITE = -1;
constexpr int32_t STATUS_UNSUPPORTED = -2;
constexpr int32_t STATUS_OUT_OF_RANGE = -3;

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

// ---------------------------------------------------------------------------
// What both output registers keep of a training call: the read position, the
// per-sample loss array, the expected values and the optional weights (the
// leading fields of their states), and those arrays as captured for reads
// without the lock (kept at the end of their states).

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

// Scores the sample at the read position and advances it; returns a status.
// Without a loss array (nothing to score) only the position advances.
inline int32_t output_score(OutputArrays &o, const OutputColumns &c, const PyModel *model, double prediction)
{
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
    double loss = model->loss_fn(y, prediction);
    if (o.sample_weights != nullptr) {
        loss = loss * read_weight(c.weights, o.position);
    }
    std::memcpy((char *)c.losses.data + o.position * c.losses.stride, &loss, sizeof loss);
    o.position += 1;
    return STATUS_OK;
}

// The weighted loss derivative of the sample the last forward scored.
inline int32_t output_derivative(const OutputArrays &o, const OutputColumns &c, const PyModel *model,
                                 double prediction, double *d)
{
    npy_intp s = (npy_intp)o.position - 1;
    double y;
    int32_t status = read_sample(c.expected, s, &y);
    if (status != STATUS_OK) {
        return status;
    }
    *d = model->loss_derivative(y, prediction);
    if (o.sample_weights != nullptr) {
        *d = *d * read_weight(c.weights, s);
    }
    return STATUS_OK;
}

// ---------------------------------------------------------------------------
// Prediction without training (Model.predict).
//
// These operations live beside the descriptors, in a private table, so the
// published InteractionType layout stays as it is.  An element type without
// them cannot be used for prediction.

struct PredictColumn {
    Column column;    // what the element reads per sample
    PyObject *owned;  // reference kept alive for the call (released with the lock held)
};

// With the lock held, for arity-0 elements: capture the column for the call.
// Returns 0, or -1 with a Python exception set.  Changes nothing in the model.
typedef int32_t (*kestor_predict_bind_fn)(PyModel *model, int32_t index, PyObject *array, PredictColumn *out);
// Without the lock: writes values[index] for sample p from the operand values
// (values[index + 1], values[second_operand[index]]) or the bound column.
// Returns a status as forward does.  Changes nothing in the model.
typedef int32_t (*kestor_predict_fn)(const PyModel *model, int32_t index, npy_intp p, const PredictColumn *column,
                                     double *values);

struct PredictOps {
    const InteractionType *type;
    kestor_predict_bind_fn bind;  // arity-0 elements only
    kestor_predict_fn value;
};

// Called by the init_* functions; model.cpp keeps the table.
void register_predict(const PredictOps *ops);
const PredictOps *find_predict(const InteractionType *type);

// ---------------------------------------------------------------------------
// Forward and prediction of interactions whose value is a pure function of
// their operands' values: one value function serves both.

template <double (*value)(double)>
int32_t unary_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n > 0) {
        model->activation[index] = value(model->activation[index + 1]);
    }
    return STATUS_OK;
}

template <double (*value)(double)>
int32_t unary_predict(const PyModel * /*model*/, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                      double *values)
{
    values[index] = value(values[index + 1]);
    return STATUS_OK;
}

template <double (*value)(double, double)>
int32_t binary_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n > 0) {
        model->activation[index] =
            value(model->activation[index + 1], model->activation[model->second_operand[index]]);
    }
    return STATUS_OK;
}

template <double (*value)(double, double)>
int32_t binary_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                       double *values)
{
    values[index] = value(values[index + 1], values[model->second_operand[index]]);
    return STATUS_OK;
}

// ---------------------------------------------------------------------------
// Small helpers for the element types' parameter slots.

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

// Maximum or minimum of a whole array as a double; false with an exception.
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

// An element's data name for messages; "" for an element without one.
inline const char *element_name(const PyModel *model, int32_t index)
{
    return model->name[index] != nullptr ? model->name[index] : "";
}

inline bool name_is(const char *name, const char *wanted) { return std::strcmp(name, wanted) == 0; }

// Owned reference holder for paths that hold the interpreter lock.
class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject *steal) : ptr_(steal) {}
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    OwnedRef(OwnedRef &&other) noexcept : ptr_(other.release()) {}
    OwnedRef &operator=(OwnedRef &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(ptr_); }

    PyObject *get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    PyObject *release()
    {
        PyObject *p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    void reset(PyObject *steal = nullptr)
    {
        PyObject *old = ptr_;
        ptr_ = steal;
        Py_XDECREF(old);
    }

private:
    PyObject *ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// Learnable parameters shared by the weighted element types.

// A weight and a bias with the moments of the update rule.
struct WeightBias {
    double w;
    double bias;
    double w_m;
    double w_v;
    double bias_m;
    double bias_v;
};

// A weight and bias behind a scale detected from the data the first time
// it is bound (while `detect_scale` is set).
struct ScaledWeightBias {
    int32_t detect_scale;
    double scale;
    double scale_offset;
    WeightBias wb;
};

inline ScaledWeightBias fresh_scaled_weight_bias()
{
    ScaledWeightBias p{};
    p.detect_scale = 1;
    p.scale = 1.0;
    return p;
}

// w first, then bias; both gradients were computed before either update.
inline void weight_bias_step(WeightBias &p, double g_w, double g_bias, double lr, const UpdateSchedule &s)
{
    adam_step(p.w, p.w_m, p.w_v, g_w, lr, s);
    adam_step(p.bias, p.bias_m, p.bias_v, g_bias, lr, s);
}

// getattr: a new float, or null without an exception for an unknown name.
inline PyObject *weight_bias_get(const WeightBias &p, const char *name)
{
    if (std::strcmp(name, "w") == 0) return PyFloat_FromDouble(p.w);
    if (std::strcmp(name, "bias") == 0) return PyFloat_FromDouble(p.bias);
    return nullptr;
}

inline PyObject *scaled_weight_bias_get(const ScaledWeightBias &p, const char *name)
{
    if (std::strcmp(name, "scale") == 0) return PyFloat_FromDouble(p.scale);
    if (std::strcmp(name, "scale_offset") == 0) return PyFloat_FromDouble(p.scale_offset);
    if (std::strcmp(name, "detect_scale") == 0) return PyLong_FromLong(p.detect_scale);
    return weight_bias_get(p.wb, name);
}

// Stores an already converted value; false for an unknown name.
inline bool weight_bias_assign(WeightBias &p, const char *name, double number)
{
    if (std::strcmp(name, "w") == 0) p.w = number;
    else if (std::strcmp(name, "bias") == 0) p.bias = number;
    else return false;
    return true;
}

// setattr: 0, or -1 for a non-number or an unknown name.  The value is
// converted once; only the parameter changes, its moments keep their values.
inline int32_t weight_bias_set(WeightBias &p, const char *name, PyObject *value)
{
    double number;
    if (!parameter_as_double(value, &number)) return -1;
    return weight_bias_assign(p, name, number) ? 0 : -1;
}

inline int32_t scaled_weight_bias_set(ScaledWeightBias &p, const char *name, PyObject *value)
{
    double number;
    if (!parameter_as_double(value, &number)) return -1;
    if (std::strcmp(name, "scale") == 0) p.scale = number;
    else if (std::strcmp(name, "scale_offset") == 0) p.scale_offset = number;
    else if (std::strcmp(name, "detect_scale") == 0) return parameter_as_flag(value, &p.detect_scale) ? 0 : -1;
    else return weight_bias_assign(p.wb, name, number) ? 0 : -1;
    return 0;
}

#endif  // KESTOR_H
