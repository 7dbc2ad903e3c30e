// An element's data name, for messages.
#ifndef KESTOR_ELEMENT_NAME_H
#define KESTOR_ELEMENT_NAME_H

#include "kestor.h"

// "" for an element without a data name.
inline const char *element_name(const PyModel *model, int32_t index)
{
    return model->name[index] != nullptr ? model->name[index] : "";
}

#endif  // KESTOR_ELEMENT_NAME_H
