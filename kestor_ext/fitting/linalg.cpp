// vant._linalg: the sums and solves of the damped Newton fits, the output
// register's line and the term regressions, in one fixed order.
//
// BLAS and LAPACK split their work among as many threads as the process
// allows (one in a Dask worker, all cores elsewhere), and the order of
// their sums then changes the last bits of a fit; the same seed must give
// the same model on one core or many.  Here every sum runs over the rows
// one after the other, and the small systems are solved by Gaussian
// elimination with partial pivoting, always in the same order.  Loops over
// many rows run without the interpreter lock, so that fits on several
// threads run side by side (see LockReleased).
//
// Arguments are float64 arrays (anything numpy converts to one); results
// are new float64 arrays.
#define KESTOR_IMPORTS_NUMPY  // this module's own copy of numpy's function table
#include "input_scale.h"
#include "owned_ref.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// A C-contiguous float64 array of `ndim` dimensions made from `object`
// (a new reference), or nullptr with TypeError/ValueError naming `argument`.
PyArrayObject *float64_array(PyObject *object, int ndim, const char *argument)
{
    PyObject *array = PyArray_FROMANY(object, NPY_DOUBLE, ndim, ndim, NPY_ARRAY_IN_ARRAY);
    if (array == nullptr) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_Format(PyExc_ValueError, "%s must be a %d-dimensional array of numbers", argument, ndim);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
    }
    return (PyArrayObject *)array;
}

const double *values(PyArrayObject *array) { return (const double *)PyArray_DATA(array); }
npy_intp dim(PyArrayObject *array, int axis) { return PyArray_DIMS(array)[axis]; }

// Work of fewer multiply-adds than this runs with the interpreter lock held:
// letting go of the lock and taking it back costs more than such work, and
// a thread that lets go of it for a moment may then wait for it as long as
// another thread runs Python.
constexpr double RELEASE_WORK = 50000.0;

// Lets go of the interpreter lock for its lifetime, for work of at least
// RELEASE_WORK multiply-adds.  Nothing in its scope may use the
// interpreter.
class LockReleased {
public:
    explicit LockReleased(double work) : saved_(work >= RELEASE_WORK ? PyEval_SaveThread() : nullptr) {}
    LockReleased(const LockReleased &) = delete;
    LockReleased &operator=(const LockReleased &) = delete;
    ~LockReleased()
    {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(saved_);
        }
    }

private:
    PyThreadState *saved_;
};

// Row-major rows x columns.
struct Matrix {
    const double *data;
    npy_intp rows, columns;
    double at(npy_intp r, npy_intp c) const { return data[r * columns + c]; }
};

// gram[i][j] = sum over rows r of J[r][i] * (J[r][j] * w[r]); the upper
// triangle is summed and mirrored, so that the matrix is exactly symmetric.
void weighted_gram(Matrix jacobian, const double *weights, double *gram)
{
    const npy_intp k = jacobian.columns;
    for (npy_intp i = 0; i < k * k; i++) {
        gram[i] = 0.0;
    }
    for (npy_intp r = 0; r < jacobian.rows; r++) {
        const double *row = jacobian.data + r * k;
        for (npy_intp j = 0; j < k; j++) {
            const double weighted = row[j] * weights[r];
            for (npy_intp i = 0; i <= j; i++) {
                gram[i * k + j] += row[i] * weighted;
            }
        }
    }
    for (npy_intp j = 0; j < k; j++) {
        for (npy_intp i = 0; i < j; i++) {
            gram[j * k + i] = gram[i * k + j];
        }
    }
}

// product[i] = sum over rows r of J[r][i] * v[r].
void transposed_product(Matrix jacobian, const double *v, double *product)
{
    const npy_intp k = jacobian.columns;
    for (npy_intp i = 0; i < k; i++) {
        product[i] = 0.0;
    }
    for (npy_intp r = 0; r < jacobian.rows; r++) {
        const double *row = jacobian.data + r * k;
        for (npy_intp i = 0; i < k; i++) {
            product[i] += row[i] * v[r];
        }
    }
}

