// The _kestor module: module definition, srand and the interaction registry.
#define KESTOR_IMPORTS_NUMPY
#include "categorical/register_cat.h"
#include "predict.h"
#include "training_plan.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// Registry: a process-wide singly linked list, newest first.

static InteractionType *interaction_types = nullptr;

static void add_to_registry(InteractionType *type)
{
    type->next = interaction_types;
    interaction_types = type;
}

static void adopt_if_listed(InteractionType *type);

KESTOR_EXPORT int kestor_add_interactiontype(InteractionType *type)
{
    add_to_registry(type);
    adopt_if_listed(type);
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
// Prediction operations and training steps, by descriptor.
//
// Entries are only added with the interpreter lock held (at library load, or
// when another library adds its types), and read by training and prediction
// without it: an entry is complete before the count that covers it is
// published.

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

constexpr int MAX_PREDICT_ENTRIES = 32;  // the built-in types need 15, vant._operators 5 more
PredictEntry predict_entries[MAX_PREDICT_ENTRIES];
std::atomic<int> predict_entry_count{0};
const char *first_refused = nullptr;

bool add_entry(const InteractionType *type, const PredictOps *ops)
{
    int count = predict_entry_count.load(std::memory_order_relaxed);
    if (count == MAX_PREDICT_ENTRIES) {
        return false;
    }
    predict_entries[count] = PredictEntry{type, ops, step_kind_named(type->name), type->forward, type->reverse};
    predict_entry_count.store(count + 1, std::memory_order_release);
    return true;
}

const PredictEntry *entry_of(const InteractionType *type)
{
    int count = predict_entry_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++) {
        if (predict_entries[i].type == type) {
            return &predict_entries[i];
        }
    }
    return nullptr;
}

// The prediction operations of the table's types that other libraries
// register (element_types.h), compiled here from the same definitions.
const PredictOps *operator_predict_ops(const char *name)
{
#define KESTOR_FROM_KESTOR(Def) nullptr
#define KESTOR_FROM_OPERATORS(Def) &predict_ops<Def>
#define KESTOR_OPERATOR_OPS(home, shape, id, Def)        \
    if (std::strcmp(name, Def::name) == 0) {             \
        return KESTOR_FROM_##home(Def);                  \
    }
    KESTOR_ELEMENT_TYPES(KESTOR_OPERATOR_OPS)
#undef KESTOR_OPERATOR_OPS
#undef KESTOR_FROM_OPERATORS
#undef KESTOR_FROM_KESTOR
    return nullptr;
}

}  // namespace

// A type that another library adds joins the training loop's steps and gets
// prediction operations when that library lists its descriptor in the
// null-terminated array `kestor_inlined_types` it exports: a listed
// descriptor follows, slot for slot, the definition of the table's type of
// its name, which this library compiles in too (vant._operators builds its
// descriptors from those very definitions).  Any other type keeps its slots.
static void adopt_if_listed(InteractionType *type)
{
    const PredictOps *ops = operator_predict_ops(type->name);
    Dl_info where;
    if (ops == nullptr || dladdr(type, &where) == 0 || where.dli_fname == nullptr) {
        return;
    }
    void *library = dlopen(where.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) {
        return;
    }
    auto *listed = (InteractionType *const *)dlsym(library, "kestor_inlined_types");
    for (; listed != nullptr && *listed != nullptr; listed++) {
        if (*listed == type) {
            add_entry(type, ops);  // a full table leaves the type on its slots
            break;
        }
    }
    dlclose(library);  // the reference dlopen took; the library stays loaded
}

void register_interaction(InteractionType *type, const PredictOps *ops)
{
    if (!add_entry(type, ops)) {
        // No Python exception can be raised while the library loads; the
        // module init reports it.  A type without its prediction would
        // otherwise fail only when someone predicts with it.
        if (first_refused == nullptr) {
            first_refused = type->name;
        }
        return;
    }
    add_to_registry(type);
}

const PredictOps *find_predict(const InteractionType *type)
{
    const PredictEntry *e = entry_of(type);
    return e != nullptr ? e->ops : nullptr;
}

StepKind step_kind_of(const InteractionType *type)
{
    const PredictEntry *e = entry_of(type);
    return e != nullptr && type->forward == e->forward && type->reverse == e->reverse ? e->step : STEP_SLOT;
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
    add_constant(module, "SQRT_MIN", Sqrt::min_input);
    add_constant(module, "DIVISOR_ABSMIN", Inverse::min_magnitude);
    add_constant(module, "LOG_MIN", Log::min_input);
    add_constant(module, "CAT_MAX", CAT_MAX);
    add_constant(module, "EXP_MAX", Exp::max_input);
    add_constant(module, "SQUARED_MAX", Squared::max_input);
    return module;
}
