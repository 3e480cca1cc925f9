// AbstractPackage: the token packages below one root package and the lookup
// of the class that stands in for another under a token path. What runs on
// every fetch lives here (learning once done, the modules found, the read of
// the class); indexing and importing, which run once per module found or
// missed, are the Python functions of orvex.abstract.package, read at each
// use. The rules of the caches kept here are in cache/cache.hpp.

#include <cstdint>
#include <new>
#include <utility>

#include "../cache/cache.hpp"
#include "../compat.hpp"
#include "native.hpp"

namespace orvex::abstract::native {

PyTypeObject package_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

// Moved by importlib.invalidate_caches() (through the finder that
// orvex.abstract.package puts on sys.meta_path): what a package learned at
// an earlier generation is learned again at its next use.
uint64_t generation = 1;

// The resolutions of the (relpath, seq) questions asked. A resolution is a
// tuple (module, modname) or a miss code (an exact int, see package.py).
constexpr Py_ssize_t answers_limit = 4096;
using Front = cache::PairTable<32, 8192>;

struct Package {
    PyObject_HEAD
    PyObject* name;              // dotted name of the root (str); nullptr before __init__
    PyObject* root;              // the name split at the dots (tuple of str)
    PyObject* module;            // the root module
    PyObject* paths;             // frozenset of token paths once learned, else nullptr
    uint64_t generation;         // the generation `paths` was learned at
    uint64_t epoch;              // moved by __init__ and invalidate_caches(): answers older are dropped
    PyThread_type_lock lock;     // held while learning
    unsigned long learner;       // the thread that is learning, else 0
    long lock_pid;               // the process that made `lock`
    cache::BoundedDict answers;  // (relpath, seq) -> resolution
    Front front;                 // the same, found by the identity of the keys as passed
};

// The resolution of a (relpath, seq) that names a module: the module, its
// name in sys.modules, and the last read of an attribute from it, kept with
// the versions (cache/dict_version.hpp) of sys.modules and of the module's
// namespace at the read (both 0 where there are none, or when nothing is kept).
struct Found {
    PyObject_HEAD
    PyObject* module;
    PyObject* modname;  // exact str
    PyObject* name;     // the attribute last read (exact str), or nullptr
    PyObject* value;    // what that read gave; nullptr for "absent"
    PyObject* modules;  // the sys.modules dict of that read (held: its version is read)
    cache::Version modules_version, ns_version;
};
PyTypeObject found_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

int found_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Found* f = reinterpret_cast<Found*>(self);
    Py_VISIT(f->module);
    Py_VISIT(f->value);
    Py_VISIT(f->modules);
    return 0;
}

int found_clear(PyObject* self) noexcept {
    Found* f = reinterpret_cast<Found*>(self);
    f->modules_version = f->ns_version = cache::Version();
    // Detached first, released after: a release may run code that meets f.
    Ref modules = Ref::steal(f->modules), module = Ref::steal(f->module), value = Ref::steal(f->value);
    Ref name = Ref::steal(f->name), modname = Ref::steal(f->modname);
    f->modules = f->module = f->value = f->name = f->modname = nullptr;
    return 0;
}

void found_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    found_clear(self);
    PyObject_GC_Del(self);
}

