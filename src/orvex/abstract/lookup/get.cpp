// LookupDecorator.__get__: on every fetch through an object, find the package
// root and its abstraction package, collect the tokens, build the search
// paths, ask the package for the class that stands in for the owner, walk to
// a nested class, take the method, and hand back a dispatch wrapper.
// Every attribute is read at the moment its step runs, every read is made
// again where the step says so (a read can run code: a property, a key's
// __eq__, a collection's __del__), and every object read is held across the
// calls that follow it. Reads of exact modules, dicts, classes and str take
// no generic lookup, where that lookup would give the same; the shipped
// builder and package are called directly (the capsule of native/api.hpp).
// A read that only a table answers, and whose table a version shows
// unchanged since it was last read, is taken from that read (plans, the
// decorator's memo, the class's method: see cache/cache.hpp).
#include "../cache/cache.hpp"
#include "../compat.hpp"
#include "../native/api.hpp"
#include "../tokens/token_getters.hpp"
#include "lookup_decorator.hpp"

namespace orvex::abstract {

namespace {

// ---- the compiled siblings

// The C interface of orvex.abstract._native, taken on the first fetch that
// needs it; nullptr while it cannot be had (then every call is a Python call).
const native::Api* siblings() noexcept {
    static const native::Api* api = nullptr;
    static bool absent = false;
    if (api || absent) return api;
    void* found = PyCapsule_Import(native::capsule_name, 0);
    if (!found) {
        // Only a module that is not there for good stops the asking.
        absent = PyErr_ExceptionMatches(PyExc_ImportError) || PyErr_ExceptionMatches(PyExc_AttributeError);
        PyErr_Clear();
        return nullptr;
    }
    auto* candidate = static_cast<const native::Api*>(found);
    if (candidate->version != native::api_version) {
        absent = true;
        return nullptr;
    }
    api = candidate;
    return api;
}

// The shipped AbstractPackage, whose methods cannot have been replaced.
const native::Api* shipped_package(PyObject* package) noexcept {
    const native::Api* api = siblings();
    return api && Py_TYPE(package) == api->package_type ? api : nullptr;
}

// ---- names derived from str values, kept per exact str

cache::Memo relpaths;   // module name -> tuple(name.split("."))
cache::Memo qualnames;  // qualified name -> (first part, tuple of the rest)
cache::Memo ancestors;  // module name -> the walk's candidate parents, nearest first

// ---- reads that need no generic lookup

// module.<name>. For an exact module whose namespace holds the name, the
// namespace answers as the full lookup would: neither the module type nor
// object defines the names read here. New reference or nullptr;
// *in_namespace tells whether the namespace gave it (no code can have
// supplied it, as a module __getattr__ may).
PyObject* module_attr(PyObject* module, PyObject* name, bool* in_namespace = nullptr) noexcept {
    if (in_namespace) *in_namespace = false;
    if (PyModule_CheckExact(module)) {
        if (PyObject* ns = PyModule_GetDict(module)) {
            if (PyObject* value = PyDict_GetItemWithError(ns, name)) {
                if (in_namespace) *in_namespace = true;
                return Ref::borrow(value).release();
            }
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(module, name);
}

// modules[key]: an exact dict and str key are looked up without the
// mapping protocol.
PyObject* modules_item(PyObject* modules, PyObject* key) noexcept {
    if (PyDict_CheckExact(modules) && PyUnicode_CheckExact(key)) {
        if (PyObject* value = PyDict_GetItemWithError(modules, key)) return Ref::borrow(value).release();
        if (PyErr_Occurred()) return nullptr;
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return PyObject_GetItem(modules, key);
}

// owner.__module__ and owner.__qualname__. For a class made by `type`
// itself, type's own data descriptors answer from the class's namespace and
// its qualified name; so do these. New reference or nullptr.
PyObject* class_module(PyObject* owner) noexcept {
    if (Py_TYPE(owner) == &PyType_Type &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(owner), Py_TPFLAGS_HEAPTYPE)) {
        if (PyObject* ns = reinterpret_cast<PyTypeObject*>(owner)->tp_dict) {
            if (PyObject* value = PyDict_GetItemWithError(ns, state.str_dunder_module))
                return Ref::borrow(value).release();
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(owner, state.str_dunder_module);
}

PyObject* class_qualname(PyObject* owner) noexcept {
    if (Py_TYPE(owner) == &PyType_Type &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(owner), Py_TPFLAGS_HEAPTYPE)) {
        if (PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(owner)->ht_qualname)
            return Ref::borrow(qualname).release();
    }
    return PyObject_GetAttr(owner, state.str_dunder_qualname);
}

// decorator.<name> for the names that a fetch reads of its decorator. The
// generic getattr looks at the type first (a data descriptor wins), then in
// the instance's dict, then at the type again. While the decorator's type
// takes the generic getattr and, at the type version last checked, none of
// those names is an attribute of the type or its bases, the instance's dict
// is all that can answer: a value there is the value. Anything else (a miss,
// a dict that is not exact, any other type) takes the generic read, which
// also raises as it does.
enum DecoratorName : int { name_getter, name_attrs, name_builder, name_builder_kwargs, name_method_name, n_names };

PyObject* decorator_name(DecoratorName which) noexcept {
    PyObject* const names[] = {state.str_priv_getter, state.str_priv_attrs, state.str_priv_builder,
                               state.str_priv_builder_kwargs, state.str_priv_method_name};
    return names[which];
}

// Whether the type answers none of the names itself.
class PlainType {
public:
    // (Asked again after the dict is made: making it may have run code.)
    bool plain(PyTypeObject* type) noexcept {
        if (type->tp_getattro != PyObject_GenericGetAttr) return false;
        const unsigned int version = compat::type_version(type);
        return (version && version == version_) || check(type);
    }

private:
    // Looks the names up on the type; a tag is never given twice, so the
    // version alone tells the type and that nothing in its bases moved.
    bool check(PyTypeObject* type) noexcept {
        const unsigned int version = compat::type_assign_version(type, state.str_priv_getter);
        if (!version) return false;
        for (int k = 0; k < n_names; ++k)
            if (compat::type_lookup(type, decorator_name(static_cast<DecoratorName>(k)))) return false;
        if (compat::type_version(type) != version) return false;
        version_ = version;
        return true;
    }

    unsigned int version_ = 0;  // of the last type found plain
};

PlainType plain_type;

// What the last fetch through a decorator read of it: the five values,
// borrowed, with the dict that holds them, its version, and the version of
// the type found plain. They are the values while the decorator's dict is
// that dict at that version (a version is never given twice: the same dict,
// unchanged, still holding them) and its type is at that version; a reader
// compares all of it at every read, since code may have run since the last.
// Kept by a fetch that read all five from one dict at one version, noted in
// place (no dict until the fifth), by one fetch at a time: a fetch that
// starts noting takes the entry, and one whose entry was taken meanwhile (by
// a fetch in another thread, while this one's getter or builder ran) stops.
// Holds no reference. Bound: 256 entries, one per decorator address.
struct DecoratorMemo {
    PyObject* decorator = nullptr;  // compared, never read through
    PyObject* dict = nullptr;       // compared; nullptr while a fetch notes the values
    const std::uint64_t* place = nullptr;
    std::uint64_t version = 0;
    unsigned int type_version = 0;
    // Which fetch notes the values: a fetch whose ticket it is not (another
    // thread started over meanwhile) notes nothing more.
    std::uint64_t ticket = 0;
    PyObject* values[n_names] = {};

    bool holds(PyObject* d, PyObject* const* dict_place) const noexcept {
        PyTypeObject* type = Py_TYPE(d);
        return decorator == d && dict && *dict_place == dict && *place == version &&
               type->tp_getattro == PyObject_GenericGetAttr && compat::type_version(type) == type_version;
    }
};

class DecoratorMemos {
public:
    DecoratorMemo& of(PyObject* decorator) noexcept {
        return table_[cache::spread(reinterpret_cast<std::uintptr_t>(decorator)) & (slots - 1)];
    }

private:
    static constexpr size_t slots = 256;
    DecoratorMemo table_[slots];
};

DecoratorMemos decorator_memos;

// The reads of one fetch: from the memo while it holds, else each from the
// dict or by the generic read, noting them in the memo. Small: a getter that
// fetches again stacks one per fetch. The memo is read where it is, never
// copied: a fetch within may replace it, with values as good for the same
// decorator, or for another (which the check refuses).
class DecoratorReader {
public:
    // (The memo is checked at the first read.)
    explicit DecoratorReader(PyObject* decorator) noexcept
        : decorator_(decorator), memo_(&decorator_memos.of(decorator)) {
        if (memo_->decorator != decorator || !memo_->dict) return;
        dict_place_ = compat::instance_dict_place(decorator);
        using_memo_ = dict_place_ != nullptr;
    }

    // decorator.<which>: new reference, or nullptr with an exception set.
    PyObject* read(DecoratorName which) noexcept {
        if (using_memo_) {
            if (memo_->holds(decorator_, dict_place_)) return Ref::borrow(memo_->values[which]).release();
            using_memo_ = noting_ = false;
        }
        return read_again(which);
    }

    // The same, for a read right after a read of this reader, with no code
    // run in between: what the memo was checked for then still holds.
    PyObject* read_next(DecoratorName which) noexcept {
        if (using_memo_) return Ref::borrow(memo_->values[which]).release();
        return read(which);
    }

private:
    PyObject* read_again(DecoratorName which) noexcept {
        PyObject* name = decorator_name(which);
        // The dict first: making it may run a collection, which may change the type.
        Ref dict = Ref::steal(instance_dict());
        if (!dict || !plain_type.plain(Py_TYPE(decorator_))) {
            noting_ = false;
            return PyObject_GetAttr(decorator_, name);
        }
        const cache::Version version = noting_ ? note_version(dict.get()) : cache::Version();
        PyObject* value = PyDict_GetItemWithError(dict.get(), name);
        if (!value) {
            noting_ = false;
            if (PyErr_Occurred()) return nullptr;
            return PyObject_GetAttr(decorator_, name);
        }
        Ref held = Ref::borrow(value);
        if (noting_) note(which, dict.get(), version, value);
        return held.release();
    }

    // The exact dict of the decorator (made now if it had none), or nullptr with no exception set.
    PyObject* instance_dict() noexcept {
        if (Py_TYPE(decorator_)->tp_getattro != PyObject_GenericGetAttr) return nullptr;
        PyObject* dict = PyObject_GenericGetDict(decorator_, nullptr);
        if (!dict) PyErr_Clear();
        if (dict && !PyDict_CheckExact(dict)) Py_CLEAR(dict);
        return dict;
    }

    // The dict's version before a read: taken at the first (the memo then
    // starts over for this fetch), and the same at each later one.
    cache::Version note_version(PyObject* dict) noexcept {
        if (!noted_) {
            const cache::Version version = cache::instance_dict_version(decorator_, dict);
            const unsigned int type_version = compat::type_version(Py_TYPE(decorator_));
            if (!version || !type_version) {
                noting_ = false;
                return version;
            }
            *memo_ = DecoratorMemo();
            memo_->ticket = ticket_ = ++tickets;
            memo_->decorator = decorator_;
            memo_->place = version.place();
            memo_->version = version.value();
            memo_->type_version = type_version;
            noted_dict_ = dict;
            return version;
        }
        const cache::Version version = cache::Version::of(dict);
        // Still this fetch's notes, of the same dict at the same version?
        if (dict != noted_dict_ || !still_noting() || !version || version.value() != memo_->version) noting_ = false;
        return version;
    }

    // Notes a value read from the dict at `version`; the fifth completes the memo.
    void note(DecoratorName which, PyObject* dict, const cache::Version& version, PyObject* value) noexcept {
        if (!version.same() || !still_noting()) {
            noting_ = false;
            return;
        }
        memo_->values[which] = value;
        noted_ |= 1u << which;
        if (noted_ != (1u << n_names) - 1) return;
        PyObject** dict_place = compat::instance_dict_place(decorator_);
        if (!dict_place || *dict_place != dict) return;
        memo_->dict = dict;
        if (!memo_->holds(decorator_, dict_place)) memo_->dict = nullptr;
    }

    // Whether the memo is still this fetch's notes, incomplete.
    bool still_noting() const noexcept {
        return memo_->ticket == ticket_ && memo_->decorator == decorator_ && !memo_->dict;
    }

    inline static std::uint64_t tickets = 0;

    PyObject* decorator_;
    DecoratorMemo* memo_;
    std::uint64_t ticket_ = 0;
    PyObject** dict_place_ = nullptr;
    PyObject* noted_dict_ = nullptr;  // compared only
    unsigned int noted_ = 0;          // a bit per name noted
    bool using_memo_ = false;
    bool noting_ = true;
};

// obj.<name>(arg): one positional argument; new reference or nullptr.
PyObject* call_method_one(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return nullptr;
    return compat::call_one_arg(method.get(), arg);
}

// text.split("."): an exact str is split without a call.
PyObject* split_dots(PyObject* text) noexcept {
    if (PyUnicode_CheckExact(text)) return PyUnicode_Split(text, state.str_dot, -1);
    return call_method_one(text, state.str_split, state.str_dot);
}

// The truth of <file>.endswith("__init__.py"): 1, 0, or -1 with an exception set.
int ends_with_init(PyObject* file) noexcept {
    if (PyUnicode_CheckExact(file))
        return static_cast<int>(PyUnicode_Tailmatch(file, state.str_init_py, 0, PY_SSIZE_T_MAX, 1));
    Ref ends = Ref::steal(call_method_one(file, state.str_endswith, state.str_init_py));
    if (!ends) return -1;
    return PyObject_IsTrue(ends.get());
}

// The truth of module.__file__.endswith("__init__.py").
int file_is_package_init(PyObject* module) noexcept {
    Ref file = Ref::steal(module_attr(module, state.str_dunder_file));
    if (!file) return -1;
    return ends_with_init(file.get());
}

// ---- what a fetch through a class can take from the last one
//
// Per owner class, a plan: the abstraction package that the root walk and
// the root's attribute gave, and the owner's relpath, name and rest. A plan
// is recorded by a fetch that takes every read, and only when each read it
// stands for was answered by an exact module's, dict's or `type`'s own table
// with a version noted before the read (so that nothing it skips later could
// run code). It is valid while:
//  - the owner is the same object, of metaclass exactly `type`, with the same
//    type version (a tag is never given twice; it moves when the class or a
//    base changes, __module__ included) and the same __qualname__ object;
//  - the decorator's globals are the same dict, and the versions of that
//    dict, of sys's namespace, of sys.modules and of the namespace of every
//    module the walk read are those noted. They are compared in that order:
//    each one equal proves the next dict alive.
// A plan owns only the str and tuples made from the names and a weak
// reference to the owner, so it keeps no class or module alive; the weak
// reference's callback drops the plan with its owner. Bound: 512 plans, two
// places for each owner's address.
struct Plan {
    struct Seen {
        const std::uint64_t* place;  // read only while the versions before it hold
        std::uint64_t value;
    };
    // globals, sys, sys.modules, and the owner's module, two more and the root
    static constexpr int most_seen = 7;

    PyObject* owner = nullptr;    // compared, never read through
    PyObject* globals = nullptr;  // compared
    PyObject* package = nullptr;  // borrowed: in the root's namespace while the versions hold
    Ref qualname;
    Ref names;  // (relpath, name, rest, qualname): held by a fetch as one
    Ref watch;  // weak reference to the owner, whose callback drops the plan
    unsigned int owner_version = 0;
    int n_seen = 0;
    Seen seen[most_seen] = {};
    bool recording = false;  // while a fetch records: false once a read does not qualify

    // Starts recording for `owner`: its version, first.
    void begin(PyObject* type) noexcept {
        if (Py_TYPE(type) != &PyType_Type) return;
        auto* t = reinterpret_cast<PyTypeObject*>(type);
        if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || !t->tp_dict) return;
        PyObject* q = reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname;
        if (!q || !PyUnicode_CheckExact(q)) return;
        owner_version = compat::type_assign_version(t, state.str_dunder_module);
        if (!owner_version) return;
        owner = type;
        qualname = Ref::borrow(q);
        recording = true;
    }

    // Notes a version taken before a read; a read without one spoils the record.
    void see(const cache::Version& version) noexcept {
        if (!recording) return;
        if (!version || n_seen == most_seen) {
            recording = false;
            return;
        }
        for (int k = 0; k < n_seen; ++k)
            if (seen[k].place == version.place()) {
                if (seen[k].value != version.value()) recording = false;
                return;
            }
        seen[n_seen++] = {version.place(), version.value()};
    }
    void spoil() noexcept { recording = false; }

    bool versions_hold() const noexcept {
        for (int k = 0; k < n_seen; ++k)
            if (*seen[k].place != seen[k].value) return false;
        return true;
    }

    bool holds(FunctionObject* self, PyObject* type) const noexcept {
        return type == owner && owner_unchanged(type, owner_version, qualname.get()) && self->globals == globals &&
               versions_hold();
    }

    // Whether `type` still has the module and qualified name it had.
    static bool owner_unchanged(PyObject* type, unsigned int version, PyObject* qualname) noexcept {
        auto* t = reinterpret_cast<PyTypeObject*>(type);
        return version && Py_TYPE(type) == &PyType_Type && compat::type_version(t) == version &&
               reinterpret_cast<PyHeapTypeObject*>(t)->ht_qualname == qualname;
    }
};

// The truth of the exact module's __file__.endswith("__init__.py") as a
// plan may stand for it: read from the namespace, whose version is noted.
int recorded_package_init(PyObject* module, Plan& plan) noexcept {
    if (!plan.recording || !PyModule_CheckExact(module)) {
        plan.spoil();
        return file_is_package_init(module);
    }
    PyObject* ns = PyModule_GetDict(module);
    const cache::Version version = cache::Version::of(ns);
    bool in_namespace = false;
    Ref file = Ref::steal(module_attr(module, state.str_dunder_file, &in_namespace));
    if (!file) return -1;
    if (!in_namespace || !PyUnicode_CheckExact(file.get()))
        plan.spoil();
    else
        plan.see(version);
    return ends_with_init(file.get());
}

class SysModules {
public:
    explicit SysModules(FunctionObject* self) noexcept : self_(self) {}

    // New reference or nullptr.
    PyObject* read() noexcept {
        if (value_ && current()) return Ref::borrow(value_.get()).release();
        value_.reset();
        sys_.reset();
        globals_version_ = sys_version_ = cache::Version();
        const cache::Version globals_version = cache::Version::of(self_->globals);
        PyObject* found = PyDict_GetItemWithError(self_->globals, state.str_sys);
        if (!found && PyErr_Occurred()) return nullptr;
        Ref sys = found ? Ref::borrow(found) : Ref::steal(lookup_global(self_->globals, state.str_sys));
        if (!sys) return nullptr;
        const bool exact = found && PyModule_CheckExact(sys.get());
        const cache::Version sys_version = exact ? cache::Version::of(PyModule_GetDict(sys.get())) : cache::Version();
        bool in_namespace = false;
        Ref modules = Ref::steal(module_attr(sys.get(), state.str_modules, &in_namespace));
        if (!modules) return nullptr;
        if (in_namespace && globals_version.same() && sys_version.same()) {
            globals_version_ = globals_version;
            sys_version_ = sys_version;
            sys_ = std::move(sys);
        }
        value_ = Ref::borrow(modules.get());
        return modules.release();
    }

    // Whether the last read would give the same object again.
    bool current() const noexcept { return globals_version_.same() && sys_version_.same(); }

    // What the first read stands on, for a plan; only a sys.modules that is
    // an exact dict, read from an exact sys in the globals, qualifies.
    void record(Plan& plan) const noexcept {
        if (!sys_ || !PyDict_CheckExact(value_.get())) return plan.spoil();
        plan.see(globals_version_);
        plan.see(sys_version_);
    }

private:
    FunctionObject* self_;
    Ref value_;  // sys.modules as last read
    Ref sys_;    // the sys module it was read from (its namespace's version is kept)
    cache::Version globals_version_, sys_version_;
};

// For an exact str module name: the parents that the walk up tries, in its
// order, ".".join(names[:i]) for i from len(names) - 1 down to 0. New
// reference; nullptr with an exception set on failure.
PyObject* walk_parents(PyObject* name) noexcept {
    if (Ref kept = ancestors.get(name)) return kept.release();
    Ref names = Ref::steal(PyUnicode_Split(name, state.str_dot, -1));
    if (!names) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref parents = Ref::steal(PyTuple_New(n));
    if (!parents) return nullptr;
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        Ref head = Ref::steal(PyList_GetSlice(names.get(), 0, i));
        if (!head) return nullptr;
        PyObject* parent = PyUnicode_Join(state.str_dot, head.get());
        if (!parent) return nullptr;
        PyTuple_SET_ITEM(parents.get(), n - 1 - i, parent);
    }
    ancestors.put(name, parents.get());
    return parents.release();
}

// ".".join(names[:i]). New reference, or nullptr.
PyObject* head_name(PyObject* names, Py_ssize_t i) noexcept {
    Ref head = Ref::steal(PySequence_GetSlice(names, 0, i));
    return head ? PyUnicode_Join(state.str_dot, head.get()) : nullptr;
}

// The owner class's package root module: its own module when that is a
// package's __init__, else the nearest enclosing package found in sys.modules.
// New reference, or nullptr after fail().
PyObject* find_root_module(FunctionObject* self, PyObject* owner, Plan& plan) noexcept {
    SysModules sys_modules(self);
    Ref module;
    {
        Ref modules = Ref::steal(sys_modules.read());
        if (!modules) return fail(self, 152);
        sys_modules.record(plan);
        Ref module_name = Ref::steal(class_module(owner));
        if (!module_name) return fail(self, 152);
        if (!PyUnicode_CheckExact(module_name.get())) plan.spoil();
        plan.see(cache::Version::of(modules.get()));
        module = Ref::steal(modules_item(modules.get(), module_name.get()));
        if (!module) return fail(self, 152);
    }
    int is_root = recorded_package_init(module.get(), plan);
    if (is_root < 0) return fail(self, 154);
    if (is_root) return module.release();

    Ref parents;  // the candidates of the walk, or empty for the generic walk
    Ref names;
    {
        bool in_namespace = false;
        Ref name = Ref::steal(module_attr(module.get(), state.str_dunder_name, &in_namespace));
        if (!name) return fail(self, 155);
        if (!in_namespace) plan.spoil();
        if (PyUnicode_CheckExact(name.get())) {
            parents = Ref::steal(walk_parents(name.get()));
            if (!parents) return fail(self, 155);
        } else {
            names = Ref::steal(split_dots(name.get()));
            if (!names) return fail(self, 155);
        }
    }
    const Py_ssize_t n = parents ? PyTuple_GET_SIZE(parents.get()) : PyObject_Size(names.get());
    if (n < 0) return fail(self, 157);
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        Ref parent;
        if (parents) {
            parent = Ref::borrow(PyTuple_GET_ITEM(parents.get(), n - 1 - i));
        } else {
            parent = Ref::steal(head_name(names.get(), i));
            if (!parent) return fail(self, 158);
        }
        // One guarded step: sys.modules[parent].__file__.endswith("__init__.py").
        // A KeyError or AttributeError in it only means "not here". (Written
        // out here: as a function of its own it cost 8 instructions a fetch.)
        int found = -1;
        Ref candidate;
        Ref modules = Ref::steal(sys_modules.read());
        cache::Version modules_version;  // sys.modules' before the entry was read
        if (modules) {
            modules_version = cache::Version::of(modules.get());
            plan.see(modules_version);
            candidate = Ref::steal(modules_item(modules.get(), parent.get()));
            if (candidate) found = recorded_package_init(candidate.get(), plan);
        }
        if (found < 0) {
            if (!PyErr_ExceptionMatches(state.builtin_KeyError) &&
                !PyErr_ExceptionMatches(state.builtin_AttributeError))
                return fail(self, 161);
            // A missing entry is in sys.modules' version; anything else is not.
            if (candidate || !PyErr_ExceptionMatches(state.builtin_KeyError)) plan.spoil();
            PyErr_Clear();
            continue;
        }
        if (!found) continue;

        // Read again: the guarded step may have run code that changed
        // `sys` or the entry. Unchanged versions prove the read would give the same.
        if (modules_version.same() && sys_modules.current()) return candidate.release();
        plan.spoil();
        modules = Ref::steal(sys_modules.read());
        if (!modules) return fail(self, 169);
        PyObject* root = modules_item(modules.get(), parent.get());
        if (!root) return fail(self, 169);
        return root;
    }

    // The walk found no package. The discarded errors are not chained.
    Ref file = Ref::steal(PyObject_GetAttr(module.get(), state.str_dunder_file));
    if (!file) return fail(self, 167);
    Ref message = Ref::steal(PyUnicode_Format(state.str_msg_no_package, file.get()));
    if (message) raise_new(state.builtin_LookupError, message.get());
    return fail(self, 166);
}

// The root module's abstraction package, made on first use. New reference,
// or nullptr after fail().
PyObject* abstraction_package(FunctionObject* self, PyObject* owner, Plan& plan) noexcept {
    Ref module = Ref::steal(find_root_module(self, owner, plan));
    if (!module) return nullptr;
    bool name_in_namespace = false;
    Ref module_name = Ref::steal(module_attr(module.get(), state.str_dunder_name, &name_in_namespace));
    if (!module_name) return fail(self, 171);
    // Any exception counts as "no package yet".
    const cache::Version ns_version =
        PyModule_CheckExact(module.get()) ? cache::Version::of(PyModule_GetDict(module.get())) : cache::Version();
    bool in_namespace = false;
    Ref package = Ref::steal(module_attr(module.get(), state.str_abstract_pkg, &in_namespace));
    // Unchanged only when the namespace itself gave it (a __getattr__ may
    // give another at the next read).
    const bool unchanged = package && in_namespace && ns_version.same();
    if (!package) {
        PyErr_Clear();
        Ref factory = Ref::steal(lookup_global(self->globals, state.str_AbstractPackage));
        if (!factory) return fail(self, 176);
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs || PyDict_SetItem(kwargs.get(), state.str_delay, Py_True) < 0) return fail(self, 176);
        Ref args = Ref::steal(PyTuple_Pack(1, module_name.get()));
        if (!args) return fail(self, 176);
        Ref made = Ref::steal(PyObject_Call(factory.get(), args.get(), kwargs.get()));
        if (!made || PyObject_SetAttr(module.get(), state.str_abstract_pkg, made.get()) < 0) return fail(self, 176);
    }
    // Read again: another thread, the constructor, or code run by the
    // presence test's read may have stored another; an unchanged tag of the
    // namespace proves that none did.
    if (!unchanged) package = Ref::steal(module_attr(module.get(), state.str_abstract_pkg));
    if (!package) return fail(self, 179);
    if (unchanged && name_in_namespace)
        plan.see(ns_version);
    else
        plan.spoil();
    if (plan.recording) plan.package = package.get();
    return package.release();
}

// package.learn(). Returns 0, or -1 after fail().
int learn(FunctionObject* self, PyObject* package) noexcept {
    if (const native::Api* api = shipped_package(package)) return api->learn(package) < 0 ? fail_status(self, 182) : 0;
    Ref method = Ref::steal(PyObject_GetAttr(package, state.str_learn));
    if (!method) return fail_status(self, 182);
    Ref learned = Ref::steal(compat::call_no_args(method.get()));
    return learned ? 0 : fail_status(self, 182);
}

// The keywords that the shipped builder takes as a call would take them
// from `stored` (none, or only `mandatory`): 1 with `mandatory` set (nullptr
// for none), 0 when `builder` is not the shipped one or the call must be
// made as a Python call.
int shipped_builder(PyObject* builder, PyObject* stored, PyObject*& mandatory) noexcept {
    const native::Api* api = siblings();
    if (!api || builder != api->default_builder || !PyDict_CheckExact(stored)) return 0;
    const Py_ssize_t n = PyDict_GET_SIZE(stored);
    mandatory = nullptr;
    if (n == 0) return 1;
    if (n != 1) return 0;
    mandatory = PyDict_GetItemWithError(stored, state.str_mandatory);  // (a str key: no error)
    return mandatory ? 1 : 0;
}

// builder(tokens, **stored), the keywords always from a fresh dict: the
// builder never sees the decorator's own mapping.
PyObject* call_builder(FunctionObject* self, PyObject* builder, PyObject* stored, PyObject* tokens) noexcept {
    PyObject* mandatory;
    if (shipped_builder(builder, stored, mandatory)) {
        Ref held = Ref::borrow(mandatory);
        PyObject* sequence = siblings()->build(tokens, held.get());
        return sequence ? sequence : fail(self, 188);
    }
    Ref kwargs;
    if (stored == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return fail(self, 188);
    }
    if (PyDict_CheckExact(stored))
        kwargs = Ref::steal(PyDict_Copy(stored));
    else
        kwargs = Ref::steal(compat::call_one_arg(reinterpret_cast<PyObject*>(&PyDict_Type), stored));
    if (!kwargs) return fail(self, 188);
    PyObject* sequence = compat::vectorcall_dict(builder, &tokens, 1, kwargs.get());
    if (!sequence) return fail(self, 188);
    return sequence;
}

// The tokens that the shipped getter gives, held.
struct TokenValues {
    static constexpr Py_ssize_t most = 16;
    PyObject* items[most];
    Py_ssize_t n = 0;
    TokenValues() noexcept = default;
    TokenValues(const TokenValues&) = delete;
    TokenValues& operator=(const TokenValues&) = delete;
    ~TokenValues() {
        while (n > 0) Py_DECREF(items[--n]);
    }
};

// The search paths when the getter is the shipped one: its values are read
// as its call reads them, but into an array, and go to the shipped builder
// as they are (to any other builder as the tuple the call would give). Not
// inlined: the array is on the stack only while it is used, and not under a
// getter that fetches again.
ORVEX_NOINLINE PyObject* shipped_getter_sequence(FunctionObject* self, DecoratorReader& decorator, PyObject* getter,
                                                 PyObject* attrs, PyObject* instance) noexcept {
    TokenValues tokens;
    const Py_ssize_t n = default_tokens(getter, instance, attrs, tokens.items);
    if (n < 0) return fail(self, 185);
    tokens.n = n;
    Ref builder = Ref::steal(decorator.read(name_builder));
    if (!builder) return fail(self, 188);
    Ref stored = Ref::steal(decorator.read_next(name_builder_kwargs));
    if (!stored) return fail(self, 188);
    PyObject* mandatory;
    if (shipped_builder(builder.get(), stored.get(), mandatory)) {
        Ref held = Ref::borrow(mandatory);
        PyObject* sequence = siblings()->build_of(tokens.items, n, held.get());
        return sequence ? sequence : fail(self, 188);
    }
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return fail(self, 185);
    for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(tuple.get(), k, Ref::borrow(tokens.items[k]).release());
    return call_builder(self, builder.get(), stored.get(), tuple.get());
}

// self._builder(self._getter(instance, self._attrs), **self._builder_kwargs)
PyObject* build_sequence(FunctionObject* self, DecoratorReader& decorator, PyObject* instance) noexcept {
    Ref getter = Ref::steal(decorator.read(name_getter));
    if (!getter) return fail(self, 185);
    Ref attrs = Ref::steal(decorator.read_next(name_attrs));
    if (!attrs) return fail(self, 185);
    if (default_tokens_apply(getter.get(), attrs.get(), TokenValues::most))
        return shipped_getter_sequence(self, decorator, getter.get(), attrs.get(), instance);
    PyObject* args[] = {instance, attrs.get()};
    Ref tokens = Ref::steal(Py_TYPE(getter.get()) == &function_type ? function_call_positional(getter.get(), args, 2)
                                                                    : compat::vectorcall(getter.get(), args, 2));
    if (!tokens) return fail(self, 185);
    Ref builder = Ref::steal(decorator.read(name_builder));
    if (!builder) return fail(self, 188);
    Ref stored = Ref::steal(decorator.read_next(name_builder_kwargs));
    if (!stored) return fail(self, 188);
    return call_builder(self, builder.get(), stored.get(), tokens.get());
}

// tuple(module_name.split(".")), kept per exact str.
PyObject* relpath_of(PyObject* module_name) noexcept {
    const bool exact = PyUnicode_CheckExact(module_name);
    if (exact) {
        if (Ref kept = relpaths.get(module_name)) return kept.release();
    }
    Ref parts = Ref::steal(split_dots(module_name));
    if (!parts) return nullptr;
    PyObject* relpath = PySequence_Tuple(parts.get());
    if (relpath && exact) relpaths.put(module_name, relpath);
    return relpath;
}

// name, *rest = qualname.split("."): a new (name, tuple of the rest), kept per exact str.
PyObject* split_qualname(PyObject* qualname) noexcept {
    const bool exact = PyUnicode_CheckExact(qualname);
    if (exact) {
        if (Ref kept = qualnames.get(qualname)) return kept.release();
    }
    Ref split = Ref::steal(split_dots(qualname));
    if (!split) return nullptr;
    Ref parts = Ref::steal(PySequence_Tuple(split.get()));
    if (!parts) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.get());
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected at least 1, got %zd)", n);
        return nullptr;
    }
    Ref rest = Ref::steal(PyTuple_GetSlice(parts.get(), 1, n));
    if (!rest) return nullptr;
    PyObject* pair = PyTuple_Pack(2, PyTuple_GET_ITEM(parts.get(), 0), rest.get());
    if (pair && exact) qualnames.put(qualname, pair);
    return pair;
}

