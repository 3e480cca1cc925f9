// Misuse caught where it is made, for the class LookupDecorator: __set_name__
// refuses a decorator that holds no method or stands under two names when a
// class is created, __call__ refuses what no order of decorators makes work,
// __isabstractmethod__ answers from the held method (for abc), and a fetch
// that fails says how to ask explain() why. None of it runs on a fetch that
// succeeds. Module initialisation adds them to the class (lookup_decorator.cpp).
#include "../compat.hpp"
#include "lookup_decorator.hpp"

namespace orvex::abstract {

namespace {

// "Owner.name" for messages: the owner's __qualname__ (its str() if that is
// not a str) and the attribute name. New reference or nullptr.
PyObject* attribute_label(PyObject* owner, PyObject* name) noexcept {
    Ref qualname = Ref::steal(PyObject_GetAttr(owner, state.str_dunder_qualname));
    if (!qualname) return nullptr;
    if (!PyUnicode_Check(qualname.get())) {
        qualname = Ref::steal(PyObject_Str(owner));
        if (!qualname) return nullptr;
    }
    return PyUnicode_FromFormat("%U.%S", qualname.get(), name);
}

// The decorator holds no method: the bare `@LookupDecorator` (the function
// became its one token name) or a decorator never applied. TypeError; nullptr.
PyObject* refuse_unapplied(PyObject* self, PyObject* owner, PyObject* name) noexcept {
    Ref label = Ref::steal(attribute_label(owner, name));
    if (!label) return nullptr;
    PyObject* attrs = nullptr;
    if (compat::get_optional_attr(self, state.str_priv_attrs, &attrs) < 0) return nullptr;
    Ref held = Ref::steal(attrs);
    if (held && PyTuple_Check(held.get()) && PyTuple_GET_SIZE(held.get()) == 1 &&
        !PyUnicode_Check(PyTuple_GET_ITEM(held.get(), 0)) && PyCallable_Check(PyTuple_GET_ITEM(held.get(), 0))) {
        PyErr_Format(PyExc_TypeError,
                     "%U is a LookupDecorator used without parentheses: @LookupDecorator above the method took "
                     "the function for a token name, and no method is held. Write @LookupDecorator('os'), with "
                     "the names of the token attributes, or @LookupDecorator.from_device to take them from the "
                     "device's settings",
                     label.get());
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError,
                 "%U is a LookupDecorator that holds no method: apply it to the method, as in "
                 "@LookupDecorator('os') above its def",
                 label.get());
    return nullptr;
}

// The decorator stands under several names of the owner's namespace: it
// holds only the last method it was applied to. TypeError naming them all,
// nullptr; None when it stands under one name.
PyObject* refuse_shared(PyObject* self, PyObject* owner) noexcept {
    if (!PyType_Check(owner) || !reinterpret_cast<PyTypeObject*>(owner)->tp_dict) Py_RETURN_NONE;
    // A copy of the items: only identities are compared, but a collection
    // started by an allocation could change the namespace under a walk.
    Ref items = Ref::steal(PyDict_Items(reinterpret_cast<PyTypeObject*>(owner)->tp_dict));
    if (!items) return nullptr;
    Ref labels = Ref::steal(PyList_New(0));
    if (!labels) return nullptr;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
        PyObject* item = PyList_GET_ITEM(items.get(), k);
        if (PyTuple_GET_ITEM(item, 1) != self) continue;
        Ref label = Ref::steal(attribute_label(owner, PyTuple_GET_ITEM(item, 0)));
        if (!label || PyList_Append(labels.get(), label.get()) < 0) return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(labels.get());
    if (n < 2) Py_RETURN_NONE;
    // "A.x, A.y and A.z"
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref first = Ref::steal(PyList_GetSlice(labels.get(), 0, n - 1));
    Ref joined = separator && first ? Ref::steal(PyUnicode_Join(separator.get(), first.get())) : Ref();
    if (!joined) return nullptr;
    PyObject* method_name = nullptr;
    if (compat::get_optional_attr(self, state.str_priv_method_name, &method_name) < 0) return nullptr;
    Ref held_name = Ref::steal(method_name);
    Ref holds = held_name && PyUnicode_Check(held_name.get())
                    ? Ref::steal(PyUnicode_FromFormat(" (%R)", held_name.get()))
                    : Ref::borrow(state.empty_str);
    if (!holds) return nullptr;
    PyErr_Format(PyExc_TypeError,
                 "%U and %U are one LookupDecorator object, which holds one method, the last it was applied "
                 "to%U: use one LookupDecorator per method (functools.partial(LookupDecorator, ...) makes "
                 "each with the same settings)",
                 joined.get(), PyList_GET_ITEM(labels.get(), n - 1), holds.get());
    return nullptr;
}

// LookupDecorator.__set_name__(owner, name), called as the class is created.
PyObject* lookup_decorator_set_name(PyObject* self, PyObject* args) noexcept {
    PyObject *owner = nullptr, *name = nullptr;
    if (!PyArg_UnpackTuple(args, "__set_name__", 2, 2, &owner, &name)) return nullptr;
    PyObject* method = nullptr;
    const int found = compat::get_optional_attr(self, state.str_priv_method, &method);
    if (found < 0) return nullptr;
    Ref held = Ref::steal(method);
    // A subclass that keeps its method elsewhere is not judged.
    if (!found) Py_RETURN_NONE;
    if (held.get() == Py_None) return refuse_unapplied(self, owner, name);
    return refuse_shared(self, owner);
}

PyMethodDef set_name_def = {"__set_name__", reinterpret_cast<PyCFunction>(lookup_decorator_set_name), METH_VARARGS,
                            "Refuses, as the class is created, a decorator that holds no method or stands\n"
                            "under two names."};

// LookupDecorator.__isabstractmethod__: that of the held method, so that a
// class keeps an abstract method abstract (abc reads it of the class's
// namespace). An error reading _method propagates; abc takes an
// AttributeError for "not abstract".
PyObject* lookup_decorator_get_isabstractmethod(PyObject* self, void*) noexcept {
    Ref method = Ref::steal(PyObject_GetAttr(self, state.str_priv_method));
    if (!method) return nullptr;
    PyObject* flag = nullptr;
    const int found = compat::get_optional_attr(method.get(), state.str_dunder_isabstractmethod, &flag);
    if (found < 0) return nullptr;
    Ref held = Ref::steal(flag);
    if (!found) Py_RETURN_FALSE;
    const int truth = PyObject_IsTrue(held.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(truth);
}

PyGetSetDef isabstractmethod_def = {"__isabstractmethod__", lookup_decorator_get_isabstractmethod, nullptr,
                                    "Whether the held method is abstract.", nullptr};

// Whether a class of `cls`'s MRO holds `decorator` wrapped in an object of
// `wrapper_type` whose attribute `field` is `decorator`. 1, 0, or -1 with an
// exception set.
int holds_wrapped(PyObject* decorator, PyTypeObject* cls, PyTypeObject* wrapper_type, const char* field) noexcept {
    Ref mro = Ref::borrow(cls->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return 0;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro.get()); ++k) {
        PyObject* klass = PyTuple_GET_ITEM(mro.get(), k);
        if (!PyType_Check(klass) || !reinterpret_cast<PyTypeObject*>(klass)->tp_dict) continue;
        Ref values = Ref::steal(PyDict_Values(reinterpret_cast<PyTypeObject*>(klass)->tp_dict));
        if (!values) return -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(values.get()); ++j) {
            PyObject* value = PyList_GET_ITEM(values.get(), j);
            if (!PyObject_TypeCheck(value, wrapper_type)) continue;
            Ref wrapped = Ref::steal(PyObject_GetAttrString(value, field));
            if (!wrapped) return -1;
            if (wrapped.get() == decorator) return 1;
        }
    }
    return 0;
}

}  // namespace

