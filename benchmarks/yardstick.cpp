// Yardstick for Model._fit: the training loop of three fixed trees written
// out by hand, every element inlined and the update rule specialised to the
// regime of the call.  It computes exactly what _fit computes for these
// trees (same operations in the same order, float64 columns, no weights, no
// scale detection), so the benchmark checks the results bit for bit before
// it compares times.
//
// Built by bench_fit.py into a temporary shared library; never installed.
//   g++ -O2 -ffp-contract=off -fno-fast-math -shared -fPIC yardstick.cpp
//
// Each entry point trains one tree on n samples:
//   double <tree>(int64_t n, const double *const *columns, const double *y,
//                 double *params, int32_t sample_count, double *losses)
// columns: the input columns in the order of the tree's input elements;
// params: per parametrised element in prefix order, [scale, scale_offset,
// w, bias] for in-linear/out-linear and [w, bias] for linear/out-lr, updated
// in place (the moments start at zero, as in a new model); sample_count: the
// model's counter before the call; losses: n slots for the per-sample loss.
// Returns the mean loss, or NaN when a value is not finite.
//
// Built with -DTHROUGH_RECORD, every value one element hands to another
// (activations up, gradients down) is read back from memory: what a loop
// costs whose elements read their operands' activations and gradients from
// the model record.  _fit writes them there too but hands each value to the
// next operation in a register (a binary element's other operand excepted).
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace {

// Slots of the values handed between elements: activations, then gradients.
constexpr int ACT = 0;
constexpr int GRAD = 32;

#ifdef THROUGH_RECORD
double record[64];

template <int Slot>
inline double handed(double v)
{
    record[Slot] = v;
    asm volatile("" : : "r"(record) : "memory");  // the next read comes from memory
    return record[Slot];
}
#else
template <int Slot>
inline double handed(double v)
{
    return v;
}
#endif

enum Regime { FULL_CORRECTION, SECOND_MOMENT_CORRECTION, NO_CORRECTION };

struct Schedule {
    double rate_factor;
    double first_divisor;
    double second_divisor;
};

struct Param {
    double p, m, v;
};

template <Regime R>
inline void adam(Param &q, double g, double lr, const Schedule &s)
{
    q.m = 0.9 * q.m + 0.09999999999999998 * g;
    q.v = 0.999 * q.v + (0.0010000000000000009 * g) * g;
    double m_hat = R == FULL_CORRECTION ? q.m / s.first_divisor : q.m;
    double v_hat = R == NO_CORRECTION ? q.v : q.v / s.second_divisor;
    q.p = q.p - (m_hat / (std::sqrt(v_hat) + 1e-7)) * lr;
}

struct Scaled {  // in-linear:0 and out-linear:1
    double scale, offset;
    Param w, bias;
};

struct Weighted {  // linear:1 and out-lr:1
    Param w, bias;
};

inline bool finite(double x) { return std::fabs(x) <= DBL_MAX; }

Scaled load_scaled(const double *&params)
{
    Scaled s{params[0], params[1], {params[2], 0.0, 0.0}, {params[3], 0.0, 0.0}};
    params += 4;
    return s;
}

Weighted load_weighted(const double *&params)
{
    Weighted s{{params[0], 0.0, 0.0}, {params[1], 0.0, 0.0}};
    params += 2;
    return s;
}

void store(double *&params, const Scaled &s)
{
    params[2] = s.w.p;
    params[3] = s.bias.p;
    params += 4;
}

void store(double *&params, const Weighted &s)
{
    params[0] = s.w.p;
    params[1] = s.bias.p;
    params += 2;
}

// Rounded to 32 bits and squared in 32-bit arithmetic.
inline double squared_error(double e, double p)
{
    float d = (float)(p - e);
    float squared = d * d;
    return (double)squared;
}

inline double squared_error_derivative(double e, double p)
{
    double d = p - e;
    return d + d;
}

inline double binary_cross_entropy(double e, double p)
{
    double q = p < 1e-7 ? 1e-7 : (p > 0.9999999 ? 0.9999999 : p);
    double a = (double)logf((float)q);
    double b = (double)logf((float)(1.0 - q));
    return (-e) * a - (1 - e) * b;
}

inline double binary_cross_entropy_derivative(double e, double p) { return e == 0.0 ? p : p - 1.0; }

inline double input_value(const Scaled &s, double x) { return ((x - s.offset) * s.scale) * s.w.p + s.bias.p; }

template <Regime R>
inline void input_reverse(Scaled &s, double x, double g, const Schedule &sch)
{
    double lr = 0.001 * sch.rate_factor;
    double g_w = (x * s.scale) * g;
    adam<R>(s.w, g_w, lr, sch);
    adam<R>(s.bias, g, lr, sch);
}

inline double gaussian2(double x, double y)
{
    double s = x * x;
    s = s + s;
    double t = y * y;
    t = t + t;
    s = s + t;
    return std::exp(-s);
}

Schedule schedule_for(int32_t sample_count, int64_t n, Regime *regime)
{
    int64_t advanced = (int64_t)sample_count + n;
    int32_t t = advanced > INT32_MAX ? INT32_MAX : (int32_t)advanced;
    Schedule s;
    s.rate_factor = sample_count < 0 ? 2.0 : 2.0 / (double)(sample_count / 10000 + 1);
    if (t < 1) {
        t = 1;
    }
    s.first_divisor = 1.0 - std::pow(0.9, (double)t);
    s.second_divisor = 1.0 - std::pow(0.999, (double)t);
    *regime = t < 30 ? FULL_CORRECTION : (t < 2000 ? SECOND_MOMENT_CORRECTION : NO_CORRECTION);
    return s;
}

inline double mean_of(const double *losses, int64_t n)
{
    double sum = 0.0;
    for (int64_t k = 0; k < n; k++) {
        sum += losses[k];
    }
    return sum / (double)n;
}

// out-linear:1(in-linear:0 x)
template <Regime R>
double pair(int64_t n, const double *const *columns, const double *y, double *params, const Schedule &sch,
            double *losses)
{
    const double *in = params;
    Scaled root = load_scaled(in);
    Scaled x = load_scaled(in);
    const double *cx = columns[0];
    for (int64_t k = 0; k < n; k++) {
        double x0 = cx[k];
        if (!finite(x0)) return NAN;
        double a1 = handed<ACT + 1>(input_value(x, x0));
        double a0 = handed<ACT + 0>(((a1 * root.w.p) + root.bias.p) * root.scale + root.offset);
        double e = y[k];
        if (!finite(e)) return NAN;
        losses[k] = squared_error(e, a0);

        double g = squared_error_derivative(e, a0) / root.scale;
        double g1 = handed<GRAD + 1>(root.w.p * g + 0.0);
        double lr = 0.003 * sch.rate_factor;
        adam<R>(root.w, a1 * g, lr, sch);
        adam<R>(root.bias, g, lr, sch);
        input_reverse<R>(x, x0, g1, sch);
    }
    double *out = params;
    store(out, root);
    store(out, x);
    return mean_of(losses, n);
}

// out-linear:1(add:2(multiply:2(x, y), exp:1(linear:1(z)))):
// elements 0 root, 1 add, 2 multiply, 3 x, 4 y, 5 exp, 6 linear, 7 z.
template <Regime R>
double eight(int64_t n, const double *const *columns, const double *y, double *params, const Schedule &sch,
             double *losses)
{
    const double *in = params;
    Scaled root = load_scaled(in);
    Scaled x = load_scaled(in);
    Scaled yy = load_scaled(in);
    Weighted lin = load_weighted(in);
    Scaled z = load_scaled(in);
    const double *cx = columns[0], *cy = columns[1], *cz = columns[2];
    for (int64_t k = 0; k < n; k++) {
        double z0 = cz[k];
        if (!finite(z0)) return NAN;
        double a7 = handed<ACT + 7>(input_value(z, z0));
        double a6 = handed<ACT + 6>(a7 * lin.w.p + lin.bias.p);
        double a5 = handed<ACT + 5>(a6 > 6.0 ? 403.4287934927351 : std::exp(a6));
        double y0 = cy[k];
        if (!finite(y0)) return NAN;
        double a4 = handed<ACT + 4>(input_value(yy, y0));
        double x0 = cx[k];
        if (!finite(x0)) return NAN;
        double a3 = handed<ACT + 3>(input_value(x, x0));
        double a2 = handed<ACT + 2>(a3 * a4);
        double a1 = handed<ACT + 1>(a2 + a5);
        double a0 = handed<ACT + 0>(((a1 * root.w.p) + root.bias.p) * root.scale + root.offset);
        double e = y[k];
        if (!finite(e)) return NAN;
        losses[k] = squared_error(e, a0);

        double g = squared_error_derivative(e, a0) / root.scale;
        double g1 = handed<GRAD + 1>(root.w.p * g + 0.0);
        double lr_root = 0.003 * sch.rate_factor;
        adam<R>(root.w, a1 * g, lr_root, sch);
        adam<R>(root.bias, g, lr_root, sch);
        double g2 = handed<GRAD + 2>(0.0 + g1), g5 = handed<GRAD + 5>(0.0 + g1);
        double g3 = handed<GRAD + 3>(0.0 + g2 * a4), g4 = handed<GRAD + 4>(0.0 + a3 * g2);
        input_reverse<R>(x, x0, g3, sch);
        input_reverse<R>(yy, y0, g4, sch);
        double g6 = handed<GRAD + 6>(0.0 + g5 * a5);
        double g7 = handed<GRAD + 7>(0.0 + g6 * lin.w.p);
        double lr = 0.001 * sch.rate_factor;
        adam<R>(lin.w, a7 * g6, lr, sch);
        adam<R>(lin.bias, g6, lr, sch);
        input_reverse<R>(z, z0, g7, sch);
    }
    double *out = params;
    store(out, root);
    store(out, x);
    store(out, yy);
    store(out, lin);
    store(out, z);
    return mean_of(losses, n);
}

// out-lr:1(add:2(gaussian:2(tanh:1(x), log:1(y)), add:2(sqrt:1(z), squared:1(linear:1(add:2(x, y)))))):
// elements 0 root, 1 add, 2 gaussian, 3 tanh, 4 x, 5 log, 6 y, 7 add, 8 sqrt, 9 z,
// 10 squared, 11 linear, 12 add, 13 x, 14 y.
template <Regime R>
double fifteen(int64_t n, const double *const *columns, const double *y, double *params, const Schedule &sch,
               double *losses)
{
    const double *in = params;
    Weighted root = load_weighted(in);
    Scaled x4 = load_scaled(in);
    Scaled y6 = load_scaled(in);
    Scaled z9 = load_scaled(in);
    Weighted lin = load_weighted(in);
    Scaled x13 = load_scaled(in);
    Scaled y14 = load_scaled(in);
    const double *cx = columns[0], *cy = columns[1], *cz = columns[2];
    for (int64_t k = 0; k < n; k++) {
        double v14 = cy[k], v13 = cx[k], v9 = cz[k], v6 = cy[k], v4 = cx[k];
        if (!finite(v14)) return NAN;
        double a14 = handed<ACT + 14>(input_value(y14, v14));
        if (!finite(v13)) return NAN;
        double a13 = handed<ACT + 13>(input_value(x13, v13));
        double a12 = handed<ACT + 12>(a13 + a14);
        double a11 = handed<ACT + 11>(a12 * lin.w.p + lin.bias.p);
        double a10 = handed<ACT + 10>(std::fabs(a11) > 20.0 ? 400.0 : a11 * a11);
        if (!finite(v9)) return NAN;
        double a9 = handed<ACT + 9>(input_value(z9, v9));
        double a8 = handed<ACT + 8>(a9 <= 0.01 ? 0.1 : std::sqrt(a9));
        double a7 = handed<ACT + 7>(a8 + a10);
        if (!finite(v6)) return NAN;
        double a6 = handed<ACT + 6>(input_value(y6, v6));
        double a5 = handed<ACT + 5>(a6 < 0.0001 ? -9.210340371976182 : std::log(a6));
        if (!finite(v4)) return NAN;
        double a4 = handed<ACT + 4>(input_value(x4, v4));
        double a3 = handed<ACT + 3>((double)tanhf((float)a4));
        double a2 = handed<ACT + 2>(gaussian2(a3, a5));
        double a1 = handed<ACT + 1>(a2 + a7);
        double zz = a1 * root.w.p + root.bias.p;
        double a0 = handed<ACT + 0>(1.0 / (1.0 + std::exp(-zz)));
        double e = y[k];
        if (!finite(e)) return NAN;
        losses[k] = binary_cross_entropy(e, a0);

        double d = binary_cross_entropy_derivative(e, a0);
        double g = (1.0 - a0) * (d * a0);
        double g1 = handed<GRAD + 1>(0.0 + root.w.p * g);
        double lr = 0.001 * sch.rate_factor;
        adam<R>(root.w, a1 * g, lr, sch);
        adam<R>(root.bias, g, lr, sch);
        double g2 = handed<GRAD + 2>(0.0 + g1), g7 = handed<GRAD + 7>(0.0 + g1);
        double c = (-g2) + (-g2);
        c = c * a2;
        double u = a3 * c;
        u = u + u;
        double w = c * a5;
        w = w + w;
        double g3 = handed<GRAD + 3>(0.0 + u), g5 = handed<GRAD + 5>(0.0 + w);
        double g4 = handed<GRAD + 4>(0.0 + (1.0 - a3 * a3) * g3);
        input_reverse<R>(x4, v4, g4, sch);
        double g6 = handed<GRAD + 6>(0.0 + g5 / (a6 < 0.0001 ? 0.0001 : a6));
        input_reverse<R>(y6, v6, g6, sch);
        double g8 = handed<GRAD + 8>(0.0 + g7), g10 = handed<GRAD + 10>(0.0 + g7);
        double g9 = handed<GRAD + 9>(0.0 + g8 / (a8 + a8));
        input_reverse<R>(z9, v9, g9, sch);
        double g11 = handed<GRAD + 11>(0.0 + (g10 + g10) * a11);
        double g12 = handed<GRAD + 12>(0.0 + g11 * lin.w.p);
        adam<R>(lin.w, a12 * g11, lr, sch);
        adam<R>(lin.bias, g11, lr, sch);
        double g13 = handed<GRAD + 13>(0.0 + g12), g14 = handed<GRAD + 14>(0.0 + g12);
        input_reverse<R>(x13, v13, g13, sch);
        input_reverse<R>(y14, v14, g14, sch);
    }
    double *out = params;
    store(out, root);
    store(out, x4);
    store(out, y6);
    store(out, z9);
    store(out, lin);
    store(out, x13);
    store(out, y14);
    return mean_of(losses, n);
}

template <template <Regime> class Tree>
double run(int64_t n, const double *const *columns, const double *y, double *params, int32_t sample_count,
           double *losses)
{
    Regime regime;
    Schedule sch = schedule_for(sample_count, n, &regime);
    switch (regime) {
        case FULL_CORRECTION: return Tree<FULL_CORRECTION>::train(n, columns, y, params, sch, losses);
        case SECOND_MOMENT_CORRECTION: return Tree<SECOND_MOMENT_CORRECTION>::train(n, columns, y, params, sch, losses);
        default: return Tree<NO_CORRECTION>::train(n, columns, y, params, sch, losses);
    }
}

template <Regime R> struct Pair { static constexpr auto train = pair<R>; };
template <Regime R> struct Eight { static constexpr auto train = eight<R>; };
template <Regime R> struct Fifteen { static constexpr auto train = fifteen<R>; };

}  // namespace

extern "C" {

double yardstick_pair(int64_t n, const double *const *columns, const double *y, double *params,
                      int32_t sample_count, double *losses)
{
    return run<Pair>(n, columns, y, params, sample_count, losses);
}

double yardstick_eight(int64_t n, const double *const *columns, const double *y, double *params,
                       int32_t sample_count, double *losses)
{
    return run<Eight>(n, columns, y, params, sample_count, losses);
}

double yardstick_fifteen(int64_t n, const double *const *columns, const double *y, double *params,
                         int32_t sample_count, double *losses)
{
    return run<Fifteen>(n, columns, y, params, sample_count, losses);
}

}  // extern "C"