// A new Found for `module` under `modname` (both borrowed), or nullptr.
PyObject* found_new(PyObject* module, PyObject* modname) noexcept {
    Found* f = PyObject_GC_New(Found, &found_type);
    if (!f) return nullptr;
    f->module = Ref::borrow(module).release();
    f->modname = Ref::borrow(modname).release();
    f->name = f->value = f->modules = nullptr;
    new (&f->modules_version) cache::Version();
    new (&f->ns_version) cache::Version();
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

// Keeps the read of `name` (value nullptr: absent), with the versions taken
// before it of the dict `modules` and of the module's namespace.
void found_remember(Found* f, PyObject* name, PyObject* value, PyObject* modules, cache::Version modules_version,
                    cache::Version ns_version) noexcept {
    // All fields are written before anything old is released: a release may
    // run code that reads or remembers on this Found.
    Ref old_value = Ref::steal(f->value), old_name = Ref::steal(f->name), old_modules = Ref::steal(f->modules);
    f->value = Ref::borrow(value).release();
    f->name = Ref::borrow(name).release();
    f->modules = Ref::borrow(modules).release();
    f->modules_version = modules_version;
    f->ns_version = ns_version;
}

Package* as_package(PyObject* self) noexcept { return reinterpret_cast<Package*>(self); }

// Refuses an object whose __init__ has not run (or that the collector cleared).
int check_ready(Package* p) noexcept {
    if (p->name && p->module) return 0;
    PyErr_SetString(PyExc_RuntimeError, "this AbstractPackage is not initialised: make it with AbstractPackage(name)");
    return -1;
}

// Forgets what was learned and found; the next use learns again.
// Everything is detached before anything is released (a release may run
// code that uses the package).
void forget(Package* p) noexcept {
    ++p->epoch;
    Ref paths = Ref::steal(p->paths);
    p->paths = nullptr;
    Ref answers = p->answers.take();
    p->front.clear();
}

// Drops the answers and slots, keeping what was learned.
void drop_answers(Package* p) noexcept {
    Ref answers = p->answers.take();
    p->front.clear();
}

// orvex.abstract.package.<name>: the Python side of the cold paths.
PyObject* cold_function(PyObject* name) noexcept {
    Ref module = Ref::steal(PyImport_Import(names.package_module));
    if (!module) return nullptr;
    return PyObject_GetAttr(module.get(), name);
}

// Waits for the lock without holding the interpreter's lock, and, like a
// threading.Lock, lets signal handlers run while it waits (Ctrl-C raises
// KeyboardInterrupt in the waiter). Returns 0 with the lock held, or -1
// with the handler's exception set.
int acquire(PyThread_type_lock lock) noexcept {
    if (PyThread_acquire_lock(lock, NOWAIT_LOCK)) return 0;
    for (;;) {
        // A signal interrupts the wait at once where the lock can tell;
        // the timeout bounds it where it cannot.
        PyThreadState* saved = PyEval_SaveThread();
        const PyLockStatus status = PyThread_acquire_lock_timed(lock, 50000, 1);
        PyEval_RestoreThread(saved);
        if (status == PY_LOCK_ACQUIRED) return 0;
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// `value` as an exact tuple of exact str (a new reference): str subclasses
// are taken by their text, which is what names a module. `what` names the
// argument in the TypeError; `value` must not be a str itself.
PyObject* exact_str_tuple(PyObject* value, const char* what) noexcept {
    if (cache::is_exact_str_tuple(value)) return Ref::borrow(value).release();
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not str", what);
        return nullptr;
    }
    Ref items = Ref::steal(PySequence_Tuple(value));
    if (!items) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), k);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s items must be str, got %R (%s)", what, item, short_type_name(item));
            return nullptr;
        }
    }
    if (cache::is_exact_str_tuple(items.get())) return items.release();
    Ref exact = Ref::steal(PyTuple_New(n));
    if (!exact) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* text = PyUnicode_FromObject(PyTuple_GET_ITEM(items.get(), k));
        if (!text) return nullptr;
        PyTuple_SET_ITEM(exact.get(), k, text);
    }
    return exact.release();
}

// The question of a lookup with keys the interpreter owns.
struct Question {
    Ref relpath, seq, name;
    bool as_given = false;  // the caller's own exact tuples: worth an identity slot
};

int ask_with(Question& q, PyObject* relpath, PyObject* seq, PyObject* name) noexcept {
    q.as_given = cache::is_exact_str_tuple(relpath) && cache::is_exact_str_tuple(seq);
    q.relpath = Ref::steal(exact_str_tuple(relpath, "relpath"));
    if (!q.relpath) return -1;
    q.seq = Ref::steal(exact_str_tuple(seq, "seq"));
    if (!q.seq) return -1;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "name must be a str, not %s", short_type_name(name));
        return -1;
    }
    q.name = Ref::steal(PyUnicode_FromObject(name));
    return q.name ? 0 : -1;
}

