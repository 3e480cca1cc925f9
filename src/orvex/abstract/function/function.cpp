// The function type shared by every callable of the module: metadata getsets
// with their own setter messages, binding as a method, repr, __reduce__,
// cycle collection and weak references. Calls bind arguments here and run the
// definition's body.
#include "function.hpp"

#include <structmember.h>

#include "../compat.hpp"

namespace orvex::abstract {

// Holds a reference of its own from the start: a PyType_Ready that fails
// half-way releases what it took, which must not bring the count to zero.
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

PyObject* none_if_null(PyObject* o) noexcept { return Ref::borrow(o ? o : Py_None).release(); }

// ---- call, binding, repr, pickling

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    // Before 3.13 a class's __get__ is called through a borrowed reference: a
    // body that rebinds LookupDecorator.__get__ (from a getter, a builder...)
    // would otherwise free the function it runs in.
    Ref keep = Ref::borrow(self);
    FunctionObject* f = as_function(self);
    const FunctionDef& def = *f->def;
    // A function that the cycle collector has cleared (reachable again only
    // from a finaliser) has no namespace left to run in.
    if (!f->globals) {
        PyErr_Format(PyExc_SystemError, "%s() was cleared by the garbage collector", def.name);
        return nullptr;
    }
    // *args, **kwargs only, called without keywords (the dispatch wrapper
    // in a hot loop): the arguments are the tuple as it came.
    if (def.positional_body && !kwargs) return def.positional_body(f, args);
    if (def.n_named() == 0 && !kwargs) {
        Arguments bound;
        bound.slot[0] = Ref::borrow(args);
        return def.body(f, bound);
    }
    Arguments bound;
    if (bind_arguments(def, f->defaults, args, kwargs, bound) < 0) {
        // Functions with named parameters report argument errors at their first
        // line; the *args/**kwargs-only ones add no entry of their own.
        if (def.n_named() > 0) return fail(f, def.first_line);
        return nullptr;
    }
    return def.body(f, bound);
}

}  // namespace

PyObject* function_call_positional(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    FunctionObject* f = as_function(self);
    const FunctionDef& def = *f->def;
    const bool plain = !def.var_positional() && !def.var_keyword() && nargs >= def.n_required &&
                       nargs <= def.n_positional && f->globals;
    if (!plain) {
        // Errors and the rarer shapes take the ordinary call.
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        if (!tuple) return nullptr;
        for (Py_ssize_t k = 0; k < nargs; ++k) PyTuple_SET_ITEM(tuple.get(), k, Ref::borrow(args[k]).release());
        return function_call(self, tuple.get(), nullptr);
    }
    Ref keep = Ref::borrow(self);  // as in function_call
    Arguments bound;
    for (Py_ssize_t k = 0; k < nargs; ++k) bound.slot[k] = Ref::borrow(args[k]);
    for (int k = static_cast<int>(nargs); k < def.n_named(); ++k)
        bound.slot[k] = Ref::borrow(PyTuple_GET_ITEM(f->defaults, k - def.n_required));
    return def.body(f, bound);
}

namespace {

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    PyObject* qualname = as_function(self)->qualname;
    if (!qualname) return PyUnicode_FromFormat("<orvex_function at %p>", self);  // cleared
    return PyUnicode_FromFormat("<orvex_function %U at %p>", qualname, self);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return PyUnicode_FromString(as_function(self)->def->name);
}

// ---- cycle collection and lifetime

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->closure);
    Py_VISIT(f->record_func);
    Py_VISIT(f->record_instance);
    Py_VISIT(f->defaults);
    Py_VISIT(f->defaults_view);
    Py_VISIT(f->kwdefaults_view);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotate);
    Py_VISIT(f->type_params);
    Py_VISIT(f->dict);
    Py_VISIT(f->wrapped);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->record_func);
    Py_CLEAR(f->record_instance);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->defaults_view);
    Py_CLEAR(f->kwdefaults_view);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotate);
    Py_CLEAR(f->type_params);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->wrapped);
    return 0;
}

// Dispatch wrappers are made and dropped at every fetch: the memory of a
// dropped function (cleared and untracked, with its collector header) is
// taken by the next one made instead of going back to the allocator. Kept
// for the life of the process. Bound: 16 functions.
class FreeFunctions {
public:
    FunctionObject* take() noexcept { return n_ ? items_[--n_] : nullptr; }
    bool keep(FunctionObject* f) noexcept {
        if (n_ == most) return false;
        items_[n_++] = f;
        return true;
    }

private:
    static constexpr int most = 16;
    FunctionObject* items_[most] = {};
    int n_ = 0;
};