// relpath = tuple(owner.__module__.split(".")); name, *rest = owner.__qualname__.split(".")
int target_name(FunctionObject* self, PyObject* owner, Ref& relpath, Ref& name, Ref& rest) noexcept {
    {
        Ref module_name = Ref::steal(class_module(owner));
        if (!module_name) return fail_status(self, 191);
        relpath = Ref::steal(relpath_of(module_name.get()));
        if (!relpath) return fail_status(self, 191);
    }
    Ref qualname = Ref::steal(class_qualname(owner));
    if (!qualname) return fail_status(self, 195);
    Ref pair = Ref::steal(split_qualname(qualname.get()));
    if (!pair) return fail_status(self, 195);
    name = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    rest = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    return 0;
}

// package.lookup(relpath, seq, name): 1 with the answer, 0 for a LookupError
// (the next path is tried), -1 with any other exception set.
int ask(PyObject* package, const native::Api* api, PyObject* relpath, PyObject* seq, PyObject* name,
        Ref& found) noexcept {
    PyObject* result = nullptr;
    int status;
    if (api) {
        // The shipped package answers a miss without raising.
        status = api->lookup(package, relpath, seq, name, &result);
    } else {
        Ref lookup = Ref::steal(PyObject_GetAttr(package, state.str_lookup));
        PyObject* args[] = {relpath, seq, name};
        result = lookup ? compat::vectorcall(lookup.get(), args, 3) : nullptr;
        status = result ? 1 : -1;
    }
    if (status > 0) {
        found = Ref::steal(result);
        return 1;
    }
    if (status == 0) return 0;
    if (!PyErr_ExceptionMatches(state.builtin_LookupError)) return -1;
    PyErr_Clear();
    return 0;
}

