// functools.wraps(func)(wrapper), the last step of a fetch. While functools
// is the module imported with the decorator and its wraps, update_wrapper
// and partial are still the objects of that moment, the copying that
// update_wrapper does is done here, in its order, without the two Python
// frames; anything else (a patched functools, another wraps) is called.
#include "../compat.hpp"
#include "lookup_decorator.hpp"

namespace orvex::abstract {

namespace {

// What functools held when the module was imported (owned; nullptr when
// functools did not look as expected, which leaves only the called path).
struct Functools {
    PyObject* module = nullptr;
    PyObject* wraps = nullptr;
    PyObject* update_wrapper = nullptr;
    PyObject* partial = nullptr;
    PyObject* wraps_code = nullptr;
    PyObject* wraps_defaults = nullptr;
    PyObject* update_wrapper_code = nullptr;
} original;

// A borrowed entry of the module's namespace, or nullptr (no error set).
PyObject* module_entry(PyObject* module, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) PyErr_Clear();
    return value;
}

// Whether `functools` (the module name's value now) still is what it was.
bool functools_unchanged(PyObject* functools) noexcept {
    if (!original.module || functools != original.module) return false;
    PyObject* ns = PyModule_GetDict(functools);
    PyObject* wraps = PyDict_GetItemWithError(ns, state.str_wraps);
    if (wraps != original.wraps) return false;
    if (PyDict_GetItemWithError(ns, state.str_update_wrapper) != original.update_wrapper) return false;
    if (PyDict_GetItemWithError(ns, state.str_partial) != original.partial) return false;
    // A function's code and defaults can be reassigned; update_wrapper takes
    // its tuples from wraps' defaults.
    return PyFunction_GET_CODE(wraps) == original.wraps_code &&
           PyFunction_GET_DEFAULTS(wraps) == original.wraps_defaults &&
           PyFunction_GET_CODE(original.update_wrapper) == original.update_wrapper_code;
}

// update_wrapper(wrapper, func, assigned, updated), in its order: each
// assigned attribute that func has is set on the wrapper, each updated one
// merged into the wrapper's, then __wrapped__. Returns 0 or -1.
int update_wrapper(PyObject* wrapper, PyObject* func, PyObject* assigned, PyObject* updated) noexcept {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(assigned); ++k) {
        Ref name = Ref::borrow(PyTuple_GET_ITEM(assigned, k));
        Ref value = Ref::steal(PyObject_GetAttr(func, name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            continue;
        }
        if (PyObject_SetAttr(wrapper, name.get(), value.get()) < 0) return -1;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(updated); ++k) {
        Ref name = Ref::borrow(PyTuple_GET_ITEM(updated, k));
        Ref target = Ref::steal(PyObject_GetAttr(wrapper, name.get()));
        if (!target) return -1;
        Ref source = Ref::steal(PyObject_GetAttr(func, name.get()));
        if (!source) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            source = Ref::steal(PyDict_New());
            if (!source) return -1;
        }
        if (PyDict_CheckExact(target.get()) && PyDict_CheckExact(source.get())) {
            if (PyDict_Update(target.get(), source.get()) < 0) return -1;
        } else {
            Ref update = Ref::steal(PyObject_GetAttr(target.get(), state.str_update));
            if (!update) return -1;
            Ref done = Ref::steal(compat::call_one_arg(update.get(), source.get()));
            if (!done) return -1;
        }
    }
    return PyObject_SetAttr(wrapper, state.str_dunder_wrapped, func);
}

}  // namespace

void remember_functools(PyObject* functools) noexcept {
    Functools seen;
    if (PyModule_CheckExact(functools)) {
        seen.module = functools;
        seen.wraps = module_entry(functools, state.str_wraps);
        seen.update_wrapper = module_entry(functools, state.str_update_wrapper);
        seen.partial = module_entry(functools, state.str_partial);
    }
    const bool usable = seen.wraps && PyFunction_Check(seen.wraps) && seen.update_wrapper &&
                        PyFunction_Check(seen.update_wrapper) && seen.partial;
    PyObject* defaults = usable ? PyFunction_GET_DEFAULTS(seen.wraps) : nullptr;
    // wraps(wrapped, assigned=..., updated=...): two tuples of names.
    const bool shaped = defaults && PyTuple_CheckExact(defaults) && PyTuple_GET_SIZE(defaults) == 2 &&
                        PyTuple_CheckExact(PyTuple_GET_ITEM(defaults, 0)) &&
                        PyTuple_CheckExact(PyTuple_GET_ITEM(defaults, 1));
    Functools kept;
    if (shaped) {
        kept = seen;
        kept.wraps_code = PyFunction_GET_CODE(seen.wraps);
        kept.wraps_defaults = defaults;
        kept.update_wrapper_code = PyFunction_GET_CODE(seen.update_wrapper);
    }
    // Owned for the life of the process; a repeated initialisation replaces them.
    PyObject** fields[] = {&original.module, &original.wraps, &original.update_wrapper, &original.partial,
                           &original.wraps_code, &original.wraps_defaults, &original.update_wrapper_code};
    PyObject* values[] = {kept.module, kept.wraps, kept.update_wrapper, kept.partial,
                          kept.wraps_code, kept.wraps_defaults, kept.update_wrapper_code};
    for (size_t k = 0; k < sizeof values / sizeof values[0]; ++k) set_field(*fields[k], Ref::borrow(values[k]));
}

PyObject* make_wrapper(FunctionObject* self, PyObject* record) noexcept {
    Ref functools = Ref::steal(lookup_global(self->globals, state.str_functools));
    if (!functools) return fail(self, 229);
    Ref func = Ref::borrow(reinterpret_cast<ClosureRecord*>(record)->func);
    if (functools_unchanged(functools.get())) {
        // wraps(func) only builds a partial: nothing observable happens before
        // the wrapper is made.
        Ref wrapper = Ref::steal(
            function_new(wrapper_def, state.str_qualname_wrapper, nullptr, self->globals, record, nullptr));
        if (!wrapper) return fail(self, 230);
        Ref defaults = Ref::borrow(original.wraps_defaults);
        if (update_wrapper(wrapper.get(), func.get(), PyTuple_GET_ITEM(defaults.get(), 0),
                           PyTuple_GET_ITEM(defaults.get(), 1)) < 0)
            return fail(self, 229);
        return wrapper.release();
    }
    if (PyErr_Occurred()) return fail(self, 229);
    // functools.wraps(func) is called before the wrapper exists.
    Ref wraps = Ref::steal(PyObject_GetAttr(functools.get(), state.str_wraps));
    if (!wraps) return fail(self, 229);
    Ref apply = Ref::steal(compat::call_one_arg(wraps.get(), func.get()));
    if (!apply) return fail(self, 229);
    Ref wrapper = Ref::steal(function_new(wrapper_def, state.str_qualname_wrapper, nullptr, self->globals, record, nullptr));
    if (!wrapper) return fail(self, 230);
    PyObject* result = compat::call_one_arg(apply.get(), wrapper.get());
    if (!result) return fail(self, 229);
    return result;
}

}  // namespace orvex::abstract
