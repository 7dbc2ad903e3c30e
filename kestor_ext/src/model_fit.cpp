// The training driver of Model._fit: the checks of its data, the binding of
// the inputs and outputs, and the call of the training loop without the lock.
#include "adam_step.h"
#include "column.h"
#include "element_name.h"
#include "model_parts.h"
#include "owned_ref.h"
#include "training_plan.h"

// ---------------------------------------------------------------------------
// Checks shared by training and prediction.

// The model must be one complete prefix-order tree whose root is its only
// output register, with every element able to run forward and reverse.
int check_trainable(PyModel *self)
{
    if (self->count == 0) {
        PyErr_SetString(PyExc_ValueError, "Model has no elements");
        return -1;
    }
    int32_t open = 1;
    bool closed_early = false;
    for (int32_t i = 0; i < self->count; i++) {
        InteractionType *type = self->type[i];
        if (type->forward == nullptr || type->reverse == nullptr) {
            PyErr_Format(PyExc_RuntimeError, "Model not correctly initalized. Interaction %s misses forward or reverse",
                         type->name);
            return -1;
        }
        if (i > 0 && (type->set_expectedarray != nullptr || type->create_outputarray != nullptr ||
                      type->get_outputarray != nullptr)) {
            PyErr_Format(PyExc_ValueError, "Model has an output register (%s) at element %d below the root",
                         type->name, i);
            return -1;
        }
        closed_early = closed_early || open <= 0 || type->arity < 0;
        open += type->arity - 1;
    }
    if (closed_early || open != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "Model is not one complete expression tree in prefix order: "
                        "the operands of its elements do not close exactly at the last element");
        return -1;
    }
    return 0;
}

// Finds and checks the column of input element i; returns a borrowed array.
PyArrayObject *input_column(PyModel *self, PyObject *xarray, int32_t i)
{
    if (self->name[i] == nullptr) {
        PyErr_Format(PyExc_ValueError, "Missing data array for %s in X (element %d has no data name)", "''", i);
        return nullptr;
    }
    PyObject *array = PyDict_GetItemString(xarray, self->name[i]);
    if (array == nullptr) {
        PyErr_Format(PyExc_ValueError, "Missing data array for %s in X", self->name[i]);
        return nullptr;
    }
    if (!PyArray_Check(array)) {
        PyErr_Format(PyExc_ValueError, "Element %s in X is not a numpy array", self->name[i]);
        return nullptr;
    }
    if (PyArray_NDIM((PyArrayObject *)array) != 1) {
        PyErr_Format(PyExc_ValueError, "Element %s in X is not 1-dimensional", self->name[i]);
        return nullptr;
    }
    return (PyArrayObject *)array;
}

int check_length(npy_intp *n, npy_intp len)
{
    if (*n >= 0 && *n != len) {
        PyErr_Format(PyExc_ValueError, "Uneven X feature lengths %i != %i", (int)*n, (int)len);
        return -1;
    }
    if (len > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "X feature length %zd exceeds the limit of %d samples", (Py_ssize_t)len,
                     INT32_MAX);
        return -1;
    }
    *n = len;
    return 0;
}

// The expected values and the weights must cover every sample of X.
static int check_covers_samples(PyObject *array, const char *what, npy_intp n)
{
    npy_intp len = PyArray_DIMS((PyArrayObject *)array)[0];
    if (len < n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd values but X has %zd samples", what, (Py_ssize_t)len,
                     (Py_ssize_t)n);
        return -1;
    }
    return 0;
}

static int check_expected(PyObject *yarray, npy_intp n)
{
    if (!PyArray_Check(yarray)) {
        PyErr_SetString(PyExc_ValueError, "yarray must be a numpy array");
        return -1;
    }
    if (PyArray_NDIM((PyArrayObject *)yarray) != 1) {
        PyErr_SetString(PyExc_ValueError, "y must be 1 dimensional");
        return -1;
    }
    return check_covers_samples(yarray, "yarray", n);
}

static int check_weights(PyObject *weights, npy_intp n)
{
    if (weights == Py_None) {
        return 0;
    }
    if (!PyArray_Check(weights) || PyArray_NDIM((PyArrayObject *)weights) != 1) {
        PyErr_SetString(PyExc_ValueError, "sample_weights must be None or a 1-dimensional numpy array");
        return -1;
    }
    return check_covers_samples(weights, "sample_weights", n);
}

// A weight that is NaN, infinite or negative would silently destroy the
// model (NaN parameters, training away from the fit): every entry that the
// registers would read as a number must be finite and not negative.  Weights
// of an element type outside the typed-read table weigh 0.0 and are not
// looked at; other shapes and lengths are refused after binding, as before.
static int check_weight_values(PyObject *weights)
{
    if (!PyArray_Check(weights) || PyArray_NDIM((PyArrayObject *)weights) != 1) {
        return 0;
    }
    Column c = column_of((PyArrayObject *)weights);
    for (npy_intp p = 0; p < c.length; p++) {
        double w;
        if (!read_typed(c, p, &w)) {
            return 0;
        }
        if (!(is_finite_value(w) && w >= 0.0)) {
            OwnedRef value(PyFloat_FromDouble(w));
            if (value) {
                PyErr_Format(PyExc_ValueError,
                             "sample_weights must be finite and not negative: sample_weights[%zd] is %R",
                             (Py_ssize_t)p, value.get());
            }
            return -1;
        }
    }
    return 0;
}

