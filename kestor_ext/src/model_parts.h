// What the source files of the Model type share: the guard every call
// takes, the checks that training and prediction both make, and the methods
// the type object (model.cpp) lists.  The type is split by concern:
//   model_construct.cpp  construction, destruction and the losses by name
//   model_fit.cpp        the checks of data and the training driver (_fit)
//   model_predict.cpp    prediction and the Jacobian of the fitting
//   model.cpp            parameter and activation access, the type object
#ifndef KESTOR_MODEL_PARTS_H
#define KESTOR_MODEL_PARTS_H

#include "kestor.h"

// Training and prediction release the interpreter lock, and binding data can
// run arbitrary Python code (hashing, comparisons); while that happens the
// model must not be rebuilt, trained or read by anyone else.
inline bool refuse_if_busy(PyModel *self)
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

// Checks shared by training and prediction (model_fit.cpp).
int check_trainable(PyModel *self);
PyArrayObject *input_column(PyModel *self, PyObject *xarray, int32_t i);
int check_length(npy_intp *n, npy_intp len);
PyObject *raise_status(int32_t status);

// Every element's parameters as a list of dictionaries (model.cpp).
PyObject *parameter_list(PyModel *self);

// The type's slots and methods.
int PyModel_init(PyObject *obj, PyObject *args, PyObject *kwds);
void PyModel_dealloc(PyObject *obj);
PyObject *PyModel_str(PyObject *obj);
PyObject *PyModel_method_fit(PyObject *obj, PyObject *args, PyObject *kwds);
PyObject *PyModel_method_predict(PyObject *obj, PyObject *args, PyObject *kwds);
PyObject *PyModel_method_jacobian(PyObject *obj, PyObject *args);

#endif  // KESTOR_MODEL_PARTS_H
