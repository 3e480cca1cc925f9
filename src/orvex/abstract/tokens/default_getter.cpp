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

// Whether compat::own_attribute reads what the generic getattr reads, on
// this interpreter: asked once, of objects of a class made for the purpose
// (an interpreter built with another layout answers no, and every read is
// the generic one).
bool own_reads_hold() noexcept {
    static int answer = 0;  // 1 yes, -1 no, 0 not asked yet
    if (answer) return answer > 0;
    answer = -1;
    Ref namespace_ = Ref::steal(PyDict_New());
    Ref cls = namespace_ ? Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                                            "OwnAttributes", namespace_.get()))
                         : Ref();
    Ref obj = cls ? Ref::steal(compat::call_no_args(cls.get())) : Ref();
    Ref names[] = {Ref::steal(PyUnicode_InternFromString("first")), Ref::steal(PyUnicode_InternFromString("second")),
                   Ref::steal(PyUnicode_InternFromString("third"))};
    bool holds = obj && names[0] && names[1] && names[2];
    for (int k = 0; holds && k < 3; ++k) holds = PyObject_SetAttr(obj.get(), names[k].get(), names[2 - k].get()) == 0;
    // Each read gives what the generic one gives, or nothing; also after a
    // delete (which may leave a hole, or move the values into a dict).
    auto agree = [&](int k) noexcept {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        PyObject* key = nullptr;
        const Py_ssize_t index = compat::own_key(type, names[k].get(), &key);
        PyObject* own = index < 0 ? nullptr : compat::own_attribute(obj.get(), key, index);
        Ref generic = Ref::steal(PyObject_GenericGetAttr(obj.get(), names[k].get()));
        if (!generic) PyErr_Clear();
        return !own || own == generic.get();
    };
    for (int k = 0; holds && k < 3; ++k) holds = agree(k);
    if (holds) holds = PyObject_DelAttr(obj.get(), names[1].get()) == 0;
    for (int k = 0; holds && k < 3; ++k) holds = agree(k);
    if (PyErr_Occurred()) PyErr_Clear();
    answer = holds ? 1 : -1;
    return holds;
}

// read_twice() for all of a tuple of names at once, kept per (type version,
// tuple) found to need no second read for any of them: while the type's
// version is the one then (a tag is never given twice) and the tuple is the
// same object (owned here, so no other can take its address), the answer
// still holds. With it, where the type's objects keep each of the first
// names of their own (compat::own_key: the place is the type's for its
// lifetime). Bound: 4 entries, each written in turn (all are written early
// on, so that a test that makes new classes does not see the table fill).
class PlainNames {
public:
    static constexpr Py_ssize_t most_places = 16;

    // Every field holds a reference from the start (None until an entry is
    // first written), so that writing an entry takes as many as it drops:
    // the table holds as many references empty as full.
    struct Entry {
        unsigned int version = 0;
        Ref attrs = Ref::borrow(Py_None);
        Py_ssize_t places[most_places] = {};
        Ref keys[most_places];  // the str the shared keys hold at each place (see compat::own_key), or None

        Entry() noexcept {
            for (Ref& key : keys) key = Ref::borrow(Py_None);
        }

        // Whether what hold() found still stands for `obj` and `attrs` (a
        // read may have run code, a fetch within that took this entry).
        bool still(PyObject* obj, PyObject* attrs_read) const noexcept {
            return compat::type_version(Py_TYPE(obj)) == version && attrs.get() == attrs_read;
        }

        // The value of the k-th name where `obj` keeps it of its own,
        // borrowed, or nullptr (then the generic read decides); while
        // still() holds.
        PyObject* own(PyObject* obj, Py_ssize_t k) const noexcept {
            if (k >= most_places || places[k] < 0) return nullptr;
            return compat::own_attribute(obj, keys[k].get(), places[k]);
        }
    };

    // The entry that says no name of `attrs` (an exact tuple) needs a second
    // read on `obj`, or nullptr.
    const Entry* hold(PyObject* obj, PyObject* attrs) noexcept {
        const bool own = own_reads_hold();  // first: asking (once) runs code
        PyTypeObject* type = Py_TYPE(obj);
        if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
        unsigned int version = compat::type_version(type);
        for (Entry& entry : table_)
            if (version && version == entry.version && attrs == entry.attrs.get()) return &entry;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(attrs); ++k)
            if (read_twice(obj, PyTuple_GET_ITEM(attrs, k))) return nullptr;
        // Looking the names up gave the type a tag if it had none.
        version = compat::type_version(type);
        if (!version) return nullptr;
        // In place of the oldest; the old tuple and keys are str only: their
        // release runs no code.
        Entry& entry = table_[turn_++ % slots];
        for (Py_ssize_t k = 0; k < most_places; ++k) {
            PyObject* key = nullptr;
            entry.places[k] =
                own && k < PyTuple_GET_SIZE(attrs) ? compat::own_key(type, PyTuple_GET_ITEM(attrs, k), &key) : -1;
            entry.keys[k] = Ref::borrow(key ? key : Py_None);
        }
        entry.version = version;
        entry.attrs = Ref::borrow(attrs);
        return &entry;
    }

private:
    static constexpr size_t slots = 4;
    Entry table_[slots];
    size_t turn_ = 0;
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
        const PlainNames::Entry* names = plain_names.hold(obj, attrs);
        for (Py_ssize_t k = 0; k < n; ++k) {
            int line;
            const bool plain = names && names->still(obj, attrs);
            PyObject* value = plain ? names->own(obj, k) : nullptr;
            if (value)
                Py_INCREF(value);
            else
                value = token_of(self, obj, PyTuple_GET_ITEM(attrs, k), line, plain);
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
    const PlainNames::Entry* names = plain_names.hold(obj, attrs);
    for (Py_ssize_t k = 0; k < n; ++k) {
        int line;
        const bool plain = names && names->still(obj, attrs);
        PyObject* own = plain ? names->own(obj, k) : nullptr;
        out[k] = own ? Ref::borrow(own).release() : token_of(self, obj, PyTuple_GET_ITEM(attrs, k), line, plain);
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