// Asks the package, search path by search path, for the class that stands in
// for the owner. A LookupError moves on to the next path; the first call that
// returns ends the search, whatever it returned.
PyObject* search(FunctionObject* self, PyObject* package, PyObject* sequence, PyObject* relpath,
                 PyObject* name) noexcept {
    const native::Api* api = shipped_package(package);
    // An exact tuple (the shipped builder's) is walked without an iterator.
    const bool exact = PyTuple_CheckExact(sequence);
    Ref iterator;
    if (!exact) {
        iterator = Ref::steal(PyObject_GetIter(sequence));
        if (!iterator) return fail(self, 199);
    }
    Ref cls = Ref::borrow(Py_None);
    // With an empty sequence no path was tried: the message shows None.
    // The paths of an exact tuple are borrowed from it (it is held, and its
    // items never change); an iterator's are held one by one.
    PyObject* seq = Py_None;
    Ref held;  // the iterator's path being tried
    for (Py_ssize_t next = 0;; ++next) {
        if (exact) {
            if (next >= PyTuple_GET_SIZE(sequence)) break;
            seq = PyTuple_GET_ITEM(sequence, next);
        } else {
            Ref item = Ref::steal(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return fail(self, 199);
                break;
            }
            held = std::move(item);
            seq = held.get();
        }
        Ref found;
        const int answered = ask(package, api, relpath, seq, name, found);
        if (answered < 0) return fail(self, 201);
        if (answered) {
            cls = std::move(found);
            break;
        }
    }
    // A class made by `type` is true: `type` defines neither __bool__ nor __len__.
    const int truth = Py_TYPE(cls.get()) == &PyType_Type ? 1 : PyObject_IsTrue(cls.get());
    if (truth < 0) return fail(self, 207);
    if (truth) return cls.release();
    PyObject* pieces[] = {state.str_msg_not_found, relpath, state.str_msg_search_path, seq, state.str_msg_target, name};
    Ref message = Ref::steal(join_str(pieces, 6));
    if (!message) return fail(self, 212);
    raise_new(state.builtin_LookupError, message.get());
    return fail(self, 208);
}

