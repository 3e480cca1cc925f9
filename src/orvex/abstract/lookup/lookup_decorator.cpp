// LookupDecorator.__init__ and __call__: construction records how tokens are
// collected and how search paths are built; application records the method
// and its name. Nothing is checked or copied: each attribute is set by
// ordinary assignment, so a subclass's __setattr__ and descriptors see it.
#include "lookup_decorator.hpp"

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

}  // namespace orvex::abstract
