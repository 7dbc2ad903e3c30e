// The Model type: parameter and activation access, and the type object that
// lists the methods of the other model source files (model_parts.h).
#include "model_parts.h"
#include "owned_ref.h"
#include "type_object.h"

namespace {

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

}  // namespace

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

namespace {

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
// Type object.

PyMethodDef PyModel_methods[] = {
    {"_fit", (PyCFunction)(void (*)(void))PyModel_method_fit, METH_VARARGS | METH_KEYWORDS,
     "fit or train the model with a single sample"},
    {"activation", PyModel_method_activation, METH_O, "Get the activation of an element"},
    {"predict", (PyCFunction)(void (*)(void))PyModel_method_predict, METH_VARARGS | METH_KEYWORDS,
     "predict(xarray) -> float64 array: the model's output for every sample, without training"},
    {"_jacobian", PyModel_method_jacobian, METH_VARARGS,
     "_jacobian(xarray, slots) -> float64 array (samples, len(slots)), or None: d link / d parameter for every "
     "sample, for slots of (element index, \"w\", \"bias\" or pow's \"exponent\"); the link is the root's "
     "value before its final function.  None when an element's type cannot derive its value.  Changes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PyModel_getsetters[] = {
    {"params", PyModel_get_params, nullptr, "Get the learned parameters of the entire model", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" {
KESTOR_VISIBLE PyTypeObject PyModel_Type = make_type_object(
    {"_kestor.Model", sizeof(PyModel), PyModel_dealloc, PyModel_str, "Kestor Model",
     PyModel_methods, PyModel_getsetters, PyModel_init});
}

KESTOR_EXPORT Py_ssize_t PyModel_Len(PyObject *self) { return (Py_ssize_t)((PyModel *)self)->count; }

KESTOR_EXPORT PyObject *model_addtomodule(PyObject *module) { return add_type_object(module, &PyModel_Type, "Model"); }
