// Category hashmap: chained buckets of Python keys, told apart as dicts do.
#include "hashtable.h"

#include <cstdlib>

// The hash is taken as unsigned so that negative hashes land in a valid
// bucket; every operation must agree on this.
static size_t bucket_of(Py_hash_t hash)
{
    return (size_t)((uint64_t)hash % (uint64_t)CATEGORY_BUCKETS);
}

// The entry of `key` in its bucket, or null.  Among entries with the key's
// hash, the one whose key is the same object or compares equal (as a dict
// decides); -1 with the Python exception when a comparison raises.  The
// owner keeps the map unchanged meanwhile (a model is busy while it binds).
static int find_in_bucket(const CategoryHashmap *map, PyObject *key, Py_hash_t hash, CategoryEntry **found)
{
    *found = nullptr;
    for (CategoryEntry *entry = map->buckets[bucket_of(hash)]; entry != nullptr; entry = entry->next) {
        if (entry->hash != hash) {
            continue;
        }
        if (entry->key == key) {
            *found = entry;
            return 0;
        }
        // Held for the comparison, which may run Python code.
        PyObject *stored = Py_NewRef(entry->key);
        int equal = PyObject_RichCompareBool(stored, key, Py_EQ);
        Py_DECREF(stored);
        if (equal < 0) {
            return -1;
        }
        if (equal > 0) {
            *found = entry;
            return 0;
        }
    }
    return 0;
}

// PyObject_Hash never gives -1 for a hashable object; -1 with a pending
// exception means the key is unhashable.
static bool hash_key(PyObject *key, Py_hash_t *hash)
{
    *hash = PyObject_Hash(key);
    return !(*hash == -1 && PyErr_Occurred());
}

CategoryEntry *category_hashmap_find(CategoryHashmap *map, PyObject *key)
{
    Py_hash_t hash;
    CategoryEntry *found;
    if (!hash_key(key, &hash) || find_in_bucket(map, key, hash, &found) < 0) {
        return nullptr;
    }
    return found;
}

KESTOR_EXPORT CategoryEntry *category_hashmap_get(CategoryHashmap *map, PyObject *key)
{
    Py_hash_t hash;
    CategoryEntry *found;
    if (!hash_key(key, &hash) || find_in_bucket(map, key, hash, &found) < 0) {
        return nullptr;  // nothing created, the cycle not advanced
    }
    if (found != nullptr) {
        return found;
    }

    CategoryEntry *entry = (CategoryEntry *)std::malloc(sizeof(CategoryEntry));
    if (entry == nullptr) {
        PyErr_NoMemory();
        return nullptr;  // nothing linked, the cycle not advanced
    }
    size_t bucket = bucket_of(hash);
    entry->next = map->buckets[bucket];
    entry->weight = (double)map->initial_weights[map->next_initial];
    entry->key = Py_NewRef(key);
    entry->hash = hash;
    map->next_initial = (map->next_initial + 1) % CATEGORY_INITIAL_WEIGHTS;
    map->buckets[bucket] = entry;
    map->count += 1;
    return entry;
}

KESTOR_EXPORT int32_t category_hashmap_clear(CategoryHashmap *map)
{
    for (int b = 0; b < CATEGORY_BUCKETS; ++b) {
        while (map->buckets[b] != nullptr) {
            // Unlink before releasing the key: releasing may run Python code
            // (a finaliser) that looks at this map.
            CategoryEntry *head = map->buckets[b];
            map->buckets[b] = head->next;
            map->count -= 1;
            PyObject *key = head->key;
            std::free(head);
            Py_DECREF(key);
        }
    }
    return 0;
}

static CategoryEntry *first_from_bucket(CategoryHashmap *map, size_t bucket)
{
    for (size_t b = bucket; b < (size_t)CATEGORY_BUCKETS; ++b) {
        if (map->buckets[b] != nullptr) {
            return map->buckets[b];
        }
    }
    return nullptr;
}

KESTOR_EXPORT CategoryEntry *category_hashmap_iterate(CategoryHashmap *map, CategoryEntry *current)
{
    if (current == nullptr) {
        return first_from_bucket(map, 0);
    }
    if (current->next != nullptr) {
        return current->next;
    }
    return first_from_bucket(map, bucket_of(current->hash) + 1);
}
