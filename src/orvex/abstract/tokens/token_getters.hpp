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

// Whether default_tokens() stands for the call getter(obj, attrs): `getter`
// is default_token_getter, able to run, and `attrs` an exact tuple of at
// most `most` names.
bool default_tokens_apply(PyObject* getter, PyObject* attrs, Py_ssize_t most) noexcept;

// default_token_getter(obj, attrs) as a fetch calls it, where
// default_tokens_apply() said so: the values into `out` (new references, as
// many as `attrs` has names), and their count; -1 after the getter's own
// fail(), as the call would fail.
Py_ssize_t default_tokens(PyObject* getter, PyObject* obj, PyObject* attrs, PyObject** out) noexcept;

// default_token_getter(obj, attrs): first line 9.
extern const FunctionDef default_token_getter_def;
// from_device_token_getter(obj, defaults=[]): first line 38.
extern const FunctionDef from_device_token_getter_def;
// lookup_from_device(*args, **kwargs): first line 238.
extern const FunctionDef lookup_from_device_def;

}  // namespace orvex::abstract
