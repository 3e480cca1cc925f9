// The module's own function type and what every function body needs: argument
// binding with the module's messages, code objects, traceback entries, and
// the small runtime helpers (name lookup at call time, presence test, message
// joining, raising inside a handler). Used by lookup/, tokens/ and decorator.cpp.
//
// Rules of use:
//  - A body receives its bound parameters in an Arguments record (positional
//    parameters, then keyword-only, then *args, then **kwargs) and returns a
//    new reference, or nullptr with an exception set.
//  - A body that fails calls `fail(self, line)` once, where it fails, so that
//    the exception gets the function's traceback entry at that line.
#pragma once

#include <Python.h>

#include "../ref.hpp"
#include "../state.hpp"

namespace orvex::abstract {

struct FunctionObject;

// Bound parameters of one call, each an owned reference (or empty).
struct Arguments {
    static constexpr int capacity = 5;
    Ref slot[capacity];
    PyObject* operator[](int i) const noexcept { return slot[i].get(); }
};

using Body = PyObject* (*)(FunctionObject* self, Arguments& args) noexcept;
// For a function of *args and **kwargs only, the body called without
// keywords: the positional arguments as the tuple they came in.
using PositionalBody = PyObject* (*)(FunctionObject* self, PyObject* args) noexcept;

// The file name of the module's code objects and traceback entries. No such
// file exists: the line numbers only tell which step failed.
inline constexpr char source_file[] = "src/orvex/abstract/decorator";

// What a definition makes once, at import, and keeps for the life of the
// process (a failed initialisation fills what is missing on the next try).
struct FunctionCache {
    PyObject* name;    // __name__ and co_name (str)
    PyObject* params;  // named parameters, positional then keyword-only (tuple of str)
    PyObject* code;    // the introspection code object, also __code__
};

// A definition: everything about a function that does not change at run time.
// Each room defines its own, with the cache beside it.
struct FunctionDef {
    FunctionCache* cache;
    const char* name;            // the definition's name: __name__, co_name, argument messages
    const char* traceback_name;  // "orvex.abstract.decorator." + qualified path
    int first_line;
    int flags;                    // code object flags (CO_OPTIMIZED | CO_NEWLOCALS [| CO_VARARGS | CO_VARKEYWORDS])
    int n_positional;             // positional-or-keyword parameters
    int n_required;               // leading positional parameters without a default
    int n_kwonly;                 // keyword-only parameters (all with defaults here)
    const char* const* varnames;  // local names, parameters first
    int n_varnames;
    Body body;
    PositionalBody positional_body = nullptr;  // optional, for *args, **kwargs only

    constexpr bool var_positional() const noexcept { return flags & CO_VARARGS; }
    constexpr bool var_keyword() const noexcept { return flags & CO_VARKEYWORDS; }
    constexpr int n_named() const noexcept { return n_positional + n_kwonly; }
    // Slots of Arguments that binding fills: named parameters, *args, **kwargs.
    constexpr int n_parameters() const noexcept { return n_named() + var_positional() + var_keyword(); }
};

// A definition whose local names are counted from the array. Definitions are
// constexpr, so that each file can check its own with definition_fits.
template <size_t N>
constexpr FunctionDef define(FunctionCache& cache, const char* name, const char* traceback_name, int first_line,
                             int flags, int n_positional, int n_required, int n_kwonly,
                             const char* const (&varnames)[N], Body body) noexcept {
    return FunctionDef{&cache,     name,     traceback_name, first_line,          flags, n_positional,
                       n_required, n_kwonly, varnames,       static_cast<int>(N), body};
}

// `def` with a body for calls without keywords (see PositionalBody).
constexpr FunctionDef with_positional_body(FunctionDef def, PositionalBody body) noexcept {
    def.positional_body = body;
    return def;
}

// Whether binding fits in Arguments and every parameter has a local name.
constexpr bool definition_fits(const FunctionDef& def) noexcept {
    return def.n_parameters() <= Arguments::capacity && def.n_parameters() <= def.n_varnames &&
           def.n_required <= def.n_positional && (!def.positional_body || def.n_named() == 0);
}

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* name;         // __name__ (str)
    PyObject* qualname;     // __qualname__ (str)
    PyObject* doc;          // __doc__ (any object)
    PyObject* module;       // __module__ (nullptr reads as None)
    PyObject* globals;      // module namespace
    PyObject* code;         // __code__
    PyObject* closure;      // the dispatch wrapper's closure record once asked for, else nullptr
    PyObject* record_func;  // the dispatch wrapper's two variables until then
    PyObject* record_instance;
    PyObject* defaults;         // stored defaults: positional ones, then keyword-only ones
    PyObject* defaults_view;    // __defaults__ once read or assigned
    PyObject* kwdefaults_view;  // __kwdefaults__ once read or assigned
    PyObject* annotations;      // __annotations__ once read, computed or assigned
    PyObject* annotate;         // __annotate__ (3.14+): None or a callable, nullptr when unset
    PyObject* type_params;      // __type_params__ (3.12+): a tuple, nullptr reads as ()
    PyObject* dict;             // attribute dictionary, made on first use
    PyObject* wrapped;          // __wrapped__ while the dict that would hold it is not made
    PyObject* weakreflist;
};

