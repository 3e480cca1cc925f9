// LookupDecorator.__init__ and __call__: construction records how tokens are
// collected and how search paths are built; application records the method
// and its name. Nothing is copied: each attribute is set by ordinary
// assignment, so a subclass's __setattr__ and descriptors see it. Only what no
// order of decorators makes work is refused (checks.cpp).
// Also the class statement that module initialisation runs to make the class.
#include "lookup_decorator.hpp"
#include "../compat.hpp"

namespace orvex::abstract {

namespace {

// Slots of __init__'s bound arguments.
// Argument slots, in parameter order.
enum InitSlot : int { init_self, init_builder, init_attr_getter, init_attrs, init_builder_kwargs, init_slots };
enum CallSlot : int { call_self, call_method, call_slots };

PyObject* lookup_decorator_init(FunctionObject* self, Arguments& args) noexcept {
    PyObject* decorator = args[init_self];
    if (PyObject_SetAttr(decorator, state.str_priv_attrs, args[init_attrs]) < 0) return fail(self, 112);
    if (PyObject_SetAttr(decorator, state.str_priv_getter, args[init_attr_getter]) < 0) return fail(self, 113);
    if (PyObject_SetAttr(decorator, state.str_priv_method, Py_None) < 0) return fail(self, 116);
    if (PyObject_SetAttr(decorator, state.str_priv_builder, args[init_builder]) < 0) return fail(self, 119);
    if (PyObject_SetAttr(decorator, state.str_priv_builder_kwargs, args[init_builder_kwargs]) < 0)
        return fail(self, 120);
    Py_RETURN_NONE;
}

PyObject* lookup_decorator_call(FunctionObject* self, Arguments& args) noexcept {
    PyObject* decorator = args[call_self];
    PyObject* method = args[call_method];
    if (refuse_method(decorator, method) < 0) return fail(self, 130);
    if (PyObject_SetAttr(decorator, state.str_priv_method, method) < 0) return fail(self, 130);
    // The name as it stands now; _method stays set if reading it fails.
    Ref name = Ref::steal(PyObject_GetAttr(method, state.str_dunder_name));
    if (!name || PyObject_SetAttr(decorator, state.str_priv_method_name, name.get()) < 0) return fail(self, 131);
    return Ref::borrow(decorator).release();
}

const char* const init_varnames[] = {"self", "builder", "attr_getter", "attrs", "builder_kwargs"};
const char* const call_varnames[] = {"self", "method"};
FunctionCache init_cache;
FunctionCache call_cache;

}  // namespace

constexpr FunctionDef init_def =
    define(init_cache, "__init__", "orvex.abstract.decorator.LookupDecorator.__init__", 106,
           CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS, 1, 1, 2, init_varnames, lookup_decorator_init);
static_assert(definition_fits(init_def));
static_assert(init_slots == init_def.n_parameters());
constexpr FunctionDef call_def =
    define(call_cache, "__call__", "orvex.abstract.decorator.LookupDecorator.__call__", 122,
           CO_OPTIMIZED | CO_NEWLOCALS, 2, 2, 0, call_varnames, lookup_decorator_call);
static_assert(definition_fits(call_def));
static_assert(call_slots == call_def.n_parameters());

namespace {

// The metaclass of a class with `bases`, as the class statement finds it.
// Returns a new reference, or nullptr with TypeError on a conflict.
PyObject* find_metaclass(PyObject* bases) noexcept {
    PyTypeObject* winner = nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(bases); ++k) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, k));
        if (!winner || (!PyType_IsSubtype(winner, candidate) && PyType_IsSubtype(candidate, winner))) {
            winner = candidate;
            continue;
        }
        if (PyType_IsSubtype(winner, candidate)) continue;
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                        "subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner ? winner : &PyType_Type)).release();
}

}  // namespace

int make_lookup_decorator_class(InitSteps& init) noexcept {
    PyObject* ns = init.ns;
    Ref bases = Ref::borrow(state.tuple_bases);
    Ref metaclass = Ref::steal(find_metaclass(bases.get()));
    if (!metaclass) return init.fail(71);
    Ref class_ns;
    PyObject* prepare = nullptr;
    if (compat::get_optional_attr(metaclass.get(), state.str_dunder_prepare, &prepare) < 0) return init.fail(71);
    Ref held_prepare = Ref::steal(prepare);
    if (held_prepare) {
        PyObject* args[] = {state.str_LookupDecorator, bases.get()};
        class_ns = Ref::steal(compat::vectorcall_dict(held_prepare.get(), args, 2, nullptr));
    } else {
        class_ns = Ref::steal(PyDict_New());
    }
    if (!class_ns) return init.fail(71);
    if (PyObject_SetItem(class_ns.get(), state.str_dunder_module, state.str_module_full_name) < 0 ||
        PyObject_SetItem(class_ns.get(), state.str_dunder_qualname, state.str_LookupDecorator) < 0 ||
        PyObject_SetItem(class_ns.get(), state.str_dunder_doc, state.doc_class) < 0)
        return init.fail(71);

    // The keyword-only defaults of __init__ are the names' values now.
    Ref builder = Ref::steal(lookup_global(ns, state.str_default_builder));
    if (!builder) return init.fail(107);
    Ref getter = Ref::steal(lookup_global(ns, state.str_default_token_getter));
    if (!getter) return init.fail(108);
    Ref init_defaults = Ref::steal(PyTuple_Pack(2, builder.get(), getter.get()));
    if (!init_defaults) return init.fail(106);
    if (init.store_function(class_ns.get(), state.str_dunder_init, init_def, state.str_qualname_init, nullptr,
                            init_defaults.get()) < 0 ||
        init.store_function(class_ns.get(), state.str_dunder_call, call_def, state.str_qualname_call, state.doc_call,
                            nullptr) < 0 ||
        init.store_function(class_ns.get(), state.str_dunder_get, get_def, state.str_qualname_get, state.doc_get,
                            nullptr) < 0)
        return -1;

    PyObject* args[] = {state.str_LookupDecorator, bases.get(), class_ns.get()};
    Ref cls = Ref::steal(compat::vectorcall_dict(metaclass.get(), args, 3, nullptr));
    if (!cls || add_misuse_checks(cls.get()) < 0 || PyDict_SetItem(ns, state.str_LookupDecorator, cls.get()) < 0)
        return init.fail(71);
    // Fetches reach __get__ without the argument tuple of the generic slot.
    // Assigning another __get__ to the class puts the generic slot back.
    if (PyType_Check(cls.get()) && reinterpret_cast<PyTypeObject*>(cls.get())->tp_descr_get)
        reinterpret_cast<PyTypeObject*>(cls.get())->tp_descr_get = lookup_decorator_descr_get_noted;
    return 0;
}

}  // namespace orvex::abstract
