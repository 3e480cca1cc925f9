// The class LookupDecorator: construction and method capture, attribute-time
// lookup with package root discovery, and the dispatch wrapper with the
// closure record it reads. Module initialisation (decorator.cpp) turns the
// definitions into the class's functions.
#pragma once

#include "../function/function.hpp"

namespace orvex::abstract {

// What one __get__ call shares with the wrapper it makes: two owned fields,
// empty until set; the collector clears both to None.
struct ClosureRecord {
    PyObject_HEAD
    PyObject* func;
    PyObject* instance;
};

extern PyTypeObject closure_record_type;

// Makes the closure record type ready. Returns 0, or -1 with an exception set.
int closure_record_type_ready() noexcept;

// A new record with both fields empty; new reference or nullptr.
PyObject* closure_record_new() noexcept;

// Notes what `functools` holds as the module is imported, so that fetches
// can tell when it is unchanged. Never fails.
void remember_functools(PyObject* functools) noexcept;

// functools.wraps(func)(wrapper) over a new dispatch wrapper that calls
// `func` with `instance` first (both borrowed), for `__get__` (`self`). New
// reference, or nullptr after fail().
PyObject* make_wrapper(FunctionObject* self, PyObject* func, PyObject* instance) noexcept;

// The class's tp_descr_get: what the slot made for a class with __get__
// does, with the module's own __get__ called without an argument tuple.
PyObject* lookup_decorator_descr_get(PyObject* self, PyObject* obj, PyObject* type) noexcept;

// The fetch slot that the class takes: lookup_decorator_descr_get, and on a
// failed fetch through an object the note that names the explain() call.
PyObject* lookup_decorator_descr_get_noted(PyObject* self, PyObject* obj, PyObject* type) noexcept;

// What __call__ refuses before it records anything: a classmethod,
// staticmethod or property object, or a class that holds `decorator` under
// @classmethod. Returns 0, or -1 with TypeError set; both borrowed.
int refuse_method(PyObject* decorator, PyObject* method) noexcept;

// Adds __set_name__ and __isabstractmethod__ to the class `cls` (borrowed).
// Returns 0, or -1 with an exception set.
int add_misuse_checks(PyObject* cls) noexcept;

// The module body's class statement: class LookupDecorator, with its three
// functions, stored in the namespace. Returns 0, or -1 after init.fail().
int make_lookup_decorator_class(InitSteps& init) noexcept;

// LookupDecorator.__init__(self, *attrs, builder=..., attr_getter=..., **builder_kwargs): line 106.
extern const FunctionDef init_def;
// LookupDecorator.__call__(self, method): line 122.
extern const FunctionDef call_def;
// LookupDecorator.__get__(self, instance, owner): line 135.
extern const FunctionDef get_def;
// LookupDecorator.__get__.<locals>.wrapper(*args, **kwargs): line 230.
extern const FunctionDef wrapper_def;

}  // namespace orvex::abstract
