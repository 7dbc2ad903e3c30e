// "in-cat:0": categorical input register.
//
// Every distinct value of the bound column has its own learnable weight in
// the element's category hashmap; the activation is that weight plus a
// learnable bias, with the weight capped.  All hashing and reference counting
// happens while binding (lock held); forward and reverse only follow the
// entry addresses resolved then.
#include "hashtable.h"
#include "register_cat.h"
#include "../adam_step.h"
#include "../owned_ref.h"
#include "../parameter.h"
#include "../predict.h"

#include <cstdlib>

namespace {

// Starting weights handed out to new categories in turn: every multiple of
// 0.005 from -0.05 to 0.045, stored as 32-bit floats.
constexpr float INITIAL_WEIGHT_CYCLE[CATEGORY_INITIAL_WEIGHTS] = {
    -0.01f, 0.01f, 0.0f,    -0.005f, 0.02f,   0.04f,   0.015f, 0.035f, -0.045f, 0.005f,
    -0.05f, -0.03f, -0.04f, -0.035f, 0.025f, -0.025f, 0.045f, -0.02f, -0.015f, 0.03f,
};

// The entry array stores CategoryEntry addresses as numpy longs.
static_assert(NPY_LONG == 7, "entry arrays use element type number 7");
static_assert(sizeof(npy_long) == sizeof(int64_t), "entry arrays hold 64-bit integers");
static_assert(sizeof(CategoryEntry *) <= sizeof(int64_t), "an entry address fits a 64-bit integer");

struct CategoricalInputState {
    int32_t position;
    PyArrayObject *entries;  // one CategoryEntry address per sample, or null
    CategoryHashmap *hashmap;
    CategoryEntry **current_entry;  // the entry the last forward used
    double bias;
    double bias_m;
    double bias_v;
    // Captured when the entry array is bound, for reads without the lock.
    const char *entries_data;
    npy_intp entries_stride;
    npy_intp entries_length;
};

CategoricalInputState *state_of(const PyModel *model, int32_t index)
{
    return (CategoricalInputState *)model->state[index];
}

void unbind_entries(CategoricalInputState *s)
{
    s->position = 0;
    s->entries_data = nullptr;
    s->entries_stride = 0;
    s->entries_length = 0;
    PyArrayObject *old = s->entries;
    s->entries = nullptr;
    Py_XDECREF(old);
}

void bind_entries(CategoricalInputState *s, PyArrayObject *entries)
{
    unbind_entries(s);
    s->entries = entries;
    s->entries_data = PyArray_BYTES(entries);
    s->entries_stride = PyArray_STRIDES(entries)[0];
    s->entries_length = PyArray_DIMS(entries)[0];
}

CategoryEntry *entry_at(const CategoricalInputState *s, npy_intp position)
{
    int64_t address;
    std::memcpy(&address, s->entries_data + position * s->entries_stride, sizeof address);
    return (CategoryEntry *)(intptr_t)address;
}

void store_entry(PyArrayObject *entries, npy_intp i, const CategoryEntry *entry)
{
    int64_t address = (int64_t)(intptr_t)entry;
    std::memcpy(PyArray_BYTES(entries) + i * PyArray_STRIDES(entries)[0], &address, sizeof address);
}

double activation_of(double weight, double bias)
{
    if (weight > CAT_MAX) {
        return CAT_MAX;  // the bias is not added above the cap
    }
    return weight + bias;
}

// The column element at position i as a new Python object.  numpy's inline
// PyDataType_GetArrFuncs picks, at run time, the accessor function of
// numpy 2 or the legacy descriptor field of numpy 1.x (headers built with a
// target version below 2.0 switch on the run-time C-API version).
PyObject *column_item(PyArrayObject *column, npy_intp i)
{
    char *at = PyArray_BYTES(column) + i * PyArray_STRIDES(column)[0];
    return PyDataType_GetArrFuncs(PyArray_DESCR(column))->getitem(at, column);
}

// ---------------------------------------------------------------------------
// Element lifecycle.

void *cat_allocate(PyModel * /*model*/, int32_t /*index*/)
{
    auto *s = (CategoricalInputState *)std::calloc(1, sizeof(CategoricalInputState));
    if (s == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    s->hashmap = (CategoryHashmap *)PyMem_Calloc(1, sizeof(CategoryHashmap));
    s->current_entry = (CategoryEntry **)PyMem_Calloc(1, sizeof(CategoryEntry *));
    if (s->hashmap == nullptr || s->current_entry == nullptr) {
        PyMem_Free(s->hashmap);
        PyMem_Free(s->current_entry);
        std::free(s);
        PyErr_NoMemory();
        return nullptr;
    }
    std::memcpy(s->hashmap->initial_weights, INITIAL_WEIGHT_CYCLE, sizeof INITIAL_WEIGHT_CYCLE);
    s->hashmap->next_initial = std::rand() % CATEGORY_INITIAL_WEIGHTS;
    s->bias = 0.0;
    return s;
}

void cat_deallocate(PyModel * /*model*/, int32_t /*index*/, void *state)
{
    auto *s = (CategoricalInputState *)state;
    unbind_entries(s);  // before the entries it points at are freed
    category_hashmap_clear(s->hashmap);
    PyMem_Free(s->hashmap);
    PyMem_Free(s->current_entry);
    std::free(s);
}

// Resolves every sample of the column to its category entry, creating
// entries for new categories.  On failure nothing is bound; entries created
// for earlier samples stay in the map (they are complete and consistent).
int32_t cat_set_inputarray(PyModel *model, int32_t index, PyObject *array)
{
    CategoricalInputState *s = state_of(model, index);
    unbind_entries(s);
    if (array == nullptr) {
        return 0;
    }
    // The driver hands over a one-dimensional array of at most INT32_MAX samples.
    auto *column = (PyArrayObject *)array;
    npy_intp length = PyArray_DIMS(column)[0];
    OwnedRef entries(PyArray_New(&PyArray_Type, 1, &length, NPY_LONG, nullptr, nullptr, 0, 0, nullptr));
    if (!entries) {
        return -1;
    }
    auto *entry_array = (PyArrayObject *)entries.get();
    for (npy_intp i = 0; i < length; ++i) {
        OwnedRef category(column_item(column, i));
        if (!category) {
            return -1;
        }
        CategoryEntry *entry = category_hashmap_get(s->hashmap, category.get());
        if (entry == nullptr) {
            return -1;
        }
        store_entry(entry_array, i, entry);
    }
    // Binding last also drops anything a re-entrant call (from a category's
    // __hash__) may have bound meanwhile.
    bind_entries(s, (PyArrayObject *)entries.release());
    return 0;
}

// ---------------------------------------------------------------------------
// Training passes: no interpreter API, no allocation.  A call for more than
// one sample handles one, as the cell for the current entry holds one.

int32_t cat_forward(PyModel *model, int32_t index, int32_t n)
{
    CategoricalInputState *s = state_of(model, index);
    if (n <= 0) {
        return STATUS_OK;
    }
    if (s->entries_data == nullptr || s->position < 0 || s->position >= s->entries_length) {
        *s->current_entry = nullptr;  // so that reverse cannot train a stale category
        return STATUS_OUT_OF_RANGE;
    }
    CategoryEntry *entry = entry_at(s, s->position);
    *s->current_entry = entry;
    model->activation[index] = activation_of(entry->weight, s->bias);
    s->position += 1;
    return STATUS_OK;
}

int32_t cat_reverse(PyModel *model, int32_t index, int32_t n)
{
    CategoricalInputState *s = state_of(model, index);
    double lr = 0.001 * model->rate_factor;
    double g = n > 0 ? model->gradient[index] : 0.0;
    CategoryEntry *entry = *s->current_entry;
    if (n > 0 && entry != nullptr) {
        entry->weight = entry->weight - g * lr;  // plain gradient step, no moments
    }
    adam_step(s->bias, s->bias_m, s->bias_v, g, lr, model->schedule);
    return STATUS_OK;
}

// ---------------------------------------------------------------------------
// Parameters.

PyObject *categories_as_list(CategoryHashmap *map)
{
    OwnedRef list(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (CategoryEntry *e = category_hashmap_iterate(map, nullptr); e != nullptr;
         e = category_hashmap_iterate(map, e)) {
        OwnedRef weight(PyFloat_FromDouble(e->weight));
        if (!weight) {
            return nullptr;
        }
        OwnedRef pair(PyTuple_Pack(2, e->key, weight.get()));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject *cat_getattr(PyModel *model, int32_t index, const char *name)
{
    CategoricalInputState *s = state_of(model, index);
    if (name_is(name, "bias")) {
        return PyFloat_FromDouble(s->bias);
    }
    if (name_is(name, "categories")) {
        return categories_as_list(s->hashmap);
    }
    return nullptr;
}

// Restores one (category, weight) pair.  The weight is converted before the
// entry is looked up, so a bad weight leaves no entry behind for its key.
int32_t restore_category(CategoryHashmap *map, PyObject *item)
{
    if (!PySequence_Check(item) || PySequence_Size(item) != 2) {
        PyErr_SetString(PyExc_ValueError, "Items in categorical states must be tuples of length 2");
        return -1;
    }
    OwnedRef key(PySequence_GetItem(item, 0));
    if (!key) {
        return -1;
    }
    OwnedRef weight_object(PySequence_GetItem(item, 1));
    if (!weight_object) {
        return -1;
    }
    double weight = PyFloat_AsDouble(weight_object.get());
    if (weight == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    CategoryEntry *entry = category_hashmap_get(map, key.get());
    if (entry == nullptr) {
        return -1;
    }
    entry->weight = weight;
    return 0;
}

int32_t restore_categories(CategoricalInputState *s, PyObject *value)
{
    if (!PyList_Check(value)) {
        PyErr_SetString(PyExc_ValueError, "Categorical registers expects list states");
        return -1;
    }
    // Bound entry addresses and the current entry would dangle after the clear.
    unbind_entries(s);
    *s->current_entry = nullptr;
    category_hashmap_clear(s->hashmap);
    // The length is read at every step: item conversions may run Python code
    // that changes the list, so each item is also held while it is used.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        OwnedRef item(Py_NewRef(PyList_GET_ITEM(value, i)));
        if (restore_category(s->hashmap, item.get()) != 0) {
            return -1;  // the items restored so far stay
        }
    }
    return 0;
}

int32_t cat_setattr(PyModel *model, int32_t index, const char *name, PyObject *value)
{
    CategoricalInputState *s = state_of(model, index);
    if (name_is(name, "bias")) {
        double bias;
        if (!parameter_as_double(value, &bias)) {
            return -1;
        }
        s->bias = bias;
        return 0;
    }
    if (name_is(name, "categories")) {
        return restore_categories(s, value);
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Prediction: every sample's activation is computed while binding, from a
// lookup that creates nothing, so predicting leaves the hashmap untouched.

int32_t cat_predict_bind(PyModel *model, int32_t index, PyObject *array, PredictColumn *out)
{
    CategoricalInputState *s = state_of(model, index);
    // The driver hands over a one-dimensional array of at most INT32_MAX samples.
    auto *column = (PyArrayObject *)array;
    npy_intp length = PyArray_DIMS(column)[0];
    OwnedRef activations(PyArray_New(&PyArray_Type, 1, &length, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
    if (!activations) {
        return -1;
    }
    auto *out_array = (PyArrayObject *)activations.get();
    for (npy_intp i = 0; i < length; ++i) {
        OwnedRef category(column_item(column, i));
        if (!category) {
            return -1;
        }
        CategoryEntry *entry = category_hashmap_find(s->hashmap, category.get());
        if (entry == nullptr && PyErr_Occurred()) {
            return -1;
        }
        double weight = entry != nullptr ? entry->weight : 0.0;  // unseen: the bias alone
        double activation = activation_of(weight, s->bias);
        std::memcpy(PyArray_BYTES(out_array) + i * PyArray_STRIDES(out_array)[0], &activation, sizeof activation);
    }
    out->owned = activations.release();
    out->column = column_of((PyArrayObject *)out->owned);
    return 0;
}

int32_t cat_predict_value(const PyModel * /*model*/, int32_t index, npy_intp p, const PredictColumn *column,
                          double *values)
{
    if (p < 0 || p >= column->column.length) {
        return STATUS_OUT_OF_RANGE;
    }
    return read_typed(column->column, p, &values[index]) ? STATUS_OK : STATUS_UNSUPPORTED;
}

// ---------------------------------------------------------------------------
// Registration.

const char *const cat_attributes[] = {"categories", "bias", nullptr};

InteractionType cat_descriptor = {
    "in-cat:0",          // name
    0,                   // arity
    cat_forward,         // forward
    cat_reverse,         // reverse
    cat_attributes,      // attributes
    cat_setattr,         // setattr
    cat_getattr,         // getattr
    cat_allocate,        // allocate
    cat_deallocate,      // deallocate
    cat_set_inputarray,  // set_inputarray
    nullptr,             // set_expectedarray
    nullptr,             // create_outputarray
    nullptr,             // get_outputarray
    nullptr,             // next
};

const PredictOps cat_predict_ops = {
    cat_predict_bind,   // bind
    cat_predict_value,  // value
};

}  // namespace

void init_register_cat() { register_interaction(&cat_descriptor, &cat_predict_ops); }
