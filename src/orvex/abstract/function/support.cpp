// Runtime helpers shared by the function bodies: module-level names looked up
// at call time, the presence test, message joining and raising a new exception.
#include "function.hpp"

#include "../compat.hpp"

namespace orvex::abstract {

PyObject* lookup_global(PyObject* globals, PyObject* name) noexcept {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found) return Ref::borrow(found).release();
    if (PyErr_Occurred()) return nullptr;
    return lookup_builtin(name);
}

PyObject* lookup_builtin(PyObject* name) noexcept {
    PyObject* value = PyObject_GetAttr(state.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

int has_attr(PyObject* obj, PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
        return -1;
    }
    // Any exception, not only AttributeError, counts as absence. The lookup
    // that tells absence apart spares the generic lookup its AttributeError.
    PyObject* value = nullptr;
    const int found = compat::get_optional_attr(obj, name, &value);
    Ref held = Ref::steal(value);
    if (found < 0) PyErr_Clear();
    return found > 0 ? 1 : 0;
}

PyObject* join_str(PyObject* const* items, Py_ssize_t n) noexcept {
    constexpr Py_ssize_t max_items = 8;
    Ref parts[max_items];
    if (n > max_items) {
        PyErr_BadInternalCall();
        return nullptr;
    }
    Py_ssize_t length = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        parts[k] = Ref::steal(PyObject_Str(items[k]));
        if (!parts[k]) return nullptr;
        const Py_ssize_t piece = PyUnicode_GET_LENGTH(parts[k].get());
        if (piece > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return nullptr;
        }
        length += piece;
    }
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) PyList_SET_ITEM(list.get(), k, parts[k].release());
    return PyUnicode_Join(state.empty_str, list.get());
}

PyObject* raise_new(PyObject* exc_type, PyObject* message) noexcept {
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(exc_type, message, nullptr));
    if (!exc) return nullptr;
    if (PyExceptionClass_Check(exc.get())) {
        PyErr_SetObject(exc.get(), nullptr);
    } else if (PyExceptionInstance_Check(exc.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

Ref take_if(PyObject* type) noexcept {
    Ref exc = Ref::steal(compat::exc_take());
    if (exc && PyErr_GivenExceptionMatches(exc.get(), type)) return exc;
    compat::exc_give(exc.release());
    return Ref();
}

void chain_to_handled(Ref handled) noexcept {
    Ref raised = Ref::steal(compat::exc_take());
    if (raised && handled && raised.get() != handled.get()) PyException_SetContext(raised.get(), handled.release());
    compat::exc_give(raised.release());
}

}  // namespace orvex::abstract
