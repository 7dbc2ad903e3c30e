// Shared by the element types of vant._operators: the records and slot
// types of _kestor, and the registry function each type registers with.
#ifndef OPERATORS_H
#define OPERATORS_H

#include "kestor.h"

#include <cfloat>
#include <cmath>

// _kestor's kestor_add_interactiontype, found at import in the loaded
// _kestor library (the module never links its own copy of the registry).
typedef int (*kestor_add_fn)(InteractionType *type);

#endif  // OPERATORS_H