// Keeps a resolution for the question, unless the package was initialised
// again or invalidated since `epoch`.
void remember(Package* p, const Question& q, PyObject* resolution, uint64_t epoch) noexcept {
    if (p->epoch != epoch) return;
    Ref key = Ref::steal(PyTuple_Pack(2, q.relpath.get(), q.seq.get()));
    if (!key) {
        PyErr_Clear();
        return;
    }
    // Each put may release what it replaces, which may run code that
    // invalidates the package: what was stored then goes too.
    p->answers.put(key.get(), resolution);
    if (q.as_given && p->epoch == epoch) p->front.put(q.relpath.get(), q.seq.get(), resolution);
    if (p->epoch != epoch) drop_answers(p);
}

// The resolution remembered for the question, or an empty Ref.
Ref remembered(Package* p, const Question& q) noexcept {
    if (q.as_given) {
        if (Ref found = p->front.get(q.relpath.get(), q.seq.get())) return found;
    }
    Ref key = Ref::steal(PyTuple_Pack(2, q.relpath.get(), q.seq.get()));
    if (!key) {
        PyErr_Clear();
        return Ref();
    }
    Ref found = p->answers.get(key.get());
    if (found && q.as_given) p->front.put(q.relpath.get(), q.seq.get(), found.get());
    return found;
}

// The miss codes that orvex.abstract.package gives the first two kinds of miss.
constexpr long miss_outside = 0, miss_no_token_package = 1;

// Learns if needed; then 1 when relpath lies outside the root, 2 when seq is
// not a token path, 0 for neither, -1 with an exception set. The keys are
// exact tuples of exact str, so neither test runs code.
int outside_or_unknown(Package* p, const Question& q) noexcept {
    if (package_learn(reinterpret_cast<PyObject*>(p)) < 0) return -1;
    Ref root = Ref::borrow(p->root), paths = Ref::borrow(p->paths);
    if (!root || !paths) return 0;  // invalidated meanwhile: _resolve decides
    const Py_ssize_t n = PyTuple_GET_SIZE(root.get());
    if (PyTuple_GET_SIZE(q.relpath.get()) < n) return 1;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const int same = PyUnicode_Compare(PyTuple_GET_ITEM(q.relpath.get(), k), PyTuple_GET_ITEM(root.get(), k)) == 0;
        if (!same) return PyErr_Occurred() ? -1 : 1;
    }
    const int known = PySet_Contains(paths.get(), q.seq.get());
    if (known < 0) return -1;
    return known ? 0 : 2;
}

// Learns if needed, then asks _resolve; remembers what it may. A new
// reference to the resolution, or nullptr with an exception set.
PyObject* resolve(Package* p, const Question& q) noexcept {
    if (package_learn(reinterpret_cast<PyObject*>(p)) < 0) return nullptr;
    const uint64_t epoch = p->epoch;
    // Held: _resolve runs imports, which may run code that re-initialises p.
    Ref package_name = Ref::borrow(p->name), module = Ref::borrow(p->module), root = Ref::borrow(p->root);
    Ref paths = Ref::borrow(p->paths);
    if (!paths) {
        // Invalidated again between learning and here.
        PyErr_SetString(PyExc_RuntimeError, "AbstractPackage.lookup(): the package was invalidated while it learned");
        return nullptr;
    }
    Ref function = Ref::steal(cold_function(names.resolve));
    if (!function) return nullptr;
    PyObject* args[] = {package_name.get(), module.get(), root.get(), paths.get(), q.relpath.get(), q.seq.get()};
    Ref answer = Ref::steal(compat::vectorcall_dict(function.get(), args, 6, nullptr));
    if (!answer) return nullptr;
    const bool shaped = PyTuple_CheckExact(answer.get()) && PyTuple_GET_SIZE(answer.get()) == 2;
    PyObject* resolution = shaped ? PyTuple_GET_ITEM(answer.get(), 0) : nullptr;
    const bool found = resolution && PyTuple_CheckExact(resolution) && PyTuple_GET_SIZE(resolution) == 2 &&
                       PyUnicode_CheckExact(PyTuple_GET_ITEM(resolution, 1));
    if (!found && !(resolution && PyLong_CheckExact(resolution))) {
        PyErr_SetString(PyExc_SystemError, "orvex.abstract.package._resolve() must return (resolution, keep)");
        return nullptr;
    }
    Ref held = found ? Ref::steal(found_new(PyTuple_GET_ITEM(resolution, 0), PyTuple_GET_ITEM(resolution, 1)))
                     : Ref::borrow(resolution);
    if (!held) return nullptr;
    const int keep = PyObject_IsTrue(PyTuple_GET_ITEM(answer.get(), 1));
    if (keep < 0) return nullptr;
    if (keep) remember(p, q, held.get(), epoch);
    return held.release();
}

