// AbstractPackage: the token packages below one root package and the lookup
// of the class that stands in for another under a token path. What runs on
// every fetch lives here (learning once done, the cache of answers, hits and
// misses); indexing and importing, which run once per answer, are the Python
// functions _index and _find of orvex.abstract.package, read at each use.

#include <cstdint>
#include <utility>

#include "../compat.hpp"
#include "native.hpp"

namespace orvex::abstract::native {

PyTypeObject package_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

// A cached miss: the reason, for the KeyError of a Python caller.
struct Miss {
    PyObject_HEAD
    PyObject* message;
};
PyTypeObject miss_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void miss_dealloc(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<Miss*>(self)->message);
    PyObject_Free(self);
}

PyObject* miss_new(PyObject* message) noexcept {
    Miss* miss = PyObject_New(Miss, &miss_type);
    if (!miss) return nullptr;
    miss->message = Ref::borrow(message).release();
    return reinterpret_cast<PyObject*>(miss);
}

// One entry of the front of the cache, keyed by the identity of the exact
// tuples and str that the decorator passes on every fetch (the builder and
// its memo tables hand out the same objects). The entry owns its keys, so an
// address cannot be reused by another object while the entry stands.
struct Recent {
    PyObject* relpath;
    PyObject* seq;
    PyObject* name;
    PyObject* answer;  // the object found, or a Miss
};
constexpr size_t recent_size = 32;

// Two neighbouring slots serve one hash, so that two keys that meet in a
// slot (a fetch's miss and its hit, say) do not keep evicting each other.
size_t recent_slot(PyObject* relpath, PyObject* seq, PyObject* name) noexcept {
    uint64_t mixed = reinterpret_cast<uintptr_t>(relpath) * 0x9E3779B97F4A7C15ull ^
                     reinterpret_cast<uintptr_t>(seq) * 0xC2B2AE3D27D4EB4Full ^
                     reinterpret_cast<uintptr_t>(name) * 0x165667B19E3779F9ull;
    mixed ^= mixed >> 32;
    return static_cast<size_t>(mixed) % recent_size & ~static_cast<size_t>(1);
}

struct Package {
    PyObject_HEAD
    PyObject* name;           // dotted name of the root (str); nullptr before __init__
    PyObject* root;           // the name split at the dots (tuple of str)
    PyObject* module;         // the root module
    PyObject* paths;          // frozenset of token paths once learned, else nullptr
    PyObject* cache;          // (relpath, seq, name) -> the object found, or a Miss
    PyThread_type_lock lock;  // held while learning
    unsigned long learner;    // the thread that is learning, else 0
    Recent recent[recent_size];
};

void clear_recent(Package* p) noexcept {
    for (Recent& entry : p->recent) {
        set_field(entry.answer, Ref());
        set_field(entry.relpath, Ref());
        set_field(entry.seq, Ref());
        set_field(entry.name, Ref());
    }
}

// Keeps `answer` for these exact keys (immutable, so identity means equality for good).
void remember_recent(Package* p, PyObject* relpath, PyObject* seq, PyObject* name, PyObject* answer) noexcept {
    if (!PyTuple_CheckExact(relpath) || !PyTuple_CheckExact(seq) || !PyUnicode_CheckExact(name)) return;
    const size_t slot = recent_slot(relpath, seq, name);
    // The first of the pair while it is free, else the second; when both
    // are taken the newer moves first and the older one is replaced.
    Recent* entry = &p->recent[slot];
    if (entry->relpath) {
        if (p->recent[slot + 1].relpath) std::swap(p->recent[slot], p->recent[slot + 1]);
        entry = &p->recent[slot + 1];
    }
    Recent& e = *entry;
    set_field(e.answer, Ref::borrow(answer));
    set_field(e.relpath, Ref::borrow(relpath));
    set_field(e.seq, Ref::borrow(seq));
    set_field(e.name, Ref::borrow(name));
}

