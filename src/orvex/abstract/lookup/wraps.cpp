// functools.wraps(func)(wrapper), the last step of a fetch. While functools
// is the exact module imported with the decorator, its wraps, update_wrapper
// and partial are still the objects of that moment, and the names that
// update_wrapper's body resolves (getattr, setattr, AttributeError) still
// come from the builtins as they were, the copying that update_wrapper does
// is done here, in its order, without the two Python frames; anything else
// (a patched functools, another wraps, a shadowed getattr) is called.
//
// Whether all that still holds is known from two dict guards (one on
// functools' namespace, one on update_wrapper's builtins) and a few pointer
// comparisons; the namespaces are read again only after either changed.
#include <cstddef>
#include <cstring>

#include "../cache/dict_guard.hpp"
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
    // The builtins module's own getattr and setattr, and their names (interned).
    PyObject* getattr = nullptr;
    PyObject* setattr = nullptr;
    PyObject* str_getattr = nullptr;
    PyObject* str_setattr = nullptr;
} original;

// functools' namespace holds the original wraps, update_wrapper and partial
// and no getattr, setattr or AttributeError of its own.
DictGuard namespace_guard;
// The builtins that update_wrapper runs with hold the original getattr,
// setattr and AttributeError.
DictGuard builtins_guard;
// Those builtins, as last checked (the guard holds them while it trusts them).
PyObject* checked_builtins = nullptr;

// A borrowed entry of `dict`, or nullptr (no error set).
PyObject* dict_entry(PyObject* dict, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value) PyErr_Clear();
    return value;
}

PyObject* module_entry(PyObject* module, PyObject* name) noexcept { return dict_entry(PyModule_GetDict(module), name); }

// Whether `value` is the builtins module's own function `name`: a C function
// of that module's method table, bound to the module.
bool is_builtin_function(PyObject* value, const char* name) noexcept {
    PyObject* builtins = state.builtins;
    if (!value || !PyCFunction_Check(value) || PyCFunction_GetSelf(value) != builtins || !PyModule_Check(builtins))
        return false;
    PyModuleDef* def = PyModule_GetDef(builtins);
    for (PyMethodDef* method = def ? def->m_methods : nullptr; method && method->ml_name; ++method)
        if (std::strcmp(method->ml_name, name) == 0) return PyCFunction_GetFunction(value) == method->ml_meth;
    return false;
}

// Lookups that compare only: is `dict[name]` that object, is `name` absent.
// False also when the lookup failed (the exception stays set).
bool holds(PyObject* dict, PyObject* name, PyObject* value) noexcept {
    return PyDict_GetItemWithError(dict, name) == value;
}
bool lacks(PyObject* dict, PyObject* name) noexcept {
    return !PyDict_GetItemWithError(dict, name) && !PyErr_Occurred();
}

// Reads both namespaces and leaves both guards trusting them when they hold
// what the copy relies on. False otherwise, with an exception set when a
// lookup failed. A key's __eq__ may run during the lookups: see DictGuard.
bool check_namespaces(PyObject* ns) noexcept {
    namespace_guard.mark(ns);
    if (!(holds(ns, state.str_wraps, original.wraps) && holds(ns, state.str_update_wrapper, original.update_wrapper) &&
          holds(ns, state.str_partial, original.partial) && lacks(ns, original.str_getattr) &&
          lacks(ns, original.str_setattr) && lacks(ns, state.str_AttributeError))) {
        namespace_guard.reset();
        builtins_guard.reset();
        return false;
    }
    Ref builtins = Ref::borrow(compat::function_builtins(original.update_wrapper));
    if (!builtins || !PyDict_CheckExact(builtins.get())) {
        builtins_guard.reset();
        return false;
    }
    builtins_guard.mark(builtins.get());
    if (!(holds(builtins.get(), original.str_getattr, original.getattr) &&
          holds(builtins.get(), original.str_setattr, original.setattr) &&
          holds(builtins.get(), state.str_AttributeError, PyExc_AttributeError))) {
        builtins_guard.reset();
        return false;
    }
    checked_builtins = builtins.get();
    // Both confirmed, or the next fetch checks again.
    const bool names_held = namespace_guard.confirm();
    return builtins_guard.confirm() && names_held;
}

