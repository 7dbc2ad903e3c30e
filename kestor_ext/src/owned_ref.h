// Owned reference holder for paths that hold the interpreter lock.
#ifndef KESTOR_OWNED_REF_H
#define KESTOR_OWNED_REF_H

#include "kestor.h"

class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject *steal) : ptr_(steal) {}
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    OwnedRef(OwnedRef &&other) noexcept : ptr_(other.release()) {}
    OwnedRef &operator=(OwnedRef &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(ptr_); }

    PyObject *get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    PyObject *release()
    {
        PyObject *p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    void reset(PyObject *steal = nullptr)
    {
        PyObject *old = ptr_;
        ptr_ = steal;
        Py_XDECREF(old);
    }

private:
    PyObject *ptr_ = nullptr;
};

#endif  // KESTOR_OWNED_REF_H
