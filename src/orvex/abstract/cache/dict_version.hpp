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
// which drops the tag, this module watches the dicts it is asked about, up to `slots`
// of them, with one dict watcher taken on first use; the watcher's callback,
// run before any change of a watched dict, gives it a new number from a
// counter of this module's, and frees its slot when the dict goes. It runs
// no Python code and cannot fail. With no watcher free (8 per interpreter)
// or no slot free, every version is 0.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../compat.hpp"

namespace orvex::abstract::cache {

class WatchedVersions {
public:
    // Where the version of `dict` is kept (it moves in place), or nullptr.
    // The place stays the dict's for as long as the dict lives.
    static const std::uint64_t* of(PyObject* dict) noexcept {
        for (Slot& slot : slots_)
            if (slot.dict == dict) return &slot.version;
        return watch(dict);
    }

private:
    struct Slot {
        PyObject* dict;  // borrowed: the slot is freed before the dict goes
        std::uint64_t version;
    };
    static constexpr int slots = 32;
    static constexpr int no_watcher_yet = -2;

    // Starts watching `dict`: where its versions will be, or nullptr.
    static const std::uint64_t* watch(PyObject* dict) noexcept {
        if (watcher_ == no_watcher_yet) {
            PyObject* pending = compat::exc_take();
            watcher_ = compat::dict_add_watcher(on_event);
            if (watcher_ < 0) PyErr_Clear();
            compat::exc_give(pending);
        }
        if (watcher_ < 0) return nullptr;
        for (Slot& slot : slots_) {
            if (slot.dict) continue;
            PyObject* pending = compat::exc_take();
            const bool watched = compat::dict_watch(watcher_, dict) == 0;
            if (!watched) PyErr_Clear();
            compat::exc_give(pending);
            if (!watched) return nullptr;
            slot.dict = dict;
            slot.version = ++counter_;
            return &slot.version;
        }
        return nullptr;
    }

    static int on_event(compat::DictWatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
        for (Slot& slot : slots_) {
            if (slot.dict != dict) continue;
            if (compat::dict_event_is_deallocation(event))
                slot.dict = nullptr;
            else
                slot.version = ++counter_;
        }
        return 0;
    }

    inline static Slot slots_[slots] = {};
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
// also checks that `obj`'s dict is still that dict: only where it is the
// dict's own tag (up to 3.13, made to follow the dict's every change first;
// see compat::instance_dict_follow). From 3.14 none: the watched slots are
// for module namespaces, and instances are many. Clears any error.
inline Version instance_dict_version(PyObject* obj, PyObject* dict) noexcept {
    if constexpr (!compat::dict_has_version_tag) {
        (void)obj;
        (void)dict;
        return Version();
    } else {
        if (compat::instance_dict_follow(obj, dict) < 0) {
            PyErr_Clear();
            return Version();
        }
        return Version::of(dict);
    }
}

}  // namespace orvex::abstract::cache