int refuse_method(PyObject* decorator, PyObject* method) noexcept {
    const char* kind = PyObject_TypeCheck(method, &PyClassMethod_Type)    ? "classmethod"
                       : PyObject_TypeCheck(method, &PyStaticMethod_Type) ? "staticmethod"
                       : PyObject_TypeCheck(method, &PyProperty_Type)     ? "property"
                                                                          : nullptr;
    if (kind) {
        PyErr_Format(PyExc_TypeError,
                     "LookupDecorator cannot decorate a %s object: @%s works with LookupDecorator in neither "
                     "order (a lookup reads the tokens of the object the method is fetched through). Decorate "
                     "a plain function (def or async def)%s",
                     kind, kind, kind[0] == 'p' ? ", and call the decorated method from the property" : "");
        return -1;
    }
    // Over the decorator, @classmethod (3.8, and 3.13 on) hands the class to
    // the decorator itself when the method is called, and @property the object
    // when it is read.
    if (PyFunction_Check(method)) return 0;
    const bool is_class = PyType_Check(method);
    const int under =
        is_class ? holds_wrapped(decorator, reinterpret_cast<PyTypeObject*>(method), &PyClassMethod_Type, "__func__")
                 : holds_wrapped(decorator, Py_TYPE(method), &PyProperty_Type, "fget");
    if (under <= 0) return under;
    kind = is_class ? "classmethod" : "property";
    PyErr_Format(PyExc_TypeError,
                 "LookupDecorator under @%s: %R reached the decorator itself, as the method to hold. @%s works "
                 "with LookupDecorator in neither order; decorate a plain function (def or async def)%s",
                 kind, method, kind, is_class ? "" : ", and call the decorated method from the property");
    return -1;
}

