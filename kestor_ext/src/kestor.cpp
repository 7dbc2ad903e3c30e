// The _kestor module: module definition, srand and the interaction registry.
#define KESTOR_IMPORTS_NUMPY
#include "predict.h"

#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// Registry: a process-wide singly linked list, newest first.

static InteractionType *interaction_types = nullptr;

KESTOR_EXPORT int kestor_add_interactiontype(InteractionType *type)
{
    type->next = interaction_types;
    interaction_types = type;
    return 0;
}

KESTOR_EXPORT InteractionType *kestor_find_interactiontype(const char *name)
{
    for (InteractionType *t = interaction_types; t != nullptr; t = t->next) {
        if (std::strcmp(t->name, name) == 0) {
            return t;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Prediction operations of the built-in types, by descriptor.

namespace {

struct PredictEntry {
    const InteractionType *type;
    const PredictOps *ops;
    StepKind step;
    // The slots the step was registered for: a step stands in for them only
    // while the descriptor still holds them.
    kestor_step_fn forward;
    kestor_step_fn reverse;
};

constexpr int MAX_PREDICT_ENTRIES = 32;  // the built-in types need 15
PredictEntry predict_entries[MAX_PREDICT_ENTRIES];
int predict_entry_count = 0;
const char *first_refused = nullptr;

}  // namespace

void register_interaction(InteractionType *type, const PredictOps *ops, StepKind step)
{
    if (predict_entry_count == MAX_PREDICT_ENTRIES) {
        // No Python exception can be raised while the library loads; the
        // module init reports it.  A type without its prediction would
        // otherwise fail only when someone predicts with it.
        if (first_refused == nullptr) {
            first_refused = type->name;
        }
        return;
    }
    kestor_add_interactiontype(type);
    predict_entries[predict_entry_count++] = PredictEntry{type, ops, step, type->forward, type->reverse};
}

const PredictOps *find_predict(const InteractionType *type)
{
    for (int i = 0; i < predict_entry_count; i++) {
        if (predict_entries[i].type == type) {
            return predict_entries[i].ops;
        }
    }
    return nullptr;
}

StepKind step_kind_of(const InteractionType *type)
{
    for (int i = 0; i < predict_entry_count; i++) {
        const PredictEntry &e = predict_entries[i];
        if (e.type == type) {
            return type->forward == e.forward && type->reverse == e.reverse ? e.step : STEP_SLOT;
        }
    }
    return STEP_SLOT;
}

const char *refused_registration() { return first_refused; }

// C++ gives no order to static initialisers of different files, so one
// initialiser registers every built-in type, in this fixed order, when the
// library is loaded (before the interpreter calls PyInit__kestor).
__attribute__((constructor)) static void register_builtin_interactions()
{
    init_add();
    init_register_cat();
    init_exp();
    init_gaussian();
    init_inverse();
    init_linear();
    init_log();
    init_multiply();
    init_register_in_lin();
    init_register_out_lin();
    init_register_out_lr();
    init_sqrt();
    init_squared();
    init_tanh();
}

// ---------------------------------------------------------------------------
// Module.

static PyObject *py_srand(PyObject * /*module*/, PyObject *seed)
{
    long value = PyLong_AsLong(seed);
    if (PyErr_Occurred()) {
        return nullptr;  // -1 is an ordinary seed; only a pending error fails
    }
    std::srand((unsigned int)(uint32_t)(unsigned long)value);
    Py_RETURN_NONE;
}

static PyMethodDef PyKestor_methods[] = {
    {"srand", py_srand, METH_O, "Seed the randum number generator"},
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef kestormodule = {
    PyModuleDef_HEAD_INIT,
    "_kestor",
    "Kestor C Extension",
    -1,
    PyKestor_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

static void add_constant(PyObject *module, const char *name, double value)
{
    PyObject *number = PyFloat_FromDouble(value);
    if (number == nullptr) {
        PyErr_Clear();
        return;
    }
    if (PyModule_AddObject(module, name, number) < 0) {
        Py_DECREF(number);
        PyErr_Clear();
    }
}

PyMODINIT_FUNC PyInit__kestor(void)
{
    PyObject *module = PyModule_Create2(&kestormodule, 1013);
    if (module == nullptr) {
        return nullptr;
    }
    if (refused_registration() != nullptr) {
        PyErr_Format(PyExc_ImportError, "_kestor: the prediction table is full; interaction type '%s' was not registered",
                     refused_registration());
        Py_DECREF(module);
        return nullptr;
    }
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        Py_DECREF(module);
        return nullptr;
    }
    if (kcell_addtomodule(module) == nullptr || model_addtomodule(module) == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    add_constant(module, "SQRT_MIN", 0.01);
    add_constant(module, "DIVISOR_ABSMIN", 0.05);
    add_constant(module, "LOG_MIN", 0.0001);
    add_constant(module, "CAT_MAX", 400.0);
    add_constant(module, "EXP_MAX", 6.0);
    add_constant(module, "SQUARED_MAX", 20.0);
    return module;
}