FreeFunctions free_functions;

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    if (!free_functions.keep(as_function(self))) PyObject_GC_Del(self);
}

// ---- attribute getters and setters

PyObject* function_get_name(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->name); }

int function_set_name(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    set_field(as_function(self)->name, Ref::borrow(value));
    return 0;
}

PyObject* function_get_qualname(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->qualname); }

int function_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    set_field(as_function(self)->qualname, Ref::borrow(value));
    return 0;
}

PyObject* function_get_doc(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->doc); }

int function_set_doc(PyObject* self, PyObject* value, void*) noexcept {
    set_field(as_function(self)->doc, Ref::borrow(value ? value : Py_None));
    return 0;
}

PyObject* function_get_module(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->module); }

int function_set_module(PyObject* self, PyObject* value, void*) noexcept {
    set_field(as_function(self)->module, Ref::borrow(value));
    return 0;
}

// ---- __wrapped__ before the dict
//
// A dispatch wrapper's dict would hold only __wrapped__, and most wrappers
// are called and dropped without anything looking at it: the value waits in
// a field until the dict is asked for, which then holds it first, as
// update_wrapper left it. __wrapped__ itself is a data descriptor of the
// type whose getter, setter and deleter use the dict's entry as the generic
// getattr and setattr would (the entry first), the waiting value standing
// in for it. Stores of other names that the generic setattr makes into the
// dict take their place after it when it settles.

// Moves the waiting value into the dict, making the dict if it has none.
// 0, or -1 with an exception set and the value still waiting.
int settle_wrapped(FunctionObject* f) noexcept {
    if (!f->wrapped) return 0;
    Ref value = Ref::borrow(f->wrapped);
    if (f->dict && Py_REFCNT(f->dict) > 1) {
        // Held elsewhere (found through the collector): kept, the value added.
        Ref dict = Ref::borrow(f->dict);
        if (!PyDict_SetDefault(dict.get(), state.str_dunder_wrapped, value.get())) return -1;
    } else {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || PyDict_SetItem(fresh.get(), state.str_dunder_wrapped, value.get()) < 0) return -1;
        if (f->dict) {
            Ref dict = Ref::borrow(f->dict);
            if (PyDict_Update(fresh.get(), dict.get()) < 0) return -1;
        }
        // (A key's __eq__ in the update may have settled it meanwhile.)
        if (f->wrapped != value.get()) return 0;
        set_field(f->dict, std::move(fresh));
    }
    set_field(f->wrapped, Ref());
    return 0;
}

// The function's dict, made (empty, or holding the waiting __wrapped__) if it
// has none. Borrowed, or nullptr with an exception set.
PyObject* dict_of(FunctionObject* f) noexcept {
    if (settle_wrapped(f) < 0) return nullptr;
    if (!f->dict) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        set_field(f->dict, std::move(d));
    }
    return f->dict;
}

PyObject* function_get_dict(PyObject* self, void*) noexcept {
    PyObject* dict = dict_of(as_function(self));
    return dict ? Ref::borrow(dict).release() : nullptr;
}

int function_set_dict(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    // The waiting value leaves with the dict it stands for.
    set_field(as_function(self)->wrapped, Ref());
    set_field(as_function(self)->dict, Ref::borrow(value));
    return 0;
}

PyObject* function_get_wrapped(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->dict) {
        Ref dict = Ref::borrow(f->dict);
        if (PyObject* value = PyDict_GetItemWithError(dict.get(), state.str_dunder_wrapped))
            return Ref::borrow(value).release();
        if (PyErr_Occurred()) return nullptr;
    }
    if (f->wrapped) return Ref::borrow(f->wrapped).release();
    compat::raise_no_attribute(self, state.str_dunder_wrapped, false);
    return nullptr;
}

int function_set_wrapped(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (settle_wrapped(f) < 0) return -1;
    if (!f->dict && !value) return compat::raise_no_attribute(self, state.str_dunder_wrapped, true);
    Ref dict = Ref::borrow(dict_of(f));
    if (!dict) return -1;
    if (value) return PyDict_SetItem(dict.get(), state.str_dunder_wrapped, value);
    if (PyDict_DelItem(dict.get(), state.str_dunder_wrapped) == 0) return 0;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    return compat::raise_no_attribute(self, state.str_dunder_wrapped, true);
}

