// DictGuard: knowing in a few instructions that a dict has not changed since
// its contents were last checked, so that what a cache took from it holds.
//
// Rules of use:
//  - mark(dict), then read the dict and check what the cache relies on, then
//    confirm(): true when the check may be trusted. When the check fails,
//    reset() instead. Between mark() and confirm() unchanged() is false, so
//    code that the reads run cannot rely on a half-done check.
//  - unchanged() is true from a successful confirm() for as long as the dict
//    marked last does not change. Which dict that is, is the caller's to
//    know: guard a dict that the cache's own key fixes (a module's namespace,
//    a function's builtins), one guard per dict.
//  - The caller holds the dict it marks until the check is done. The guard
//    holds its own strong reference from mark() to reset() or the next
//    mark(), so the address cannot pass to another dict meanwhile. The
//    destructor leaves that reference alone (a guard that lives as long as
//    the process outlives the interpreter); reset() a shorter-lived guard.
//  - The GIL is held throughout. Guards are neither copied nor moved.
//
// What proves it: the dict's version (cache/dict_version.hpp), read at
// mark(), before the caller's first read, and compared again at confirm()
// and unchanged(); no read renews it. Whatever changes the dict after it --
// a key's __eq__ called by a lookup that meets a colliding key, a __del__ or
// a weakref callback run by a collection that an allocation started, a
// thread that took the GIL, during the check or any time later -- gives the
// dict a new version, and confirm() and unchanged() are false from then on.
// If such code marks the same guard again and confirms its own full check,
// confirm() of the earlier check answers for that later stamp, which is as
// good. Where no version can be had (0), confirm() is always false: every
// use checks in full, which is slower and still right.
#pragma once

#include "dict_version.hpp"

namespace orvex::abstract {

class DictGuard {
public:
    DictGuard() noexcept = default;
    DictGuard(const DictGuard&) = delete;
    DictGuard& operator=(const DictGuard&) = delete;

    bool unchanged() const noexcept { return trusted_ && *place_ == version_; }

    // Stamps `dict` (an exact dict, borrowed) as it is now, before the check.
    void mark(PyObject* dict) noexcept {
        trusted_ = false;
        version_ = 0;
        if (dict != dict_) {
            // Held before the old one goes: releasing that may run code.
            PyObject* old = dict_;
            Py_INCREF(dict);
            dict_ = dict;
            Py_XDECREF(old);
            if (dict_ != dict) return;  // marked again or reset meanwhile
            trusted_ = false;           // whatever that release ran confirmed
        }
        // The place is the held dict's for as long as it lives.
        place_ = cache::dict_version_place(dict);
        version_ = place_ ? *place_ : 0;
    }

    // The check since mark() passed: whether it holds (no change since the stamp).
    bool confirm() noexcept {
        trusted_ = version_ && *place_ == version_;
        return trusted_;
    }

    void reset() noexcept {
        trusted_ = false;
        version_ = 0;
        place_ = &version_;
        PyObject* old = dict_;
        dict_ = nullptr;
        Py_XDECREF(old);
    }

private:
    PyObject* dict_ = nullptr;                // owned: the dict marked last
    std::uint64_t version_ = 0;               // its version at mark(); 0: nothing to trust
    const std::uint64_t* place_ = &version_;  // where the dict's version is kept (trusted_: not null)
    bool trusted_ = false;
};

}  // namespace orvex::abstract
