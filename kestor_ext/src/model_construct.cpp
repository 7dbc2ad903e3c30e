// Model construction and destruction: the elements from their type names,
// their parameters, and the loss by name.
#include "loss.h"
#include "model_parts.h"
#include "owned_ref.h"

#include <algorithm>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// Loss functions by name (loss.h).

struct LossPair {
    const char *name;
    LossFunction loss;
    LossFunction derivative;
};

constexpr LossPair loss_pairs[] = {
    {"absolute_error", absolute_error, absolute_error_derivative},
    {"squared_error", squared_error, squared_error_derivative},
    {"binary_cross_entropy", binary_cross_entropy, binary_cross_entropy_derivative},
};

// ---------------------------------------------------------------------------
// Construction and destruction.

// Detaches every element from the model first and only then releases the
// states, so that code run by releasing an array or a key never sees a
// half-cleared model.
void release_elements(PyModel *self)
{
    int32_t count = self->count;
    void *states[MAX_ELEMENTS];
    InteractionType *types[MAX_ELEMENTS];
    char *names[MAX_ELEMENTS];
    std::copy(self->state, self->state + MAX_ELEMENTS, states);
    std::copy(self->type, self->type + MAX_ELEMENTS, types);
    std::copy(self->name, self->name + MAX_ELEMENTS, names);

    self->count = 0;
    self->batch_length = 0;
    std::fill(self->state, self->state + MAX_ELEMENTS, nullptr);
    std::fill(self->type, self->type + MAX_ELEMENTS, nullptr);
    std::fill(self->name, self->name + MAX_ELEMENTS, nullptr);
    std::fill(self->activation, self->activation + MAX_ELEMENTS, 0.0);
    std::fill(self->gradient, self->gradient + MAX_ELEMENTS, 0.0);
    std::fill(self->second_operand, self->second_operand + MAX_ELEMENTS, 0);
    self->loss_fn = nullptr;
    self->loss_derivative = nullptr;
    self->rate_factor = 0.0;
    self->schedule = UpdateSchedule{1.0, 1.0, CORRECT_NEITHER};

    for (int32_t i = 0; i < count && i < MAX_ELEMENTS; i++) {
        if (states[i] != nullptr && types[i] != nullptr && types[i]->deallocate != nullptr) {
            types[i]->deallocate(self, i, states[i]);
        }
        std::free(names[i]);
    }
}

// Reads item j of a list as UTF-8, replacing the interpreter's error.
const char *list_item_utf8(PyObject *list, Py_ssize_t j, const char *message)
{
    const char *text = nullptr;
    if (j < PyList_GET_SIZE(list)) {
        PyObject *item = PyList_GET_ITEM(list, j);
        Py_ssize_t size = 0;
        text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text != nullptr && std::strlen(text) != (size_t)size) {
            text = nullptr;  // an embedded NUL would silently cut the name short
        }
    }
    if (text == nullptr) {
        PyErr_SetString(PyExc_ValueError, message);
    }
    return text;
}

