// Argument binding for the module's functions, with the module's own
// messages and count rules. Called by the function type's tp_call.
//
// Order of checks, which the messages depend on:
//  1. too many positional arguments (no *args): the count error;
//  2. with keywords: each unfilled positional parameter is taken from the
//     keywords in order; the first required one missing is a count error whose
//     "given" is its index; then keyword-only parameters are taken;
//  3. if keywords remain, or one is not a str, every keyword is checked in
//     dict order: not a str, a parameter already given by position, unknown
//     (no **kwargs);
//  4. without keywords: too few positional arguments is the count error.
#include "function.hpp"

namespace orvex::abstract {

namespace {

int count_error(const FunctionDef& def, Py_ssize_t given) noexcept {
    const bool exact = def.n_required == def.n_positional && !def.var_positional();
    const char* word;
    Py_ssize_t expected;
    if (given < def.n_required) {
        word = "at least";
        expected = def.n_required;
    } else {
        word = "at most";
        expected = def.n_positional;
    }
    if (exact) word = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, word,
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

int keywords_not_strings(const FunctionDef& def) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
    return -1;
}

// Index of the parameter named `key` among names[from, to), or -1. Compares
// identity first (interned names), then text; runs no Python code.
int find_name(PyObject* names, int from, int to, PyObject* key) noexcept {
    for (int k = from; k < to; ++k)
        if (PyTuple_GET_ITEM(names, k) == key) return k;
    for (int k = from; k < to; ++k) {
        PyObject* name = PyTuple_GET_ITEM(names, k);
        if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(name, key) == 0) return k;
    }
    return -1;
}

// Whether every key of `dict` is a str; runs no Python code.
bool keys_are_strings(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_Check(key)) return false;
    return true;
}

// The var-keyword-only functions (`*args, **kwargs`): keyword names must be
// str; the keywords arrive as a private copy, or not at all when there are none.
int bind_star_only(const FunctionDef& def, PyObject* args, PyObject* kwargs, Arguments& out) noexcept {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        if (!keys_are_strings(kwargs)) return keywords_not_strings(def);
        out.slot[1] = Ref::steal(PyDict_Copy(kwargs));
        if (!out.slot[1]) return -1;
    }
    out.slot[0] = Ref::borrow(args);
    return 0;
}

}  // namespace

int bind_arguments(const FunctionDef& def, PyObject* stored_defaults, PyObject* args, PyObject* kwargs,
                   Arguments& out) noexcept {
    if (def.n_named() == 0) return bind_star_only(def, args, kwargs, out);

    const Py_ssize_t n_args = PyTuple_GET_SIZE(args);
    const int n_pos = def.n_positional;
    const int n_named = def.n_named();
    PyObject* names = def.cache->params;
    const bool has_keywords = kwargs && PyDict_GET_SIZE(kwargs) > 0;

    if (n_args > n_pos && !def.var_positional()) return count_error(def, n_args);
    const int used_pos = n_args < n_pos ? static_cast<int>(n_args) : n_pos;
    for (int k = 0; k < used_pos; ++k) out.slot[k] = Ref::borrow(PyTuple_GET_ITEM(args, k));

    Ref var_keyword;
    if (def.var_keyword()) {
        var_keyword = Ref::steal(PyDict_New());
        if (!var_keyword) return -1;
    }

    if (has_keywords) {
        // A private copy: the caller's dict is never held across code that may
        // run Python (str subclasses' __hash__ when building **kwargs).
        Ref kw = Ref::steal(PyDict_Copy(kwargs));
        if (!kw) return -1;
        Py_ssize_t left = PyDict_GET_SIZE(kw.get());
        for (int k = used_pos; k < n_named; ++k) {
            PyObject* value = PyDict_GetItemWithError(kw.get(), PyTuple_GET_ITEM(names, k));
            if (!value && PyErr_Occurred()) return -1;
            if (value) {
                out.slot[k] = Ref::borrow(value);
                --left;
            } else if (k < def.n_required) {
                return count_error(def, k);
            }
        }
        // A key that is not a str but equals a parameter's name was taken by
        // the lookups above; the walk in dict order refuses it in its turn.
        if (left > 0 || !keys_are_strings(kw.get())) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kw.get(), &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) return keywords_not_strings(def);
                int k = find_name(names, used_pos, n_named, key);
                if (k >= 0) {
                    out.slot[k] = Ref::borrow(value);
                    continue;
                }
                if (find_name(names, 0, used_pos, key) >= 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
                    return -1;
                }
                if (!var_keyword) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
                    return -1;
                }
                Ref held_key = Ref::borrow(key);
                Ref held_value = Ref::borrow(value);
                if (PyDict_SetItem(var_keyword.get(), held_key.get(), held_value.get()) < 0) return -1;
            }
        }
    } else if (n_args < def.n_required) {
        return count_error(def, n_args);
    }

    // Omitted parameters always take the stored defaults, whatever
    // __defaults__ and __kwdefaults__ say now.
    for (int k = def.n_required; k < n_named; ++k)
        if (!out.slot[k]) out.slot[k] = Ref::borrow(PyTuple_GET_ITEM(stored_defaults, k - def.n_required));

    int next = n_named;
    if (def.var_positional()) {
        if (n_args > n_pos)
            out.slot[next] = Ref::steal(PyTuple_GetSlice(args, n_pos, n_args));
        else
            out.slot[next] = Ref::borrow(state.empty_tuple);
        if (!out.slot[next]) return -1;
        ++next;
    }
    if (def.var_keyword()) out.slot[next] = std::move(var_keyword);
    return 0;
}

}  // namespace orvex::abstract