// Solves a x = b in place (a is n x n, destroyed; x replaces b).  False
// when a pivot is zero or not finite.
bool eliminate(double *a, double *b, npy_intp n)
{
    for (npy_intp column = 0; column < n; column++) {
        npy_intp pivot = column;
        for (npy_intp r = column + 1; r < n; r++) {
            if (std::fabs(a[r * n + column]) > std::fabs(a[pivot * n + column])) {
                pivot = r;
            }
        }
        const double p = a[pivot * n + column];
        if (!(std::isfinite(p) && p != 0.0)) {
            return false;
        }
        if (pivot != column) {
            for (npy_intp c = 0; c < n; c++) {
                std::swap(a[pivot * n + c], a[column * n + c]);
            }
            std::swap(b[pivot], b[column]);
        }
        for (npy_intp r = column + 1; r < n; r++) {
            const double factor = a[r * n + column] / p;
            for (npy_intp c = column; c < n; c++) {
                a[r * n + c] -= factor * a[column * n + c];
            }
            b[r] -= factor * b[column];
        }
    }
    for (npy_intp row = n - 1; row >= 0; row--) {
        double sum = 0.0;
        for (npy_intp c = row + 1; c < n; c++) {
            sum += a[row * n + c] * b[c];
        }
        b[row] = (b[row] - sum) / a[row * n + row];
    }
    return true;
}

// A function's two arguments: a matrix and a vector, as float64 arrays.
struct MatrixAndVector {
    OwnedRef matrix_ref, vector_ref;
    PyArrayObject *matrix() const { return (PyArrayObject *)matrix_ref.get(); }
    PyArrayObject *vector() const { return (PyArrayObject *)vector_ref.get(); }
    Matrix rows() const { return Matrix{values(matrix()), dim(matrix(), 0), dim(matrix(), 1)}; }
};

// Converts the arguments of `call` ("name(matrix, vector)"); false with
// the error set when there are not two, or either is not an array of the
// right dimensions.
bool matrix_and_vector(PyObject *const *args, Py_ssize_t nargs, const char *call, const char *matrix,
                       const char *vector, MatrixAndVector *out)
{
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s takes 2 arguments", call);
        return false;
    }
    out->matrix_ref.reset((PyObject *)float64_array(args[0], 2, matrix));
    if (!out->matrix_ref) {
        return false;
    }
    out->vector_ref.reset((PyObject *)float64_array(args[1], 1, vector));
    return bool(out->vector_ref);
}

// The same, for a vector with one entry per row of the matrix.
bool rows_and_values(PyObject *const *args, Py_ssize_t nargs, const char *call, const char *vector,
                     MatrixAndVector *out)
{
    if (!matrix_and_vector(args, nargs, call, "jacobian", vector, out)) {
        return false;
    }
    if (dim(out->vector(), 0) != dim(out->matrix(), 0)) {
        PyErr_Format(PyExc_ValueError, "%s must have one entry per row of jacobian", vector);
        return false;
    }
    return true;
}