// Whether reading `name` from an exact module is answered by its namespace
// alone: the module type (and object) define only underscored names, and a
// module-level __getattr__ only answers what the namespace lacks.
bool namespace_decides(PyObject* name) noexcept {
    if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) != '_') return true;
    return !compat::type_lookup(&PyModule_Type, name);
}

// getattr(module, name) for a found module: 1 with the value, 0 when the
// module has no such attribute, -1 with an exception set. `by_namespace`
// tells whether the module's namespace alone gave the answer.
int read_attribute(PyObject* module, PyObject* modname, PyObject* name, Ref& value, bool& by_namespace) noexcept {
    by_namespace = false;
    PyObject* dict = PyModule_CheckExact(module) ? PyModule_GetDict(module) : nullptr;
    if (dict && namespace_decides(name)) {
        Ref ns = Ref::borrow(dict);
        PyObject* found = PyDict_GetItemWithError(ns.get(), name);
        if (found) {
            value = Ref::borrow(found);
            by_namespace = true;
            return 1;
        }
        if (PyErr_Occurred()) return -1;
        PyObject* hook = PyDict_GetItemWithError(ns.get(), names.dunder_getattr);
        if (!hook) {
            by_namespace = !PyErr_Occurred();
            return by_namespace ? 0 : -1;
        }
    }
    Ref function = Ref::steal(cold_function(names.read));
    if (!function) return -1;
    PyObject* args[] = {module, modname, name};
    Ref answer = Ref::steal(compat::vectorcall_dict(function.get(), args, 3, nullptr));
    if (!answer) return -1;
    if (!PyTuple_CheckExact(answer.get()) || PyTuple_GET_SIZE(answer.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "orvex.abstract.package._read() must return (found, value)");
        return -1;
    }
    const int found = PyObject_IsTrue(PyTuple_GET_ITEM(answer.get(), 0));
    if (found > 0) value = Ref::borrow(PyTuple_GET_ITEM(answer.get(), 1));
    return found;
}

// The read of `name` from a found module, answered from the last read while
// sys.modules and the module's namespace keep their versions: 1 with
// the value, 0 for "absent", -1 when it must be read.
int remembered_read(const Found* f, PyObject* name, Ref& value) noexcept {
    // An exact module's namespace alone answered (its class may be switched since).
    if (f->name != name || !PyModule_CheckExact(f->module) || f->modules != PyImport_GetModuleDict() ||
        !f->modules_version.same() || !f->ns_version.same())
        return -1;
    value = Ref::borrow(f->value);
    return f->value ? 1 : 0;
}