extern PyTypeObject function_type;

// Makes the function type ready. Returns 0, or -1 with an exception set.
int function_type_ready() noexcept;

// Makes a function object. `qualname`, `doc`, `globals`, `closure` and
// `defaults` are borrowed (the last two may be nullptr). The name and code
// object come from the definition's cache. Returns a new reference, or nullptr with an exception set.
PyObject* function_new(const FunctionDef& def, PyObject* qualname, PyObject* doc, PyObject* globals, PyObject* closure,
                       PyObject* defaults) noexcept;

// The closure record of a dispatch wrapper, made when it is first asked for
// from the two variables that the wrapper keeps until then, which it takes
// (lookup/closure.cpp). New reference, or nullptr with an exception set.
PyObject* closure_record_of(PyObject*& func, PyObject*& instance) noexcept;

// Gives `function` (fresh from function_new, with no dict) `value` as
// __wrapped__, as storing it in its dict would, without making the dict: it
// is made, the value its first entry, once anything asks for it.
void function_defer_wrapped(PyObject* function, PyObject* value) noexcept;

// Calls `function` (an object of function_type, borrowed) with positional
// arguments only, exactly as calling it from Python would, but without an
// argument tuple when they bind plainly. Returns a new reference or nullptr.
PyObject* function_call_positional(PyObject* function, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Binds `args` (a tuple) and `kwargs` (a dict or nullptr, both borrowed) to the
// parameters of `def`. Returns 0, or -1 with the module's TypeError set.
int bind_arguments(const FunctionDef& def, PyObject* stored_defaults, PyObject* args, PyObject* kwargs,
                   Arguments& out) noexcept;

// Makes the name, parameter-name tuple and introspection code object in the
// cache of `def` unless they exist. Returns 0, or -1 with an exception set.
int make_code(const FunctionDef& def, PyObject* qualname) noexcept;

// What module initialisation (decorator.cpp) gives the rooms whose parts of
// the namespace it has them make: the namespace, and failing at a line.
class InitSteps {
public:
    PyObject* ns = nullptr;  // the module namespace, borrowed from the module

    // Adds the "init ..." traceback entry at `line`; returns -1.
    virtual int fail(int line) noexcept = 0;

    // target[key] = the module's function for `def`. Returns 0, or -1 after fail().
    int store_function(PyObject* target, PyObject* key, const FunctionDef& def, PyObject* qualname, PyObject* doc,
                       PyObject* defaults) noexcept;

protected:
    ~InitSteps() = default;
};

// Adds a traceback entry named `name` at `line`, with `globals` as the frame's
// globals, to the pending exception. Never fails: if the entry cannot be made
// the pending exception is kept as it is.
void add_traceback(const char* name, int line, PyObject* globals) noexcept;

// Adds `self`'s traceback entry at `line`; returns nullptr for `return fail(...)`.
inline PyObject* fail(FunctionObject* self, int line) noexcept {
    add_traceback(self->def->traceback_name, line, self->globals);
    return nullptr;
}

// The same for helpers that return an int status: -1.
inline int fail_status(FunctionObject* self, int line) noexcept {
    fail(self, line);
    return -1;
}

// Looks `name` up in `globals`, then in the builtins module; neither having it
// raises NameError "name '%U' is not defined". Returns a new reference or nullptr.
PyObject* lookup_global(PyObject* globals, PyObject* name) noexcept;
// Its second half: `name` in the builtins module, or NameError.
PyObject* lookup_builtin(PyObject* name) noexcept;

// The presence test: 1 when reading `name` on `obj` succeeds, 0 when the read
// raises anything (the exception is cleared), -1 with TypeError when `name`
// is not a str.
int has_attr(PyObject* obj, PyObject* name) noexcept;

// Joins the str() of each item with no separator. Items that are exact str are
// used as they are. Returns a new reference or nullptr.
PyObject* join_str(PyObject* const* items, Py_ssize_t n) noexcept;

// Raises the object that `exc_type(message)` returns; `message` is borrowed.
// Returns nullptr.
PyObject* raise_new(PyObject* exc_type, PyObject* message) noexcept;

// Takes the pending exception out (new reference, normalised) if it is an
// instance of `type` once normalised, as an `except type:` clause matches, so
// that the handler's code can run; pair with chain_to_handled(). Otherwise,
// and when normalising fails (MemoryError), the exception stays pending and
// the result is empty.
Ref take_if(PyObject* type) noexcept;

// Gives the exception now pending `handled` as its __context__, as raising
// inside an `except` block does. `handled` is consumed.
void chain_to_handled(Ref handled) noexcept;

}  // namespace orvex::abstract