// Whether `functools` (the module name's value now) still is what it was:
// the same exact module, whose wraps and update_wrapper would run as they did.
bool functools_unchanged(PyObject* functools) noexcept {
    if (!original.module || functools != original.module || !PyModule_CheckExact(functools)) return false;
    // A function's code and defaults can be reassigned; update_wrapper takes
    // its tuples from wraps' defaults.
    if (PyFunction_GET_CODE(original.wraps) != original.wraps_code ||
        PyFunction_GET_DEFAULTS(original.wraps) != original.wraps_defaults ||
        PyFunction_GET_CODE(original.update_wrapper) != original.update_wrapper_code)
        return false;
    PyObject* ns = PyModule_GetDict(functools);
    // Called from functools' own code, update_wrapper would run with that
    // frame's builtins (before 3.10): left to the called path.
    if (compat::frame_shares_caller_builtins(ns)) return false;
    if (namespace_guard.unchanged() && builtins_guard.unchanged()) return true;
    return check_namespaces(ns);
}

// Names as update_wrapper's body resolves them while it runs: in functools'
// namespace, then in the builtins its frame began with. While both guards
// trust those, each name is the original object without a lookup; once code
// that ran during the copy changed either, every later use looks it up. The
// copy says when a step may have run code (ran()); until then nothing can
// have changed since the guards were last asked.
class BodyNames {
public:
    // Made when the guards have just been found to trust `ns` and `builtins`.
    BodyNames(PyObject* ns, PyObject* builtins) noexcept : ns_(ns), builtins_(Ref::borrow(builtins)) {}

    void ran() noexcept { seen_ = false; }

    // Whether every name the body resolves is the original, as the guards last found them.
    bool trusted() noexcept { return originals(); }

    // `name` as the body's next use of it finds it: 0 with `found` empty when
    // it is `usual` (the caller does what that does), 0 with `found` set to
    // anything else, -1 with an exception set (NameError when absent).
    int resolve(PyObject* name, PyObject* usual, Ref& found) noexcept {
        found.reset();
        if (originals()) return 0;
        PyObject* value = PyDict_GetItemWithError(ns_, name);
        if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(builtins_.get(), name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return -1;
        }
        if (value != usual) found = Ref::borrow(value);
        // A lookup that meets a colliding key runs its __eq__.
        ran();
        return 0;
    }

    // `except AttributeError:` around getattr(wrapped, attr), with the
    // exception pending: 1 when it matches (cleared), 0 when it goes on
    // (still pending), -1 when the clause itself raised (chained to it).
    int catches_attribute_error() noexcept {
        if (originals()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return 0;
            PyErr_Clear();
            return 1;
        }
        // The name is resolved inside the handler, as Python does.
        Ref handled = Ref::steal(compat::exc_take());
        Ref other;
        if (resolve(state.str_AttributeError, PyExc_AttributeError, other) < 0) {
            chain_to_handled(std::move(handled));
            return -1;
        }
        PyObject* type = other ? other.get() : PyExc_AttributeError;
        if (!valid_except_type(type)) {
            PyErr_SetString(PyExc_TypeError, msg_bad_except_type);
            chain_to_handled(std::move(handled));
            return -1;
        }
        if (PyErr_GivenExceptionMatches(handled.get(), type)) return 1;
        compat::exc_give(handled.release());
        return 0;
    }

private:
    static constexpr const char* msg_bad_except_type =
        "catching classes that do not inherit from BaseException is not allowed";

    bool originals() noexcept {
        if (!seen_)
            seen_ = namespace_guard.unchanged() && builtins_guard.unchanged() && checked_builtins == builtins_.get();
        return seen_;
    }

    static bool valid_except_type(PyObject* type) noexcept {
        if (!PyTuple_Check(type)) return PyExceptionClass_Check(type);
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(type); ++k)
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(type, k))) return false;
        return true;
    }

    PyObject* ns_;  // borrowed: the module is held by the caller
    Ref builtins_;
    bool seen_ = true;  // the names were the originals, and nothing ran since
};

// Whether `name` is the interned `field`. functools' tuples hold interned
// names; any other str simply takes the attribute route.
bool is_name(PyObject* name, PyObject* field) noexcept { return name == field; }

// The attributes of a plain Python function whose reads have no effect,
// each kept in a field of the wrapper too.
enum class Field : unsigned char { none, module, name, qualname, doc, annotations, type_params, annotate };

Field field_named(PyObject* name) noexcept {
    if (is_name(name, state.str_dunder_module)) return Field::module;
    if (is_name(name, state.str_dunder_name)) return Field::name;
    if (is_name(name, state.str_dunder_qualname)) return Field::qualname;
    if (is_name(name, state.str_dunder_doc)) return Field::doc;
    if (is_name(name, state.str_dunder_annotations)) return Field::annotations;
    if (compat::function_has_type_params && is_name(name, state.str_dunder_type_params)) return Field::type_params;
    if (compat::function_has_annotate && is_name(name, state.str_dunder_annotate)) return Field::annotate;
    return Field::none;
}