// lookup() without the KeyError: 1 with the object found in `value`, 0 for a
// miss (its resolution in *why, when asked for), -1 with an exception set.
int lookup_core(Package* p, PyObject* relpath, PyObject* seq, PyObject* name, Ref& value, Question* question,
                Ref* why) noexcept {
    if (check_ready(p) < 0) return -1;
    if (p->paths && p->generation != generation) forget(p);
    // The question a fetch asks again: its answer from the identity slots,
    // while nothing it rests on changed (no code runs in between).
    // Only exact keys are ever put there, so a key found there is exact.
    if (!why && p->paths && PyUnicode_CheckExact(name)) {
        if (PyObject* kept = p->front.peek(relpath, seq)) {
            if (Py_TYPE(kept) != &found_type) return 0;
            const int read = remembered_read(reinterpret_cast<Found*>(kept), name, value);
            if (read >= 0) return read;
        }
    }
    Question local;
    Question& q = question ? *question : local;
    if (ask_with(q, relpath, seq, name) < 0) return -1;
    Ref resolution = remembered(p, q);
    if (!resolution) {
        // Outside the root, or no such token package: told by the keys and
        // the token paths alone, and not remembered beyond the identity
        // slots, so that any number of distinct tokens costs no memory.
        const int kind = outside_or_unknown(p, q);
        if (kind < 0) return -1;
        if (kind > 0) {
            resolution = Ref::steal(PyLong_FromLong(kind == 1 ? miss_outside : miss_no_token_package));
            if (!resolution) return -1;
            if (q.as_given) p->front.put(q.relpath.get(), q.seq.get(), resolution.get());
            if (why) *why = std::move(resolution);
            return 0;
        }
    }
    // A module found is checked against sys.modules; one replaced or gone
    // is resolved once more (an import puts it back).
    for (int attempt = 0;; ++attempt) {
        if (!resolution) {
            resolution = Ref::steal(resolve(p, q));
            if (!resolution) return -1;
        }
        if (Py_TYPE(resolution.get()) != &found_type) {
            if (why) *why = std::move(resolution);
            return 0;
        }
        auto* f = reinterpret_cast<Found*>(resolution.get());
        if (!f->module) {  // cleared by the collector
            resolution.reset();
            continue;
        }
        const int kept = remembered_read(f, q.name.get(), value);
        if (kept >= 0) {
            if (!kept && why) *why = std::move(resolution);
            return kept;
        }
        Ref module = Ref::borrow(f->module), modname = Ref::borrow(f->modname);
        Ref modules = Ref::borrow(PyImport_GetModuleDict());
        const cache::Version modules_version = cache::Version::of(modules.get());
        PyObject* current = PyDict_GetItemWithError(modules.get(), modname.get());
        if (!current && PyErr_Occurred()) return -1;
        if (current != module.get() && attempt == 0) {
            resolution.reset();
            continue;
        }
        const cache::Version ns_version =
            PyModule_CheckExact(module.get()) ? cache::Version::of(PyModule_GetDict(module.get())) : cache::Version();
        bool by_namespace = false;
        const int found = read_attribute(module.get(), modname.get(), q.name.get(), value, by_namespace);
        if (found < 0) return -1;
        // Kept for the next read only when neither dict changed while it
        // was read (a key's __eq__ may have changed either).
        if (by_namespace && current == module.get() && modules_version.same() && ns_version.same())
            found_remember(f, q.name.get(), found ? value.get() : nullptr, modules.get(), modules_version, ns_version);
        if (found == 0 && why) *why = std::move(resolution);
        return found;
    }
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
    ":attr:`token_paths` does.  :func:`importlib.invalidate_caches` and\n"
    ":meth:`invalidate_caches` make it learn again at its next use.\n"
    "\n"
    "Raises :exc:`ImportError` if *name* is not in :data:`sys.modules`.\n"
    "\n"
    "Safe to share between threads: learning happens once under a lock (a\n"
    "thread waiting for it can be interrupted, as with a threading.Lock),\n"
    "and what is remembered changes by whole entries.";

PyObject* package_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Package* p = as_package(self.get());
    new (&p->answers) cache::BoundedDict(answers_limit);
    new (&p->front) Front();
    p->lock = PyThread_allocate_lock();
    p->lock_pid = compat::process_id();
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
    if (!root) return -1;
    const int learn_now = !PyObject_IsTrue(delay);  // -1 (an error) is not 0
    if (PyErr_Occurred()) return -1;

    Package* p = as_package(self);
    set_field(p->name, std::move(held_name));
    set_field(p->root, std::move(root));
    set_field(p->module, std::move(module));
    forget(p);  // a learner of the earlier root drops what it finds
    return learn_now ? package_learn(self) : 0;
}