// A 1-dimensional float64 array of n entries made from `object` (a new
// reference), or nullptr with the error set.
PyArrayObject *column_of(PyObject *object, npy_intp n, const char *argument)
{
    PyArrayObject *array = float64_array(object, 1, argument);
    if (array != nullptr && dim(array, 0) != n) {
        PyErr_Format(PyExc_ValueError, "%s must have one entry per entry of values", argument);
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

// ---------------------------------------------------------------------------
// One damped Newton step: the normal equations of a Jacobian, and the
// damped system solved.

// The gradient J'r and the curvature J'(c J), summed as transposed_product
// and weighted_gram sum them; false when an entry of J is not finite.
bool normal_equations(Matrix jacobian, const double *residual, const double *curvature, double *gradient,
                      double *hessian)
{
    const npy_intp k = jacobian.columns;
    for (npy_intp i = 0; i < k * jacobian.rows; i++) {
        if (!std::isfinite(jacobian.data[i])) {
            return false;
        }
    }
    weighted_gram(jacobian, curvature, hessian);
    transposed_product(jacobian, residual, gradient);
    return true;
}

// np.maximum: NaN wins.
double maximum(double a, double b)
{
    if (std::isnan(a)) {
        return a;
    }
    if (std::isnan(b)) {
        return b;
    }
    return a >= b ? a : b;
}

// Solves (H + diag(damping * max(diag(H), floor) + floor)) x = g, floor
// being 1e-12 of the largest diagonal entry (at least of 1e-300); false
// when a pivot is zero or not finite.  `system` and `x` are scratch of
// k x k and k entries.
bool damped_solve(const double *hessian, const double *gradient, double damping, npy_intp k, double *system,
                  double *x)
{
    double largest = k > 0 ? hessian[0] : 0.0;  // np.max: NaN wins
    for (npy_intp i = 0; i < k; i++) {
        const double d = hessian[i * k + i];
        if (std::isnan(d) || d > largest) {
            largest = d;
            if (std::isnan(d)) {
                break;
            }
        }
    }
    const double floor = 1e-12 * (1e-300 > largest ? 1e-300 : largest);  // Python's max(largest, 1e-300)
    for (npy_intp i = 0; i < k; i++) {
        for (npy_intp j = 0; j < k; j++) {
            const double added = i == j ? damping * maximum(hessian[i * k + i], floor) + floor : 0.0;
            system[i * k + j] = hessian[i * k + j] + added;
        }
        x[i] = gradient[i];
    }
    return eliminate(system, x, k);
}

PyObject *equations(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "normal_equations(jacobian, residual, curvature) takes 3 arguments");
        return nullptr;
    }
    MatrixAndVector in;
    if (!rows_and_values(args, 2, "normal_equations(jacobian, residual, curvature)", "residual", &in)) {
        return nullptr;
    }
    OwnedRef curvature((PyObject *)column_of(args[2], dim(in.vector(), 0), "curvature"));
    if (!curvature) {
        return nullptr;
    }
    const npy_intp k = dim(in.matrix(), 1);
    npy_intp gradient_shape[1] = {k}, hessian_shape[2] = {k, k};
    OwnedRef gradient(PyArray_SimpleNew(1, gradient_shape, NPY_DOUBLE));
    OwnedRef hessian(gradient ? PyArray_SimpleNew(2, hessian_shape, NPY_DOUBLE) : nullptr);
    if (!hessian) {
        return nullptr;
    }
    bool finite;
    {
        LockReleased unlocked(double(dim(in.matrix(), 0)) * double(k) * double(k + 3) / 2.0);
        finite = normal_equations(in.rows(), values(in.vector()), values((PyArrayObject *)curvature.get()),
                                  (double *)PyArray_DATA((PyArrayObject *)gradient.get()),
                                  (double *)PyArray_DATA((PyArrayObject *)hessian.get()));
    }
    if (!finite) {
        Py_RETURN_NONE;
    }
    return PyTuple_Pack(2, gradient.get(), hessian.get());
}

