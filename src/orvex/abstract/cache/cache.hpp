// The caches of both extension modules, and the rules they keep. Used by
// lookup/ (the decorator's memos) and native/ (the builder and the package).
//
// Every cache here is keyed only by values whose hash and equality are the
// interpreter's own (exact str, exact int, None, exact tuples of those, or
// object identity of an entry's own keys), holds each key it compares, and
// has a bound in entries. What each one keeps, what proves an entry valid,
// and its bound:
//
//  - lookup/get.cpp, three Memo tables: an exact str module name or
//    qualified name -> what splitting it gives. A pure function of the str:
//    valid for good. 1,024 entries each.
//  - native/builder.cpp: the search paths of an exact tuple of exact str or
//    None tokens (and the default or an exact int `mandatory`), in pairs of
//    slots found by the identity of the tokens (64 to 4,096 pairs, doubled
//    whenever a slot would push out another). A pure function of those
//    objects, which the slot owns: valid for good, and the paths hold the
//    caller's own token objects, as a computation would give them. A fetch
//    with the shipped getter asks with the tokens it read, in an array.
//  - native/package.cpp, per AbstractPackage: the token paths learned, and
//    per (relpath, seq) the module that path names or why none is there
//    (BoundedDict, 4,096 entries, identity slots in front: PairTable, 32 to
//    8,192 pairs: each token combination brings two keys, the paths that miss
//    and the one that hits). Valid while
//    the invalidation generation is the one they were learned at
//    (importlib.invalidate_caches() and AbstractPackage.invalidate_caches()
//    move it); a module answer is also checked at each use against
//    sys.modules, and the class is read from the module each time (answered
//    again only while the versions of sys.modules and of the module's
//    namespace are those of the last read), so a patch or a reload is seen
//    at the next lookup. Nothing is remembered from a module that is still
//    being imported. A path outside the root or without a token package is
//    told from the keys and the token paths, and kept only in the slots.
//  - lookup/wraps.cpp: that functools (and what its update_wrapper resolves
//    when it runs) is as it was; proved by DictGuard (cache/dict_guard.hpp),
//    never by reasoning about which code may have run. And the name
//    functools as the decorator's globals give it: one entry, valid while
//    they are the same dict with the same version.
//  - lookup/get.cpp, plans: per owner class, the package the root walk and
//    the root's attribute gave and the owner's relpath and names. Valid while
//    the owner's type version and __qualname__ and the versions of the
//    globals, sys, sys.modules and every module namespace the walk read are
//    the ones noted, compared in that order (each equal one proves the next
//    dict alive); recorded only from reads that exact tables answered. 512
//    plans, two places per owner address; a weak reference to the owner drops
//    its plan with it.
//  - lookup/get.cpp, the decorator's own attributes: that its type takes the
//    generic getattr and has none of the five names, for the last type version
//    found so; and per decorator the five values as the last fetch read them
//    from its dict, borrowed, valid while the decorator's dict is the same
//    dict at the same version and its type at the same version, compared at
//    each read (on 3.13 the dict is made to follow the object's stores
//    first: see compat::instance_dict_follow). 256 entries, one per
//    decorator address. And the class's __get__, for the last type version.
//  - lookup/get.cpp, the method of the class found: getattr(cls, name) for
//    a class of metaclass exactly `type` whose lookup finds a plain function
//    (given as it is) and a name `type` lacks, per (class, exact str name),
//    borrowed; valid while the class keeps its version. 64 entries, each
//    holding its name.
//  - function/function.cpp: no cache, a free list of 16 dropped functions'
//    memory for the next wrappers.
//  - tokens/default_getter.cpp: that no name of a tuple needs a second read
//    on a type (no descriptor), per (type version, tuple) found so, with the
//    place where the type's objects keep each of the first 16 names of their
//    own (the index the class's shared keys give it, and the str kept there,
//    held); checked again after each read, since a read may run code, and
//    the place checked at each read against the keys the object's values
//    are numbered by. 4 entries, written in turn. Whether those places read
//    what the generic getattr reads is asked once per process.
//  - lookup/get.cpp, within one fetch: sys.modules and the root module's
//    abstraction package are read again only where a dict version
//    (cache/dict_version.hpp) shows a change since the first read.
//
// Every "unchanged" above is a dict version compared (dict_version.hpp): the
// version tag up to 3.13, a dict watcher's count from 3.14 (1,024 dicts at
// a time, objects' dicts at most 768 of them); where neither can be had, the
// read is made again. A type version is the interpreter's tag,
// which moves with any change of the type or a base and is never given twice.
//
// No cache hands out a borrowed reference that is kept across a call that
// can run Python code: lookups return owned references (Ref).
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "../ref.hpp"
#include "dict_version.hpp"