// Where the wrapper keeps the attribute `which` (nullptr when it is not one
// that can be copied so), and in `value` what reading it on `func` gives
// (borrowed).
PyObject** field_of(FunctionObject* wrapper, PyFunctionObject* func, Field which, PyObject*& value) noexcept {
    PyObject** field;
    switch (which) {
        case Field::module:
            value = func->func_module;
            field = &wrapper->module;
            break;
        case Field::name:
            value = func->func_name;
            field = &wrapper->name;
            break;
        case Field::qualname:
            value = func->func_qualname;
            field = &wrapper->qualname;
            break;
        case Field::doc:
            value = func->func_doc;
            field = &wrapper->doc;
            break;
        case Field::annotations:
            // Once made, the function's dict is what the attribute gives (until
            // then a read would make it: that is left to the attribute route).
            if (!func->func_annotations || !PyDict_CheckExact(func->func_annotations)) return nullptr;
            value = func->func_annotations;
            field = &wrapper->annotations;
            break;
        case Field::type_params:
            // Always a tuple: the function's setter takes nothing else.
            value = compat::function_type_params_field(func);
            if (!value) value = state.empty_tuple;
            field = &wrapper->type_params;
            break;
        case Field::annotate:
            // None or a callable, as the function's setter allows.
            value = compat::function_annotate_field(func);
            field = &wrapper->annotate;
            break;
        default:
            return nullptr;
    }
    // A missing value reads as None.
    if (!value) value = Py_None;
    return field;
}

PyObject** field_of(FunctionObject* wrapper, PyFunctionObject* func, PyObject* name, PyObject*& value) noexcept {
    return field_of(wrapper, func, field_named(name), value);
}

// The field of each name of an `assigned` tuple, kept for the last tuple
// (held, so that no other can take its address; its items never change).
class AssignedFields {
public:
    static constexpr Py_ssize_t most = 8;

    // The fields of `assigned` (an exact tuple of at most `most` names).
    const Field* of(PyObject* assigned) noexcept {
        if (assigned != tuple_.get()) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(assigned); ++k)
                fields_[k] = field_named(PyTuple_GET_ITEM(assigned, k));
            tuple_ = Ref::borrow(assigned);  // the old tuple holds str only: its release runs no code
        }
        return fields_;
    }

private:
    Ref tuple_;
    Field fields_[most] = {};
};

AssignedFields& assigned_fields = *new AssignedFields();  // never destroyed: it holds a reference

// `callable(args...)` with positional arguments; new reference or nullptr.
template <std::size_t n>
PyObject* call(PyObject* callable, PyObject* const (&args)[n]) noexcept {
    return compat::vectorcall(callable, args, n);
}

// Stores `value` into a field of the fresh wrapper, as its setter would.
// Releasing the old value runs code only when that was its last reference.
void store_field(BodyNames& names, PyObject*& field, Ref value) noexcept {
    if (field && Py_REFCNT(field) == 1) names.ran();
    set_field(field, std::move(value));
}

// for attr in assigned: value = getattr(wrapped, attr) (skipped on
// AttributeError), then setattr(wrapper, attr, value). Returns 0 or -1.
int assign(BodyNames& names, FunctionObject* fresh, PyObject* func, PyFunctionObject* plain, PyObject* name) noexcept {
    PyObject* wrapper = reinterpret_cast<PyObject*>(fresh);
    Ref get;
    if (names.resolve(original.str_getattr, original.getattr, get) < 0) return -1;
    PyObject** field = nullptr;
    Ref value;
    if (!get && plain) {
        PyObject* borrowed = nullptr;
        field = field_of(fresh, plain, name, borrowed);
        value = Ref::borrow(borrowed);
    }
    if (!field) {
        value = Ref::steal(get ? call(get.get(), {func, name}) : PyObject_GetAttr(func, name));
        names.ran();
        if (!value) {
            const int caught = names.catches_attribute_error();
            return caught > 0 ? 0 : -1;
        }
    }
    Ref set;
    if (names.resolve(original.str_setattr, original.setattr, set) < 0) return -1;
    if (set) {
        Ref done = Ref::steal(call(set.get(), {wrapper, name, value.get()}));
        names.ran();
        return done ? 0 : -1;
    }
    // A field's value is what its setter would store; a new __annotate__
    // also drops the annotations made from the old one.
    if (field) {
        const bool drops_annotations = field == &fresh->annotate && value.get() != Py_None;
        store_field(names, *field, std::move(value));
        if (drops_annotations) store_field(names, fresh->annotations, Ref());
        return 0;
    }
    names.ran();
    return PyObject_SetAttr(wrapper, name, value.get());
}

