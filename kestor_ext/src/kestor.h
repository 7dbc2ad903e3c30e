// Published records and operation-slot signatures of the _kestor module.
//
// A model is a fixed-capacity record of element slots; every element is an
// instance of an InteractionType, a static table of operation slots in the
// style of CPython's own type slots.  Interaction source files fill one
// descriptor each and register it at library load.
//
// This header holds only what native callers share: the records, the slot
// types, the element status codes and the registry.  The helpers the element
// types are built from live in small headers named after them:
//   adam_step.h        the update rule of every learnable parameter
//   weight_bias.h      weight/bias parameter records and their slots
//   parameter.h        parameter value conversion and name comparison
//   column.h           typed sample reads of bound numpy columns
//   loss.h             the loss functions and how a training call picks them
//   output_register.h  what both output registers keep of a training call
//   predict.h          prediction operations and the registration helper
//   training_plan.h    the per-sample training loop of Model._fit
//   owned_ref.h        owned-reference holder for code that holds the lock
//   element_name.h     an element's data name for messages
//   register_slots.h   the slots the numeric registers share
//   type_object.h      how the module's type objects are made and added
// Each element type is defined once, in a header named after it (exp.h,
// linear.h, ...; a register's slots in its source file as well): a struct of
// its name, constants, value, derivatives and update (definition.h), from
// which templates make its descriptor, slots and prediction operations
// (element.h, pure_interaction.h, parametrised_interaction.h) and its step
// in the training loop; element_types.h lists the types that have one.
#ifndef KESTOR_H
#define KESTOR_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// Built against numpy's version-2 ABI, running on any numpy from 1.23 on.
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kestor_ARRAY_API
#ifndef KESTOR_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#define KESTOR_VISIBLE __attribute__((visibility("default")))
#define KESTOR_EXPORT extern "C" KESTOR_VISIBLE

constexpr int MAX_ELEMENTS = 32;

struct PyModel;

// Every element operation receives the model and the element index first.
typedef int32_t (*kestor_step_fn)(PyModel *model, int32_t index, int32_t n);
typedef int32_t (*kestor_setattr_fn)(PyModel *model, int32_t index, const char *name, PyObject *value);
typedef PyObject *(*kestor_getattr_fn)(PyModel *model, int32_t index, const char *name);
typedef void *(*kestor_allocate_fn)(PyModel *model, int32_t index);
typedef void (*kestor_deallocate_fn)(PyModel *model, int32_t index, void *state);
typedef int32_t (*kestor_set_inputarray_fn)(PyModel *model, int32_t index, PyObject *array);
typedef int32_t (*kestor_set_expectedarray_fn)(PyModel *model, int32_t index, PyObject *yarray,
                                               PyObject *sample_weights);
typedef int32_t (*kestor_create_outputarray_fn)(PyModel *model, int32_t index, int64_t n_samples);
typedef PyObject *(*kestor_get_outputarray_fn)(PyModel *model, int32_t index);

// One interaction type.  Unneeded slots stay null; callers check the slots
// they need.
struct InteractionType {
    const char *name;                                 // "kind:arity", matched exactly
    int32_t arity;                                    // number of operands
    kestor_step_fn forward;                           // writes activation[index] for one sample
    kestor_step_fn reverse;                           // adds into operand gradients, updates parameters
    const char *const *attributes;                    // null-terminated parameter names, or null
    kestor_setattr_fn setattr;                        // sets one parameter: 0, or -1
    kestor_getattr_fn getattr;                        // one parameter as a new reference, or null
    kestor_allocate_fn allocate;                      // the element's zero-filled state
    kestor_deallocate_fn deallocate;                  // frees what allocate made
    kestor_set_inputarray_fn set_inputarray;          // input registers: binds a column
    kestor_set_expectedarray_fn set_expectedarray;    // output registers: binds y and weights
    kestor_create_outputarray_fn create_outputarray;  // output registers: the per-sample loss array
    kestor_get_outputarray_fn get_outputarray;        // output registers: hands the loss array over
    InteractionType *next;                            // registry link, newest first
};

// Expected value first, prediction second.
typedef double (*LossFunction)(double expected, double predicted);

// Element status returned by forward and reverse.
constexpr int32_t STATUS_OK = 0;
constexpr int32_t STATUS_NOT_FINITE = -1;
constexpr int32_t STATUS_UNSUPPORTED = -2;
constexpr int32_t STATUS_OUT_OF_RANGE = -3;  // read past a bound array: reported as an unknown error

// What the update rule (adam_step.h) needs of the step number, which is
// constant for a whole training call: the driver works it out once per call.
enum UpdateRegime : int32_t {
    CORRECT_BOTH_MOMENTS = 0,  // t < 30
    CORRECT_SECOND_MOMENT = 1,  // 30 <= t < 2000
    CORRECT_NEITHER = 2,  // t >= 2000
};

struct UpdateSchedule {
    double first_moment_divisor;  // 1.0 where the regime does not correct
    double second_moment_divisor;
    UpdateRegime regime;
};

struct PyModel {
    PyObject_HEAD
    PyThreadState *thread_state;
    int32_t sample_count;
    int32_t count;
    void *state[MAX_ELEMENTS];
    InteractionType *type[MAX_ELEMENTS];
    int32_t batch_length;
    double activation[MAX_ELEMENTS];
    double gradient[MAX_ELEMENTS];
    char *name[MAX_ELEMENTS];
    int32_t second_operand[MAX_ELEMENTS];
    LossFunction loss_fn;
    LossFunction loss_derivative;
    double rate_factor;
    // Private to the module, after the published fields.
    UpdateSchedule schedule;
    // Nonzero for the whole of a construction, _fit or predict call: those
    // can release the lock or run Python code, and no other call may use the
    // model meanwhile.
    int32_t busy;
};

// Registry (kestor.cpp).  Adding cannot fail; a later type under an
// existing name hides the earlier one.
//
// Prediction (Model.predict) uses operations kept in a private table beside
// the registry (predict.h), registered together with each built-in type.
// An interaction (arity > 0, no output slots) added here without them still
// predicts: Model.predict calls the type's own forward on a scratch copy of
// the model record whose activation array is the prediction's value buffer
// (set up with the lock held, before the per-sample loop).  Such a forward
// must read only its operands' activations and its own state, write only
// activation[index], and use no interpreter API; the model itself is left
// unchanged.  Registers always need prediction operations.
KESTOR_EXPORT int kestor_add_interactiontype(InteractionType *type);
KESTOR_EXPORT InteractionType *kestor_find_interactiontype(const char *name);

// Model (model.cpp and the model_*.cpp files it lists in model_parts.h).
KESTOR_EXPORT PyTypeObject PyModel_Type;
KESTOR_EXPORT Py_ssize_t PyModel_Len(PyObject *self);
KESTOR_EXPORT PyObject *model_addtomodule(PyObject *module);

// KCell (kcell.cpp).
KESTOR_EXPORT PyTypeObject PyKCell_Type;
KESTOR_EXPORT PyObject *kcell_addtomodule(PyObject *module);

// Load-time initialisers of the registers, whose slots live in their source
// files (the other types' initialisers are in their headers, element_types.h;
// kestor.cpp calls them all in a fixed order when the library is loaded).
void init_register_in_lin();
void init_register_out_lin();
void init_register_out_lr();

#endif  // KESTOR_H
