// default_token_getter: the values of the named attributes of an object, each
// taken from the object or, failing that, from its `device`. The order of
// reads is observable through properties and is kept exactly.
#include "../compat.hpp"
#include "token_getters.hpp"

namespace orvex::abstract {

namespace {

// Whether reading `attr` of `obj` again could run code or give another
// object. With the generic attribute lookup and no descriptor of that name
// on the type, a read is two dict lookups and nothing else: the second read
// would repeat the first exactly.
bool read_twice(PyObject* obj, PyObject* attr) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(attr)) return true;
    PyObject* found = compat::type_lookup(type, attr);
    return found && Py_TYPE(found)->tp_descr_get;
}

// read_twice() for all of a tuple of names at once, kept for the last type
// and tuple found to need no second read for any of them: while the type's
// version is the one then (a tag is never given twice) and the tuple is the
// same object (owned here, so no other can take its address), the answer
// still holds. Bound: one entry.
class PlainNames {
public:
    // Whether no name of `attrs` (an exact tuple) needs a second read on `obj`.
    bool hold(PyObject* obj, PyObject* attrs) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (type->tp_getattro != PyObject_GenericGetAttr) return false;
        const unsigned int version = compat::type_version(type);
        if (version && version == version_ && attrs == attrs_.get()) return true;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(attrs); ++k)
            if (read_twice(obj, PyTuple_GET_ITEM(attrs, k))) return false;
        // Looking the names up gave the type a tag if it had none.
        if (compat::type_version(type) == 0) return false;
        version_ = compat::type_version(type);
        attrs_ = Ref::borrow(attrs);  // the old tuple is str only: its release runs no code
        return true;
    }

    // Whether what hold() found still stands for `obj` (a read may have run code).
    bool still(PyObject* obj) const noexcept { return compat::type_version(Py_TYPE(obj)) == version_; }

private:
    unsigned int version_ = 0;
    Ref attrs_;
};

PlainNames& plain_names = *new PlainNames();  // never destroyed: see the plans of lookup/get.cpp

// The value of `attr` for `obj` (new reference), or nullptr after fail()
// with the traceback line of the step that failed. `line` is the line of
// the step that took the value (31 from the object, 35 from its device).
PyObject* token_of(FunctionObject* self, PyObject* obj, PyObject* attr, int& line, bool plain = false) noexcept {
    line = 31;
    if (!PyUnicode_Check(attr)) {
        has_attr(obj, attr);  // raises the presence test's TypeError for a name that is not a str
        return fail(self, 30);
    }
    // The presence test reads the value; it is read again for the token
    // unless that second read could not differ or be seen (see read_twice).
    PyObject* read = nullptr;
    const int found = compat::get_optional_attr(obj, attr, &read);
    Ref first = Ref::steal(read);
    if (found > 0) {
        if (plain || !read_twice(obj, attr)) return first.release();
        first.reset();
        PyObject* value = PyObject_GetAttr(obj, attr);
        if (!value) return fail(self, 31);
        return value;
    }
    if (found < 0) PyErr_Clear();  // any exception counts as absence

    int on_device = has_attr(obj, state.str_device);
    if (on_device < 0) return fail(self, 32);
    if (on_device) {
        Ref device = Ref::steal(PyObject_GetAttr(obj, state.str_device));
        if (!device) return fail(self, 32);
        on_device = has_attr(device.get(), attr);
        if (on_device < 0) return fail(self, 32);
    }
    if (!on_device) {
        PyObject* pieces[] = {state.str_msg_no_attribute, attr, state.str_msg_on, obj, state.str_msg_quote};
        Ref message = Ref::steal(join_str(pieces, 5));
        if (message) raise_new(state.builtin_AttributeError, message.get());
        return fail(self, 33);
    }
    // The device is read again for the value itself.
    line = 35;
    Ref device = Ref::steal(PyObject_GetAttr(obj, state.str_device));
    if (!device) return fail(self, 35);
    PyObject* value = PyObject_GetAttr(device.get(), attr);
    if (!value) return fail(self, 35);
    return value;
}

// Argument slots, in parameter order.
enum GetterSlot : int { getter_obj, getter_attrs, getter_slots };

PyObject* default_token_getter(FunctionObject* self, Arguments& args) noexcept {
    PyObject* obj = args[getter_obj];
    PyObject* attrs = args[getter_attrs];
    if (PyTuple_CheckExact(attrs)) {
        // A tuple of names (the decorator's own) gives its values straight
        // into the result: the list they are gathered in is not needed.
        const Py_ssize_t n = PyTuple_GET_SIZE(attrs);
        Ref values = Ref::steal(PyTuple_New(n));
        if (!values) return fail(self, 27);
        // Taken after the allocation (which may run code); a read that runs
        // code stands only on a type without descriptors for the names.
        bool plain = plain_names.hold(obj, attrs);
        for (Py_ssize_t k = 0; k < n; ++k) {
            int line;
            plain = plain && plain_names.still(obj);
            PyObject* value = token_of(self, obj, PyTuple_GET_ITEM(attrs, k), line, plain);
            if (!value) return nullptr;
            PyTuple_SET_ITEM(values.get(), k, value);
        }
        return values.release();
    }
    Ref attributes = Ref::steal(PyList_New(0));
    if (!attributes) return fail(self, 27);
    Ref iterator = Ref::steal(PyObject_GetIter(attrs));
    if (!iterator) return fail(self, 29);
    while (Ref attr = Ref::steal(PyIter_Next(iterator.get()))) {
        int line;
        Ref value = Ref::steal(token_of(self, obj, attr.get(), line));
        if (!value) return nullptr;
        if (PyList_Append(attributes.get(), value.get()) < 0) return fail(self, line);
    }
    if (PyErr_Occurred()) return fail(self, 29);
    PyObject* result = PyList_AsTuple(attributes.get());
    if (!result) return fail(self, 36);
    return result;
}

const char* const varnames[] = {"obj", "attrs", "attributes", "attr"};
FunctionCache default_token_getter_cache;

}  // namespace

bool default_tokens_apply(PyObject* getter, PyObject* attrs, Py_ssize_t most) noexcept {
    auto* self = reinterpret_cast<FunctionObject*>(getter);
    return Py_TYPE(getter) == &function_type && self->def == &default_token_getter_def && self->globals &&
           PyTuple_CheckExact(attrs) && PyTuple_GET_SIZE(attrs) <= most;
}

Py_ssize_t default_tokens(PyObject* getter, PyObject* obj, PyObject* attrs, PyObject** out) noexcept {
    auto* self = reinterpret_cast<FunctionObject*>(getter);
    Ref keep = Ref::borrow(getter);  // as a call holds it
    const Py_ssize_t n = PyTuple_GET_SIZE(attrs);
    // The body's loop, with the values kept where the caller wants them.
    bool plain = plain_names.hold(obj, attrs);
    for (Py_ssize_t k = 0; k < n; ++k) {
        int line;
        plain = plain && plain_names.still(obj);
        out[k] = token_of(self, obj, PyTuple_GET_ITEM(attrs, k), line, plain);
        if (!out[k]) {
            while (k > 0) Py_DECREF(out[--k]);
            return -1;
        }
    }
    return n;
}

constexpr FunctionDef default_token_getter_def =
    define(default_token_getter_cache, "default_token_getter", "orvex.abstract.decorator.default_token_getter", 9,
           CO_OPTIMIZED | CO_NEWLOCALS, 2, 2, 0, varnames, default_token_getter);
static_assert(definition_fits(default_token_getter_def));
static_assert(getter_slots == default_token_getter_def.n_parameters());

}  // namespace orvex::abstract
