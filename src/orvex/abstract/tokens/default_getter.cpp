// default_token_getter: the values of the named attributes of an object, each
// taken from the object or, failing that, from its `device`. The order of
// reads is observable through properties and is kept exactly.
#include "token_getters.hpp"

namespace orvex::abstract {

namespace {

// Appends the value of `attr` for `obj`, or fails with the traceback line of
// the step that failed. Returns 0 or -1.
int collect_one(FunctionObject* self, PyObject* obj, PyObject* attr, PyObject* attributes) noexcept {
    int present = has_attr(obj, attr);
    if (present < 0) return fail_status(self, 30);
    if (present) {
        Ref value = Ref::steal(PyObject_GetAttr(obj, attr));
        if (!value || PyList_Append(attributes, value.get()) < 0) return fail_status(self, 31);
        return 0;
    }

    int on_device = has_attr(obj, state.str_device);
    if (on_device < 0) return fail_status(self, 32);
    if (on_device) {
        Ref device = Ref::steal(PyObject_GetAttr(obj, state.str_device));
        if (!device) return fail_status(self, 32);
        on_device = has_attr(device.get(), attr);
        if (on_device < 0) return fail_status(self, 32);
    }
    if (!on_device) {
        PyObject* pieces[] = {state.str_msg_no_attribute, attr, state.str_msg_on, obj, state.str_msg_quote};
        Ref message = Ref::steal(join_str(pieces, 5));
        if (message) raise_new(state.builtin_AttributeError, message.get());
        return fail_status(self, 33);
    }
    // The device is read again for the value itself.
    Ref device = Ref::steal(PyObject_GetAttr(obj, state.str_device));
    if (!device) return fail_status(self, 35);
    Ref value = Ref::steal(PyObject_GetAttr(device.get(), attr));
    if (!value || PyList_Append(attributes, value.get()) < 0) return fail_status(self, 35);
    return 0;
}

PyObject* default_token_getter(FunctionObject* self, Arguments& args) noexcept {
    PyObject* obj = args[0];
    PyObject* attrs = args[1];
    Ref attributes = Ref::steal(PyList_New(0));
    if (!attributes) return fail(self, 27);
    Ref iterator = Ref::steal(PyObject_GetIter(attrs));
    if (!iterator) return fail(self, 29);
    while (Ref attr = Ref::steal(PyIter_Next(iterator.get()))) {
        if (collect_one(self, obj, attr.get(), attributes.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return fail(self, 29);
    PyObject* result = PyList_AsTuple(attributes.get());
    if (!result) return fail(self, 36);
    return result;
}

const char* const varnames[] = {"obj", "attrs", "attributes", "attr"};

}  // namespace

const FunctionDef default_token_getter_def = {
    fn_default_token_getter, "default_token_getter", "orvex.abstract.decorator.default_token_getter",
    9, CO_OPTIMIZED | CO_NEWLOCALS, 2, 2, 0, varnames, 4, default_token_getter,
};

}  // namespace orvex::abstract
