// The per-sample training loop of Model._fit.
//
// Once per call the loop plans the model: every element of a type in the
// table of element types (element_types.h) becomes a step whose operation is
// inlined into the loop (generated from the type's definition, with its
// state, second operand and learning rate resolved),
// and every other element a step that calls its type's forward and reverse
// slots.  The loop is compiled once per regime of the update rule and runs
// with the regime of the call.
//
// Values flow between the steps as they flow through the tree: forward runs
// from the last element to the root, so the value an element's step leaves is
// the first operand of the next step; reverse runs from the root down, each
// element right before one of its operands, whose gradient is the next step's
// own.  Both stay in registers (a binary element's other operand waits in the
// record); the model record still receives every activation and gradient,
// which slot steps read and write.
#ifndef KESTOR_TRAINING_PLAN_H
#define KESTOR_TRAINING_PLAN_H

#include "element_types.h"

// A step of the loop: through the type's slots, or one of the table's types.
enum StepKind : int32_t {
    STEP_SLOT = 0,
#define KESTOR_STEP_KIND(home, shape, id, Def) STEP_##id,
    KESTOR_ELEMENT_TYPES(KESTOR_STEP_KIND)
#undef KESTOR_STEP_KIND
    STEP_KIND_COUNT
};

// The step of the table's type of that name, or STEP_SLOT.
StepKind step_kind_named(const char *name);

// The inlined step of a registered type, or STEP_SLOT (kestor.cpp).  Only a
// type whose forward and reverse slots are still the ones it was registered
// with has an inlined step.
StepKind step_kind_of(const InteractionType *type);

// Trains on n samples with the counters of the call set (rate_factor,
// schedule); runs without the interpreter lock.  Returns 0 or the status of
// the first element that failed.
int32_t train_samples(PyModel *model, npy_intp n);

#endif  // KESTOR_TRAINING_PLAN_H
