// from_device_token_getter and lookup_from_device: tokens named by the
// device's `custom` settings (abstraction -> order), falling back to the
// names given, and the decorator that installs that collector.
#include "../compat.hpp"
#include "token_getters.hpp"

namespace orvex::abstract {

namespace {

// getattr(obj, name, None): only an AttributeError gives the default.
PyObject* get_attr_or(PyObject* obj, PyObject* name, PyObject* fallback) noexcept {
    PyObject* value = nullptr;
    const int found = compat::get_optional_attr(obj, name, &value);
    if (found < 0) return nullptr;
    return found ? value : Ref::borrow(fallback).release();
}

// obj.get(*pair): the pair is one of the constant 2-tuples.
PyObject* call_get(PyObject* obj, PyObject* pair) noexcept {
    Ref get = Ref::steal(PyObject_GetAttr(obj, state.str_get));
    if (!get) return nullptr;
    return PyObject_Call(get.get(), pair, nullptr);
}

// The token names the device's settings list, or a new empty list.
// New reference, or nullptr after fail().
PyObject* configured_names(FunctionObject* self, PyObject* obj) noexcept {
    Ref attrs = Ref::steal(PyList_New(0));
    if (!attrs) return fail(self, 60);
    Ref device = Ref::steal(get_attr_or(obj, state.str_device, Py_None));
    if (!device) return fail(self, 62);
    int truth = PyObject_IsTrue(device.get());
    if (truth < 0) return fail(self, 63);
    if (!truth) return attrs.release();
    {
        Ref custom = Ref::steal(get_attr_or(device.get(), state.str_custom, Py_None));
        if (!custom) return fail(self, 63);
        truth = PyObject_IsTrue(custom.get());
        if (truth < 0) return fail(self, 63);
        if (!truth) return attrs.release();
    }
    // `custom` is read twice more: once for its attribute, once for get(),
    // which is called every time, before the attribute is looked at.
    Ref custom = Ref::steal(PyObject_GetAttr(device.get(), state.str_custom));
    if (!custom) return fail(self, 64);
    Ref fallback;
    {
        Ref again = Ref::steal(PyObject_GetAttr(device.get(), state.str_custom));
        if (!again) return fail(self, 65);
        fallback = Ref::steal(call_get(again.get(), state.tuple_abstraction_none));
        if (!fallback) return fail(self, 65);
    }
    Ref abstraction = Ref::steal(get_attr_or(custom.get(), state.str_abstraction, fallback.get()));
    if (!abstraction) return fail(self, 64);
    truth = PyObject_IsTrue(abstraction.get());
    if (truth < 0) return fail(self, 66);
    if (!truth) return attrs.release();
    PyObject* order = call_get(abstraction.get(), state.tuple_order_none);
    if (!order) return fail(self, 67);
    return order;
}

// Argument slots, in parameter order.
enum DeviceSlot : int { device_obj, device_defaults, device_slots };
enum DecoratorSlot : int { decorator_args, decorator_kwargs, decorator_slots };

PyObject* from_device_token_getter(FunctionObject* self, Arguments& args) noexcept {
    PyObject* obj = args[device_obj];
    PyObject* defaults = args[device_defaults];
    Ref attrs = Ref::steal(configured_names(self, obj));
    if (!attrs) return nullptr;
    Ref getter = Ref::steal(lookup_global(self->globals, state.str_default_token_getter));
    if (!getter) return fail(self, 69);
    const int truth = PyObject_IsTrue(attrs.get());
    if (truth < 0) return fail(self, 69);
    PyObject* result = PyObject_CallFunctionObjArgs(getter.get(), obj, truth ? attrs.get() : defaults, nullptr);
    if (!result) return fail(self, 69);
    return result;
}

// {"attr_getter": <from_device_token_getter now>}; new reference or nullptr.
PyObject* device_getter_keywords(FunctionObject* self) noexcept {
    Ref getter = Ref::steal(lookup_global(self->globals, state.str_from_device_token_getter));
    if (!getter) return nullptr;
    Ref keywords = Ref::steal(PyDict_New());
    if (!keywords || PyDict_SetItem(keywords.get(), state.str_attr_getter, getter.get()) < 0) return nullptr;
    return keywords.release();
}

PyObject* lookup_from_device(FunctionObject* self, Arguments& args) noexcept {
    PyObject* positional = args[decorator_args];
    Ref kwargs = Ref::borrow(args[decorator_kwargs]);  // already a private copy
    if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return fail(self, 251);
    }