// The lines a missing-definition error reports: the read of each piece of
// its message that fails, joining the pieces, and the raise.
struct MissingLines {
    int qualname, module, what, join, raise;
};

// Raises LookupError "Class '<qualname>' in '<module>' is missing method
// definition '<what>'"; `what` is the missing name, or nullptr to read
// decorator._method_name again. Returns the line to report.
int raise_missing(PyObject* cls, PyObject* what, DecoratorReader* decorator, const MissingLines& at) noexcept {
    Ref qualname = Ref::steal(PyObject_GetAttr(cls, state.str_dunder_qualname));
    if (!qualname) return at.qualname;
    Ref module = Ref::steal(PyObject_GetAttr(cls, state.str_dunder_module));
    if (!module) return at.module;
    Ref name = what ? Ref::borrow(what) : Ref::steal(decorator->read(name_method_name));
    if (!name) return at.what;
    PyObject* pieces[] = {state.str_msg_class,          qualname.get(), state.str_msg_in,   module.get(),
                          state.str_msg_missing_method, name.get(),     state.str_msg_quote};
    Ref message = Ref::steal(join_str(pieces, 7));
    if (!message) return at.join;
    raise_new(state.builtin_LookupError, message.get());
    return at.raise;
}

// The missing-definition error, raised while the AttributeError `handled`
// is handled. Returns nullptr.
PyObject* missing_definition(FunctionObject* self, PyObject* cls, PyObject* what, DecoratorReader* decorator,
                             Ref handled, const MissingLines& at) noexcept {
    const int line = raise_missing(cls, what, decorator, at);
    chain_to_handled(std::move(handled));
    return fail(self, line);
}