PyObject* function_get_globals(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->globals); }

PyObject* function_get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* function_get_self(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (!f->closure && (f->record_func || f->record_instance)) {
        PyObject* record = closure_record_of(f->record_func, f->record_instance);
        if (!record) return nullptr;
        set_field(f->closure, Ref::steal(record));
    }
    return none_if_null(f->closure);
}

PyObject* function_get_code(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->code); }

// The introspection views of the stored defaults are built on first read.
// A failure to build them is reported under its own traceback name.
int build_default_views(FunctionObject* f) noexcept {
    const FunctionDef& def = *f->def;
    const int n_pos_defaults = def.n_positional - def.n_required;
    if (!f->defaults) return 0;
    if (!f->defaults_view && n_pos_defaults > 0) {
        Ref t = Ref::steal(PyTuple_GetSlice(f->defaults, 0, n_pos_defaults));
        if (!t) return -1;
        set_field(f->defaults_view, std::move(t));
    }
    if (!f->kwdefaults_view && def.n_kwonly > 0) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return -1;
        PyObject* names = def.cache->params;
        for (int k = 0; k < def.n_kwonly; ++k) {
            PyObject* name = PyTuple_GET_ITEM(names, def.n_positional + k);
            if (PyDict_SetItem(d.get(), name, PyTuple_GET_ITEM(f->defaults, n_pos_defaults + k)) < 0) return -1;
        }
        set_field(f->kwdefaults_view, std::move(d));
    }
    return 0;
}

PyObject* get_default_view(FunctionObject* f, PyObject*& view) noexcept {
    if (!view && build_default_views(f) < 0) {
        add_traceback("orvex.abstract.decorator.__defaults__", f->def->first_line, f->globals);
        return nullptr;
    }
    return none_if_null(view);
}

PyObject* function_get_defaults(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return get_default_view(f, f->defaults_view);
}

int function_set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    set_field(as_function(self)->defaults_view, Ref::borrow(value));
    return 0;
}

PyObject* function_get_kwdefaults(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return get_default_view(f, f->kwdefaults_view);
}

int function_set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    set_field(as_function(self)->kwdefaults_view, Ref::borrow(value));
    return 0;
}

// As a plain function's: when not set, the annotations come from
// __annotate__ (in the VALUE format, once, then kept), else a new dict.
PyObject* function_get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        Ref made;
        if (f->annotate && PyCallable_Check(f->annotate)) {
            Ref annotate = Ref::borrow(f->annotate);
            Ref format = Ref::steal(PyLong_FromLong(1));  // VALUE
            if (!format) return nullptr;
            made = Ref::steal(compat::call_one_arg(annotate.get(), format.get()));
            if (!made) return nullptr;
            if (!PyDict_Check(made.get())) {
                PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                             Py_TYPE(made.get())->tp_name);
                return nullptr;
            }
        } else {
            made = Ref::steal(PyDict_New());
            if (!made) return nullptr;
        }
        // The call may have set them already: the first value stays.
        if (!f->annotations) set_field(f->annotations, std::move(made));
    }
    return Ref::borrow(f->annotations).release();
}

int function_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    set_field(as_function(self)->annotations, Ref::borrow(value));
    set_field(as_function(self)->annotate, Ref());
    return 0;
}

PyObject* function_get_annotate(PyObject* self, void*) noexcept { return none_if_null(as_function(self)->annotate); }

int function_set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    set_field(as_function(self)->annotate, Ref::borrow(value));
    // A new callable gives the annotations anew; None leaves them.
    if (value != Py_None) set_field(as_function(self)->annotations, Ref());
    return 0;
}

PyObject* function_get_type_params(PyObject* self, void*) noexcept {
    PyObject* params = as_function(self)->type_params;
    return params ? Ref::borrow(params).release() : PyTuple_New(0);
}

int function_set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    set_field(as_function(self)->type_params, Ref::borrow(value));
    return 0;
}

#define ORVEX_GETSET(name, get, set) \
    { const_cast<char*>(name), get, set, nullptr, nullptr }