// for attr in updated: getattr(wrapper, attr).update(getattr(wrapped, attr, {})).
// Returns 0 or -1.
int update(BodyNames& names, FunctionObject* fresh, PyObject* func, PyFunctionObject* plain, PyObject* name) noexcept {
    PyObject* wrapper = reinterpret_cast<PyObject*>(fresh);
    const bool dict = is_name(name, state.str_dunder_dict);
    Ref get;
    if (names.resolve(original.str_getattr, original.getattr, get) < 0) return -1;
    Ref target;
    if (!get && dict) {
        // What the wrapper's __dict__ gives: its dict, made on first use.
        if (!fresh->dict) {
            Ref made = Ref::steal(PyDict_New());
            if (compat::gc_runs_in_allocation) names.ran();
            if (!made) return -1;
            set_field(fresh->dict, std::move(made));
        }
        target = Ref::borrow(fresh->dict);
    } else {
        target = Ref::steal(get ? call(get.get(), {wrapper, name}) : PyObject_GetAttr(wrapper, name));
        names.ran();
        if (!target) return -1;
    }
    // The method is read before the argument is made; an exact dict's is dict.update.
    Ref method;
    if (!PyDict_CheckExact(target.get())) {
        method = Ref::steal(PyObject_GetAttr(target.get(), state.str_update));
        names.ran();
        if (!method) return -1;
    }
    if (names.resolve(original.str_getattr, original.getattr, get) < 0) return -1;
    // What follows may run code (the update itself, with keys' __eq__).
    names.ran();
    Ref source;
    if (get) {
        Ref empty = Ref::steal(PyDict_New());
        if (!empty) return -1;
        source = Ref::steal(call(get.get(), {func, name, empty.get()}));
        if (!source) return -1;
    } else if (plain && dict && !method && (!plain->func_dict || PyDict_CheckExact(plain->func_dict))) {
        // A function without a dict yet has nothing to give (reading it
        // would only make an empty one).
        if (!plain->func_dict || PyDict_GET_SIZE(plain->func_dict) == 0) return 0;
        source = Ref::borrow(plain->func_dict);
    } else {
        PyObject* value = nullptr;
        const int found = compat::get_optional_attr(func, name, &value);
        if (found < 0) return -1;
        source = Ref::steal(found ? value : PyDict_New());
        if (!source) return -1;
    }
    if (!method) {
        if (PyDict_CheckExact(source.get())) return PyDict_Update(target.get(), source.get());
        method = Ref::steal(PyObject_GetAttr(target.get(), state.str_update));
        if (!method) return -1;
    }
    Ref done = Ref::steal(compat::call_one_arg(method.get(), source.get()));
    return done ? 0 : -1;
}

// update_wrapper's copying for a plain function when no step of it can run
// code: every assigned attribute is a field of both (see field_of), no old
// value of the fresh wrapper's fields is released for the last time, and
// the only updated attribute is __dict__, with the function's dict absent or
// empty. Then each step stores what it would, and the order cannot be seen.
// Returns 1 when it copied, 0 when the caller copies step by step (after
// the fields stored so far: storing them again there stores the same).
int copy_plainly(FunctionObject* fresh, PyFunctionObject* plain, PyObject* assigned, PyObject* updated) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(assigned);
    if (n > AssignedFields::most || PyTuple_GET_SIZE(updated) != 1 ||
        !is_name(PyTuple_GET_ITEM(updated, 0), state.str_dunder_dict) ||
        (plain->func_dict && (!PyDict_CheckExact(plain->func_dict) || PyDict_GET_SIZE(plain->func_dict) != 0)))
        return 0;
    const Field* kinds = assigned_fields.of(assigned);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* value;
        PyObject** field = field_of(fresh, plain, kinds[k], value);
        if (!field || (*field && Py_REFCNT(*field) == 1)) return 0;
        const bool drops_annotations = field == &fresh->annotate && value != Py_None;
        if (drops_annotations && fresh->annotations && Py_REFCNT(fresh->annotations) == 1) return 0;
        set_field(*field, Ref::borrow(value));
        if (drops_annotations) set_field(fresh->annotations, Ref());
    }
    return 1;
}

