// The per-sample training loop of Model._fit.
//
// Once per call the loop plans the model: every element of a built-in type
// becomes a step whose operation is inlined into the loop (chosen by a switch
// on its kind, with its state, second operand and learning rate resolved),
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

#include "kestor.h"

enum StepKind : int32_t {
    STEP_SLOT = 0,  // through the type's forward and reverse slots
    STEP_IN_LINEAR,
    STEP_OUT_LINEAR,
    STEP_OUT_LR,
    STEP_LINEAR,
    STEP_ADD,
    STEP_MULTIPLY,
    STEP_EXP,
    STEP_GAUSSIAN1,
    STEP_GAUSSIAN2,
    STEP_TANH,
    STEP_LOG,
    STEP_SQRT,
    STEP_SQUARED,
    STEP_INVERSE,
};

// The inlined step of a built-in type, or STEP_SLOT (kestor.cpp).  Only a
// type whose forward and reverse slots are still the ones it was registered
// with has an inlined step.
StepKind step_kind_of(const InteractionType *type);

// Trains on n samples with the counters of the call set (rate_factor,
// schedule); runs without the interpreter lock.  Returns 0 or the status of
// the first element that failed.
int32_t train_samples(PyModel *model, npy_intp n);

#endif  // KESTOR_TRAINING_PLAN_H