Package* as_package(PyObject* self) noexcept { return reinterpret_cast<Package*>(self); }

// Refuses an object whose __init__ has not run (or that the collector cleared).
int check_ready(Package* p) noexcept {
    if (p->name && p->module && p->cache) return 0;
    PyErr_SetString(PyExc_RuntimeError, "this AbstractPackage is not initialised: make it with AbstractPackage(name)");
    return -1;
}

// orvex.abstract.package.<name>: the Python side of the cold paths.
PyObject* cold_function(PyObject* name) noexcept {
    Ref module = Ref::steal(PyImport_Import(names.package_module));
    if (!module) return nullptr;
    return PyObject_GetAttr(module.get(), name);
}

// Waits for the lock without holding the interpreter's lock.
void acquire(PyThread_type_lock lock) noexcept {
    if (PyThread_acquire_lock(lock, NOWAIT_LOCK)) return;
    Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(lock, WAIT_LOCK);
    Py_END_ALLOW_THREADS
}

// A tuple of the str items of `value`, which must not be a str itself;
// `what` names the argument in the TypeError.
PyObject* str_tuple(PyObject* value, const char* what) noexcept {
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not str", what);
        return nullptr;
    }
    Ref items = Ref::steal(PySequence_Tuple(value));
    if (!items) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), k);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s items must be str, got %R (%s)", what, item, short_type_name(item));
            return nullptr;
        }
    }
    return items.release();
}

// The cached answer for `key`: 1 (found or miss, in *answer), 0 when none is
// cached or the key cannot be hashed, -1 with an exception set.
int cached(Package* p, PyObject* key, Ref& answer) noexcept {
    PyObject* hit = PyDict_GetItemWithError(p->cache, key);
    if (hit) {
        answer = Ref::borrow(hit);
        return 1;
    }
    if (!PyErr_Occurred()) return 0;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    return 0;
}

// 1 with the object found in *result, or 0 with the miss's message in *result.
int answer_of(Ref answer, PyObject** result) noexcept {
    if (Py_TYPE(answer.get()) == &miss_type) {
        *result = Ref::borrow(reinterpret_cast<Miss*>(answer.get())->message).release();
        return 0;
    }
    *result = answer.release();
    return 1;
}

// Checks the arguments, then asks _find, and caches what it answers.
// Returns 1 with the cached answer (the object or its Miss) in `answer`, or -1.
int resolve(Package* p, PyObject* relpath_arg, PyObject* seq_arg, PyObject* name, Ref& answer) noexcept {
    Ref relpath = Ref::steal(str_tuple(relpath_arg, "relpath"));
    if (!relpath) return -1;
    Ref seq = Ref::steal(str_tuple(seq_arg, "seq"));
    if (!seq) return -1;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "name must be a str, not %s", short_type_name(name));
        return -1;
    }
    Ref key = Ref::steal(PyTuple_Pack(3, relpath.get(), seq.get(), name));
    if (!key) return -1;
    const int hit = cached(p, key.get(), answer);
    if (hit) return hit;

    if (package_learn(reinterpret_cast<PyObject*>(p)) < 0) return -1;
    // Held: _find runs imports, which may run code that re-initialises p.
    Ref package_name = Ref::borrow(p->name), module = Ref::borrow(p->module), root = Ref::borrow(p->root);
    Ref paths = Ref::borrow(p->paths), cache = Ref::borrow(p->cache);
    Ref find = Ref::steal(cold_function(names.find));
    if (!find) return -1;
    PyObject* args[] = {package_name.get(), module.get(), root.get(), paths.get(), relpath.get(), seq.get(), name};
    Ref found = Ref::steal(compat::vectorcall_dict(find.get(), args, 7, nullptr));
    if (!found) return -1;
    if (!PyTuple_CheckExact(found.get()) || PyTuple_GET_SIZE(found.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "orvex.abstract.package._find() must return (found, value)");
        return -1;
    }
    const int is_found = PyObject_IsTrue(PyTuple_GET_ITEM(found.get(), 0));
    if (is_found < 0) return -1;
    PyObject* value = PyTuple_GET_ITEM(found.get(), 1);
    answer = Ref::steal(is_found ? Ref::borrow(value).release() : miss_new(value));
    if (!answer || PyDict_SetItem(cache.get(), key.get(), answer.get()) < 0) return -1;
    return 1;
}

