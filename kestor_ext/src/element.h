// An element type's descriptor and prediction operations, generated from its
// definition (definition.h) whatever its shape; what a type's header needs
// to register the type.
#ifndef KESTOR_ELEMENT_H
#define KESTOR_ELEMENT_H

#include "parametrised_interaction.h"
#include "pure_interaction.h"

template <class Def>
constexpr bool is_parametrised = std::is_base_of_v<ParametrisedDefinition, Def>;

template <class Def>
constexpr InteractionType descriptor_from()
{
    if constexpr (is_parametrised<Def>) {
        return parametrised_descriptor<Def>();
    }
    else {
        return pure_descriptor<Def>();
    }
}

template <class Def>
constexpr PredictOps predict_ops_from()
{
    if constexpr (is_parametrised<Def>) {
        return PredictOps{nullptr, parametrised_predict<Def>, parametrised_derive<Def>, Def::derived};
    }
    else {
        return PredictOps{nullptr, pure_predict<Def>, pure_derive<Def>, nullptr};
    }
}

// The type's descriptor (one per program, whichever files name it) and its
// prediction operations.
template <class Def>
InteractionType interaction = descriptor_from<Def>();

template <class Def>
constexpr PredictOps predict_ops = predict_ops_from<Def>();

// Registers a type of this library with its prediction operations.
template <class Def>
void register_element()
{
    register_interaction(&interaction<Def>, &predict_ops<Def>);
}

#endif  // KESTOR_ELEMENT_H
