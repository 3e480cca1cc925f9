// Version shims for CPython 3.8 to 3.15. Every PY_VERSION_HEX test of the
// extension lives here; each shim is named and shaped like the API it stands for.
// So does what differs between platforms: the compiler's attributes (GCC and
// Clang, or MSVC) and the calls of POSIX (or Windows).
//
// What differs, by version:
//  3.9   PyObject_CallOneArg, PyObject_CallNoArgs, public vectorcall names,
//        PyInterpreterState_Get
//  3.10  code objects take co_linetable (co_lnotab before); a function keeps
//        the builtins it runs with (before, each frame takes them anew)
//  3.11  code objects have co_qualname and co_exceptiontable and need a body
//        that can run; PyErr_GetHandledException; exceptions take notes
//        (add_note, printed under the message); an object keeps its
//        attributes beside it, no longer in a dict
//  3.12  PyErr_GetRaisedException; functions have __type_params__; dict
//        watchers (the dict version tag is deprecated, and gone in 3.14); a
//        collection no longer starts inside an allocation; interpreters with
//        their own GIL, and the module slot that admits a module into them;
//        an object's attributes are found through a tagged pointer
//  3.13  PyObject_GetOptionalAttr is public; an object's attributes inline
//  3.14  functions have __annotate__ (annotations evaluated on demand),
//        which functools.wraps copies instead of __annotations__; dicts have
//        no version tag
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

// The entry point must stay visible when the build hides other symbols;
// before 3.9 PyMODINIT_FUNC carries no visibility attribute.
#if PY_VERSION_HEX >= 0x03090000
#define ORVEX_MODINIT_FUNC PyMODINIT_FUNC
#elif defined(_MSC_VER)
#define ORVEX_MODINIT_FUNC extern "C" __declspec(dllexport) PyObject*
#else
#define ORVEX_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

// A function that must not be inlined; one that runs rarely (laid out apart
// from the hot code); a condition that is rarely true.
#if defined(_MSC_VER)
#define ORVEX_NOINLINE __declspec(noinline)
#define ORVEX_COLD __declspec(noinline)
#define ORVEX_UNLIKELY(condition) (condition)
#else
#define ORVEX_NOINLINE __attribute__((noinline))
#define ORVEX_COLD __attribute__((noinline, cold))
#define ORVEX_UNLIKELY(condition) __builtin_expect(!!(condition), 0)
#endif

// The module slot saying that a multi-phase module may be loaded into any
// interpreter, one with its own GIL included (from 3.12, where an
// interpreter refuses a module that does not say so, with its own message).
#if PY_VERSION_HEX >= 0x030C0000
#define ORVEX_SLOT_ANY_INTERPRETER {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define ORVEX_SLOT_ANY_INTERPRETER
#endif

namespace orvex::abstract::compat {

// The calling process's id; a forked child's differs from its parent's.
inline long process_id() noexcept {
#if defined(_WIN32)
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

// Whether the calling thread runs in the process's main interpreter.
static inline bool in_main_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
    return _PyInterpreterState_Get() == PyInterpreterState_Main();
#endif
}

// PyObject_CallOneArg / PyObject_Vectorcall appeared in 3.9; 3.8 spells the
// vectorcall entry with a leading underscore.
static inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallOneArg(callable, arg);
#else
    PyObject* args[1] = {arg};
    return _PyObject_Vectorcall(callable, args, 1, nullptr);
#endif
}

static inline PyObject* call_no_args(PyObject* callable) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallNoArgs(callable);
#else
    return _PyObject_Vectorcall(callable, nullptr, 0, nullptr);
#endif
}

// The attribute `name` found along the type's MRO, without descriptors
// applied (what a type's slots dispatch to); borrowed, nullptr with no error
// when absent. Exported, though underscored, on every supported version.
static inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

// Positional arguments from a C array, no keywords.
static inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargs) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
#else
    return _PyObject_Vectorcall(callable, args, nargs, nullptr);
