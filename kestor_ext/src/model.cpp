// The Model type: construction, training driver, losses, parameter and
// activation access, and prediction.
#include "adam_step.h"
#include "column.h"
#include "element_name.h"
#include "loss.h"
#include "owned_ref.h"
#include "predict.h"
#include "training_plan.h"

#include <algorithm>

namespace {

// ---------------------------------------------------------------------------
// Loss functions by name (loss.h).

struct LossPair {
    const char *name;
    LossFunction loss;
    LossFunction derivative;
};

constexpr LossPair loss_pairs[] = {
    {"absolute_error", absolute_error, absolute_error_derivative},
    {"squared_error", squared_error, squared_error_derivative},
    {"binary_cross_entropy", binary_cross_entropy, binary_cross_entropy_derivative},
};

// ---------------------------------------------------------------------------
// Guards.

// Training and prediction release the interpreter lock, and binding data can
// run arbitrary Python code (hashing, comparisons); while that happens the
// model must not be rebuilt, trained or read by anyone else.
bool refuse_if_busy(PyModel *self)
{
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Model is in use by another call (training, prediction or construction); "
                        "a model must not be used from another thread while it trains");
        return true;
    }
    return false;
}

class BusyScope {
public:
    explicit BusyScope(PyModel *model) : model_(model) { model_->busy = 1; }
    ~BusyScope() { model_->busy = 0; }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    PyModel *model_;
};

// ---------------------------------------------------------------------------
// Construction and destruction.

// Detaches every element from the model first and only then releases the
// states, so that code run by releasing an array or a key never sees a
// half-cleared model.
void release_elements(PyModel *self)
{
    int32_t count = self->count;
    void *states[MAX_ELEMENTS];
    InteractionType *types[MAX_ELEMENTS];
    char *names[MAX_ELEMENTS];
    std::copy(self->state, self->state + MAX_ELEMENTS, states);
    std::copy(self->type, self->type + MAX_ELEMENTS, types);
    std::copy(self->name, self->name + MAX_ELEMENTS, names);

    self->count = 0;
    self->batch_length = 0;
    std::fill(self->state, self->state + MAX_ELEMENTS, nullptr);
    std::fill(self->type, self->type + MAX_ELEMENTS, nullptr);
    std::fill(self->name, self->name + MAX_ELEMENTS, nullptr);
    std::fill(self->activation, self->activation + MAX_ELEMENTS, 0.0);
    std::fill(self->gradient, self->gradient + MAX_ELEMENTS, 0.0);
    std::fill(self->second_operand, self->second_operand + MAX_ELEMENTS, 0);
    self->loss_fn = nullptr;
    self->loss_derivative = nullptr;
    self->rate_factor = 0.0;
    self->schedule = UpdateSchedule{1.0, 1.0, CORRECT_NEITHER};

    for (int32_t i = 0; i < count && i < MAX_ELEMENTS; i++) {
        if (states[i] != nullptr && types[i] != nullptr && types[i]->deallocate != nullptr) {
            types[i]->deallocate(self, i, states[i]);
        }
        std::free(names[i]);
    }
}

// Reads item j of a list as UTF-8, replacing the interpreter's error.
const char *list_item_utf8(PyObject *list, Py_ssize_t j, const char *message)
{
    const char *text = nullptr;
    if (j < PyList_GET_SIZE(list)) {
        PyObject *item = PyList_GET_ITEM(list, j);
        Py_ssize_t size = 0;
        text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text != nullptr && std::strlen(text) != (size_t)size) {
            text = nullptr;  // an embedded NUL would silently cut the name short
        }
    }
    if (text == nullptr) {
        PyErr_SetString(PyExc_ValueError, message);
    }
    return text;
}

