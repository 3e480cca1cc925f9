// dict_version(): a number that proves a dict unchanged, on every version.
// What the caches of cache.hpp and DictGuard compare; used by both modules.
//
// Rules: a nonzero version read before a read of the dict, and read again
// equal after it, proves that the dict was not changed in between (not by a
// key's __eq__, a __del__ or weakref callback of a collection, nor another
// thread). A version is never given to two dicts, nor twice to one, so two
// equal nonzero versions also prove the same dict. 0 proves nothing: the
// caller reads again.
//
// Up to 3.13 it is the dict's own version tag: every change gives the dict a
// new tag from one counter (not for an object's __dict__ on 3.13 until
// instance_dict_version() has made it follow). From 3.14,
// which drops the tag, this module watches the dicts it is asked about, up to
// 1,024 at a time (objects' dicts at most 768 of them), with one dict
// watcher taken on first use; the watcher's
// callback, run before any change of a watched dict, gives it a new number
// from a counter of this module's, and frees its record when the dict goes.
// It runs no Python code and cannot fail. With no watcher free (8 per
// interpreter) or no record free, every version is 0.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../compat.hpp"

namespace orvex::abstract::cache {

// Spreads the bits of object addresses mixed into `x` over all 64 (the
// finaliser of a well-known 64-bit hash): addresses from one allocator
// share their low bits and cluster, and a table indexed by a few bits of
// a product of them would crowd into a few places.
inline std::uint64_t spread(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    return x ^ (x >> 33);
}

class WatchedVersions {
public:
    // Where the version of `dict` is kept (it moves in place), or nullptr.
    // The place stays the dict's for as long as the dict lives.
    // An object's __dict__ (`instance`) takes a record only while fewer than
    // three quarters of the records are objects' dicts: objects are many,
    // and the namespaces of modules keep the rest.
    static const std::uint64_t* of(PyObject* dict, bool instance = false) noexcept {
        const int at = find(dict);
        return at >= 0 ? &records_[index_[at]].version : watch(dict, instance);
    }

private:
    // A watched dict and its version. A record freed with its dict is given
    // to the next dict watched: whoever still holds its place compares a
    // version that the record never has again (the counter only grows).
    struct Record {
        PyObject* dict;  // borrowed: the record is freed before the dict goes
        std::uint64_t version;
        bool instance;
    };
    static constexpr int records = 1024;
    // The records of the watched dicts by address: open addressing, twice
    // as many places as records, so that a probe ends soon.
    static constexpr int places = 2 * records;
    static constexpr int empty = -1;
    static constexpr int gone = -2;  // a dict that went: the probe goes on past it
    static constexpr int no_watcher_yet = -2;

    static int home(PyObject* dict) noexcept {
        return static_cast<int>(spread(reinterpret_cast<std::uintptr_t>(dict)) & (places - 1));
    }

    // The place in index_ that holds `dict`'s record, or -1.
    static int find(PyObject* dict) noexcept {
        for (int at = home(dict), n = 0; n < places; at = (at + 1) & (places - 1), ++n) {
            const int r = index_[at];
            if (r == empty) return -1;
            if (r >= 0 && records_[r].dict == dict) return at;
        }
        return -1;
    }

    // Makes the index again from the records in use, dropping the marks of
    // dicts that went.
    static void reindex() noexcept {
        for (int& r : index_) r = empty;
        for (int r = 0; r < records; ++r) {
            if (!records_[r].dict) continue;
            int at = home(records_[r].dict);
            while (index_[at] != empty) at = (at + 1) & (places - 1);
            index_[at] = r;
        }
        n_gone_ = 0;
    }