int package_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Package* p = as_package(self);
    Py_VISIT(p->module);
    Py_VISIT(p->paths);
    if (const int status = p->answers.traverse(visit, arg)) return status;
    return p->front.traverse(visit, arg);
}

int package_clear(PyObject* self) noexcept {
    Package* p = as_package(self);
    set_field(p->module, Ref());
    forget(p);
    return 0;
}

// For an instance of a Python subclass, subtype_dealloc releases the type.
void package_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Package* p = as_package(self);
    package_clear(self);
    set_field(p->name, Ref());
    set_field(p->root, Ref());
    p->answers.~BoundedDict();
    p->front.~Front();
    if (p->lock) PyThread_free_lock(p->lock);
    Py_TYPE(self)->tp_free(self);
}

PyObject* package_repr(PyObject* self) noexcept {
    Package* p = as_package(self);
    if (!p->name) return PyUnicode_FromString("<AbstractPackage (not initialised)>");
    Ref name = Ref::borrow(p->name);
    if (!p->paths || p->generation != generation)
        return PyUnicode_FromFormat("<AbstractPackage %R (not learned)>", name.get());
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

PyObject* package_invalidate_caches_method(PyObject* self, PyObject*) noexcept {
    forget(as_package(self));
    Py_RETURN_NONE;
}

// The KeyError of a miss, its message made by _describe from the question.
void raise_miss(Package* p, const Question& q, PyObject* why) noexcept {
    Ref function = Ref::steal(cold_function(names.describe));
    if (!function) return;
    Ref resolution =
        Py_TYPE(why) == &found_type
            ? Ref::steal(PyTuple_Pack(2, reinterpret_cast<Found*>(why)->module, reinterpret_cast<Found*>(why)->modname))
            : Ref::borrow(why);
    if (!resolution) return;
    why = resolution.get();
    Ref package_name = Ref::borrow(p->name), root = Ref::borrow(p->root);
    PyObject* args[] = {package_name.get(), root.get(), q.relpath.get(), q.seq.get(), q.name.get(), why};
    Ref message = Ref::steal(compat::vectorcall_dict(function.get(), args, 6, nullptr));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
}

PyObject* package_lookup_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"relpath", "seq", "name", nullptr};
    PyObject *relpath, *seq, *name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:lookup", const_cast<char**>(keywords), &relpath, &seq, &name))
        return nullptr;
    Package* p = as_package(self);
    Ref value, why;
    Question q;
    const int found = lookup_core(p, relpath, seq, name, value, &q, &why);
    if (found < 0) return nullptr;
    if (found) return value.release();
    raise_miss(p, q, why.get());
    return nullptr;
}

PyObject* package_get_name(PyObject* self, void*) noexcept {
    Package* p = as_package(self);
    if (check_ready(p) < 0) return nullptr;
    return Ref::borrow(p->name).release();
}

