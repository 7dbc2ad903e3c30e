// KCell: a thin native cell that owns the host package's ProgramCollection
// and forwards four methods to it.
#include "owned_ref.h"
#include "type_object.h"

namespace {

struct PyKCell {
    PyObject_HEAD
    PyObject *collection;
};

int PyKCell_init(PyObject *obj, PyObject * /*args*/, PyObject * /*kwds*/)
{
    PyKCell *self = (PyKCell *)obj;
    OwnedRef module(PyImport_ImportModule("vant._basealgo._programcollection"));
    if (!module) {
        return -1;
    }
    OwnedRef cls(PyObject_GetAttrString(module.get(), "ProgramCollection"));
    if (!cls) {
        return -1;
    }
    PyObject *collection = PyObject_CallNoArgs(cls.get());
    // Replace any collection from an earlier init only once the new one exists.
    PyObject *old = self->collection;
    self->collection = collection;
    Py_XDECREF(old);
    return collection == nullptr ? -1 : 0;
}

void PyKCell_dealloc(PyObject *obj)
{
    PyKCell *self = (PyKCell *)obj;
    Py_CLEAR(self->collection);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject *PyKCell_str(PyObject * /*obj*/) { return PyUnicode_FromString("_kestor.KCell"); }

PyObject *forward_call(PyObject *obj, const char *method, PyObject *args)
{
    PyKCell *self = (PyKCell *)obj;
    if (self->collection == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "KCell has no ProgramCollection: its initialisation did not succeed");
        return nullptr;
    }
    // Hold the collection: the called method may re-initialise this cell.
    OwnedRef collection(Py_NewRef(self->collection));
    OwnedRef bound(PyObject_GetAttrString(collection.get(), method));
    if (!bound) {
        return nullptr;
    }
    return PyObject_Call(bound.get(), args, nullptr);
}

PyObject *PyKCell_method_generate(PyObject *self, PyObject *args)
{
    return forward_call(self, "generate_programs", args);
}

PyObject *PyKCell_update(PyObject *self, PyObject *args) { return forward_call(self, "update", args); }

PyObject *PyKCell_update_priors(PyObject *self, PyObject *args) { return forward_call(self, "update_priors", args); }

PyObject *PyKCell_decay(PyObject *self, PyObject *args) { return forward_call(self, "decay", args); }

PyMethodDef PyKCell_methods[] = {
    {"generate_programs", PyKCell_method_generate, METH_VARARGS, "generate programs"},
    {"update", PyKCell_update, METH_VARARGS, "update"},
    {"update_priors", PyKCell_update_priors, METH_VARARGS, "update_priors"},
    {"decay", PyKCell_decay, METH_VARARGS, "decay"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PyKCell_getsetters[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" {
KESTOR_VISIBLE PyTypeObject PyKCell_Type = make_type_object(
    {"_kestor.KCell", sizeof(PyKCell), PyKCell_dealloc, PyKCell_str, "Kestor KCell",
     PyKCell_methods, PyKCell_getsetters, PyKCell_init});
}

KESTOR_EXPORT PyObject *kcell_addtomodule(PyObject *module) { return add_type_object(module, &PyKCell_Type, "KCell"); }