int build_elements(PyModel *self, PyObject *dnames, PyObject *fnames)
{
    for (int32_t j = 0; j < self->count; j++) {
        const char *dname = list_item_utf8(dnames, j, "dnames must be strings");
        if (dname == nullptr) {
            return -1;
        }
        const char *fname = list_item_utf8(fnames, j, "fnames must be strings");
        if (fname == nullptr) {
            return -1;
        }
        InteractionType *type = kestor_find_interactiontype(fname);
        self->type[j] = type;
        if (type == nullptr) {
            PyErr_Format(PyExc_ValueError, "No such interaction type: '%s'", fname);
            return -1;
        }
        if (type->allocate != nullptr) {
            self->state[j] = type->allocate(self, j);
            if (self->state[j] == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        }
        if (dname[0] != '\0') {
            self->name[j] = strdup(dname);
            if (self->name[j] == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        }
    }
    return 0;
}

void find_second_operands(PyModel *self)
{
    for (int32_t i = 0; i < self->count; i++) {
        if (self->type[i]->arity <= 1) {
            continue;
        }
        self->second_operand[i] = -2;
        int32_t open = 1;
        for (int32_t j = i + 1; j < self->count; j++) {
            open = open + self->type[j]->arity - 1;
            if (open == 0) {
                self->second_operand[i] = j + 1;
                break;
            }
        }
    }
}

int select_loss(PyModel *self, const char *loss)
{
    for (const LossPair &pair : loss_pairs) {
        if (std::strcmp(loss, pair.name) == 0) {
            self->loss_fn = pair.loss;
            self->loss_derivative = pair.derivative;
            return 0;
        }
    }
    PyErr_SetString(PyExc_ValueError, "Invalid loss function speficied");
    return -1;
}

// Looks a parameter up in an element's dictionary; a strong reference, so a
// value whose conversion code mutates the dictionary stays alive.
int lookup_parameter(PyObject *params, int32_t i, const char *name, OwnedRef *value)
{
    if (i >= PyList_GET_SIZE(params)) {
        return 0;
    }
    PyObject *dict = PyList_GET_ITEM(params, i);
    if (!PyDict_Check(dict)) {
        return 0;
    }
    OwnedRef keep_dict(Py_NewRef(dict));
    OwnedRef key(PyUnicode_FromString(name));
    if (!key) {
        return -1;
    }
    PyObject *found = PyDict_GetItemWithError(keep_dict.get(), key.get());
    if (found == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    value->reset(Py_NewRef(found));
    return 1;
}

int apply_parameters(PyModel *self, PyObject *params)
{
    for (int32_t i = 0; i < self->count; i++) {
        InteractionType *type = self->type[i];
        if (type->attributes == nullptr || type->setattr == nullptr) {
            continue;
        }
        for (const char *const *attr = type->attributes; *attr != nullptr; attr++) {
            OwnedRef value;
            int found = lookup_parameter(params, i, *attr, &value);
            if (found < 0) {
                return -1;  // a key comparison raised
            }
            if (found == 0) {
                continue;
            }
            if (type->setattr(self, i, *attr, value.get()) != 0) {
                PyErr_Format(PyExc_RuntimeError, "Internal error setting attribute for %s", type->name);
                return -1;
            }
        }
    }
    return 0;
}

int construct(PyModel *self, PyObject *dnames, PyObject *fnames, PyObject *params, const char *loss)
{
    Py_ssize_t count = PyList_GET_SIZE(dnames);
    if (count > MAX_ELEMENTS) {
        PyErr_Format(PyExc_ValueError, "Model has %zd elements, more than the maximum of %d", count,
                     MAX_ELEMENTS);
        return -1;
    }
    self->count = (int32_t)count;
    if (PyList_GET_SIZE(fnames) != count) {
        PyErr_SetString(PyExc_ValueError, "dnames and fnames have different lengths");
        return -1;
    }
    if (PyList_GET_SIZE(params) != count) {
        PyErr_SetString(PyExc_ValueError, "dnames and params have different lengths");
        return -1;
    }
    if (build_elements(self, dnames, fnames) < 0) {
        return -1;
    }
    find_second_operands(self);
    if (select_loss(self, loss) < 0) {
        return -1;
    }
    return apply_parameters(self, params);
}

int PyModel_init(PyObject *obj, PyObject *args, PyObject *kwds)
{
    PyModel *self = (PyModel *)obj;
    if (refuse_if_busy(self)) {
        return -1;
    }
    static const char *kwlist[] = {"dnames", "fnames", "params", "sample_count", "loss", nullptr};
    PyObject *dnames, *fnames, *params;
    const char *loss;
    static_assert(sizeof(int) == sizeof(int32_t), "sample_count is parsed as a C int");
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!O!O!is", (char **)kwlist, &PyList_Type, &dnames, &PyList_Type,
                                     &fnames, &PyList_Type, &params, (int *)&self->sample_count, &loss)) {
        return -1;
    }

    // Releasing earlier elements and setting parameters can run Python code
    // (finalisers, __float__): keep the argument lists alive and the model
    // closed to other calls meanwhile.
    OwnedRef keep_d(Py_NewRef(dnames)), keep_f(Py_NewRef(fnames)), keep_p(Py_NewRef(params));
    int rc;
    {
        BusyScope busy(self);
        // A second initialisation yields exactly a freshly built model.
        release_elements(self);
        rc = construct(self, dnames, fnames, params, loss);
    }
    if (rc < 0) {
        // Leave an empty model rather than one with unset element slots.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        release_elements(self);
        PyErr_Restore(type, value, tb);
        return -1;
    }
    return 0;
}

void PyModel_dealloc(PyObject *obj)
{
    release_elements((PyModel *)obj);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject *PyModel_str(PyObject *obj)
{
    char buffer[40];
    snprintf(buffer, sizeof buffer, "_kestor.Model (%i elementstate)", ((PyModel *)obj)->count);
    return PyUnicode_FromString(buffer);
}

// ---------------------------------------------------------------------------
// Parameter and activation access.

PyObject *element_parameters(PyModel *self, int32_t i)
{
    OwnedRef dict(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    InteractionType *type = self->type[i];
    if (type->attributes == nullptr || type->getattr == nullptr) {
        return dict.release();
    }
    for (const char *const *attr = type->attributes; *attr != nullptr; attr++) {
        OwnedRef value(type->getattr(self, i, *attr));
        if (!value) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_RuntimeError, "Interaction %s has no attribute '%s'", type->name, *attr);
            }
            return nullptr;
        }
        if (PyDict_SetItemString(dict.get(), *attr, value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject *parameter_list(PyModel *self)
{
    OwnedRef list(PyList_New(self->count));
    if (!list) {
        return nullptr;
    }
    for (int32_t i = 0; i < self->count; i++) {
        PyObject *dict = element_parameters(self, i);
        if (dict == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, dict);
    }
    return list.release();
}

PyObject *PyModel_get_params(PyObject *obj, void * /*closure*/)
{
    PyModel *self = (PyModel *)obj;
    if (refuse_if_busy(self)) {
        return nullptr;
    }
    return parameter_list(self);
}

PyObject *PyModel_method_activation(PyObject *obj, PyObject *arg)
{
    PyModel *self = (PyModel *)obj;
    long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (refuse_if_busy(self)) {
        return nullptr;
    }
    if (index < 0 || index >= self->count) {
        PyErr_Format(PyExc_IndexError, "activation index %ld out of range for a model of %d elements", index,
                     self->count);
        return nullptr;
    }
    npy_intp length = self->batch_length;
    PyObject *view = PyArray_New(&PyArray_Type, 1, &length, NPY_DOUBLE, nullptr, &self->activation[index], 0,
                                 NPY_ARRAY_CARRAY, nullptr);
    if (view == nullptr) {
        return nullptr;
    }
    // The view looks into the model's own storage: it keeps the model alive.
    if (PyArray_SetBaseObject((PyArrayObject *)view, Py_NewRef(obj)) < 0) {
        Py_DECREF(view);
        return nullptr;
    }
    return view;
}

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
int check_covers_samples(PyObject *array, const char *what, npy_intp n)
{
    npy_intp len = PyArray_DIMS((PyArrayObject *)array)[0];
    if (len < n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd values but X has %zd samples", what, (Py_ssize_t)len,
                     (Py_ssize_t)n);
        return -1;
    }
    return 0;
}

int check_expected(PyObject *yarray, npy_intp n)
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

int check_weights(PyObject *weights, npy_intp n)
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
int check_weight_values(PyObject *weights)
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

// ---------------------------------------------------------------------------
// Prediction: the root's value for every sample, changing nothing.

struct PredictPlan {
    const PredictOps *ops[MAX_ELEMENTS] = {};
    // For an interaction without prediction operations: its own forward,
    // run on the scratch record below.
    kestor_step_fn forward[MAX_ELEMENTS] = {};
    PredictColumn columns[MAX_ELEMENTS] = {};

    ~PredictPlan()
    {
        for (PredictColumn &c : columns) {
            Py_XDECREF(c.owned);
        }
    }
};

bool is_output_register(const InteractionType *type)
{
    return type->set_expectedarray != nullptr || type->create_outputarray != nullptr ||
           type->get_outputarray != nullptr;
}

int plan_prediction(PyModel *self, PyObject *xarray, PredictPlan *plan, npy_intp *n)
{
    for (int32_t i = 0; i < self->count; i++) {
        const InteractionType *type = self->type[i];
        plan->ops[i] = find_predict(type);
        if (plan->ops[i] == nullptr && type->arity > 0 && !is_output_register(type)) {
            plan->forward[i] = type->forward;  // check_trainable made sure it exists
            continue;
        }
        if (plan->ops[i] == nullptr || (type->arity == 0 && plan->ops[i]->bind == nullptr)) {
            PyErr_Format(PyExc_RuntimeError, "Interaction %s does not support prediction", type->name);
            return -1;
        }
    }
    for (int32_t i = 0; i < self->count; i++) {
        if (self->type[i]->arity != 0) {
            continue;
        }
        PyArrayObject *array = input_column(self, xarray, i);
        if (array == nullptr) {
            return -1;
        }
        OwnedRef keep(Py_NewRef((PyObject *)array));
        if (check_length(n, PyArray_DIMS(array)[0]) < 0 ||
            plan->ops[i]->bind(self, i, (PyObject *)array, &plan->columns[i]) != 0) {
            return -1;
        }
    }
    return 0;
}

// The value of every element for sample k, into scratch->activation
// (operands before the elements that read them); a status as forward's.
// `scratch` is a copy of the model record: its activation array holds the
// values of the sample, so that an element's own forward can compute them
// without touching the model.
int32_t sample_values(PyModel *scratch, const PredictPlan &plan, npy_intp k)
{
    double *values = scratch->activation;
    for (int32_t i = scratch->count - 1; i >= 0; i--) {
        int32_t status = plan.forward[i] != nullptr ? plan.forward[i](scratch, i, 1)
                                                    : plan.ops[i]->value(scratch, i, k, &plan.columns[i], values);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

int32_t predict_samples(PyModel *scratch, const PredictPlan &plan, npy_intp n, double *out)
{
    for (npy_intp k = 0; k < n; k++) {
        int32_t status = sample_values(scratch, plan, k);
        if (status != 0) {
            return status;
        }
        out[k] = scratch->activation[0];
    }
    return 0;
}

// Checks shared by the calls that evaluate the model on data (`method`
// names the call in the message): 0, or -1 with the error set.
int check_evaluation(PyModel *self, PyObject *xarray, const char *method)
{
    if (!PyDict_Check(xarray)) {
        PyErr_Format(PyExc_ValueError, "First argument of %s must be a dictionary of numpy arrays", method);
        return -1;
    }
    return check_trainable(self);
}

// A new float64 array of `shape`, filled by fill(scratch, out) without the
// interpreter lock, on a copy of the model record (see sample_values); the
// error its status names when fill fails.  predict and _jacobian differ only
// in how they fill it.
template <typename Fill>
PyObject *filled_array(PyModel *self, int ndim, npy_intp *shape, Fill fill)
{
    OwnedRef result(PyArray_SimpleNew(ndim, shape, NPY_DOUBLE));
    if (!result) {
        return nullptr;
    }
    double *out = (double *)PyArray_DATA((PyArrayObject *)result.get());
    PyModel scratch = *self;
    scratch.batch_length = 1;
    int32_t status;
    Py_BEGIN_ALLOW_THREADS
    status = fill(&scratch, out);
    Py_END_ALLOW_THREADS
    if (status != 0) {
        return raise_status(status);
    }
    return result.release();
}

PyObject *predict(PyModel *self, PyObject *xarray)
{
    if (check_evaluation(self, xarray, "predict") < 0) {
        return nullptr;
    }
    PredictPlan plan;
    npy_intp n = -1;
    if (plan_prediction(self, xarray, &plan, &n) < 0) {
        return nullptr;
    }
    return filled_array(self, 1, &n, [&](PyModel *scratch, double *out) {
        return predict_samples(scratch, plan, n, out);
    });
}

PyObject *PyModel_method_predict(PyObject *obj, PyObject *args, PyObject *kwds)
{
    PyModel *self = (PyModel *)obj;
    static const char *kwlist[] = {"xarray", nullptr};
    PyObject *xarray;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O", (char **)kwlist, &xarray)) {
        return nullptr;
    }
    if (refuse_if_busy(self)) {
        return nullptr;
    }
    OwnedRef keep_x(Py_NewRef(xarray));
    BusyScope busy(self);
    return predict(self, xarray);
}

// ---------------------------------------------------------------------------
// The Jacobian the fitting of a program works with: for every sample, the
// derivatives of the root's link (its value before a final function) with
// respect to the weights and biases asked for, by one pass down the tree
// for the values and one back up for d link / d element.

// Where each element's d link / d w and d link / d bias go in a row of the
// Jacobian (-1: not asked for).
struct JacobianColumns {
    Py_ssize_t w[MAX_ELEMENTS];
    Py_ssize_t bias[MAX_ELEMENTS];
    Py_ssize_t count;
};

bool lists_attribute(const InteractionType *type, const char *name)
{
    for (const char *const *a = type->attributes; a != nullptr && *a != nullptr; a++) {
        if (std::strcmp(*a, name) == 0) {
            return true;
        }
    }
    return false;
}

// Reads `slots`, a sequence of (element index, "w" or "bias") pairs; -1
// with TypeError or ValueError naming what is wrong.
int jacobian_columns(PyModel *self, PyObject *slots, JacobianColumns *out)
{
    OwnedRef list(PySequence_Fast(slots, "slots must be a sequence of (element index, parameter name) pairs"));
    if (!list) {
        return -1;
    }
    for (int32_t i = 0; i < MAX_ELEMENTS; i++) {
        out->w[i] = out->bias[i] = -1;
    }
    out->count = PySequence_Fast_GET_SIZE(list.get());
    for (Py_ssize_t column = 0; column < out->count; column++) {
        PyObject *slot = PySequence_Fast_GET_ITEM(list.get(), column);
        long index;
        const char *name;
        if (!PyTuple_Check(slot) || !PyArg_ParseTuple(slot, "ls", &index, &name)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "slot %zd must be an (element index, parameter name) pair", column);
            return -1;
        }
        if (index < 0 || index >= self->count) {
            PyErr_Format(PyExc_ValueError, "slot %zd: element index %ld is out of range", column, index);
            return -1;
        }
        bool weight = std::strcmp(name, "w") == 0;
        if ((!weight && std::strcmp(name, "bias") != 0) || !lists_attribute(self->type[index], name)) {
            PyErr_Format(PyExc_ValueError, "slot %zd: element %ld (%s) has no weight or bias %s", column, index,
                         self->type[index]->name, name);
            return -1;
        }
        Py_ssize_t *where = weight ? &out->w[index] : &out->bias[index];
        if (*where >= 0) {
            PyErr_Format(PyExc_ValueError, "slot %zd: %s of element %ld is listed twice", column, name, index);
            return -1;
        }
        *where = column;
    }
    return 0;
}

// True when every element has prediction operations that also derive.
bool derives_every_element(const PyModel *self)
{
    for (int32_t i = 0; i < self->count; i++) {
        const PredictOps *ops = find_predict(self->type[i]);
        if (ops == nullptr || ops->derive == nullptr) {
            return false;
        }
    }
    return true;
}

// `scratch` is a copy of the model record, as for sample_values.
int32_t jacobian_rows(PyModel *scratch, const PredictPlan &plan, npy_intp n, const JacobianColumns &columns,
                      double *out)
{
    const PyModel *self = scratch;
    const double *values = scratch->activation;
    double adjoint[MAX_ELEMENTS];
    for (npy_intp k = 0; k < n; k++) {
        int32_t status = sample_values(scratch, plan, k);
        if (status != 0) {
            return status;
        }
        double *row = out + k * columns.count;
        adjoint[0] = 1.0;
        for (int32_t i = 0; i < self->count; i++) {  // every parent before its operands
            Derivatives d = {};
            status = plan.ops[i]->derive(self, i, k, &plan.columns[i], values, &d);
            if (status != 0) {
                return status;
            }
            if (columns.w[i] >= 0) {
                row[columns.w[i]] = adjoint[i] * d.w;
            }
            if (columns.bias[i] >= 0) {
                row[columns.bias[i]] = adjoint[i] * d.bias;
            }
            if (self->type[i]->arity >= 1) {
                adjoint[i + 1] = adjoint[i] * d.operand[0];
            }
            if (self->type[i]->arity == 2) {
                adjoint[self->second_operand[i]] = adjoint[i] * d.operand[1];
            }
        }
    }
    return 0;
}

PyObject *jacobian(PyModel *self, PyObject *xarray, PyObject *slots)
{
    if (check_evaluation(self, xarray, "_jacobian") < 0) {
        return nullptr;
    }
    JacobianColumns columns;
    if (jacobian_columns(self, slots, &columns) < 0) {
        return nullptr;
    }
    if (!derives_every_element(self)) {
        Py_RETURN_NONE;
    }
    PredictPlan plan;
    npy_intp n = -1;
    if (plan_prediction(self, xarray, &plan, &n) < 0) {
        return nullptr;
    }
    npy_intp shape[2] = {n, columns.count};
    return filled_array(self, 2, shape, [&](PyModel *scratch, double *out) {
        return jacobian_rows(scratch, plan, n, columns, out);
    });
}

PyObject *PyModel_method_jacobian(PyObject *obj, PyObject *args)
{
    PyModel *self = (PyModel *)obj;
    PyObject *xarray, *slots;
    if (!PyArg_ParseTuple(args, "OO", &xarray, &slots)) {
        return nullptr;
    }
    if (refuse_if_busy(self)) {
        return nullptr;
    }
    OwnedRef keep_x(Py_NewRef(xarray)), keep_slots(Py_NewRef(slots));
    BusyScope busy(self);
    return jacobian(self, xarray, slots);
}

// ---------------------------------------------------------------------------
// Type object.

PyMethodDef PyModel_methods[] = {
    {"_fit", (PyCFunction)(void (*)(void))PyModel_method_fit, METH_VARARGS | METH_KEYWORDS,
     "fit or train the model with a single sample"},
    {"activation", PyModel_method_activation, METH_O, "Get the activation of an element"},
    {"predict", (PyCFunction)(void (*)(void))PyModel_method_predict, METH_VARARGS | METH_KEYWORDS,
     "predict(xarray) -> float64 array: the model's output for every sample, without training"},
    {"_jacobian", PyModel_method_jacobian, METH_VARARGS,
     "_jacobian(xarray, slots) -> float64 array (samples, len(slots)), or None: d link / d parameter for every "
     "sample, for slots of (element index, \"w\" or \"bias\"); the link is the root's value before its final "
     "function.  None when an element's type cannot derive its value.  Changes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PyModel_getsetters[] = {
    {"params", PyModel_get_params, nullptr, "Get the learned parameters of the entire model", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_model_type()
{
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "_kestor.Model";
    type.tp_basicsize = sizeof(PyModel);
    type.tp_itemsize = 0;
    type.tp_dealloc = PyModel_dealloc;
    type.tp_repr = PyModel_str;
    type.tp_str = PyModel_str;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "Kestor Model";
    type.tp_methods = PyModel_methods;
    type.tp_getset = PyModel_getsetters;
    type.tp_init = PyModel_init;
    return type;
}

}  // namespace

extern "C" {
KESTOR_VISIBLE PyTypeObject PyModel_Type = make_model_type();
}

KESTOR_EXPORT Py_ssize_t PyModel_Len(PyObject *self) { return (Py_ssize_t)((PyModel *)self)->count; }

KESTOR_EXPORT PyObject *model_addtomodule(PyObject *module)
{
    PyModel_Type.tp_new = PyType_GenericNew;
    if (PyType_Ready(&PyModel_Type) < 0) {
        return nullptr;
    }
    Py_INCREF(&PyModel_Type);
    if (PyModule_AddObject(module, "Model", (PyObject *)&PyModel_Type) < 0) {
        Py_DECREF(&PyModel_Type);
        PyErr_Clear();
    }
    return module;
}
