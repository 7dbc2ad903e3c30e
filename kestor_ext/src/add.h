// "add:2": the sum of two sub-expressions.
#ifndef KESTOR_ADD_H
#define KESTOR_ADD_H

inline double add_value(double x, double y) { return x + y; }

#endif  // KESTOR_ADD_H