PyObject *raise_status(int32_t status)
{
    const char *message = status == STATUS_NOT_FINITE    ? "Data contains nan or infinite values"
                          : status == STATUS_UNSUPPORTED ? "Data contains unsupported dtypes"
                                                         : "Unknown value error calling model.";
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

namespace {

// ---------------------------------------------------------------------------
// Training.

int bind_inputs(PyModel *self, PyObject *xarray, npy_intp *n)
{
    for (int32_t i = 0; i < self->count; i++) {
        InteractionType *type = self->type[i];
        if (type->arity != 0) {
            continue;
        }
        PyArrayObject *array = input_column(self, xarray, i);
        if (array == nullptr) {
            return -1;
        }
        OwnedRef keep(Py_NewRef((PyObject *)array));
        if (check_length(n, PyArray_DIMS(array)[0]) < 0) {
            return -1;
        }
        if (type->set_inputarray == nullptr) {
            PyErr_Format(PyExc_RuntimeError,
                         "Model not correctly initalized. Interaction %i misses set_input entrypoint", i);
            return -1;
        }
        if (type->set_inputarray(self, i, (PyObject *)array) != 0) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_RuntimeError, "Interaction %s failed to bind its input", type->name);
            }
            return -1;
        }
    }
    return 0;
}

void start_counters(PyModel *self, npy_intp n)
{
    int32_t t = self->sample_count;
    int64_t advanced = (int64_t)t + (int64_t)n;
    self->sample_count = advanced > INT32_MAX ? INT32_MAX : (int32_t)advanced;
    self->rate_factor = t < 0 ? 2.0 : 2.0 / (double)(t / 10000 + 1);
    self->schedule = update_schedule(self->sample_count);
}

// Mean of a float64 loss array; false when there is nothing to average.
bool mean_of(PyObject *losses, double *mean)
{
    if (losses == nullptr) {
        return false;
    }
    PyArrayObject *array = (PyArrayObject *)losses;
    if (PyArray_DESCR(array)->type_num != NPY_DOUBLE || PyArray_NDIM(array) < 1) {
        return false;
    }
    npy_intp size = 1;
    for (int d = 0; d < PyArray_NDIM(array); d++) {
        size *= PyArray_DIMS(array)[d];
    }
    if (size == 0) {
        return false;
    }
    const char *data = (const char *)PyArray_DATA(array);
    npy_intp stride = PyArray_STRIDES(array)[0];
    npy_intp length = PyArray_DIMS(array)[0];
    double sum = 0.0;
    for (npy_intp k = 0; k < length; k++) {
        sum += load_as_double<double>(data + k * stride);
    }
    *mean = sum / (double)length;
    return true;
}

PyObject *fit(PyModel *self, PyObject *xarray, PyObject *yarray, PyObject *sample_weights)
{
    if (!PyDict_Check(xarray)) {
        PyErr_SetString(PyExc_ValueError, "First argument of fit must be a dictionary of numpy arrays");
        return nullptr;
    }
    if (check_trainable(self) < 0) {
        return nullptr;
    }
    if (yarray == Py_None) {
        PyErr_SetString(PyExc_ValueError, "yarray must be a numpy array");
        return nullptr;
    }
    if (check_weight_values(sample_weights) < 0) {
        return nullptr;
    }
    npy_intp n = -1;
    if (bind_inputs(self, xarray, &n) < 0) {
        return nullptr;
    }
    InteractionType *root = self->type[0];
    if (root->set_expectedarray == nullptr || root->create_outputarray == nullptr ||
        root->get_outputarray == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "Model not correctly initalized. Output '%s' misses needed entrypoints",
                     element_name(self, 0));
        return nullptr;
    }
    if (check_expected(yarray, n) < 0 || check_weights(sample_weights, n) < 0) {
        return nullptr;
    }
    if (root->set_expectedarray(self, 0, yarray, sample_weights) != 0 ||
        root->create_outputarray(self, 0, (int64_t)n) != 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_RuntimeError, "Output '%s' failed to bind its arrays", element_name(self, 0));
        }
        return nullptr;
    }

    int32_t status;
    bool have_mean;
    double mean = 0.0;
    PyObject *losses = nullptr;
    self->thread_state = PyEval_SaveThread();
    start_counters(self, n);
    status = train_samples(self, n);
    if (status == 0) {
        losses = root->get_outputarray(self, 0);
        have_mean = mean_of(losses, &mean);
    }
    PyEval_RestoreThread(self->thread_state);
    self->thread_state = nullptr;

    if (status != 0) {
        return raise_status(status);
    }
    Py_XDECREF(losses);
    if (!have_mean) {
        PyErr_SetString(PyExc_ValueError, "Error computing mean");
        return nullptr;
    }
    OwnedRef mean_obj(PyFloat_FromDouble(mean));
    OwnedRef params(mean_obj ? parameter_list(self) : nullptr);
    if (!params) {
        return nullptr;
    }
    return PyTuple_Pack(2, mean_obj.get(), params.get());
}

}  // namespace

PyObject *PyModel_method_fit(PyObject *obj, PyObject *args, PyObject *kwds)
{
    PyModel *self = (PyModel *)obj;
    static const char *kwlist[] = {"xarray", "yarray", "sample_weights", nullptr};
    PyObject *xarray, *yarray, *sample_weights = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O", (char **)kwlist, &xarray, &yarray, &sample_weights)) {
        return nullptr;
    }
    if (refuse_if_busy(self)) {
        return nullptr;
    }
    // Binding can run Python code (comparisons, hashing): keep the arguments
    // alive and the model closed to other calls for the whole call.
    OwnedRef keep_x(Py_NewRef(xarray)), keep_y(Py_NewRef(yarray)), keep_w(Py_NewRef(sample_weights));
    BusyScope busy(self);
    return fit(self, xarray, yarray, sample_weights);
}
