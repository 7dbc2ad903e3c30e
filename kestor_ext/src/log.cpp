// "log:1": natural logarithm, held at log(0.0001) below 0.0001 so that zero
// and negative operands give a finite output.
#include "pure_interaction.h"

namespace {

constexpr double LOG_MIN_INPUT = 0.0001;
constexpr double LOG_MIN_VALUE = -9.210340371976182;  // log(0.0001) to the last bit

inline double log_value(double x) { return x < LOG_MIN_INPUT ? LOG_MIN_VALUE : std::log(x); }

// The operand the derivative is taken at: the threshold inside the clamp, so
// the gradient there is g / 0.0001 rather than zero.
inline double log_derivative_point(double x) { return x < LOG_MIN_INPUT ? LOG_MIN_INPUT : x; }

int32_t log_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double d = log_derivative_point(model->activation[index + 1]);
    model->gradient[index + 1] += model->gradient[index] / d;
    return STATUS_OK;
}

InteractionType log1 = {
    "log:1",                   // name
    1,                         // arity
    unary_forward<log_value>,  // forward
    log_reverse,               // reverse
    nullptr,                   // attributes
    nullptr,                   // setattr
    nullptr,                   // getattr
    nullptr,                   // allocate
    nullptr,                   // deallocate
    nullptr,                   // set_inputarray
    nullptr,                   // set_expectedarray
    nullptr,                   // create_outputarray
    nullptr,                   // get_outputarray
    nullptr,                   // next
};

const PredictOps log_predict_ops = {
    nullptr,                   // bind
    unary_predict<log_value>,  // value
};

}  // namespace

void init_log() { register_interaction(&log1, &log_predict_ops); }