PyObject *damped(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "damped_solve(hessian, gradient, damping) takes 3 arguments");
        return nullptr;
    }
    MatrixAndVector in;
    if (!matrix_and_vector(args, 2, "damped_solve(hessian, gradient, damping)", "hessian", "gradient", &in)) {
        return nullptr;
    }
    const double damping = PyFloat_AsDouble(args[2]);
    if (damping == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    const npy_intp k = dim(in.vector(), 0);
    if (dim(in.matrix(), 0) != k || dim(in.matrix(), 1) != k) {
        PyErr_SetString(PyExc_ValueError, "hessian must be square, with one row per entry of gradient");
        return nullptr;
    }
    npy_intp shape[2] = {k, k};
    OwnedRef system(PyArray_SimpleNew(2, shape, NPY_DOUBLE));
    OwnedRef x(system ? PyArray_SimpleNew(1, shape, NPY_DOUBLE) : nullptr);
    if (!x) {
        return nullptr;
    }
    bool solved;
    {
        LockReleased unlocked(double(k) * double(k) * double(k) / 3.0);
        solved = damped_solve(values(in.matrix()), values(in.vector()), damping, k,
                              (double *)PyArray_DATA((PyArrayObject *)system.get()),
                              (double *)PyArray_DATA((PyArrayObject *)x.get()));
    }
    return solved ? x.release() : Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// Least squares on a few columns: the output register's line, and the term
// regressions.

// The mean of values and the mean of their squared deviations from it.
double variance(const double *values, npy_intp n)
{
    double sum = 0.0;
    for (npy_intp r = 0; r < n; r++) {
        sum += values[r];
    }
    const double mean = sum / double(n);
    double squares = 0.0;
    for (npy_intp r = 0; r < n; r++) {
        const double d = values[r] - mean;
        squares += d * d;
    }
    return squares / double(n);
}

// The most columns a regression takes besides its constant.
constexpr npy_intp MAX_BASIS = 15;

// One regression: `count` columns of n rows, besides the constant.
struct Basis {
    const double *column[MAX_BASIS];
    npy_intp count;
};

bool all_finite(const Basis &basis, npy_intp n)
{
    for (npy_intp c = 0; c < basis.count; c++) {
        for (npy_intp r = 0; r < n; r++) {
            if (!std::isfinite(basis.column[c][r])) {
                return false;
            }
        }
    }
    return true;
}

// The normal equations of `values` on a constant and the `size` basis
// columns: the upper triangle of the Gram matrix and the right-hand side,
// summed row by row.  For the small bases the term regressions use, K (the
// constant and the columns) is fixed at compile time, so that the sums stay
// in registers; K = 0 leaves it to `size`.  Every sum adds its rows in
// order, so the bits are the same either way.
template <npy_intp K>
void normal_sums(const double *values, npy_intp n, const Basis &basis, npy_intp size, double *gram, double *right)
{
    constexpr npy_intp CAPACITY = K > 0 ? K : MAX_BASIS + 1;
    const npy_intp k = K > 0 ? K : size;
    double g[CAPACITY * CAPACITY] = {};
    double c[CAPACITY] = {};
    double row[CAPACITY];
    row[0] = 1.0;
    for (npy_intp r = 0; r < n; r++) {
        for (npy_intp col = 1; col < k; col++) {
            row[col] = basis.column[col - 1][r];
        }
        for (npy_intp j = 0; j < k; j++) {
            for (npy_intp i = 0; i <= j; i++) {
                g[i * k + j] += row[i] * row[j];
            }
            c[j] += row[j] * values[r];
        }
    }
    std::copy(g, g + k * k, gram);
    std::copy(c, c + k, right);
}

// The mean squared residual after the fit (K as for `normal_sums`).
template <npy_intp K>
double residual_mean_square(const double *values, npy_intp n, const Basis &basis, npy_intp size,
                            const double *coefficients)
{
    const npy_intp k = K > 0 ? K : size;
    double squares = 0.0;
    for (npy_intp r = 0; r < n; r++) {
        double fitted = coefficients[0];
        for (npy_intp c = 1; c < k; c++) {
            fitted += basis.column[c - 1][r] * coefficients[c];
        }
        const double residual = values[r] - fitted;
        squares += residual * residual;
    }
    return squares / double(n);
}

// The mean squared residual of `values` after least squares on a constant
// and the basis columns (normal equations, solved by elimination); the
// variance of `values` when a column is not finite or the columns tell
// nothing apart.
double unexplained(const double *values, npy_intp n, const Basis &basis)
{
    const npy_intp k = basis.count + 1;
    if (!all_finite(basis, n)) {
        return variance(values, n);
    }
    double gram[(MAX_BASIS + 1) * (MAX_BASIS + 1)] = {};
    double coefficients[MAX_BASIS + 1] = {};
    switch (k) {
    case 1: normal_sums<1>(values, n, basis, k, gram, coefficients); break;
    case 2: normal_sums<2>(values, n, basis, k, gram, coefficients); break;
    case 3: normal_sums<3>(values, n, basis, k, gram, coefficients); break;
    case 4: normal_sums<4>(values, n, basis, k, gram, coefficients); break;
    default: normal_sums<0>(values, n, basis, k, gram, coefficients); break;
    }
    for (npy_intp j = 0; j < k; j++) {
        for (npy_intp i = 0; i < j; i++) {
            gram[j * k + i] = gram[i * k + j];
        }
    }
    if (!eliminate(gram, coefficients, k)) {
        return variance(values, n);
    }
    switch (k) {
    case 1: return residual_mean_square<1>(values, n, basis, k, coefficients);
    case 2: return residual_mean_square<2>(values, n, basis, k, coefficients);
    case 3: return residual_mean_square<3>(values, n, basis, k, coefficients);
    case 4: return residual_mean_square<4>(values, n, basis, k, coefficients);
    default: return residual_mean_square<0>(values, n, basis, k, coefficients);
    }
}

PyObject *unexplained_by(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "unexplained(values, bases) takes 2 arguments");
        return nullptr;
    }
    OwnedRef values_ref((PyObject *)float64_array(args[0], 1, "values"));
    if (!values_ref) {
        return nullptr;
    }
    PyArrayObject *values_array = (PyArrayObject *)values_ref.get();
    const npy_intp n = dim(values_array, 0);
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "values must not be empty");
        return nullptr;
    }
    OwnedRef list(PySequence_Fast(args[1], "bases must be a sequence of sequences of columns"));
    if (!list) {
        return nullptr;
    }
    const Py_ssize_t regressions = PySequence_Fast_GET_SIZE(list.get());
    std::vector<Basis> bases(static_cast<size_t>(regressions));
    std::vector<OwnedRef> held;  // keeps every converted column alive
    for (Py_ssize_t b = 0; b < regressions; b++) {
        OwnedRef columns(PySequence_Fast(PySequence_Fast_GET_ITEM(list.get(), b),
                                         "bases must be a sequence of sequences of columns"));
        if (!columns) {
            return nullptr;
        }
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(columns.get());
        if (count > MAX_BASIS) {
            PyErr_Format(PyExc_ValueError, "a basis holds at most %d columns, not %zd", int(MAX_BASIS), count);
            return nullptr;
        }
        bases[size_t(b)].count = count;
        for (Py_ssize_t c = 0; c < count; c++) {
            PyArrayObject *column = column_of(PySequence_Fast_GET_ITEM(columns.get(), c), n, "every column");
            if (column == nullptr) {
                return nullptr;
            }
            held.emplace_back((PyObject *)column);
            bases[size_t(b)].column[c] = values(column);
        }
    }
    npy_intp shape[1] = {regressions};
    PyObject *result = PyArray_SimpleNew(1, shape, NPY_DOUBLE);
    if (result == nullptr) {
        return nullptr;
    }
    double *out = (double *)PyArray_DATA((PyArrayObject *)result);
    const double *v = values(values_array);
    {
        LockReleased unlocked(double(n) * double(held.size() + size_t(regressions)) * 4.0);
        for (Py_ssize_t b = 0; b < regressions; b++) {
            out[b] = unexplained(v, n, bases[size_t(b)]);
        }
    }
    return result;
}