// lookup() without the KeyError: as package_lookup, with the miss's message.
int lookup_core(Package* p, PyObject* relpath, PyObject* seq, PyObject* name, PyObject** result) noexcept {
    if (check_ready(p) < 0) return -1;
    const size_t slot = recent_slot(relpath, seq, name);
    for (size_t k = slot; k < slot + 2; ++k) {
        const Recent& entry = p->recent[k];
        if (entry.relpath == relpath && entry.seq == seq && entry.name == name)
            return answer_of(Ref::borrow(entry.answer), result);
    }
    // Then with the arguments as given: equal exact tuples hit without a copy.
    Ref key = Ref::steal(PyTuple_Pack(3, relpath, seq, name));
    if (!key) return -1;
    Ref answer;
    int hit = cached(p, key.get(), answer);
    if (hit < 0) return -1;
    if (!hit) {
        // Not cached yet: resolve() asks _find and caches its answer.
        hit = resolve(p, relpath, seq, name, answer);
        if (hit < 0) return -1;
    }
    remember_recent(p, relpath, seq, name, answer.get());
    return answer_of(std::move(answer), result);
}

// ---- the Python face

const char package_doc[] =
    "AbstractPackage(name, delay=False)\n"
    "--\n"
    "\n"
    "The abstraction package rooted at the imported module *name*.\n"
    "\n"
    ":meth:`learn` indexes the token packages below the root, once, by\n"
    "asking the import system what the root's path holds (nothing is\n"
    "imported).  With ``delay=False`` the constructor learns at once; with\n"
    "``delay=True`` the first :meth:`learn`, :meth:`lookup` or\n"
    ":attr:`token_paths` does.\n"
    "\n"
    "Raises :exc:`ImportError` if *name* is not in :data:`sys.modules`.\n"
    "\n"
    "Safe to share between threads: learning happens once under a lock, and\n"
    "the lookup cache only ever gets whole entries added.";

PyObject* package_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Package* p = as_package(self.get());
    p->lock = PyThread_allocate_lock();
    if (!p->lock) return PyErr_NoMemory();
    return self.release();
}

int package_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"name", "delay", nullptr};
    PyObject* name = nullptr;
    PyObject* delay = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:AbstractPackage", const_cast<char**>(keywords), &name, &delay))
        return -1;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "name must be a str, not %s", short_type_name(name));
        return -1;
    }
    Ref held_name = Ref::borrow(name);
    Ref sys = Ref::steal(PyImport_Import(names.sys));
    Ref modules = sys ? Ref::steal(PyObject_GetAttr(sys.get(), names.modules)) : Ref();
    if (!modules) return -1;
    Ref module = Ref::steal(PyObject_GetItem(modules.get(), name));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
        Ref message = Ref::steal(
            PyUnicode_FromFormat("abstraction package root %R must be imported first: it is not in sys.modules", name));
        if (message) PyErr_SetImportError(message.get(), name, nullptr);
        return -1;
    }
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref parts = dot ? Ref::steal(PyUnicode_Split(name, dot.get(), -1)) : Ref();
    Ref root = parts ? Ref::steal(PyList_AsTuple(parts.get())) : Ref();
    Ref cache = Ref::steal(PyDict_New());
    if (!root || !cache) return -1;
    const int learn_now = !PyObject_IsTrue(delay);  // -1 (an error) is not 0
    if (PyErr_Occurred()) return -1;

    Package* p = as_package(self);
    set_field(p->name, std::move(held_name));
    set_field(p->root, std::move(root));
    set_field(p->module, std::move(module));
    set_field(p->paths, Ref());
    set_field(p->cache, std::move(cache));
    clear_recent(p);
    return learn_now ? package_learn(self) : 0;
}

