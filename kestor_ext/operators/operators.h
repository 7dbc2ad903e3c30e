// Shared by the element types of vant._operators: the records and slot
// types of _kestor, and the registry function each type file registers with.
#ifndef OPERATORS_H
#define OPERATORS_H

#include "kestor.h"

#include <cfloat>
#include <cmath>

// _kestor's kestor_add_interactiontype, found at import in the loaded
// _kestor library (the module never links its own copy of the registry).
typedef int (*kestor_add_fn)(InteractionType *type);

// "pow:1" holds its operand at POW_BASE_MIN and above and its output at
// POW_VALUE_MAX and below; the module publishes both for the host package.
constexpr double POW_BASE_MIN = 0.01;
constexpr double POW_VALUE_MAX = 1e6;

// One per type file, called once per process by the module's import.
void init_sin(kestor_add_fn add);
void init_cos(kestor_add_fn add);
void init_divide(kestor_add_fn add);
void init_pow(kestor_add_fn add);
void init_abs(kestor_add_fn add);

#endif  // OPERATORS_H