PyObject* package_get_learned(PyObject* self, void*) noexcept {
    Package* p = as_package(self);
    return PyBool_FromLong(p->paths != nullptr && p->generation == generation);
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
    "``__path__`` (a plain module) has no token packages.\n"
    "\n"
    "After :func:`importlib.invalidate_caches` or :meth:`invalidate_caches`\n"
    "the next call indexes again.";

const char invalidate_caches_doc[] =
    "invalidate_caches($self, /)\n--\n\n"
    "Forget the token packages learned and the modules found.\n"
    "\n"
    "The next :meth:`learn`, :meth:`lookup` or :attr:`token_paths` learns\n"
    "again, so a token package added on disk since is found.\n"
    ":func:`importlib.invalidate_caches` does this for every package.";

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
    "cause.  *seq* may be any iterable of str (a str subclass counts by\n"
    "its text); a ``str`` or a non-str item in *relpath* or *seq* raises\n"
    ":exc:`TypeError`.\n"
    "\n"
    "Which module a ``(relpath, seq)`` names, or that there is none, is\n"
    "remembered (at most 4,096 answers); *name* is read from the module at\n"
    "each call, so a patched or reloaded module is seen at once.  A module\n"
    "still being imported is not remembered.";

PyMethodDef package_methods[] = {
    {"learn", package_learn_method, METH_NOARGS, learn_doc},
    {"invalidate_caches", package_invalidate_caches_method, METH_NOARGS, invalidate_caches_doc},
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

void invalidate_all() noexcept { ++generation; }

int package_learn(PyObject* self) noexcept {
    Package* p = as_package(self);
    if (check_ready(p) < 0) return -1;
    if (p->paths) {
        if (p->generation == generation) return 0;
        forget(p);
    }
    // In a child forked while a thread of the parent learned, that thread is
    // gone: its lock is made anew, and its learning (nothing stored yet)
    // starts over. Only the forking thread runs here until it starts others.
    const unsigned long me = PyThread_get_thread_ident();
    if (p->lock_pid != compat::process_id()) {
        PyThread_type_lock fresh = PyThread_allocate_lock();
        if (!fresh) {
            PyErr_NoMemory();
            return -1;
        }
        p->lock = fresh;  // the parent's may be held for good: not freed
        p->lock_pid = compat::process_id();
        if (p->learner != me) p->learner = 0;  // (the forking thread goes on as itself)
    }
    if (p->learner == me) {
        PyErr_SetString(PyExc_RuntimeError, "AbstractPackage.learn() was called again while it was learning");
        return -1;
    }
    Ref keep = Ref::borrow(self);
    // The lock taken is the one released, even if a fork replaces p->lock meanwhile.
    PyThread_type_lock held = p->lock;
    if (acquire(held) < 0) return -1;
    int status = 0;
    // Another thread may have learned while this one waited.
    while (!p->paths || p->generation != generation) {
        if (check_ready(p) < 0) {
            status = -1;
            break;
        }
        if (p->paths) forget(p);
        const uint64_t started = generation, epoch = p->epoch;
        p->learner = me;
        Ref index = Ref::steal(cold_function(names.index));
        Ref module = Ref::borrow(p->module);
        Ref found = index ? Ref::steal(compat::call_one_arg(index.get(), module.get())) : Ref();
        Ref paths = found ? Ref::steal(PyFrozenSet_New(found.get())) : Ref();
        p->learner = 0;
        if (!paths) {
            status = -1;
            break;
        }
        // Initialised again (another root) or invalidated while indexing:
        // what was found is not this package's any more.
        if (p->epoch != epoch) continue;
        p->generation = started;
        set_field(p->paths, std::move(paths));
        break;
    }
    PyThread_release_lock(held);
    return status;
}

int package_lookup(PyObject* package, PyObject* relpath, PyObject* seq, PyObject* name, PyObject** result) noexcept {
    Ref value;
    const int found = lookup_core(as_package(package), relpath, seq, name, value, nullptr, nullptr);
    if (found > 0) *result = value.release();
    return found;
}

int package_types_ready() noexcept {
    PyTypeObject& f = found_type;
    if (!(f.tp_flags & Py_TPFLAGS_READY)) {
        f.tp_name = "orvex.abstract._native.Found";
        f.tp_basicsize = sizeof(Found);
        f.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        f.tp_dealloc = found_dealloc;
        f.tp_traverse = found_traverse;
        f.tp_clear = found_clear;
        if (PyType_Ready(&f) < 0) return -1;
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