// The weighted line through (a, t) with t = (y - offset) / scale: weight and
// bias, (0, mean of t) when a hardly varies; none when a value of a is not
// finite, the weights sum to nothing or the line is not finite.
struct Line {
    enum { NONE, FLAT, FITTED } kind;
    double w, b;
};

struct LinePoints {
    const double *a, *y, *weights;  // weights null: 1 each
    double offset, scale;
    npy_intp n;
    double t(npy_intp r) const { return (y[r] - offset) / scale; }
    double weight(npy_intp r) const { return weights ? weights[r] : 1.0; }
};

Line line_through(const LinePoints &points)
{
    double total = 0.0, sum_a = 0.0, sum_t = 0.0;
    for (npy_intp r = 0; r < points.n; r++) {
        if (!std::isfinite(points.a[r])) {
            return {Line::NONE, 0.0, 0.0};
        }
        const double sw = points.weight(r);
        total += sw;
        sum_a += sw * points.a[r];
        sum_t += sw * points.t(r);
    }
    if (!(total > 0.0)) {
        return {Line::NONE, 0.0, 0.0};
    }
    const double mean_a = sum_a / total, mean_t = sum_t / total;
    double variance_a = 0.0, covariance = 0.0;
    for (npy_intp r = 0; r < points.n; r++) {
        const double sw = points.weight(r);
        const double da = points.a[r] - mean_a;
        variance_a += sw * (da * da);
        covariance += sw * (da * (points.t(r) - mean_t));
    }
    if (variance_a <= 1e-12 * total * std::fmax(1.0, mean_a * mean_a)) {
        return {Line::FLAT, 0.0, mean_t};
    }
    const double w = covariance / variance_a;
    const double b = mean_t - w * mean_a;
    if (!(std::isfinite(w) && std::isfinite(b))) {
        return {Line::NONE, 0.0, 0.0};
    }
    return {Line::FITTED, w, b};
}

