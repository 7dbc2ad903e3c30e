// Category hashmap: one learnable weight per distinct category value.
//
// Keys are told apart as dict keys are: an entry is the one whose key has the
// same hash and is the same object or compares equal, so 1, 1.0 and True are
// one category while -1 and -2 (equal hashes) are two.  The table has a fixed
// number of buckets and never rehashes; a new entry goes at the head of its
// bucket and takes its starting weight from a fixed cycle.
#ifndef KESTOR_CATEGORICAL_HASHTABLE_H
#define KESTOR_CATEGORICAL_HASHTABLE_H

#include "../kestor.h"

constexpr int CATEGORY_BUCKETS = 719;
constexpr int CATEGORY_INITIAL_WEIGHTS = 20;

struct CategoryEntry {
    CategoryEntry *next;  // next entry of the same bucket, older
    double weight;
    PyObject *key;        // strong reference
    Py_hash_t hash;       // PyObject_Hash of the key when the entry was made
};

// Callers outside the module (ctypes) build this record themselves, so its
// layout is part of the interface.
struct CategoryHashmap {
    int32_t count;
    CategoryEntry *buckets[CATEGORY_BUCKETS];
    float initial_weights[CATEGORY_INITIAL_WEIGHTS];
    int32_t next_initial;  // index of the weight the next new entry receives
};

// Finds or creates the entry of `key`.  Returns nullptr with a Python
// exception set when the key cannot be hashed, a comparison with a stored key
// raises or memory runs out; the map is unchanged then.  Needs the
// interpreter lock.
KESTOR_EXPORT CategoryEntry *category_hashmap_get(CategoryHashmap *map, PyObject *key);

// Frees every entry and releases its key; the initial-weight cycle goes on
// where it stood.  Returns 0.  Needs the interpreter lock.
KESTOR_EXPORT int32_t category_hashmap_clear(CategoryHashmap *map);

// Entry after `current` (the first when `current` is null), null after the
// last: buckets in ascending order, newest first within a bucket.
KESTOR_EXPORT CategoryEntry *category_hashmap_iterate(CategoryHashmap *map, CategoryEntry *current);

// Finds the entry of `key` without creating one.  Returns nullptr both when
// the key is absent and when it cannot be hashed or compared; only the latter
// leaves a Python exception set (tell them apart with PyErr_Occurred).
CategoryEntry *category_hashmap_find(CategoryHashmap *map, PyObject *key);

#endif  // KESTOR_CATEGORICAL_HASHTABLE_H
