// Prediction without training (Model.predict), and the registration of a
// built-in type together with its prediction operations.
//
// The operations live in a private table beside the registry (kestor.cpp),
// so the published InteractionType layout stays as it is.  kestor.h says
// how Model.predict treats a type registered without them.
#ifndef KESTOR_PREDICT_H
#define KESTOR_PREDICT_H

#include "column.h"
#include "kestor.h"

struct PredictColumn {
    Column column;    // what the element reads per sample
    PyObject *owned;  // reference kept alive for the call (released with the lock held)
};

// With the lock held, for arity-0 elements: capture the column for the call.
// Returns 0, or -1 with a Python exception set.  Changes nothing in the model.
typedef int32_t (*kestor_predict_bind_fn)(PyModel *model, int32_t index, PyObject *array, PredictColumn *out);
// Without the lock: writes values[index] for sample p from the operand values
// (values[index + 1], values[second_operand[index]]) or the bound column.
// Returns a status as forward does.  Changes nothing in the model.
typedef int32_t (*kestor_predict_fn)(const PyModel *model, int32_t index, npy_intp p, const PredictColumn *column,
                                     double *values);

// The most parameters a type derives its value by.
constexpr int MAX_DERIVED_PARAMETERS = 2;

// What an element's value at one sample changes with, for the Jacobian
// the fitting of a program works with: d value / d operand for each operand
// (0 where a clamp holds the value constant), and d value / d each parameter
// its type derives by (PredictOps::parameters), in their order: a weight and
// bias as WEIGHT and BIAS, pow's exponent first.  For an output register
// these are of its link: its value before a final function (the logistic).
struct Derivatives {
    double operand[2];
    double parameter[MAX_DERIVED_PARAMETERS];
};

// Where types with a weight and a bias (weight_bias_attributes) derive by
// them.
constexpr int WEIGHT = 0;
constexpr int BIAS = 1;

// Without the lock, after value has run for sample p: the element's
// derivatives at that sample from the values of every element of the
// sample.  Returns a status as forward does.  Changes nothing in the model.
typedef int32_t (*kestor_derive_fn)(const PyModel *model, int32_t index, npy_intp p, const PredictColumn *column,
                                    const double *values, Derivatives *out);

struct PredictOps {
    kestor_predict_bind_fn bind;  // arity-0 elements only, else null
    kestor_predict_fn value;      // the element's value for one sample
    kestor_derive_fn derive;      // its derivatives at that sample (Model._jacobian), or null
    // The parameters derive gives derivatives by, null-terminated (at most
    // MAX_DERIVED_PARAMETERS), or null.
    const char *const *parameters;
};

// Registers a built-in type in the registry and its prediction operations in
// the private table, with the type's step in the training loop when the
// table of element types (element_types.h) has one under its name.  Called
// by the init_* functions at library load; when the table is full, neither
// is registered and importing the module fails with ImportError naming the
// type.
void register_interaction(InteractionType *type, const PredictOps *ops);

// The prediction operations of a type, or null.
const PredictOps *find_predict(const InteractionType *type);

// Non-null when a registration was refused: the first refused type's name.
const char *refused_registration();

#endif  // KESTOR_PREDICT_H