    // Bare form: one callable positional argument and no keywords, tested in
    // this order with short-circuit.
    bool bare = PyTuple_GET_SIZE(positional) == 1;
    if (bare) {
        const int has_keywords = PyObject_IsTrue(kwargs.get());
        if (has_keywords < 0) return fail(self, 251);
        bare = !has_keywords && PyCallable_Check(PyTuple_GET_ITEM(positional, 0));
    }
    if (bare) {
        Ref cls = Ref::steal(lookup_global(self->globals, state.str_LookupDecorator));
        if (!cls) return fail(self, 252);
        Ref keywords = Ref::steal(device_getter_keywords(self));
        if (!keywords) return fail(self, 252);
        Ref decorator = Ref::steal(PyObject_Call(cls.get(), state.empty_tuple, keywords.get()));
        if (!decorator) return fail(self, 252);
        PyObject* applied = compat::call_one_arg(decorator.get(), PyTuple_GET_ITEM(positional, 0));
        if (!applied) return fail(self, 252);
        return applied;
    }

    // An attr_getter of the caller's is dropped without notice.
    if (PyDict_DelItem(kwargs.get(), state.str_attr_getter) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return fail(self, 256);
        PyErr_Clear();
    }
    Ref cls = Ref::steal(lookup_global(self->globals, state.str_LookupDecorator));
    if (!cls) return fail(self, 258);
    Ref keywords = Ref::steal(device_getter_keywords(self));
    if (!keywords) return fail(self, 258);
    if (PyDict_Update(keywords.get(), kwargs.get()) < 0) return fail(self, 259);
    PyObject* decorator = PyObject_Call(cls.get(), positional, keywords.get());
    if (!decorator) return fail(self, 258);
    return decorator;
}

const char* const getter_varnames[] = {"obj", "defaults", "attrs", "device", "abstraction"};
const char* const decorator_varnames[] = {"args", "kwargs"};
FunctionCache from_device_token_getter_cache;
FunctionCache lookup_from_device_cache;

}  // namespace

constexpr FunctionDef from_device_token_getter_def = define(
    from_device_token_getter_cache, "from_device_token_getter", "orvex.abstract.decorator.from_device_token_getter", 38,
    CO_OPTIMIZED | CO_NEWLOCALS, 2, 1, 0, getter_varnames, from_device_token_getter);
static_assert(definition_fits(from_device_token_getter_def));
static_assert(device_slots == from_device_token_getter_def.n_parameters());
constexpr FunctionDef lookup_from_device_def =
    define(lookup_from_device_cache, "lookup_from_device", "orvex.abstract.decorator.lookup_from_device", 238,
           CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS, 0, 0, 0, decorator_varnames, lookup_from_device);
static_assert(definition_fits(lookup_from_device_def));
static_assert(decorator_slots == lookup_from_device_def.n_parameters());

int make_token_getters(InitSteps& init) noexcept {
    if (init.store_function(init.ns, state.str_default_token_getter, default_token_getter_def,
                            state.str_default_token_getter, state.doc_default_token_getter, nullptr) < 0)
        return -1;
    // The one shared default of `defaults`, made once here.
    Ref default_list = Ref::steal(PyList_New(0));
    if (!default_list) return init.fail(38);
    Ref getter_defaults = Ref::steal(PyTuple_Pack(1, default_list.get()));
    if (!getter_defaults) return init.fail(38);
    return init.store_function(init.ns, state.str_from_device_token_getter, from_device_token_getter_def,
                               state.str_from_device_token_getter, state.doc_from_device_token_getter,
                               getter_defaults.get());
}

int make_lookup_from_device(InitSteps& init) noexcept {
    if (init.store_function(init.ns, state.str_lookup_from_device, lookup_from_device_def, state.str_lookup_from_device,
                            state.doc_lookup_from_device, nullptr) < 0)
        return -1;
    Ref from_device = Ref::steal(lookup_global(init.ns, state.str_lookup_from_device));
    if (!from_device) return init.fail(261);
    Ref cls = Ref::steal(lookup_global(init.ns, state.str_LookupDecorator));
    if (!cls || PyObject_SetAttr(cls.get(), state.str_from_device, from_device.get()) < 0) return init.fail(261);
    return 0;
}

}  // namespace orvex::abstract
