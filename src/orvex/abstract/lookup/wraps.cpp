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

// Whether `name` is the interned `field`. functools' tuples hold interned
// names; any other str simply takes the attribute route.
bool is_name(PyObject* name, PyObject* field) noexcept { return name == field; }

// For a plain Python function: the attributes whose reads have no effect are
// copied field to field onto the wrapper made just now. Returns 1 when `name`
// was copied, 0 when it must be copied by attribute (nothing set).
int copy_field(FunctionObject* wrapper, PyFunctionObject* func, PyObject* name) noexcept {
    PyObject* value;
    PyObject** field;
    if (is_name(name, state.str_dunder_module)) {
        value = func->func_module;
        field = &wrapper->module;
    } else if (is_name(name, state.str_dunder_name)) {
        value = func->func_name;
        field = &wrapper->name;
    } else if (is_name(name, state.str_dunder_qualname)) {
        value = func->func_qualname;
        field = &wrapper->qualname;
    } else if (is_name(name, state.str_dunder_doc)) {
        value = func->func_doc;
        field = &wrapper->doc;
    } else if (is_name(name, state.str_dunder_annotations) && func->func_annotations &&
               PyDict_CheckExact(func->func_annotations)) {
        // Once made, the function's dict is what the attribute gives (until
        // then a read would make it: that is left to the attribute route).
        value = func->func_annotations;
        field = &wrapper->annotations;
    } else {
        return 0;
    }
    // What the attribute read would give: a missing value reads as None.
    set_field(*field, Ref::borrow(value ? value : Py_None));
    return 1;
}

// wrapper.__dict__.update(func.__dict__) for a plain Python function whose
// dict (if it has one yet) is a dict: 1 when done, 0 when the attribute
// route must be taken, -1 with an exception set.
int merge_function_dict(FunctionObject* wrapper, PyFunctionObject* func) noexcept {
    PyObject* source = func->func_dict;
    if (source && !PyDict_CheckExact(source)) return 0;
    if (!wrapper->dict) {
        Ref made = Ref::steal(PyDict_New());
        if (!made) return -1;
        set_field(wrapper->dict, std::move(made));
    }
    // A function without a dict yet has nothing to give (reading it would only make an empty one).
    if (!source || PyDict_GET_SIZE(source) == 0) return 1;
    Ref held = Ref::borrow(source);
    Ref target = Ref::borrow(wrapper->dict);
    return PyDict_Update(target.get(), held.get()) < 0 ? -1 : 1;
}

// update_wrapper(wrapper, func, assigned, updated), in its order: each
// assigned attribute that func has is set on the wrapper, each updated one
// merged into the wrapper's, then __wrapped__. Returns 0 or -1.
int update_wrapper(PyObject* wrapper, PyObject* func, PyObject* assigned, PyObject* updated) noexcept {
    auto* fresh = reinterpret_cast<FunctionObject*>(wrapper);
    auto* plain = Py_TYPE(func) == &PyFunction_Type ? reinterpret_cast<PyFunctionObject*>(func) : nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(assigned); ++k) {
        Ref name = Ref::borrow(PyTuple_GET_ITEM(assigned, k));
        if (plain && copy_field(fresh, plain, name.get())) continue;
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
        if (plain && is_name(name.get(), state.str_dunder_dict)) {
            const int merged = merge_function_dict(fresh, plain);
            if (merged < 0) return -1;
            if (merged) continue;
        }
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
    // The wrapper's own type has no __wrapped__ attribute: the value lands in its dict.
    if (!fresh->dict) return PyObject_SetAttr(wrapper, state.str_dunder_wrapped, func);
    Ref dict = Ref::borrow(fresh->dict);
    return PyDict_SetItem(dict.get(), state.str_dunder_wrapped, func);
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
    PyObject** fields[] = {
        &original.module,     &original.wraps,          &original.update_wrapper,     &original.partial,
        &original.wraps_code, &original.wraps_defaults, &original.update_wrapper_code};
    PyObject* values[] = {kept.module,     kept.wraps,          kept.update_wrapper,     kept.partial,
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
        Ref wrapper =
            Ref::steal(function_new(wrapper_def, state.str_qualname_wrapper, nullptr, self->globals, record, nullptr));
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
    Ref wrapper =
        Ref::steal(function_new(wrapper_def, state.str_qualname_wrapper, nullptr, self->globals, record, nullptr));
    if (!wrapper) return fail(self, 230);
    PyObject* result = compat::call_one_arg(apply.get(), wrapper.get());
    if (!result) return fail(self, 229);
    return result;
}

}  // namespace orvex::abstract