int package_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Package* p = as_package(self);
    Py_VISIT(p->module);
    Py_VISIT(p->paths);
    Py_VISIT(p->cache);
    for (const Recent& entry : p->recent) Py_VISIT(entry.answer);
    return 0;
}

int package_clear(PyObject* self) noexcept {
    Package* p = as_package(self);
    set_field(p->module, Ref());
    set_field(p->paths, Ref());
    set_field(p->cache, Ref());
    clear_recent(p);
    return 0;
}

// For an instance of a Python subclass, subtype_dealloc releases the type.
void package_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Package* p = as_package(self);
    package_clear(self);
    set_field(p->name, Ref());
    set_field(p->root, Ref());
    if (p->lock) PyThread_free_lock(p->lock);
    Py_TYPE(self)->tp_free(self);
}

PyObject* package_repr(PyObject* self) noexcept {
    Package* p = as_package(self);
    if (!p->name) return PyUnicode_FromString("<AbstractPackage (not initialised)>");
    Ref name = Ref::borrow(p->name);
    if (!p->paths) return PyUnicode_FromFormat("<AbstractPackage %R (not learned)>", name.get());
    Ref sorted = Ref::steal(PySequence_List(p->paths));
    if (!sorted || PyList_Sort(sorted.get()) < 0) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(sorted.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* text = PyObject_Repr(PyList_GET_ITEM(sorted.get(), k));
        if (!text) return nullptr;
        PyList_SetItem(sorted.get(), k, text);
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), sorted.get())) : Ref();
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("<AbstractPackage %R: token paths %U>", name.get(), joined.get());
}

PyObject* package_learn_method(PyObject* self, PyObject*) noexcept {
    if (package_learn(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* package_lookup_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"relpath", "seq", "name", nullptr};
    PyObject *relpath, *seq, *name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:lookup", const_cast<char**>(keywords), &relpath, &seq, &name))
        return nullptr;
    PyObject* result = nullptr;
    const int found = lookup_core(as_package(self), relpath, seq, name, &result);
    if (found < 0) return nullptr;
    Ref held = Ref::steal(result);
    if (found) return held.release();
    PyErr_SetObject(PyExc_KeyError, held.get());
    return nullptr;
}

PyObject* package_get_name(PyObject* self, void*) noexcept {
    Package* p = as_package(self);
    if (check_ready(p) < 0) return nullptr;
    return Ref::borrow(p->name).release();
}

PyObject* package_get_learned(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_package(self)->paths != nullptr);
}

PyObject* package_get_token_paths(PyObject* self, void*) noexcept {
    if (package_learn(self) < 0) return nullptr;
    return Ref::borrow(as_package(self)->paths).release();
}

const char learn_doc[] =
    "learn($self, /)\n--\n\n"
    "Index the token packages below the root; later calls do nothing.\n"
    "\n"
    "Every package that the import system finds on the root's ``__path__``\n"
    "(directories, zip archives and any other importer that can list its\n"
    "modules), whose name is an identifier, is a token package, and so are\n"
    "the packages found the same way below each of them.  A root without\n"
    "``__path__`` (a plain module) has no token packages.";

