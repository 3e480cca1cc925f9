// default_builder: the tokens of an object to its search paths, most specific
// first. The decorator calls it on every fetch with the same few token tuples,
// so answers for exact tuples of exact str or None (and the default or an
// exact int `mandatory`) are kept in a few slots found by the identity of the
// tokens; any other call is answered anew. Safe between threads: a slot
// changes under the interpreter's lock. The rules of the caches are in
// cache/cache.hpp.
#include <cstdint>
#include <cstring>
#include <utility>

#include "../cache/cache.hpp"
#include "../compat.hpp"
#include "native.hpp"

namespace orvex::abstract::native {

PyObject* builder_object = nullptr;

namespace {

// The tuples of tokens that fetches make anew each time hold the same token
// objects, so answers are found by the identity of those items (and of
// `mandatory`), without hashing: the paths given back then hold the caller's
// own token objects, as a computation would. An entry owns its tuple, so the
// items it compares stay alive (and their addresses untaken).
struct Recent {
    PyObject* tokens = nullptr;     // exact tuple of exact str or None
    PyObject* mandatory = nullptr;  // exact int, or nullptr for the default
    PyObject* paths = nullptr;
};

// The tokens as items: a tuple's, or those of an array that stands for one.
struct Items {
    PyObject* const* items;
    Py_ssize_t n;
    static Items of(PyObject* tuple) noexcept {
        return {reinterpret_cast<PyTupleObject*>(tuple)->ob_item, PyTuple_GET_SIZE(tuple)};
    }
};

bool same_tokens(PyObject* a, Items b) noexcept {
    if (PyTuple_GET_SIZE(a) != b.n) return false;
    for (Py_ssize_t k = 0; k < b.n; ++k)
        if (PyTuple_GET_ITEM(a, k) != b.items[k]) return false;
    return true;
}

bool holds(const Recent& entry, Items tokens, PyObject* mandatory) noexcept {
    return entry.tokens && entry.mandatory == mandatory && same_tokens(entry.tokens, tokens);
}

uint64_t hash_of(Items tokens, PyObject* mandatory) noexcept {
    uint64_t mixed = reinterpret_cast<uintptr_t>(mandatory) * 0x9E3779B97F4A7C15ull;
    for (Py_ssize_t k = 0; k < tokens.n; ++k)
        mixed = (mixed ^ reinterpret_cast<uintptr_t>(tokens.items[k])) * 0xC2B2AE3D27D4EB4Full;
    return cache::spread(mixed);
}

// Two neighbouring entries serve one hash (as the package's identity slots
// do). The pairs double, from 64 up to 4,096, whenever an entry would push
// out another, so that objects of a thousand token combinations or more,
// taken in turn, all find theirs. Made on first use, kept for the process.
class RecentPaths {
public:
    // The paths kept for `tokens` (new reference), or nullptr.
    PyObject* find(Items tokens, PyObject* mandatory) const noexcept {
        if (!slots_) return nullptr;
        const size_t slot = slot_of(hash_of(tokens, mandatory), pairs_);
        for (size_t k = slot; k < slot + 2; ++k)
            if (holds(slots_[k], tokens, mandatory)) return Ref::borrow(slots_[k].paths).release();
        return nullptr;
    }

    // Into the entry of the same tokens, else a free one of the pair (made
    // when the pairs can double), else the older one's place (the newer
    // moves first). A failed allocation only means fewer places.
    void keep(PyObject* tokens, PyObject* mandatory, PyObject* paths) noexcept {
        if (!slots_ && !grow()) return;
        Recent* entry = own_or_free(tokens, mandatory);
        if (!entry && pairs_ < most && grow()) entry = own_or_free(tokens, mandatory);
        if (!entry) {
            const size_t slot = slot_of(hash_of(Items::of(tokens), mandatory), pairs_);
            std::swap(slots_[slot], slots_[slot + 1]);
            entry = &slots_[slot + 1];
        }
        // The entry is written whole before anything old is released.
        Ref old_paths = Ref::steal(entry->paths), old_mandatory = Ref::steal(entry->mandatory),
            old_tokens = Ref::steal(entry->tokens);
        entry->paths = Ref::borrow(paths).release();
        entry->mandatory = Ref::borrow(mandatory).release();
        entry->tokens = Ref::borrow(tokens).release();
    }

private:
    static constexpr size_t first = 64;
    static constexpr size_t most = 4096;