// Walks from the found class down the rest of the owner's qualified name.
PyObject* walk_nested(FunctionObject* self, Ref cls, PyObject* rest) noexcept {
    // The message's pieces are all read on one line.
    static constexpr MissingLines at{219, 219, 219, 219, 218};
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rest); ++k) {
        Ref attr = Ref::borrow(PyTuple_GET_ITEM(rest, k));
        Ref inner = Ref::steal(PyObject_GetAttr(cls.get(), attr.get()));
        if (!inner) {
            Ref handled = take_if(state.builtin_AttributeError);
            if (!handled) return fail(self, 216);
            return missing_definition(self, cls.get(), attr.get(), nullptr, std::move(handled), at);
        }
        cls = std::move(inner);
    }
    return cls.release();
}

// getattr(cls, name) for a class of metaclass exactly `type`, when its
// lookup finds a plain function (which that getattr gives as it is) and
// `type` itself has no attribute of that name: kept per class and exact str
// name, the function borrowed, for as long as the class keeps its version
// (a tag is never given twice; it moves with any change of the class or a
// base, so the dict that holds the function still does). An entry holds
// its name, so that no other str takes its address. Bound: 64 entries, one
// per (class, name) address pair.
class ClassMethods {
public:
    PyObject* get(PyObject* cls, PyObject* name) noexcept {
        Entry& entry = entry_of(cls, name);
        if (entry.cls == cls && entry.name.get() == name && Py_TYPE(cls) == &PyType_Type) {
            const unsigned int version = compat::type_version(reinterpret_cast<PyTypeObject*>(cls));
            if (version && version == entry.version) return Ref::borrow(entry.func).release();
        }
        PyObject* func = PyObject_GetAttr(cls, name);
        if (func && Py_TYPE(cls) == &PyType_Type && PyUnicode_CheckExact(name) && PyFunction_Check(func) &&
            Py_TYPE(func) == &PyFunction_Type) {
            auto* type = reinterpret_cast<PyTypeObject*>(cls);
            const unsigned int version = compat::type_version(type);
            if (version && compat::type_lookup(type, name) == func && !compat::type_lookup(&PyType_Type, name) &&
                compat::type_version(type) == version) {
                // The old name (a str) goes without running code.
                entry.cls = cls;
                entry.version = version;
                entry.func = func;
                entry.name = Ref::borrow(name);
            }
        }
        return func;
    }

private:
    struct Entry {
        PyObject* cls = nullptr;   // compared, never read through
        PyObject* func = nullptr;  // borrowed: in a dict of the class or a base while the version holds
        Ref name;
        unsigned int version = 0;
    };
    static constexpr size_t slots = 64;

