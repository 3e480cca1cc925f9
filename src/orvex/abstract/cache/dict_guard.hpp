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
// What proves it. Up to 3.11, the dict's version tag: every change of a dict
// gives it a new tag from one global counter, so the tag read at mark() still
// being there means no change at all. From 3.12 (where the tag is deprecated,
// and 3.14 drops it), a dict watcher: one watcher id, taken at the first
// mark() and kept for the process (each extension module that includes this
// header has its own), watches every marked dict; its callback, run before
// any change of a watched dict (added, modified, deleted, cleared, cloned
// into, deallocated), withdraws the trust of the guards on that dict and does
// nothing else: it runs no Python code and cannot fail. When no watcher id is
// free (8 per interpreter, shared with everyone), confirm() is always false:
// every use checks in full, which is slower and still right.
//
// Why it cannot be fooled. The stamp (the tag, or the watch) is taken at
// mark(), before the caller's first read, and no read renews it. Whatever
// changes the dict after it -- a key's __eq__ called by a lookup that meets a
// colliding key, a __del__ or a weakref callback run by a collection that an
// allocation started, a thread that took the GIL, during the check or any
// time later -- moves the tag or fires the watcher like any other change,
// and confirm() and unchanged() are false from then on. If such code marks
// the same guard again and confirms its own full check, confirm() of the
// earlier check answers for that later stamp, which is as good. Nothing is
// inferred from the dict's size, keys or address.
#pragma once

#include "../compat.hpp"

namespace orvex::abstract {

class DictGuard {
public:
    DictGuard() noexcept = default;
    DictGuard(const DictGuard&) = delete;
    DictGuard& operator=(const DictGuard&) = delete;
    ~DictGuard() { unlink(); }

    bool unchanged() const noexcept {
        if constexpr (compat::dict_has_watchers) {
            return trust_ == Trust::trusted;
        } else {
            return trust_ == Trust::trusted && compat::dict_version_tag(dict_) == tag_;
        }
    }

    // Stamps `dict` (an exact dict, borrowed) as it is now, before the check.
    void mark(PyObject* dict) noexcept {
        trust_ = Trust::none;
        if (dict != dict_) {
            // Held before the old one goes: releasing that may run code.
            PyObject* old = dict_;
            Py_INCREF(dict);
            dict_ = dict;
            forget(old);
            if (dict_ != dict) return;  // marked again or reset meanwhile
        }
        if constexpr (compat::dict_has_watchers) {
            if (!watch(dict)) return;
            link();
        } else {
            tag_ = compat::dict_version_tag(dict);
        }
        trust_ = Trust::checking;
    }

    // The check since mark() passed: whether it holds (no change since the stamp).
    bool confirm() noexcept {
        if (trust_ == Trust::none) return false;
        if constexpr (!compat::dict_has_watchers) {
            if (compat::dict_version_tag(dict_) != tag_) {
                trust_ = Trust::none;
                return false;
            }
        }
        trust_ = Trust::trusted;
        return true;
    }

    void reset() noexcept {
        trust_ = Trust::none;
        PyObject* old = dict_;
        dict_ = nullptr;
        unlink();
        forget(old);
    }

private:
    enum class Trust : unsigned char { none, checking, trusted };

    // Lets go of a dict no longer marked: unwatched unless another guard of
    // this module marks it, then released.
    static void forget(PyObject* dict) noexcept {
        if (!dict) return;
        if constexpr (compat::dict_has_watchers) {
            bool marked = false;
            for (DictGuard* g = watching_; g && !marked; g = g->next_) marked = g->dict_ == dict;
            if (!marked && watcher_id_ >= 0) {
                PyObject* pending = compat::exc_take();
                if (compat::dict_unwatch(watcher_id_, dict) < 0) PyErr_Clear();
                compat::exc_give(pending);
            }
        }
        Py_DECREF(dict);
    }

    // Watches `dict`, taking the watcher id on first use; false when it cannot.
    static bool watch(PyObject* dict) noexcept {
        if (watcher_id_ == no_watcher_yet) {
            PyObject* pending = compat::exc_take();
            watcher_id_ = compat::dict_add_watcher(on_dict_event);
            if (watcher_id_ < 0) {
                watcher_id_ = no_watcher_free;
                PyErr_Clear();
            }
            compat::exc_give(pending);
        }
        if (watcher_id_ < 0) return false;
        if (compat::dict_watch(watcher_id_, dict) == 0) return true;
        PyObject* pending = compat::exc_take();
        PyErr_Clear();
        compat::exc_give(pending);
        return false;
    }

    static int on_dict_event(compat::DictWatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
        for (DictGuard* g = watching_; g; g = g->next_)
            if (g->dict_ == dict) g->trust_ = Trust::none;
        return 0;
    }

    void link() noexcept {
        if (linked_) return;
        next_ = watching_;
        if (next_) next_->prev_ = &next_;
        prev_ = &watching_;
        watching_ = this;
        linked_ = true;
    }

    void unlink() noexcept {
        if (!linked_) return;
        *prev_ = next_;
        if (next_) next_->prev_ = prev_;
        next_ = nullptr;
        prev_ = nullptr;
        linked_ = false;
    }

    static constexpr int no_watcher_yet = -2;
    static constexpr int no_watcher_free = -1;
    // This module's watcher id, and its guards that watch a dict (3.12+).
    inline static int watcher_id_ = no_watcher_yet;
    inline static DictGuard* watching_ = nullptr;

    PyObject* dict_ = nullptr;  // owned: the dict marked last
    Trust trust_ = Trust::none;
    std::uint64_t tag_ = 0;  // up to 3.11: the dict's version tag at mark()
    bool linked_ = false;
    DictGuard* next_ = nullptr;
    DictGuard** prev_ = nullptr;
};

}  // namespace orvex::abstract