    static size_t slot_of(uint64_t hash, size_t pairs) noexcept { return static_cast<size_t>(hash) % pairs * 2; }

    Recent* own_or_free(PyObject* tokens, PyObject* mandatory) noexcept {
        const size_t slot = slot_of(hash_of(Items::of(tokens), mandatory), pairs_);
        for (size_t k = slot; k < slot + 2; ++k)
            if (holds(slots_[k], Items::of(tokens), mandatory)) return &slots_[k];
        for (size_t k = slot; k < slot + 2; ++k)
            if (!slots_[k].tokens) return &slots_[k];
        return nullptr;
    }

    // Twice the pairs (see cache::grow_pairs).
    bool grow() noexcept {
        return cache::grow_pairs(slots_, pairs_, first, [](const Recent& entry, size_t pairs) {
            return entry.tokens ? slot_of(hash_of(Items::of(entry.tokens), entry.mandatory), pairs) : cache::no_slot;
        });
    }

    Recent* slots_ = nullptr;  // pairs_ * 2 of them, or none yet
    size_t pairs_ = 0;
};

RecentPaths recent;

// Whether the tokens are values whose identity no user code can change the
// meaning of: exact str or None (in an exact tuple).
bool exact_items(Items tokens) noexcept {
    for (Py_ssize_t k = 0; k < tokens.n; ++k) {
        PyObject* token = tokens.items[k];
        if (token != Py_None && !PyUnicode_CheckExact(token)) return false;
    }
    return true;
}

bool exact_tokens(PyObject* tokens) noexcept { return PyTuple_CheckExact(tokens) && exact_items(Items::of(tokens)); }

// The number of tokens `mandatory` asks for: -1 with TypeError or ValueError
// when it is not a non-negative int (bool refused).
Py_ssize_t mandatory_count(PyObject* mandatory) noexcept {
    if (!mandatory) return 0;
    if (PyBool_Check(mandatory) || !PyLong_Check(mandatory)) {
        PyErr_Format(PyExc_TypeError, "mandatory must be an int, not %s", short_type_name(mandatory));
        return -1;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(mandatory, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow > 0) return PY_SSIZE_T_MAX;
    if (overflow < 0 || value < 0) {
        Ref number = Ref::steal(PyNumber_Long(mandatory));
        if (number) PyErr_Format(PyExc_ValueError, "mandatory must be >= 0, got %S", number.get());
        return -1;
    }
    return value > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(value);
}

// The search paths as a new tuple, from every check on.
PyObject* compute(PyObject* tokens, Py_ssize_t mandatory) noexcept {
    Ref all = Ref::steal(PySequence_Tuple(tokens));
    if (!all) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(all.get());
    Py_ssize_t usable = n;
    // Every token is checked, also those after the first None.
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* token = PyTuple_GET_ITEM(all.get(), k);
        if (token == Py_None) {
            if (usable == n) usable = k;
            continue;
        }
        if (!PyUnicode_Check(token)) {
            PyErr_Format(PyExc_TypeError, "token %R must be a str or None, not %s", token, short_type_name(token));
            return nullptr;
        }
    }
    const Py_ssize_t count = usable >= mandatory ? usable - mandatory + 1 : 0;
    Ref paths = Ref::steal(PyTuple_New(count));
    if (!paths) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* path = PyTuple_GetSlice(all.get(), 0, usable - k);
        if (!path) return nullptr;
        PyTuple_SET_ITEM(paths.get(), k, path);
    }
    return paths.release();
}

const char builder_doc[] =
    "default_builder(tokens, *, mandatory=0)\n"
    "--\n"
    "\n"
    "Return the search paths for *tokens*, most specific first.\n"
    "\n"
    "The usable tokens are the leading ones up to, but not including, the\n"
    "first ``None``.  The result holds the tuple of all usable tokens, then\n"
    "each shorter prefix, down to the prefix of length *mandatory*::\n"
    "\n"
    "    >>> default_builder(('alpha', 'm2'))\n"
    "    [('alpha', 'm2'), ('alpha',), ()]\n"
    "    >>> default_builder(('alpha', None, 'x'))\n"
    "    [('alpha',), ()]\n"
    "    >>> default_builder(('a', 'b'), mandatory=1)\n"
    "    [('a', 'b'), ('a',)]\n"
    "\n"
    "With the default ``mandatory=0`` the last path is ``()``, the root\n"
    "package.  When fewer than *mandatory* tokens are usable the result is\n"
    "empty, so nothing is found.\n"
    "\n"
    "Every token, including those after a ``None``, must be a ``str`` or\n"
    "``None``; anything else raises :exc:`TypeError`.  *mandatory* must be a\n"
    "non-negative ``int`` (``bool`` is refused): a wrong type raises\n"
    ":exc:`TypeError`, a negative value :exc:`ValueError`.";

PyObject* default_builder(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"tokens", "mandatory", nullptr};
    PyObject* tokens = nullptr;
    PyObject* mandatory = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:default_builder", const_cast<char**>(keywords), &tokens,
                                     &mandatory))
        return nullptr;
    Ref paths = Ref::steal(build_paths(tokens, mandatory));
    if (!paths) return nullptr;
    // Callers get a list of their own; the cache keeps its tuple.
    return PySequence_List(paths.get());
}