    Entry& entry_of(PyObject* cls, PyObject* name) noexcept {
        const auto mixed =
            reinterpret_cast<std::uintptr_t>(cls) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<std::uintptr_t>(name);
        return table_[cache::spread(mixed) & (slots - 1)];
    }

    Entry table_[slots];
};

ClassMethods& class_methods = *new ClassMethods();  // never destroyed: its entries hold names

// getattr(cls, self._method_name), as the class fetch returns it.
PyObject* take_method(FunctionObject* self, DecoratorReader& decorator, PyObject* cls) noexcept {
    // Each piece of the message has its own line; the name is read again.
    static constexpr MissingLines at{225, 226, 227, 224, 224};
    Ref method_name = Ref::steal(decorator.read(name_method_name));
    Ref func = method_name ? Ref::steal(class_methods.get(cls, method_name.get())) : Ref();
    if (func) return func.release();
    Ref handled = take_if(state.builtin_AttributeError);
    if (!handled) return fail(self, 222);
    return missing_definition(self, cls, nullptr, &decorator, std::move(handled), at);
}

class Plans {
public:
    // A plan that holds for fetches of `owner` through `self`'s module, or nullptr.
    const Plan* find(FunctionObject* self, PyObject* owner) const noexcept {
        const Plan* pair = &table_[index(owner)];
        for (int k = 0; k < 2; ++k)
            if (pair[k].holds(self, owner)) return &pair[k];
        return nullptr;
    }