#endif
}

// Positional arguments from a C array plus an optional keyword dict.
static inline PyObject* vectorcall_dict(PyObject* callable, PyObject* const* args, size_t nargs,
                                        PyObject* kwargs) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallDict(callable, args, nargs, kwargs);
#else
    return _PyObject_FastCallDict(callable, const_cast<PyObject**>(args), nargs, kwargs);
#endif
}

// Attribute read that tells "absent" (0, nothing set) from "failed" (-1) and
// "found" (1, *result owned). _PyObject_LookupAttr became public in 3.13.
static inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// The pending exception as one normalised object (new reference, error
// indicator cleared), or nullptr when none is pending.
static inline PyObject* exc_take() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` (stolen; nullptr allowed) the pending exception again.
static inline void exc_give(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// The exception being handled (sys.exc_info()[1]); new reference or nullptr.
static inline PyObject* handled_exception_get() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* exc = PyErr_GetHandledException();
    if (exc == Py_None) {
        Py_DECREF(exc);
        return nullptr;
    }
    return exc;
#else
    PyObject *type, *value, *tb;
    PyErr_GetExcInfo(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (value == Py_None) {
        Py_DECREF(value);
        return nullptr;
    }
    return value;
#endif
}

// The calling thread's state, which the caller knows it has (it holds the
// GIL): read without the check for none.
static inline PyThreadState* thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// The handled exception as the top of the thread's exception stack holds it
// (borrowed; nullptr or None when there is none). What PyErr_SetExcInfo and
// PyErr_SetHandledException write, read without a call: the dispatch wrapper
// compares it before and after each call, in the thread state it takes once.
static inline PyObject* handled_exception_peek(PyThreadState* tstate) noexcept { return tstate->exc_info->exc_value; }

// Sets the handled exception (borrowed; nullptr clears it).
static inline void handled_exception_set(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(exc);
#else
    if (!exc) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    Py_INCREF(exc);
    PyErr_SetExcInfo(type, exc, PyException_GetTraceback(exc));
#endif
}

// Telling that a dict changed. Up to 3.13 every change of a dict's own
// table gives the dict a new version tag (PEP 509) from one counter, so a tag
// is never reused; 3.12 deprecates the tag and 3.14 drops it. (3.13 does not
// move it for an object's __dict__ that shares the object's inline values:
// never use it for those.) From 3.12 there are dict watchers: a callback,
// told of each change of a watched dict before it is made; they are used
// where the tag is gone. Each side's calls exist on every version, so that one
// source compiles everywhere; the other side's never run.
static constexpr bool dict_has_version_tag = PY_VERSION_HEX < 0x030E0000;

#if PY_VERSION_HEX >= 0x030C0000
using DictWatchEvent = PyDict_WatchEvent;
static inline bool dict_event_is_deallocation(DictWatchEvent event) noexcept {
    return event == PyDict_EVENT_DEALLOCATED;
}
// A watcher id (at most 8 per interpreter), or -1 with an exception set.
static inline int dict_add_watcher(int (*callback)(DictWatchEvent, PyObject*, PyObject*, PyObject*)) noexcept {
    return PyDict_AddWatcher(callback);
}
static inline int dict_watch(int watcher_id, PyObject* dict) noexcept { return PyDict_Watch(watcher_id, dict); }
static inline int dict_unwatch(int watcher_id, PyObject* dict) noexcept { return PyDict_Unwatch(watcher_id, dict); }
#else
enum DictWatchEvent : int {};
static inline bool dict_event_is_deallocation(DictWatchEvent) noexcept { return false; }
static inline int no_dict_watchers() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "no dict watchers before Python 3.12");
    return -1;
}
static inline int dict_add_watcher(int (*)(DictWatchEvent, PyObject*, PyObject*, PyObject*)) noexcept {
    return no_dict_watchers();
}
static inline int dict_watch(int, PyObject*) noexcept { return no_dict_watchers(); }
static inline int dict_unwatch(int, PyObject*) noexcept { return no_dict_watchers(); }
#endif

#if PY_VERSION_HEX < 0x030E0000
// Where the dict keeps its tag (the field itself; deprecated from 3.12).
static inline const std::uint64_t* dict_version_tag_place(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return &reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}
#else
static inline const std::uint64_t* dict_version_tag_place(PyObject*) noexcept { return nullptr; }
#endif

// Raises the AttributeError of the generic getattr (`deleting`: of its
// setattr deleting) for `name` that `obj` lacks, with the wording and the
// name and obj attributes of this version. -1.
static inline int raise_no_attribute(PyObject* obj, PyObject* name, bool deleting) noexcept {
    constexpr bool old_delete_wording = PY_VERSION_HEX < 0x030B0000;
    constexpr bool names_on_get = PY_VERSION_HEX >= 0x030A0000;
    constexpr bool names_on_delete = PY_VERSION_HEX >= 0x030D0000;
    if (deleting && old_delete_wording)
        PyErr_SetObject(PyExc_AttributeError, name);
    else
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(obj)->tp_name, name);
    if (deleting ? !names_on_delete : !names_on_get) return -1;
    PyObject* exc = exc_take();
    if (exc && (PyObject_SetAttrString(exc, "name", name) < 0 || PyObject_SetAttrString(exc, "obj", obj) < 0)) {
        Py_DECREF(exc);
        return -1;
    }
    exc_give(exc);
    return -1;
}

// Whether exceptions take notes (add_note, printed under the message by the
// traceback printer). Before 3.11 there is no add_note, and __notes__ would
// be shown by nothing.
constexpr bool exceptions_take_notes = PY_VERSION_HEX >= 0x030B0000;

// Where an object keeps its __dict__ (the place is the object's for its
// lifetime), making the dict if the object keeps its attributes without one;
// nullptr with no exception set when it has none or it cannot be made.
static inline PyObject** instance_dict_place(PyObject* obj) noexcept {
    PyObject** place = _PyObject_GetDictPtr(obj);
    if (!place) PyErr_Clear();
    return place;
}

// Makes the tag of `dict`, the __dict__ of `obj`, move with every change of
// it. 3.13 leaves the tag alone for a __dict__ that shares the object's inline
// values; giving the object the same dict again as its managed dict moves the
// values into the dict (its identity unchanged), and the object's own stores
// then go through it. 0, or -1 with an exception set. Elsewhere there is
// nothing to do.
static inline int instance_dict_follow(PyObject* obj, PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return 0;
    return _PyObject_SetManagedDict(obj, dict);
#else
    (void)obj;
    (void)dict;
    return 0;
#endif
}

// A type's version tag: it changes whenever the type, or a base, is
// changed, and a tag is never given twice; 0 means "none" and proves
// nothing. Up to 3.11 a changed type keeps its old tag but loses the flag
// that makes it valid; from 3.12 the tag itself is reset to 0.
static inline unsigned int type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Gives `type` a version tag if it has none and one can be had; the tag, or 0.
// Before 3.12 a lookup through the type's attribute cache assigns one.
static inline unsigned int type_assign_version(PyTypeObject* type, PyObject* any_interned_name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_interned_name;
    PyUnstable_Type_AssignVersionTag(type);
#else
    (void)_PyType_Lookup(type, any_interned_name);
#endif
    return type_version(type);
}

// ---- an object's own attribute, read where the generic getattr reads it
//
// Objects of a class share one table of attribute names, the class's shared
// keys, and each keeps the values in an array numbered by that table (until
// something makes their attributes a dict of their own). own_key(type,
// name, &key) gives the index of `name` in the shared keys of `type` and,
// in `key`, the str kept there (borrowed), or -1; own_attribute(obj, key,
// index) reads that slot of `obj`'s values, once it has checked that its
// table still has `key` at `index`: the value, borrowed, or nullptr when it
// is not there (then the generic getattr goes on to the class, or fails).
// Neither runs code or changes anything, as the generic getattr's own read of
// that place does not. The layouts are each version's own:
//  - 3.8 to 3.10: the object's __dict__, when its keys are shared ones;
//  - 3.11: the values behind a pointer before the object;
//  - 3.12: the same, tagged by its lowest bit (untagged: a dict);
//  - 3.13 and later: inline after the object, while marked valid.
// A build without the interpreter's lock takes the generic read.
#if defined(Py_GIL_DISABLED)
static inline Py_ssize_t own_key(PyTypeObject*, PyObject*, PyObject**) noexcept { return -1; }
static inline PyObject* own_attribute(PyObject*, PyObject*, Py_ssize_t) noexcept { return nullptr; }
#else
#if PY_VERSION_HEX >= 0x030B0000
struct SharedKeys {  // struct _dictkeysobject, up to its index table
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[1];  // followed by the entries
};
struct SharedKeysEntry {  // PyDictUnicodeEntry
    PyObject* key;
    PyObject* value;
};
static inline const SharedKeysEntry* shared_entries(const SharedKeys* keys) noexcept {
    const char* indices = reinterpret_cast<const char*>(keys) + offsetof(SharedKeys, indices);
    return reinterpret_cast<const SharedKeysEntry*>(indices + (Py_ssize_t{1} << keys->log2_index_bytes));
}
static inline const SharedKeys* shared_keys_of(PyTypeObject* type) noexcept {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) return nullptr;
#endif
    return reinterpret_cast<const SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}
#else
struct SharedKeys {  // struct _dictkeysobject
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[1];
};
struct SharedKeysEntry {  // PyDictKeyEntry
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
static inline const SharedKeysEntry* shared_entries(const SharedKeys* keys) noexcept {
    const Py_ssize_t index_bytes = keys->size <= 0xff ? 1 : keys->size <= 0xffff ? 2 : keys->size <= 0xffffffff ? 4 : 8;
    const char* indices = reinterpret_cast<const char*>(keys) + offsetof(SharedKeys, indices);
    return reinterpret_cast<const SharedKeysEntry*>(indices + keys->size * index_bytes);
}
static inline const SharedKeys* shared_keys_of(PyTypeObject* type) noexcept {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    return reinterpret_cast<const SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}
#endif

static inline Py_ssize_t own_key(PyTypeObject* type, PyObject* name, PyObject** key) noexcept {
    const SharedKeys* keys = PyUnicode_CheckExact(name) ? shared_keys_of(type) : nullptr;
    if (!keys) return -1;
    const SharedKeysEntry* entries = shared_entries(keys);
    // The keys are exact str: hashing and comparing them runs no code.
    const Py_hash_t hash = PyObject_Hash(name);
    for (Py_ssize_t k = 0; k < keys->nentries; ++k) {
        PyObject* kept = entries[k].key;
        if (kept == name ||
            (kept && PyUnicode_CheckExact(kept) && PyObject_Hash(kept) == hash && PyUnicode_Compare(kept, name) == 0)) {
            *key = kept;
            return k;
        }
    }
    return -1;
}

static inline PyObject* own_attribute(PyObject* obj, PyObject* key, Py_ssize_t index) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    const SharedKeys* keys = shared_keys_of(Py_TYPE(obj));
    if (!keys || index >= keys->nentries || shared_entries(keys)[index].key != key) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    struct Values {  // struct _dictvalues, up to its array of values
        uint8_t capacity, size, embedded, valid;
        PyObject* first;
    };
    const auto* values = reinterpret_cast<const Values*>(reinterpret_cast<char*>(obj) + Py_TYPE(obj)->tp_basicsize);
    PyObject* const* slots = &values->first;
    return values->valid && index < values->capacity ? slots[index] : nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    // The managed dict or, tagged by its lowest bit, the values minus one byte.
    const std::uintptr_t tagged = reinterpret_cast<std::uintptr_t*>(obj)[-3];
    return (tagged & 1) ? reinterpret_cast<PyObject**>(tagged + 1)[index] : nullptr;
#else
    PyObject** values = reinterpret_cast<PyObject***>(obj)[-4];
    return values ? values[index] : nullptr;
#endif
#else
    PyObject** place = Py_TYPE(obj)->tp_dictoffset ? _PyObject_GetDictPtr(obj) : nullptr;
    auto* dict = place ? reinterpret_cast<PyDictObject*>(*place) : nullptr;
    if (!dict || !PyDict_CheckExact(dict) || !dict->ma_values) return nullptr;
    const auto* keys = reinterpret_cast<const SharedKeys*>(dict->ma_keys);
    if (index >= keys->nentries || shared_entries(keys)[index].key != key) return nullptr;
    return dict->ma_values[index];
#endif
}
#endif

// Up to 3.11 a garbage collection (and with it any __del__ or weakref
// callback) can start inside an allocation of a tracked object; from 3.12
// the allocation only schedules it for the interpreter's next check.
static constexpr bool gc_runs_in_allocation = PY_VERSION_HEX < 0x030C0000;

// The builtins that the Python function `func`, called now, resolves names in
// (borrowed; nullptr, with no error set, when it would run without any). From
// 3.10 a function keeps its own, taken from its globals when it was made.
// Before, each frame takes its globals' __builtins__, a module standing for
// its dict; see also frame_shares_caller_builtins.
static inline PyObject* function_builtins(PyObject* func) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    return reinterpret_cast<PyFunctionObject*>(func)->func_builtins;
#else
    PyObject* builtins = PyDict_GetItemString(PyFunction_GET_GLOBALS(func), "__builtins__");
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    return builtins;
#endif
}

// Whether a Python function with `globals`, called now, takes the calling
// frame's builtins rather than function_builtins: before 3.10 a frame called
// from one with the same globals shares that frame's builtins.
#if PY_VERSION_HEX >= 0x030A0000
static inline bool frame_shares_caller_builtins(PyObject*) noexcept { return false; }
#else
static inline bool frame_shares_caller_builtins(PyObject* globals) noexcept {
    PyFrameObject* caller = PyEval_GetFrame();
    return caller && caller->f_globals == globals;
}
#endif

// Keyword names of code.replace() that differ by version: the line table
// (co_lnotab before 3.10) and the fields that only 3.11+ accept.
static constexpr const char* code_line_table_keyword =
#if PY_VERSION_HEX >= 0x030A0000
    "co_linetable";
#else
    "co_lnotab";
#endif
static constexpr bool code_has_qualname = PY_VERSION_HEX >= 0x030B0000;
// From 3.11 an executed code object with really empty bytecode crashes the
// interpreter; keep the small raising body that PyCode_NewEmpty makes there,
// with the stack it needs and its line table (all at the first line, as an
// empty table meant before 3.11; an empty one there breaks traceback
// printing). Before 3.11 empty bytecode raises SystemError.
static constexpr bool code_keep_empty_body = PY_VERSION_HEX >= 0x030B0000;

// Attributes that plain functions have from these versions on; the module's
// function type has them where they do.
static constexpr bool function_has_type_params = PY_VERSION_HEX >= 0x030C0000;
static constexpr bool function_has_annotate = PY_VERSION_HEX >= 0x030E0000;

// A plain function's fields behind those two attributes, borrowed (nullptr
// when unset, and before the version that has the attribute). Reading the
// attribute gives the field, or () and None when it is unset.
static inline PyObject* function_type_params_field(PyFunctionObject* func) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return func->func_typeparams;
#else
    (void)func;
    return nullptr;
#endif
}
static inline PyObject* function_annotate_field(PyFunctionObject* func) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return func->func_annotate;
#else
    (void)func;
    return nullptr;
#endif
}

}  // namespace orvex::abstract::compat
