// The attribute collectors (default and device) and the device variant of the
// decorator. Their definitions are turned into function objects by module
// initialisation (decorator.cpp).
#pragma once

#include "../function/function.hpp"

namespace orvex::abstract {

// The module body's definitions of default_token_getter and
// from_device_token_getter, stored in the namespace. Returns 0, or -1 after
// init.fail().
int make_token_getters(InitSteps& init) noexcept;

// lookup_from_device, stored in the namespace and set on LookupDecorator as
// from_device (after the class). Returns 0, or -1 after init.fail().
int make_lookup_from_device(InitSteps& init) noexcept;

// default_token_getter(getter's obj, attrs) as a fetch calls it, when
// `getter` is that function and `attrs` an exact tuple of at most `most`
// names: the values into `out` (new references), and their count; -1 after
// the getter's own fail(), as the call would fail; -2, having read nothing,
// when it must be called as a function.
Py_ssize_t default_tokens(PyObject* getter, PyObject* obj, PyObject* attrs, PyObject** out, Py_ssize_t most) noexcept;

// default_token_getter(obj, attrs): first line 9.
extern const FunctionDef default_token_getter_def;
// from_device_token_getter(obj, defaults=[]): first line 38.
extern const FunctionDef from_device_token_getter_def;
// lookup_from_device(*args, **kwargs): first line 238.
extern const FunctionDef lookup_from_device_def;

}  // namespace orvex::abstract
