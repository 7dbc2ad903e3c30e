// Model.predict and Model._jacobian: the model evaluated on data without
// training, through the prediction operations beside the registry.
#include "model_parts.h"
#include "owned_ref.h"
#include "predict.h"

#include <algorithm>
#include <cstring>

namespace {

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

}  // namespace

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

namespace {

// ---------------------------------------------------------------------------
// The Jacobian the fitting of a program works with: for every sample, the
// derivatives of the root's link (its value before a final function) with
// respect to the weights and biases asked for, by one pass down the tree
// for the values and one back up for d link / d element.

// Where d link / d each parameter an element's type derives by goes in a
// row of the Jacobian (-1: not asked for), in the order of the type's
// PredictOps::parameters.
struct JacobianColumns {
    Py_ssize_t column[MAX_ELEMENTS][MAX_DERIVED_PARAMETERS];
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

// Where a parameter of an element's type goes in Derivatives::parameter, or
// -1 when the type does not derive by it.  A weight or bias of a type that
// cannot derive at all is accepted where it would be (the call then returns
// None).
int derived_position(const InteractionType *type, const char *name)
{
    const PredictOps *ops = find_predict(type);
    if (ops != nullptr && ops->parameters != nullptr) {
        for (int k = 0; ops->parameters[k] != nullptr; k++) {
            if (std::strcmp(ops->parameters[k], name) == 0) {
                return k;
            }
        }
        return -1;
    }
    bool weight = std::strcmp(name, "w") == 0;
    if ((weight || std::strcmp(name, "bias") == 0) && lists_attribute(type, name)) {
        return weight ? WEIGHT : BIAS;
    }
    return -1;
}

// Reads `slots`, a sequence of (element index, parameter name) pairs; -1
// with TypeError or ValueError naming what is wrong.
int jacobian_columns(PyModel *self, PyObject *slots, JacobianColumns *out)
{
    OwnedRef list(PySequence_Fast(slots, "slots must be a sequence of (element index, parameter name) pairs"));
    if (!list) {
        return -1;
    }
    for (auto &element : out->column) {
        std::fill(element, element + MAX_DERIVED_PARAMETERS, -1);
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
        int position = derived_position(self->type[index], name);
        if (position < 0) {
            PyErr_Format(PyExc_ValueError, "slot %zd: element %ld (%s) has no weight or bias %s", column, index,
                         self->type[index]->name, name);
            return -1;
        }
        Py_ssize_t *where = &out->column[index][position];
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
            for (int position = 0; position < MAX_DERIVED_PARAMETERS; position++) {
                if (columns.column[i][position] >= 0) {
                    row[columns.column[i][position]] = adjoint[i] * d.parameter[position];
                }
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

}  // namespace

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
