// The slots the numeric registers share, made from a register's state
// record: its parameters `p` (a WeightBias, or a ScaledWeightBias behind a
// scale detected from the data) and, for an output register, its `arrays`
// and `columns` (output_register.h).
#ifndef KESTOR_REGISTER_SLOTS_H
#define KESTOR_REGISTER_SLOTS_H

#include "output_register.h"
#include "weight_bias.h"

#include <cstdlib>

template <class State>
State *register_state(const PyModel *model, int32_t index)
{
    return static_cast<State *>(model->state[index]);
}

inline void start_parameters(WeightBias & /*p*/) {}
inline void start_parameters(ScaledWeightBias &p) { p = fresh_scaled_weight_bias(); }

inline PyObject *get_parameter(const WeightBias &p, const char *name) { return weight_bias_get(p, name); }
inline PyObject *get_parameter(const ScaledWeightBias &p, const char *name) { return scaled_weight_bias_get(p, name); }

inline int32_t set_parameter(WeightBias &p, const char *name, PyObject *value)
{
    return weight_bias_set(p, name, value);
}
inline int32_t set_parameter(ScaledWeightBias &p, const char *name, PyObject *value)
{
    return scaled_weight_bias_set(p, name, value);
}

template <class State>
void *register_allocate(PyModel * /*model*/, int32_t /*index*/)
{
    auto *s = static_cast<State *>(std::calloc(1, sizeof(State)));
    if (s != nullptr) {
        start_parameters(s->p);
    }
    return s;
}

template <class State>
PyObject *register_getattr(PyModel *model, int32_t index, const char *name)
{
    return get_parameter(register_state<State>(model, index)->p, name);
}

template <class State>
int32_t register_setattr(PyModel *model, int32_t index, const char *name, PyObject *value)
{
    return set_parameter(register_state<State>(model, index)->p, name, value);
}

template <class State>
void output_deallocate(PyModel * /*model*/, int32_t /*index*/, void *state)
{
    auto *s = static_cast<State *>(state);
    output_release(s->arrays);
    std::free(s);
}

template <class State>
int32_t output_create_slot(PyModel *model, int32_t index, int64_t n_samples)
{
    State *s = register_state<State>(model, index);
    return output_create(s->arrays, s->columns, n_samples);
}

template <class State>
PyObject *output_take_slot(PyModel *model, int32_t index)
{
    State *s = register_state<State>(model, index);
    return output_take(s->arrays, s->columns);
}

#endif  // KESTOR_REGISTER_SLOTS_H