// update_wrapper(wrapper, func, assigned, updated), in its order: each
// assigned attribute that func has is set on the wrapper, each updated one
// merged into the wrapper's, then __wrapped__. Returns 0 or -1.
int update_wrapper(BodyNames& names, PyObject* wrapper, PyObject* func, PyObject* assigned,
                   PyObject* updated) noexcept {
    auto* fresh = reinterpret_cast<FunctionObject*>(wrapper);
    auto* plain = Py_TYPE(func) == &PyFunction_Type ? reinterpret_cast<PyFunctionObject*>(func) : nullptr;
    if (plain && names.trusted() && copy_plainly(fresh, plain, assigned, updated)) {
        // The update found nothing to add: the dict would hold __wrapped__ alone.
        if (!fresh->dict) {
            function_defer_wrapped(wrapper, func);
            return 0;
        }
        Ref dict = Ref::borrow(fresh->dict);
        return PyDict_SetItem(dict.get(), state.str_dunder_wrapped, func);
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(assigned); ++k) {
        Ref name = Ref::borrow(PyTuple_GET_ITEM(assigned, k));
        if (assign(names, fresh, func, plain, name.get()) < 0) return -1;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(updated); ++k) {
        Ref name = Ref::borrow(PyTuple_GET_ITEM(updated, k));
        if (update(names, fresh, func, plain, name.get()) < 0) return -1;
    }
    // The setattr of update_wrapper: the value lands in the wrapper's dict.
    return PyObject_SetAttr(wrapper, state.str_dunder_wrapped, func);
}

// Whether update_wrapper, called now, runs as the copy does: its code as
// it was, and the names its body resolves as the guards last found them.
bool update_wrapper_unchanged(PyObject* ns) noexcept {
    if (PyFunction_GET_CODE(original.update_wrapper) != original.update_wrapper_code) return false;
    return (namespace_guard.unchanged() && builtins_guard.unchanged()) || check_namespaces(ns);
}

// What the partial that wraps(func) made does with the wrapper:
// update_wrapper(wrapper, wrapped=func, assigned=..., updated=...).
PyObject* call_update_wrapper(PyObject* wrapper, PyObject* func) noexcept {
    Ref kwargs =
        Ref::steal(Py_BuildValue("{sOsOsO}", "wrapped", func, "assigned", PyTuple_GET_ITEM(original.wraps_defaults, 0),
                                 "updated", PyTuple_GET_ITEM(original.wraps_defaults, 1)));
    if (!kwargs) return nullptr;
    Ref update_wrapper = Ref::borrow(original.update_wrapper);
    PyObject* args[1] = {wrapper};
    return compat::vectorcall_dict(update_wrapper.get(), args, 1, kwargs.get());
}

// The name functools as the decorator's globals resolve it: read again
// only once the globals' version moved (or they are other globals).
class FunctoolsName {
public:
    PyObject* resolve(PyObject* globals) noexcept {
        if (globals == globals_ && version_.same()) return Ref::borrow(value_).release();
        const cache::Version before = cache::Version::of(globals);
        if (PyObject* found = PyDict_GetItemWithError(globals, state.str_functools)) {
            // Kept only when no change came in during the lookup (a key's __eq__).
            if (before.same()) {
                globals_ = globals;
                version_ = before;
                value_ = found;
            }
            return Ref::borrow(found).release();
        }
        return PyErr_Occurred() ? nullptr : lookup_builtin(state.str_functools);
    }

private:
    PyObject* globals_ = nullptr;  // compared only
    cache::Version version_;       // of globals_ when value_ was read there
    PyObject* value_ = nullptr;    // borrowed: the globals hold it while their version does
};

FunctoolsName functools_name;