PyObject *line_fit(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3 && nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "line_fit(a, y, weights[, offset, scale]) takes 3 or 5 arguments");
        return nullptr;
    }
    LinePoints points{nullptr, nullptr, nullptr, 0.0, 1.0, 0};
    if (nargs == 5) {
        points.offset = PyFloat_AsDouble(args[3]);
        points.scale = PyFloat_AsDouble(args[4]);
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    OwnedRef a_ref((PyObject *)float64_array(args[0], 1, "a"));
    if (!a_ref) {
        return nullptr;
    }
    points.n = dim((PyArrayObject *)a_ref.get(), 0);
    OwnedRef y_ref((PyObject *)column_of(args[1], points.n, "y"));
    if (!y_ref) {
        return nullptr;
    }
    OwnedRef weights_ref;
    if (args[2] != Py_None) {
        weights_ref.reset((PyObject *)column_of(args[2], points.n, "weights"));
        if (!weights_ref) {
            return nullptr;
        }
    }
    points.a = values((PyArrayObject *)a_ref.get());
    points.y = values((PyArrayObject *)y_ref.get());
    points.weights = weights_ref ? values((PyArrayObject *)weights_ref.get()) : nullptr;
    Line line;
    {
        LockReleased unlocked(double(points.n) * 4.0);
        line = line_through(points);
    }
    if (line.kind == Line::NONE) {
        Py_RETURN_NONE;
    }
    return Py_BuildValue("(dd)", line.w, line.b);
}

// input_scale(values): the numeric input register's scale for a column,
// so that the search knows every input's scale before any model trains.
PyObject *input_scale(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "input_scale(values) takes 1 argument");
        return nullptr;
    }
    OwnedRef array((PyObject *)float64_array(args[0], 1, "values"));
    if (!array) {
        return nullptr;
    }
    const npy_intp n = dim((PyArrayObject *)array.get(), 0);
    const double *v = values((PyArrayObject *)array.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "values is empty: a scale needs at least one value");
        return nullptr;
    }
    double max = v[0], min = v[0];
    for (npy_intp i = 0; i < n; i++) {
        if (!std::isfinite(v[i])) {
            PyErr_SetString(PyExc_ValueError, "values contain nan or infinite values");
            return nullptr;
        }
        max = std::max(max, v[i]);
        min = std::min(min, v[i]);
    }
    double scale = 1.0, offset = 0.0;
    detect_input_scale(max, min, &scale, &offset);
    return Py_BuildValue("(dd)", scale, offset);
}

PyMethodDef linalg_methods[] = {
    {"normal_equations", (PyCFunction)(void (*)(void))equations, METH_FASTCALL,
     "normal_equations(jacobian, residual, curvature): (jacobian.T @ residual, jacobian.T @ (jacobian * "
     "curvature[:, None])), summed as transposed_product and weighted_gram sum them; None when an entry of "
     "jacobian is not finite."},
    {"damped_solve", (PyCFunction)(void (*)(void))damped, METH_FASTCALL,
     "damped_solve(hessian, gradient, damping): the solution of (hessian + diag(damping * max(diag(hessian), "
     "floor) + floor)) x = gradient, floor being 1e-12 of the largest diagonal entry (at least of 1e-300); "
     "None when a pivot is zero or not finite."},
    {"unexplained", (PyCFunction)(void (*)(void))unexplained_by, METH_FASTCALL,
     "unexplained(values, bases): for each basis (a sequence of columns), the mean squared residual of values "
     "after least squares on a constant and its columns; the variance of values where a column is not finite "
     "or the columns tell nothing apart."},
    {"line_fit", (PyCFunction)(void (*)(void))line_fit, METH_FASTCALL,
     "line_fit(a, y, weights[, offset, scale]): (weight, bias) of the weighted least-squares line through "
     "(a, (y - offset) / scale) (weights None: all 1; offset 0, scale 1 by default); (0, mean) when a hardly "
     "varies; None when a value of a is not finite, the weights sum to nothing or the line is not finite."},
    {"input_scale", (PyCFunction)(void (*)(void))input_scale, METH_FASTCALL,
     "input_scale(values): (scale, offset) that map the finite values' range onto -1..1 as the numeric input "
     "register maps its column, x -> (x - offset) * scale; (1.0, 0.0) when the values are all equal."},
    {nullptr, nullptr, 0, nullptr},
};

int linalg_exec(PyObject *)
{
    return _import_array();
}

PyModuleDef_Slot linalg_slots[] = {
    {Py_mod_exec, (void *)linalg_exec},
    {0, nullptr},
};

PyModuleDef linalg_module = {
    PyModuleDef_HEAD_INIT,
    "vant._linalg",
    "Sums over rows and small linear solves in one fixed order, whatever the thread count.",
    0,
    linalg_methods,
    linalg_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__linalg(void) { return PyModuleDef_Init(&linalg_module); }