int add_misuse_checks(PyObject* cls) noexcept {
    if (!PyType_Check(cls)) return 0;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref set_name = Ref::steal(PyDescr_NewMethod(type, &set_name_def));
    if (!set_name || PyObject_SetAttr(cls, state.str_dunder_set_name, set_name.get()) < 0) return -1;
    Ref isabstract = Ref::steal(PyDescr_NewGetSet(type, &isabstractmethod_def));
    if (!isabstract || PyObject_SetAttr(cls, state.str_dunder_isabstractmethod, isabstract.get()) < 0) return -1;
    return 0;
}

namespace {

// The name under which a class of `type`'s MRO holds `decorator`, borrowed
// (only identities are compared: no code runs); nullptr if none does.
PyObject* held_under(PyObject* decorator, PyTypeObject* type) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); ++k) {
        PyObject* klass = PyTuple_GET_ITEM(mro, k);
        PyObject* ns = PyType_Check(klass) ? reinterpret_cast<PyTypeObject*>(klass)->tp_dict : nullptr;
        if (!ns) continue;
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(ns, &pos, &key, &value))
            if (value == decorator && PyUnicode_Check(key)) return key;
    }
    return nullptr;
}

// Adds to the pending exception of a failed fetch of `decorator` through
// `obj` (nullptr or None: through the class) the note that names the explain() call to run. Only LookupError and
// AttributeError, the errors of the lookup itself and of its reads, take
// it. Never fails: the pending exception stays as it is, with its traceback.
// Kept out of line, so that a fetch that succeeds pays only for a test.
ORVEX_COLD void note_explain(PyObject* decorator, PyObject* obj) noexcept {
    // Fetched through the class: no lookup was made.
    if (!compat::exceptions_take_notes || !obj || obj == Py_None) return;
    if (!PyErr_ExceptionMatches(PyExc_LookupError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    Ref exc = Ref::steal(compat::exc_take());
    if (!exc) return;
    if (PyObject* name = held_under(decorator, Py_TYPE(obj))) {
        Ref held = Ref::borrow(name);
        Ref note = Ref::steal(
            PyUnicode_FromFormat("To see why, run orvex.abstract.explain(obj, %R) with obj the %s object that the "
                                 "method was fetched through.",
                                 held.get(), Py_TYPE(obj)->tp_name));
        PyObject* notes = nullptr;
        // An exception raised again (a stored one) takes the note once.
        const int found = note ? compat::get_optional_attr(exc.get(), state.str_dunder_notes, &notes) : -1;
        Ref held_notes = Ref::steal(notes);
        const int present =
            found > 0 && PyList_Check(held_notes.get()) ? PySequence_Contains(held_notes.get(), note.get()) : 0;
        if (found >= 0 && present == 0) {
            Ref add = Ref::steal(PyObject_GetAttr(exc.get(), state.str_add_note));
            if (add) Ref::steal(compat::call_one_arg(add.get(), note.get()));
        }
        // A note that cannot be added is left out; the fetch's error stands.
        PyErr_Clear();
    }
    compat::exc_give(exc.release());
}

}  // namespace

PyObject* lookup_decorator_descr_get_noted(PyObject* self, PyObject* obj, PyObject* type) noexcept {
    PyObject* result = lookup_decorator_descr_get(self, obj, type);
    if (ORVEX_UNLIKELY(!result)) note_explain(self, obj);
    return result;
}

}  // namespace orvex::abstract