PyGetSetDef function_getset[] = {
    ORVEX_GETSET("__name__", function_get_name, function_set_name),
    ORVEX_GETSET("func_name", function_get_name, function_set_name),
    ORVEX_GETSET("__qualname__", function_get_qualname, function_set_qualname),
    ORVEX_GETSET("__doc__", function_get_doc, function_set_doc),
    ORVEX_GETSET("func_doc", function_get_doc, function_set_doc),
    ORVEX_GETSET("__module__", function_get_module, function_set_module),
    ORVEX_GETSET("__dict__", function_get_dict, function_set_dict),
    ORVEX_GETSET("func_dict", function_get_dict, function_set_dict),
    ORVEX_GETSET("__globals__", function_get_globals, nullptr),
    ORVEX_GETSET("func_globals", function_get_globals, nullptr),
    ORVEX_GETSET("__closure__", function_get_none, nullptr),
    ORVEX_GETSET("func_closure", function_get_none, nullptr),
    ORVEX_GETSET("__self__", function_get_self, nullptr),
    ORVEX_GETSET("__code__", function_get_code, nullptr),
    ORVEX_GETSET("func_code", function_get_code, nullptr),
    ORVEX_GETSET("__defaults__", function_get_defaults, function_set_defaults),
    ORVEX_GETSET("func_defaults", function_get_defaults, function_set_defaults),
    ORVEX_GETSET("__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults),
    ORVEX_GETSET("__annotations__", function_get_annotations, function_set_annotations),
    ORVEX_GETSET("__wrapped__", function_get_wrapped, function_set_wrapped),
    // Only where plain functions have them (function_type_ready ends the
    // table before them elsewhere); newest last.
    ORVEX_GETSET("__type_params__", function_get_type_params, function_set_type_params),
    ORVEX_GETSET("__annotate__", function_get_annotate, function_set_annotate),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Ends the table after the attributes that this version's functions have.
void trim_getset() noexcept {
    const size_t n = sizeof function_getset / sizeof function_getset[0] - 1;  // as written
    const size_t newer = 2;                                                   // __type_params__, __annotate__
    size_t keep = n - newer;
    if (compat::function_has_type_params) ++keep;
    if (compat::function_has_annotate) ++keep;
    function_getset[keep] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
}

#undef ORVEX_GETSET

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int function_type_ready() noexcept {
    PyTypeObject& t = function_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    trim_getset();
    t.tp_name = "orvex.abstract.decorator.orvex_function";
    t.tp_basicsize = sizeof(FunctionObject);
    // Not a base type. No vectorcall: it would replace the module's own
    // "keywords must be strings" message with the interpreter's on 3.9+.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&t);
}

PyObject* function_new(const FunctionDef& def, PyObject* qualname, PyObject* doc, PyObject* globals, PyObject* closure,
                       PyObject* defaults) noexcept {
    FunctionObject* f = free_functions.take();
    if (f)
        PyObject_Init(reinterpret_cast<PyObject*>(f), &function_type);
    else if (!(f = PyObject_GC_New(FunctionObject, &function_type)))
        return nullptr;
    f->def = &def;
    f->name = Ref::borrow(def.cache->name).release();
    f->qualname = Ref::borrow(qualname).release();
    f->doc = Ref::borrow(doc ? doc : Py_None).release();
    f->module = Ref::borrow(state.str_module_full_name).release();
    f->globals = Ref::borrow(globals).release();
    f->code = Ref::borrow(def.cache->code).release();
    f->closure = Ref::borrow(closure).release();
    f->record_func = nullptr;
    f->record_instance = nullptr;
    f->defaults = Ref::borrow(defaults).release();
    f->defaults_view = nullptr;
    f->kwdefaults_view = nullptr;
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->type_params = nullptr;
    f->dict = nullptr;
    f->wrapped = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

void function_defer_wrapped(PyObject* function, PyObject* value) noexcept {
    set_field(as_function(function)->wrapped, Ref::borrow(value));
}

int InitSteps::store_function(PyObject* target, PyObject* key, const FunctionDef& def, PyObject* qualname,
                              PyObject* doc, PyObject* defaults) noexcept {
    Ref function = Ref::steal(function_new(def, qualname, doc, ns, nullptr, defaults));
    if (!function || PyObject_SetItem(target, key, function.get()) < 0) return fail(def.first_line);
    return 0;
}

}  // namespace orvex::abstract