    // Keeps what a fetch recorded, if every version it noted still holds.
    void keep(FunctionObject* self, Plan&& plan) noexcept {
        if (!plan.recording || !plan.package) return;
        // The names first: they allocate, and a collection may run code.
        Ref module_name = Ref::borrow(
            PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(plan.owner)->tp_dict, state.str_dunder_module));
        if (!module_name || !PyUnicode_CheckExact(module_name.get())) return PyErr_Clear();
        Ref relpath = Ref::steal(relpath_of(module_name.get()));
        Ref pair = Ref::steal(split_qualname(plan.qualname.get()));
        if (!relpath || !pair) return PyErr_Clear();
        plan.names = Ref::steal(PyTuple_Pack(4, relpath.get(), PyTuple_GET_ITEM(pair.get(), 0),
                                             PyTuple_GET_ITEM(pair.get(), 1), plan.qualname.get()));
        if (!plan.names) return PyErr_Clear();
        plan.globals = self->globals;
        Plan* pair_of = &table_[index(plan.owner)];
        const Plan* same = of_owner(pair_of, plan.owner);
        plan.watch = same ? Ref::borrow(same->watch.get()) : watch(plan.owner);
        if (!plan.watch) return PyErr_Clear();
        // The allocations above may have run code: check again, then store
        // without running any (a place, once chosen, changes only here).
        if (!plan.holds(self, plan.owner)) return;
        plan.recording = false;
        Plan* own = of_owner(pair_of, plan.owner);
        Plan& slot = own ? *own : pair_of[turn_ ^= 1];
        // The old plan leaves with `plan`: str, tuples and a weak reference
        // (released without its callback), no code runs.
        std::swap(slot, plan);
    }

    // The weak reference's callback: its owner is going, and the plan with it.
    void forget(PyObject* weak) noexcept {
        for (Plan& plan : table_)
            if (plan.watch.get() == weak) {
                Plan gone;
                std::swap(plan, gone);
                return;
            }
    }

private:
    static constexpr size_t slots = 512;

    static size_t index(PyObject* owner) noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(owner);
        a ^= a >> 13;
        return (a >> 4) & (slots - 2);
    }

    // The plan of the pair that is `owner`'s, or nullptr.
    static Plan* of_owner(Plan* pair, PyObject* owner) noexcept {
        for (int k = 0; k < 2; ++k)
            if (pair[k].owner == owner) return &pair[k];
        return nullptr;
    }

    // A new weak reference to `owner` that calls forget() when the owner
    // goes, or nullptr with an exception set.
    static Ref watch(PyObject* owner) noexcept;

    Plan table_[slots];
    size_t turn_ = 0;
};