// The dispatch wrapper itself, holding its two variables. New reference or nullptr.
PyObject* new_wrapper(FunctionObject* self, PyObject* func, PyObject* instance) noexcept {
    PyObject* wrapper = function_new(wrapper_def, state.str_qualname_wrapper, nullptr, self->globals, nullptr, nullptr);
    if (!wrapper) return nullptr;
    auto* fresh = reinterpret_cast<FunctionObject*>(wrapper);
    set_field(fresh->record_func, Ref::borrow(func));
    set_field(fresh->record_instance, Ref::borrow(instance));
    return wrapper;
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
    // Both run in functools' namespace, where wraps finds the other two.
    PyObject* ns = seen.module ? PyModule_GetDict(seen.module) : nullptr;
    const bool usable = seen.wraps && PyFunction_Check(seen.wraps) && PyFunction_GET_GLOBALS(seen.wraps) == ns &&
                        seen.update_wrapper && PyFunction_Check(seen.update_wrapper) &&
                        PyFunction_GET_GLOBALS(seen.update_wrapper) == ns && seen.partial;
    PyObject* defaults = usable ? PyFunction_GET_DEFAULTS(seen.wraps) : nullptr;
    // wraps(wrapped, assigned=..., updated=...): two tuples of names.
    const bool shaped = defaults && PyTuple_CheckExact(defaults) && PyTuple_GET_SIZE(defaults) == 2 &&
                        PyTuple_CheckExact(PyTuple_GET_ITEM(defaults, 0)) &&
                        PyTuple_CheckExact(PyTuple_GET_ITEM(defaults, 1));
    // The getattr and setattr that update_wrapper finds now must be the builtins module's own.
    Ref str_getattr = Ref::steal(shaped ? PyUnicode_InternFromString("getattr") : nullptr);
    Ref str_setattr = Ref::steal(str_getattr ? PyUnicode_InternFromString("setattr") : nullptr);
    PyObject* builtins = str_setattr ? compat::function_builtins(seen.update_wrapper) : nullptr;
    if (builtins && PyDict_CheckExact(builtins)) {
        seen.getattr = dict_entry(builtins, str_getattr.get());
        seen.setattr = dict_entry(builtins, str_setattr.get());
    }
    Functools kept;
    if (is_builtin_function(seen.getattr, "getattr") && is_builtin_function(seen.setattr, "setattr")) {
        kept = seen;
        kept.wraps_code = PyFunction_GET_CODE(seen.wraps);
        kept.wraps_defaults = defaults;
        kept.update_wrapper_code = PyFunction_GET_CODE(seen.update_wrapper);
        kept.str_getattr = str_getattr.get();
        kept.str_setattr = str_setattr.get();
    }
    // A failed allocation above only leaves the called path.
    if (PyErr_Occurred()) PyErr_Clear();
    // Owned for the life of the process; a repeated initialisation replaces them.
    namespace_guard.reset();
    builtins_guard.reset();
    PyObject** fields[] = {
        &original.module,     &original.wraps,          &original.update_wrapper,      &original.partial,
        &original.wraps_code, &original.wraps_defaults, &original.update_wrapper_code, &original.getattr,
        &original.setattr,    &original.str_getattr,    &original.str_setattr};
    PyObject* values[] = {kept.module,     kept.wraps,          kept.update_wrapper,      kept.partial,
                          kept.wraps_code, kept.wraps_defaults, kept.update_wrapper_code, kept.getattr,
                          kept.setattr,    kept.str_getattr,    kept.str_setattr};
    for (size_t k = 0; k < sizeof values / sizeof values[0]; ++k) set_field(*fields[k], Ref::borrow(values[k]));
}

PyObject* make_wrapper(FunctionObject* self, PyObject* f, PyObject* instance) noexcept {
    Ref functools = Ref::steal(functools_name.resolve(self->globals));
    if (!functools) return fail(self, 229);
    Ref func = Ref::borrow(f);
    if (functools_unchanged(functools.get())) {
        // wraps(func) only builds a partial: nothing observable happens before
        // the wrapper is made.
        Ref wrapper = Ref::steal(new_wrapper(self, func.get(), instance));
        if (!wrapper) return fail(self, 230);
        // Making it may have run code (a collection): update_wrapper starts now.
        PyObject* ns = PyModule_GetDict(functools.get());
        if (compat::gc_runs_in_allocation && !update_wrapper_unchanged(ns)) {
            if (PyErr_Occurred()) return fail(self, 229);
            PyObject* result = call_update_wrapper(wrapper.get(), func.get());
            return result ? result : fail(self, 229);
        }
        BodyNames names(ns, checked_builtins);
        Ref defaults = Ref::borrow(original.wraps_defaults);
        if (update_wrapper(names, wrapper.get(), func.get(), PyTuple_GET_ITEM(defaults.get(), 0),
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
    Ref wrapper = Ref::steal(new_wrapper(self, func.get(), instance));
    if (!wrapper) return fail(self, 230);
    PyObject* result = compat::call_one_arg(apply.get(), wrapper.get());
    if (!result) return fail(self, 229);
    return result;
}

}  // namespace orvex::abstract
