// The module's static type objects (Model, KCell): made and added to the
// module the same way.
#ifndef KESTOR_TYPE_OBJECT_H
#define KESTOR_TYPE_OBJECT_H

#include "kestor.h"

// What differs between the types; str serves as the repr too.
struct TypeSlots {
    const char *name;
    Py_ssize_t basicsize;
    destructor dealloc;
    reprfunc str;
    const char *doc;
    PyMethodDef *methods;
    PyGetSetDef *getset;
    initproc init;
};

inline PyTypeObject make_type_object(const TypeSlots &slots)
{
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = slots.name;
    type.tp_basicsize = slots.basicsize;
    type.tp_itemsize = 0;
    type.tp_dealloc = slots.dealloc;
    type.tp_repr = slots.str;
    type.tp_str = slots.str;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = slots.doc;
    type.tp_methods = slots.methods;
    type.tp_getset = slots.getset;
    type.tp_init = slots.init;
    return type;
}

// Readies the type and adds it to the module as `name`; the module, or null
// when the type cannot be readied (a failure to add is not reported).
inline PyObject *add_type_object(PyObject *module, PyTypeObject *type, const char *name)
{
    type->tp_new = PyType_GenericNew;
    if (PyType_Ready(type) < 0) {
        return nullptr;
    }
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, (PyObject *)type) < 0) {
        Py_DECREF(type);
        PyErr_Clear();
    }
    return module;
}

#endif  // KESTOR_TYPE_OBJECT_H