namespace orvex::abstract::cache {

// Whether `o` is an exact tuple whose items are all exact str: a key whose
// hash and equality no user code can change.
inline bool is_exact_str_tuple(PyObject* o) noexcept {
    if (!PyTuple_CheckExact(o)) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(o); ++k)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(o, k))) return false;
    return true;
}

// A dict of at most `limit` entries, emptied when full. Keys must be of the
// kinds above (their hashing and comparison run no code).
class BoundedDict {
public:
    explicit BoundedDict(Py_ssize_t limit) noexcept : limit_(limit) {}

    // The value for `key` as a new reference, or an empty Ref (none kept, or
    // the table could not be made; no exception is left set).
    Ref get(PyObject* key) const noexcept {
        if (!table_) return Ref();
        PyObject* value = PyDict_GetItemWithError(table_, key);
        if (!value) PyErr_Clear();
        return Ref::borrow(value);
    }
    // Keeps `value` for `key`; a failure only means it is not kept.
    void put(PyObject* key, PyObject* value) noexcept {
        if (!table_ && !(table_ = PyDict_New())) {
            PyErr_Clear();
            return;
        }
        if (PyDict_GET_SIZE(table_) >= limit_) clear();
        if (!table_ && !(table_ = PyDict_New())) {
            PyErr_Clear();
            return;
        }
        if (PyDict_SetItem(table_, key, value) < 0) PyErr_Clear();
    }
    // Forgets every entry; the values are released after the table is gone
    // from here (a release may run code that uses this table).
    void clear() noexcept { take(); }
    // The table, detached from here (the caller releases it when it is done).
    Ref take() noexcept {
        Ref old = Ref::steal(table_);
        table_ = nullptr;
        return old;
    }
    Py_ssize_t size() const noexcept { return table_ ? PyDict_GET_SIZE(table_) : 0; }
    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(table_);
        return 0;
    }

private:
    Py_ssize_t limit_;
    PyObject* table_ = nullptr;
};

// From exact str to what is derived from it, for good: the decorator's memos.
class Memo {
public:
    Ref get(PyObject* key) const noexcept { return table_.get(key); }
    void put(PyObject* key, PyObject* value) noexcept { table_.put(key, value); }

private:
    BoundedDict table_{1024};
};

// Doubles a table of pairs of slots (`first` pairs when it has none yet),
// moving the entries over: `slot_of(entry, pairs)` is the first slot of an
// entry's pair in a table of `pairs` pairs (a hash modulo the pairs, twice),
// or no_slot for an empty one. The two of a pair go to that pair or to the
// one `pairs` further, so each finds a place and nothing is released (no
// code runs). False, with nothing changed, when no memory could be had.
inline constexpr size_t no_slot = ~size_t{0};

template <class Slot, class SlotOf>
bool grow_pairs(Slot*& slots, size_t& pairs, size_t first, SlotOf slot_of) noexcept {
    const size_t doubled = slots ? pairs * 2 : first;
    auto* fresh = static_cast<Slot*>(PyMem_Calloc(doubled * 2, sizeof(Slot)));
    if (!fresh) return false;
    Slot* old = slots;
    for (size_t k = 0; k < pairs * 2; ++k) {
        const size_t slot = slot_of(old[k], doubled);
        if (slot == no_slot) continue;
        Slot* place = slot_of(fresh[slot], doubled) == no_slot ? &fresh[slot] : &fresh[slot + 1];
        std::swap(*place, old[k]);
    }
    slots = fresh;
    pairs = doubled;
    PyMem_Free(old);
    return true;
}

// Identity slots in front of a dict: (a, b) -> value, found by comparing the
// two key pointers. Each slot owns its keys, so no other object can take their
// addresses while the slot stands; the keys must be immutable (exact tuples of
// exact str), so that equal identity means equal content. Two neighbouring
// slots serve one hash, so that two keys that meet there (a fetch's miss and
// its hit) do not keep evicting each other; a key is never in both.
//
// The slots are made on the first put, `First` pairs of them, and double
// whenever a key finds both of its slots taken, up to `Most` pairs; then
// the older of the two is replaced. So a few keys cost
// a few slots, and up to about `Most` keys asked in turn all stay (the cost
// of a lookup does not grow with the keys, nor step where a fixed table
// would start to evict).
template <size_t First, size_t Most>
class PairTable {
    static_assert(First > 0 && (First & (First - 1)) == 0 && Most % First == 0, "pairs double from First to Most");

public:
    PairTable() noexcept = default;
    PairTable(const PairTable&) = delete;
    PairTable& operator=(const PairTable&) = delete;
    ~PairTable() { empty(false); }

