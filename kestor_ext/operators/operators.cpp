// vant._operators: more element types for _kestor models.
//
// Importing the module adds "sin:1", "cos:1", "divide:2", "pow:1" and
// "abs:1" to _kestor's interaction registry; models built afterwards can use
// them.  The registry is a list inside the _kestor library, which the
// interpreter loaded with local symbol binding, so the module looks the
// registry function up in that very library (by path, without loading it a
// second time) instead of linking it: a linked copy would be a second list
// that no model reads.
#include "element_types.h"
#include "operators.h"
#include "owned_ref.h"

#include <dlfcn.h>

// The descriptors of this module, which follow the definitions of
// element_types.h: _kestor looks this list up when they are added, and
// trains and predicts with them as it does with its own types.
#define OPERATORS_LISTED_KESTOR(id, Def)
#define OPERATORS_LISTED_OPERATORS(id, Def) &interaction<Def>,
#define OPERATORS_LISTED(home, shape, id, Def) OPERATORS_LISTED_##home(id, Def)
KESTOR_EXPORT InteractionType *const kestor_inlined_types[] = {KESTOR_ELEMENT_TYPES(OPERATORS_LISTED) nullptr};
#undef OPERATORS_LISTED
#undef OPERATORS_LISTED_OPERATORS
#undef OPERATORS_LISTED_KESTOR

namespace {

// Adding a descriptor twice would make the registry list cyclic, so the
// types are added once per process, whatever the number of imports or
// interpreters.  Every import runs with the interpreter lock held, and the
// module cannot be imported by an interpreter with a lock of its own.
bool types_registered = false;

kestor_add_fn find_registry_function()
{
    OwnedRef kestor(PyImport_ImportModule("_kestor"));
    if (!kestor) {
        return nullptr;
    }
    OwnedRef file(PyObject_GetAttrString(kestor.get(), "__file__"));
    if (!file) {
        return nullptr;
    }
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(file.get(), &encoded)) {
        return nullptr;
    }
    OwnedRef path(encoded);
    // The handle is never closed: the registry will hold descriptors of this
    // module, and this module holds the library that keeps the registry.
    void *library = dlopen(PyBytes_AS_STRING(path.get()), RTLD_NOW | RTLD_NOLOAD);
    void *symbol = library != nullptr ? dlsym(library, "kestor_add_interactiontype") : nullptr;
    if (symbol == nullptr) {
        const char *reason = dlerror();
        PyErr_Format(PyExc_ImportError, "cannot find the interaction registry in the loaded _kestor library %R: %s",
                     file.get(), reason != nullptr ? reason : "not loaded");
        return nullptr;
    }
    return reinterpret_cast<kestor_add_fn>(symbol);
}

int register_types()
{
    if (types_registered) {
        return 0;
    }
    kestor_add_fn add = find_registry_function();
    if (add == nullptr) {
        return -1;
    }
#define OPERATORS_INIT_KESTOR(id)
#define OPERATORS_INIT_OPERATORS(id) init_##id(add);
#define OPERATORS_INIT(home, shape, id, Def) OPERATORS_INIT_##home(id)
    KESTOR_ELEMENT_TYPES(OPERATORS_INIT)
#undef OPERATORS_INIT
#undef OPERATORS_INIT_OPERATORS
#undef OPERATORS_INIT_KESTOR
    types_registered = true;
    return 0;
}

int add_constant(PyObject *module, const char *name, double value)
{
    OwnedRef number(PyFloat_FromDouble(value));
    return number ? PyModule_AddObjectRef(module, name, number.get()) : -1;
}

int operators_exec(PyObject *module)
{
    if (register_types() < 0) {
        return -1;
    }
    if (add_constant(module, "POW_BASE_MIN", Pow::base_min) < 0 ||
        add_constant(module, "POW_VALUE_MAX", Pow::value_max) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot operators_slots[] = {
    {Py_mod_exec, (void *)operators_exec},
    {0, nullptr},
};

struct PyModuleDef operators_module = {
    PyModuleDef_HEAD_INIT,
    "vant._operators",
    "Element types sin:1, cos:1, divide:2, pow:1 and abs:1, added to _kestor's registry on import.",
    0,
    nullptr,
    operators_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__operators(void) { return PyModuleDef_Init(&operators_module); }