int build_elements(PyModel *self, PyObject *dnames, PyObject *fnames)
{
    for (int32_t j = 0; j < self->count; j++) {
        const char *dname = list_item_utf8(dnames, j, "dnames must be strings");
        if (dname == nullptr) {
            return -1;
        }
        const char *fname = list_item_utf8(fnames, j, "fnames must be strings");
        if (fname == nullptr) {
            return -1;
        }
        InteractionType *type = kestor_find_interactiontype(fname);
        self->type[j] = type;
        if (type == nullptr) {
            PyErr_Format(PyExc_ValueError, "No such interaction type: '%s'", fname);
            return -1;
        }
        if (type->allocate != nullptr) {
            self->state[j] = type->allocate(self, j);
            if (self->state[j] == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        }
        if (dname[0] != '\0') {
            self->name[j] = strdup(dname);
            if (self->name[j] == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        }
    }
    return 0;
}

void find_second_operands(PyModel *self)
{
    for (int32_t i = 0; i < self->count; i++) {
        if (self->type[i]->arity <= 1) {
            continue;
        }
        self->second_operand[i] = -2;
        int32_t open = 1;
        for (int32_t j = i + 1; j < self->count; j++) {
            open = open + self->type[j]->arity - 1;
            if (open == 0) {
                self->second_operand[i] = j + 1;
                break;
            }
        }
    }
}

int select_loss(PyModel *self, const char *loss)
{
    for (const LossPair &pair : loss_pairs) {
        if (std::strcmp(loss, pair.name) == 0) {
            self->loss_fn = pair.loss;
            self->loss_derivative = pair.derivative;
            return 0;
        }
    }
    PyErr_SetString(PyExc_ValueError, "Invalid loss function speficied");
    return -1;
}

// Looks a parameter up in an element's dictionary; a strong reference, so a
// value whose conversion code mutates the dictionary stays alive.
int lookup_parameter(PyObject *params, int32_t i, const char *name, OwnedRef *value)
{
    if (i >= PyList_GET_SIZE(params)) {
        return 0;
    }
    PyObject *dict = PyList_GET_ITEM(params, i);
    if (!PyDict_Check(dict)) {
        return 0;
    }
    OwnedRef keep_dict(Py_NewRef(dict));
    OwnedRef key(PyUnicode_FromString(name));
    if (!key) {
        return -1;
    }
    PyObject *found = PyDict_GetItemWithError(keep_dict.get(), key.get());
    if (found == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    value->reset(Py_NewRef(found));
    return 1;
}

int apply_parameters(PyModel *self, PyObject *params)
{
    for (int32_t i = 0; i < self->count; i++) {
        InteractionType *type = self->type[i];
        if (type->attributes == nullptr || type->setattr == nullptr) {
            continue;
        }
        for (const char *const *attr = type->attributes; *attr != nullptr; attr++) {
            OwnedRef value;
            int found = lookup_parameter(params, i, *attr, &value);
            if (found < 0) {
                return -1;  // a key comparison raised
            }
            if (found == 0) {
                continue;
            }
            if (type->setattr(self, i, *attr, value.get()) != 0) {
                PyErr_Format(PyExc_RuntimeError, "Internal error setting attribute for %s", type->name);
                return -1;
            }
        }
    }
    return 0;
}

int construct(PyModel *self, PyObject *dnames, PyObject *fnames, PyObject *params, const char *loss)
{
    Py_ssize_t count = PyList_GET_SIZE(dnames);
    if (count > MAX_ELEMENTS) {
        PyErr_Format(PyExc_ValueError, "Model has %zd elements, more than the maximum of %d", count,
                     MAX_ELEMENTS);
        return -1;
    }
    self->count = (int32_t)count;
    if (PyList_GET_SIZE(fnames) != count) {
        PyErr_SetString(PyExc_ValueError, "dnames and fnames have different lengths");
        return -1;
    }
    if (PyList_GET_SIZE(params) != count) {
        PyErr_SetString(PyExc_ValueError, "dnames and params have different lengths");
        return -1;
    }
    if (build_elements(self, dnames, fnames) < 0) {
        return -1;
    }
    find_second_operands(self);
    if (select_loss(self, loss) < 0) {
        return -1;
    }
    return apply_parameters(self, params);
}

}  // namespace

int PyModel_init(PyObject *obj, PyObject *args, PyObject *kwds)
{
    PyModel *self = (PyModel *)obj;
    if (refuse_if_busy(self)) {
        return -1;
    }
    static const char *kwlist[] = {"dnames", "fnames", "params", "sample_count", "loss", nullptr};
    PyObject *dnames, *fnames, *params;
    const char *loss;
    static_assert(sizeof(int) == sizeof(int32_t), "sample_count is parsed as a C int");
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!O!O!is", (char **)kwlist, &PyList_Type, &dnames, &PyList_Type,
                                     &fnames, &PyList_Type, &params, (int *)&self->sample_count, &loss)) {
        return -1;
    }

    // Releasing earlier elements and setting parameters can run Python code
    // (finalisers, __float__): keep the argument lists alive and the model
    // closed to other calls meanwhile.
    OwnedRef keep_d(Py_NewRef(dnames)), keep_f(Py_NewRef(fnames)), keep_p(Py_NewRef(params));
    int rc;
    {
        BusyScope busy(self);
        // A second initialisation yields exactly a freshly built model.
        release_elements(self);
        rc = construct(self, dnames, fnames, params, loss);
    }
    if (rc < 0) {
        // Leave an empty model rather than one with unset element slots.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        release_elements(self);
        PyErr_Restore(type, value, tb);
        return -1;
    }
    return 0;
}

void PyModel_dealloc(PyObject *obj)
{
    release_elements((PyModel *)obj);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject *PyModel_str(PyObject *obj)
{
    char buffer[40];
    snprintf(buffer, sizeof buffer, "_kestor.Model (%i elementstate)", ((PyModel *)obj)->count);
    return PyUnicode_FromString(buffer);
}