PyMethodDef builder_def = {"default_builder",
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(default_builder)),
                           METH_VARARGS | METH_KEYWORDS, builder_doc};

}  // namespace

const char* short_type_name(PyObject* o) noexcept {
    const char* name = Py_TYPE(o)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

PyObject* build_paths(PyObject* tokens, PyObject* mandatory) noexcept {
    const bool exact = (!mandatory || PyLong_CheckExact(mandatory)) && exact_tokens(tokens);
    if (exact) {
        if (PyObject* kept = recent.find(Items::of(tokens), mandatory)) return kept;
    }
    const Py_ssize_t count = mandatory_count(mandatory);
    if (count < 0) return nullptr;
    Ref paths = Ref::steal(compute(tokens, count));
    if (paths && exact) recent.keep(tokens, mandatory, paths.get());
    return paths.release();
}

PyObject* build_paths_of(PyObject* const* tokens, Py_ssize_t n, PyObject* mandatory) noexcept {
    const Items items{tokens, n};
    if ((!mandatory || PyLong_CheckExact(mandatory)) && exact_items(items)) {
        if (PyObject* kept = recent.find(items, mandatory)) return kept;
    }
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(tuple.get(), k, Ref::borrow(tokens[k]).release());
    return build_paths(tuple.get(), mandatory);
}

int builder_ready(PyObject* module) noexcept {
    // Made once and kept for the process: a module made again (imported
    // after its sys.modules entry was deleted) exports the same object, which
    // the decorator knows as the shipped builder.
    if (!builder_object) {
        // Public as orvex.abstract.magic.default_builder, which is its __module__.
        Ref home = Ref::steal(PyUnicode_FromString("orvex.abstract.magic"));
        if (!home) return -1;
        builder_object = PyCFunction_NewEx(&builder_def, nullptr, home.get());
        if (!builder_object) return -1;
    }
    return PyDict_SetItemString(PyModule_GetDict(module), "default_builder", builder_object);
}

}  // namespace orvex::abstract::native