// Never destroyed: at the process's exit the interpreter is gone before
// static destructors run, and the plans' references cannot be released then.
Plans& plans = *new Plans();

PyObject* plan_owner_gone(PyObject*, PyObject* weak) noexcept {
    plans.forget(weak);
    Py_RETURN_NONE;
}

PyMethodDef plan_owner_gone_def = {"plan_owner_gone", plan_owner_gone, METH_O, nullptr};

Ref Plans::watch(PyObject* owner) noexcept {
    static PyObject* callback = nullptr;  // made once, kept for the process
    if (!callback && !(callback = PyCFunction_New(&plan_owner_gone_def, nullptr))) return Ref();
    return Ref::steal(PyWeakref_NewRef(owner, callback));
}

// The package by the full walk, recording a plan on the way. Not inlined: a
// fetch that re-enters itself (a getter that fetches again) stacks only
// the frames of fetches that use a plan, which are small.
ORVEX_NOINLINE PyObject* walk_and_plan(FunctionObject* self, PyObject* owner) noexcept {
    Plan record;
    record.begin(owner);
    Ref package = Ref::steal(abstraction_package(self, owner, record));
    if (package) plans.keep(self, std::move(record));
    return package.release();
}

// Argument slots of __get__, in parameter order.
enum GetSlot : int { get_self, get_instance, get_owner, get_slots };

PyObject* lookup_decorator_get(FunctionObject* self, Arguments& args) noexcept {
    PyObject* decorator = args[get_self];
    PyObject* instance = args[get_instance];
    PyObject* owner = args[get_owner];
    if (instance == Py_None) {
        PyObject* method = PyObject_GetAttr(decorator, state.str_priv_method);
        if (!method) return fail(self, 150);
        return method;
    }

    // A plan stands for the root walk and the package attribute, and for the
    // owner's names while the owner is unchanged when they are needed.
    // The plan's names are held as the one tuple that holds them all.
    Ref package, names;
    PyObject *relpath = nullptr, *name = nullptr, *rest = nullptr, *qualname = nullptr;
    unsigned int owner_version = 0;
    if (const Plan* plan = plans.find(self, owner)) {
        package = Ref::borrow(plan->package);
        names = Ref::borrow(plan->names.get());
        relpath = PyTuple_GET_ITEM(names.get(), 0);
        name = PyTuple_GET_ITEM(names.get(), 1);
        rest = PyTuple_GET_ITEM(names.get(), 2);
        qualname = PyTuple_GET_ITEM(names.get(), 3);
        owner_version = plan->owner_version;
    } else {
        package = Ref::steal(walk_and_plan(self, owner));
        if (!package) return nullptr;
    }
    if (learn(self, package.get()) < 0) return nullptr;
    DecoratorReader reader(decorator);
    Ref sequence = Ref::steal(build_sequence(self, reader, instance));
    if (!sequence) return nullptr;
    Ref own_relpath, own_name, own_rest;
    if (!Plan::owner_unchanged(owner, owner_version, qualname)) {
        if (target_name(self, owner, own_relpath, own_name, own_rest) < 0) return nullptr;
        relpath = own_relpath.get();
        name = own_name.get();
        rest = own_rest.get();
    }
    Ref cls = Ref::steal(search(self, package.get(), sequence.get(), relpath, name));
    if (!cls) return nullptr;
    cls = Ref::steal(walk_nested(self, std::move(cls), rest));
    if (!cls) return nullptr;
    // Under @classmethod (3.9 to 3.12) the fetch comes with the class as the
    // instance, and taking the method from the class found fetches this
    // decorator again the same way: bounded like a Python call. An ordinary
    // fetch, through an object that is not a class, skips the count.
    const bool through_class = PyType_Check(instance);
    if (through_class && Py_EnterRecursiveCall(" while fetching a decorated method")) return fail(self, 222);
    Ref func = Ref::steal(take_method(self, reader, cls.get()));
    if (through_class) Py_LeaveRecursiveCall();
    if (!func) return nullptr;
    return make_wrapper(self, func.get(), instance);
}

// type.__get__ as the type's lookup finds it (borrowed), kept for the last
// type version: a tag is never given twice, and while the type keeps it the
// dict that holds the function is unchanged.
class GetOfType {
public:
    PyObject* find(PyTypeObject* type) noexcept {
        const unsigned int version = compat::type_version(type);
        if (version && version == version_) return get_;
        PyObject* get = compat::type_lookup(type, state.str_dunder_get);
        if (compat::type_version(type) == version) {
            version_ = version;
            get_ = get;
        }
        return get;
    }

private:
    unsigned int version_ = 0;
    PyObject* get_ = nullptr;
};

GetOfType get_of_type;

}  // namespace

PyObject* lookup_decorator_descr_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
    // As the slot of a class that defines __get__: the __get__ found on the
    // type, called unbound with None for a missing object or type.
    PyObject* get = get_of_type.find(Py_TYPE(self));
    if (!get) return Ref::borrow(self).release();
    Ref held = Ref::borrow(get);
    auto* function = reinterpret_cast<FunctionObject*>(get);
    if (Py_TYPE(get) == &function_type && function->def == &get_def && function->globals) {
        // This module's own __get__, bound as a call binds it.
        Arguments bound;
        bound.slot[get_self] = Ref::borrow(self);
        bound.slot[get_instance] = Ref::borrow(obj ? obj : Py_None);
        bound.slot[get_owner] = Ref::borrow(type ? type : Py_None);
        return lookup_decorator_get(function, bound);
    }
    PyObject* args[] = {self, obj ? obj : Py_None, type ? type : Py_None};
    if (Py_TYPE(get) == &function_type) return function_call_positional(get, args, 3);
    return compat::vectorcall(get, args, 3);
}

namespace {

const char* const varnames[] = {"self",        "instance", "owner",  "module",   "names",   "i",    "parent",
                                "module_name", "package",  "tokens", "sequence", "relpath", "name", "rest",
                                "cls",         "seq",      "func",   "wrapper",  "wrapper"};
FunctionCache get_cache;

}  // namespace

constexpr FunctionDef get_def = define(get_cache, "__get__", "orvex.abstract.decorator.LookupDecorator.__get__", 135,
                                       CO_OPTIMIZED | CO_NEWLOCALS, 3, 3, 0, varnames, lookup_decorator_get);
static_assert(definition_fits(get_def));
static_assert(get_slots == get_def.n_parameters());

}  // namespace orvex::abstract
