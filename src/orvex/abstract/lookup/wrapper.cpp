// The dispatch wrapper: calls the implementation found at fetch time with
// the object first and the caller's arguments after. This is the hottest path
// of the package: no lookups beyond the closure record, no joined tuple for
// short argument lists, and the keyword dict is the private copy made by
// argument binding (the callee never receives the caller's own dict).
#include "../compat.hpp"
#include "lookup_decorator.hpp"

namespace orvex::abstract {

namespace {

PyObject* unbound_free_variable(FunctionObject* self, const char* name) noexcept {
    PyErr_Format(PyExc_NameError, "free variable '%s' referenced before assignment in enclosing scope", name);
    return fail(self, 232);
}

// func(instance, *args, **kwargs); `args` is a tuple, `kwargs` a dict or nullptr.
PyObject* call_with_instance(PyObject* func, PyObject* instance, PyObject* args, PyObject* kwargs) noexcept {
    constexpr Py_ssize_t on_stack = 8;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < on_stack) {
        PyObject* stack[on_stack];
        stack[0] = instance;
        for (Py_ssize_t k = 0; k < n; ++k) stack[k + 1] = PyTuple_GET_ITEM(args, k);
        if (!kwargs) return compat::vectorcall(func, stack, static_cast<size_t>(n + 1));
        return compat::vectorcall_dict(func, stack, static_cast<size_t>(n + 1), kwargs);
    }
    Ref joined = Ref::steal(PyTuple_New(n + 1));
    if (!joined) return nullptr;
    PyTuple_SET_ITEM(joined.get(), 0, Ref::borrow(instance).release());
    for (Py_ssize_t k = 0; k < n; ++k)
        PyTuple_SET_ITEM(joined.get(), k + 1, Ref::borrow(PyTuple_GET_ITEM(args, k)).release());
    return PyObject_Call(func, joined.get(), kwargs);
}

// Argument slots: *args, **kwargs.
enum WrapperSlot : int { wrapper_args, wrapper_kwargs, wrapper_slots };

PyObject* wrapper_call(FunctionObject* self, PyObject* args, PyObject* kwargs) noexcept {
    // The variables, in the record once it was asked for. Borrowed: the call
    // holds the wrapper (function_call), so it and the record it holds stay
    // reachable and no collection clears either; nothing else replaces them
    // (reading __self__ moves them into the record, the same objects).
    auto* record = reinterpret_cast<ClosureRecord*>(self->closure);
    PyObject* func = record ? record->func : self->record_func;
    if (!func) return unbound_free_variable(self, "func");
    PyObject* instance = record ? record->instance : self->record_instance;
    if (!instance) return unbound_free_variable(self, "instance");

    // The caller's handled exception is put back if a (C) callee changed it.
    PyThreadState* tstate = compat::thread_state();
    Ref handled = Ref::borrow(compat::handled_exception_peek(tstate));
    Ref result = Ref::steal(call_with_instance(func, instance, args, kwargs));
    if (compat::handled_exception_peek(tstate) != handled.get()) {
        Ref pending = Ref::steal(compat::exc_take());
        compat::handled_exception_set(handled.get() == Py_None ? nullptr : handled.get());
        compat::exc_give(pending.release());
    }
    if (result) return result.release();
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
        return fail(self, 232);
    }
    fail(self, 232);
    // NotImplementedError is caught and raised again, unchanged, from the handler.
    if (PyErr_ExceptionMatches(state.builtin_NotImplementedError)) return fail(self, 234);
    return nullptr;
}

PyObject* wrapper(FunctionObject* self, Arguments& args) noexcept {
    return wrapper_call(self, args[wrapper_args], args[wrapper_kwargs]);
}

PyObject* wrapper_positional(FunctionObject* self, PyObject* args) noexcept {
    return wrapper_call(self, args, nullptr);
}

const char* const varnames[] = {"args", "kwargs", "e"};
FunctionCache wrapper_cache;

}  // namespace

constexpr FunctionDef wrapper_def = with_positional_body(
    define(wrapper_cache, "wrapper", "orvex.abstract.decorator.LookupDecorator.__get__.wrapper", 230,
           CO_OPTIMIZED | CO_NEWLOCALS | CO_VARARGS | CO_VARKEYWORDS, 0, 0, 0, varnames, wrapper),
    wrapper_positional);
static_assert(definition_fits(wrapper_def));
static_assert(wrapper_slots == wrapper_def.n_parameters());

}  // namespace orvex::abstract
