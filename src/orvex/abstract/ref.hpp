// Owned references. Every reference the module takes lives in a Ref; a raw
// PyObject* never owns anything. Used by every room of the extension.
//
// Rules of use:
//  - Ref::steal(new_reference) takes over a new reference (nullptr allowed:
//    the result of a failed call; test it with `if (!r)`).
//  - Ref::borrow(p) takes a reference of its own to a borrowed pointer.
//  - get() lends the pointer to a C-API call; release() hands the reference on.
//  - Struct fields of Python objects stay raw and change through set_field().
#pragma once

#include <Python.h>

#include <utility>

namespace orvex::abstract {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        // Swap first, release after: the release may run arbitrary code.
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    void reset() noexcept { *this = Ref(); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// Stores a new (owned) value into a raw struct field, then releases the old
// one: a release may run __del__, which must already see the new value.
inline void set_field(PyObject*& field, Ref value) noexcept {
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

}  // namespace orvex::abstract
