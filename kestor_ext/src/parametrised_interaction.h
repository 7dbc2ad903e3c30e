// The descriptor, slots and prediction operations of a one-operand
// interaction with learnable parameters, generated from its definition
// (definition.h: ParametrisedDefinition).
#ifndef KESTOR_PARAMETRISED_INTERACTION_H
#define KESTOR_PARAMETRISED_INTERACTION_H

#include "definition.h"
#include "predict.h"

#include <cstdlib>

template <class Def>
typename Def::State *state_of(const PyModel *model, int32_t index)
{
    return static_cast<typename Def::State *>(model->state[index]);
}

template <class Def>
void *parametrised_allocate(PyModel * /*model*/, int32_t /*index*/)
{
    auto *s = static_cast<typename Def::State *>(std::calloc(1, sizeof(typename Def::State)));
    if (s != nullptr) {
        *s = Def::fresh();
    }
    return s;
}

inline void parametrised_deallocate(PyModel * /*model*/, int32_t /*index*/, void *state) { std::free(state); }

template <class Def>
PyObject *parametrised_getattr(PyModel *model, int32_t index, const char *name)
{
    return Def::get(*state_of<Def>(model, index), name);
}

template <class Def>
int32_t parametrised_setattr(PyModel *model, int32_t index, const char *name, PyObject *value)
{
    return Def::set(*state_of<Def>(model, index), name, value);
}

template <class Def>
int32_t parametrised_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n > 0) {
        model->activation[index] = Def::value(model->activation[index + 1], *state_of<Def>(model, index));
    }
    return STATUS_OK;
}

// The operand's share uses the parameters from before this step's update;
// the parameters step even when no sample came in (their moments decay).
template <class Def>
int32_t parametrised_reverse(PyModel *model, int32_t index, int32_t n)
{
    typename Def::State &s = *state_of<Def>(model, index);
    double lr = Def::base_rate * model->rate_factor;
    const UpdateSchedule &schedule = model->schedule;
    if (n <= 0) {
        in_regime(schedule, [&](auto regime) { Def::template idle<decltype(regime)::value>(s, lr, schedule); });
        return STATUS_OK;
    }
    double g = model->gradient[index];
    double x = model->activation[index + 1];
    double a = model->activation[index];
    double share = in_regime(schedule, [&](auto regime) {
        return Def::template train<decltype(regime)::value>(s, g, x, a, lr, schedule);
    });
    model->gradient[index + 1] = model->gradient[index + 1] + share;
    return STATUS_OK;
}

template <class Def>
int32_t parametrised_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                             double *values)
{
    values[index] = Def::value(values[index + 1], *state_of<Def>(model, index));
    return STATUS_OK;
}

template <class Def>
int32_t parametrised_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                            const double *values, Derivatives *out)
{
    Def::derive(values[index + 1], values[index], *state_of<Def>(model, index), out);
    return STATUS_OK;
}

template <class Def>
constexpr InteractionType parametrised_descriptor()
{
    return InteractionType{Def::name,
                           Def::arity,
                           parametrised_forward<Def>,
                           parametrised_reverse<Def>,
                           Def::attributes,
                           parametrised_setattr<Def>,
                           parametrised_getattr<Def>,
                           parametrised_allocate<Def>,
                           parametrised_deallocate};
}

#endif  // KESTOR_PARAMETRISED_INTERACTION_H