    // Starts watching `dict`: where its versions will be, or nullptr.
    static const std::uint64_t* watch(PyObject* dict, bool instance) noexcept {
        if (watcher_ == no_watcher_yet) {
            PyObject* pending = compat::exc_take();
            watcher_ = compat::dict_add_watcher(on_event);
            if (watcher_ < 0) PyErr_Clear();
            compat::exc_give(pending);
            for (int& r : index_) r = empty;
            for (int r = records - 1; r >= 0; --r) free_[n_free_++] = r;
        }
        if (watcher_ < 0 || n_free_ == 0 || (instance && n_instances_ >= records * 3 / 4)) return nullptr;
        if (n_gone_ + (records - n_free_) >= places * 3 / 4) reindex();
        PyObject* pending = compat::exc_take();
        const bool watched = compat::dict_watch(watcher_, dict) == 0;
        if (!watched) PyErr_Clear();
        compat::exc_give(pending);
        if (!watched) return nullptr;
        const int r = free_[--n_free_];
        records_[r] = Record{dict, ++counter_, instance};
        n_instances_ += instance;
        int at = home(dict);
        while (index_[at] >= 0) at = (at + 1) & (places - 1);
        if (index_[at] == gone) --n_gone_;
        index_[at] = r;
        return &records_[r].version;
    }

    static int on_event(compat::DictWatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
        const int at = find(dict);
        if (at < 0) return 0;
        const int r = index_[at];
        if (compat::dict_event_is_deallocation(event)) {
            n_instances_ -= records_[r].instance;
            records_[r] = Record{nullptr, ++counter_, false};
            index_[at] = gone;
            ++n_gone_;
            free_[n_free_++] = r;
        } else {
            records_[r].version = ++counter_;
        }
        return 0;
    }

    inline static Record records_[records] = {};
    inline static int index_[places] = {};
    inline static int free_[records] = {};
    inline static int n_free_ = 0;
    inline static int n_gone_ = 0;
    inline static int n_instances_ = 0;  // records of objects' dicts
    inline static int watcher_ = no_watcher_yet;
    inline static std::uint64_t counter_ = 0;
};

// Where the version of `dict` (an exact dict, borrowed) is kept, for as
// long as the dict lives; nullptr where there is none. For a caller that
// holds the dict and reads its version often.
inline const std::uint64_t* dict_version_place(PyObject* dict) noexcept {
    if constexpr (compat::dict_has_version_tag) {
        return compat::dict_version_tag_place(dict);
    } else {
        return WatchedVersions::of(dict);
    }
}

// The version of `dict` (an exact dict, borrowed): see above.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    const std::uint64_t* place = dict_version_place(dict);
    return place ? *place : 0;
}

// A dict's version as read now, and where to read it again: same() tells
// whether the dict is unchanged since. The caller keeps the dict alive for
// as long as it asks. Anything but an exact dict (nullptr included) has no
// version.
class Version {
public:
    Version() noexcept = default;
    static Version of(PyObject* dict) noexcept {
        Version v;
        if (dict && PyDict_CheckExact(dict)) {
            v.place_ = dict_version_place(dict);
            v.value_ = v.place_ ? *v.place_ : 0;
        }
        return v;
    }
    // The version now at `place` (nullptr: none).
    static Version at(const std::uint64_t* place) noexcept {
        Version v;
        v.place_ = place;
        v.value_ = place ? *place : 0;
        return v;
    }
    bool same() const noexcept { return value_ && *place_ == value_; }
    explicit operator bool() const noexcept { return value_ != 0; }
    // Where the version is read, and its value then (for a caller that keeps
    // it longer than the dict is held: see the rules of dict_version_place).
    const std::uint64_t* place() const noexcept { return place_; }
    std::uint64_t value() const noexcept { return value_; }

private:
    const std::uint64_t* place_ = nullptr;
    std::uint64_t value_ = 0;
};

// The version of `dict`, the exact __dict__ of `obj`, for a caller that
// also checks that `obj`'s dict is still that dict. Up to 3.13 the dict's
// own tag, made to follow the dict's every change first (see
// compat::instance_dict_follow); from 3.14 a watched version: the
// interpreter tells watchers of stores through the object's inline values
// too. Clears any error.
inline Version instance_dict_version(PyObject* obj, PyObject* dict) noexcept {
    if (compat::instance_dict_follow(obj, dict) < 0) {
        PyErr_Clear();
        return Version();
    }
    if constexpr (compat::dict_has_version_tag) {
        return Version::of(dict);
    } else {
        return Version::at(WatchedVersions::of(dict, true));
    }
}

}  // namespace orvex::abstract::cache