const char lookup_doc[] =
    "lookup($self, /, relpath, seq, name)\n--\n\n"
    "Return attribute *name* of the module *relpath* under token path *seq*.\n"
    "\n"
    "*relpath* is a module name split at the dots and must lie inside\n"
    "the root; its part below the root is looked up below the token\n"
    "package *seq* instead.  For root ``mylib``, ``relpath=('mylib',\n"
    "'ops')``, ``seq=('alpha',)`` and ``name='Ops'`` the result is\n"
    "``mylib.alpha.ops.Ops``; ``seq=()`` gives ``mylib.ops.Ops``; and\n"
    "``relpath=('mylib',)`` stands for the token package itself.\n"
    "\n"
    "Raises :exc:`KeyError` when *relpath* is outside the root, *seq* is\n"
    "not a token path, the module does not exist or lacks *name*.  An\n"
    "error raised while importing a module that exists propagates; one\n"
    "that would pass for \"not found\" (a :exc:`LookupError`) is raised as\n"
    "an :exc:`ImportError` naming the module, with the original as its\n"
    "cause.  *seq* may be any iterable of str; a ``str`` or a non-str item\n"
    "in *relpath* or *seq* raises :exc:`TypeError`.\n"
    "\n"
    "Results, misses included, are cached per ``(relpath, seq, name)``.";

PyMethodDef package_methods[] = {
    {"learn", package_learn_method, METH_NOARGS, learn_doc},
    {"lookup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(package_lookup_method)),
     METH_VARARGS | METH_KEYWORDS, lookup_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef package_getset[] = {
    {"name", package_get_name, nullptr, "Dotted name of the root package.", nullptr},
    {"learned", package_get_learned, nullptr, "Whether the token packages have been indexed yet.", nullptr},
    {"token_paths", package_get_token_paths, nullptr,
     "Token paths of all token packages, ``()`` (the root) included.\n\nLearns first if that has not happened yet.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int package_learn(PyObject* self) noexcept {
    Package* p = as_package(self);
    if (check_ready(p) < 0) return -1;
    if (p->paths) return 0;
    const unsigned long me = PyThread_get_thread_ident();
    if (p->learner == me) {
        PyErr_SetString(PyExc_RuntimeError, "AbstractPackage.learn() was called again while it was learning");
        return -1;
    }
    Ref keep = Ref::borrow(self);
    acquire(p->lock);
    int status = 0;
    if (!p->paths) {
        p->learner = me;
        Ref index = Ref::steal(cold_function(names.index));
        Ref module = Ref::borrow(p->module);
        Ref found = index ? Ref::steal(compat::call_one_arg(index.get(), module.get())) : Ref();
        Ref paths = found ? Ref::steal(PyFrozenSet_New(found.get())) : Ref();
        p->learner = 0;
        if (paths)
            set_field(p->paths, std::move(paths));
        else
            status = -1;
    }
    PyThread_release_lock(p->lock);
    return status;
}

int package_lookup(PyObject* package, PyObject* relpath, PyObject* seq, PyObject* name, PyObject** result) noexcept {
    PyObject* answer = nullptr;
    const int found = lookup_core(as_package(package), relpath, seq, name, &answer);
    Ref held = Ref::steal(answer);
    if (found > 0) *result = held.release();  // a miss's message is not wanted here
    return found;
}

int package_types_ready() noexcept {
    PyTypeObject& m = miss_type;
    if (!(m.tp_flags & Py_TPFLAGS_READY)) {
        m.tp_name = "orvex.abstract._native.Miss";
        m.tp_basicsize = sizeof(Miss);
        m.tp_flags = Py_TPFLAGS_DEFAULT;
        m.tp_dealloc = miss_dealloc;
        if (PyType_Ready(&m) < 0) return -1;
    }
    PyTypeObject& t = package_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    t.tp_name = "orvex.abstract.package.AbstractPackage";
    t.tp_basicsize = sizeof(Package);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = package_doc;
    t.tp_new = package_new;
    t.tp_init = package_init;
    t.tp_dealloc = package_dealloc;
    t.tp_traverse = package_traverse;
    t.tp_clear = package_clear;
    t.tp_repr = package_repr;
    t.tp_methods = package_methods;
    t.tp_getset = package_getset;
    return PyType_Ready(&t);
}

}  // namespace orvex::abstract::native
