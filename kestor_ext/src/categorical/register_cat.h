// "in-cat:0": categorical input register (register_cat.cpp).
#ifndef KESTOR_REGISTER_CAT_H
#define KESTOR_REGISTER_CAT_H

// The cap of a category's weight (the bias is not added above it).
constexpr double CAT_MAX = 400.0;

void init_register_cat();

#endif  // KESTOR_REGISTER_CAT_H