    // The value for the keys, as a new reference, or an empty Ref.
    Ref get(PyObject* a, PyObject* b) const noexcept { return Ref::borrow(peek(a, b)); }
    // The same, borrowed: for a caller that runs no code while it uses it.
    PyObject* peek(PyObject* a, PyObject* b) const noexcept {
        if (!slots_) return nullptr;
        const size_t slot = slot_of(a, b, pairs_);
        for (size_t k = slot; k < slot + 2; ++k)
            if (slots_[k].a == a && slots_[k].b == b) return slots_[k].value;
        return nullptr;
    }
    // Keeps `value` for the keys; a failed allocation only means it is not kept.
    void put(PyObject* a, PyObject* b, PyObject* value) noexcept {
        if (!slots_ && !grow()) return;
        Slot* entry = own_or_free(a, b);
        if (!entry && pairs_ < Most && grow()) entry = own_or_free(a, b);
        if (!entry) {
            // The newer of the two moves first and the older one is replaced.
            const size_t slot = slot_of(a, b, pairs_);
            std::swap(slots_[slot], slots_[slot + 1]);
            entry = &slots_[slot + 1];
        }
        // The whole slot is written before anything old is released: a
        // release may run code that uses this table.
        Ref old_value = Ref::steal(entry->value), old_a = Ref::steal(entry->a), old_b = Ref::steal(entry->b);
        entry->value = Ref::borrow(value).release();
        entry->a = Ref::borrow(a).release();
        entry->b = Ref::borrow(b).release();
    }
    // Empties every slot, then releases what they held.
    // The slots are kept for the keys to come (unless a release put a key
    // meanwhile, which made new ones), so that the table does not grow again.
    void clear() noexcept { empty(true); }
    int traverse(visitproc visit, void* arg) const noexcept {
        for (size_t k = 0; slots_ && k < pairs_ * 2; ++k) Py_VISIT(slots_[k].value);
        return 0;
    }

private:
    struct Slot {
        PyObject* a = nullptr;
        PyObject* b = nullptr;
        PyObject* value = nullptr;
    };
    static size_t slot_of(PyObject* a, PyObject* b, size_t pairs) noexcept {
        const uint64_t mixed =
            spread(reinterpret_cast<uintptr_t>(a) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(b));
        return static_cast<size_t>(mixed) % pairs * 2;
    }
    // The keys' own slot, else a free one of their two, else nullptr.
    Slot* own_or_free(PyObject* a, PyObject* b) noexcept {
        const size_t slot = slot_of(a, b, pairs_);
        for (size_t k = slot; k < slot + 2; ++k)
            if (slots_[k].a == a && slots_[k].b == b) return &slots_[k];
        for (size_t k = slot; k < slot + 2; ++k)
            if (!slots_[k].a) return &slots_[k];
        return nullptr;
    }
    // Twice the slots (First pairs at first): see grow_pairs.
    bool grow() noexcept {
        return grow_pairs(slots_, pairs_, First, [](const Slot& entry, size_t pairs) {
            return entry.a ? slot_of(entry.a, entry.b, pairs) : no_slot;
        });
    }
    // Detaches the slots, then releases what they hold; `keep`: then puts
    // them back empty, unless a release made new ones.
    void empty(bool keep) noexcept {
        Slot* old = slots_;
        const size_t pairs = pairs_;
        slots_ = nullptr;
        pairs_ = 0;
        for (size_t k = 0; old && k < pairs * 2; ++k) {
            Ref value = Ref::steal(old[k].value), a = Ref::steal(old[k].a), b = Ref::steal(old[k].b);
            old[k] = Slot();
        }
        if (keep && old && !slots_) {
            slots_ = old;
            pairs_ = pairs;
            return;
        }
        PyMem_Free(old);
    }

    Slot* slots_ = nullptr;  // pairs_ * 2 of them, or none yet
    size_t pairs_ = 0;
};

}  // namespace orvex::abstract::cache
