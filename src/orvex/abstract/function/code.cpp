// Code objects: the introspection code object of each function (signature,
// local names, first line), and the cached code objects behind traceback
// entries, one per (entry name, line) since a frame's line comes from its
// code object's first line.
#include "../compat.hpp"
#include "function.hpp"

namespace orvex::abstract {

namespace {

// The code object behind the traceback entry `name` at `line`, made once and
// kept in state.traceback_codes under (address of name, line): names are the
// static strings of the definitions. New reference, or nullptr.
PyObject* traceback_code(const char* name, int line) noexcept {
    if (!state.traceback_codes) {
        Ref codes = Ref::steal(PyDict_New());
        if (!codes) return nullptr;
        set_field(state.traceback_codes, std::move(codes));
    }
    Ref key = Ref::steal(Py_BuildValue("(ni)", reinterpret_cast<Py_ssize_t>(name), line));
    if (!key) return nullptr;
    if (PyObject* known = PyDict_GetItemWithError(state.traceback_codes, key.get()))
        return Ref::borrow(known).release();
    if (PyErr_Occurred()) return nullptr;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, name, line)));
    if (!code) return nullptr;
    // Optimised, new locals: the frame then shows no locals (rather than
    // the module namespace) to tools that capture them.
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i}", "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    if (!kwargs) return nullptr;
    Ref flagged = Ref::steal(PyObject_Call(replace.get(), state.empty_tuple, kwargs.get()));
    if (!flagged) return nullptr;
    // Making it may have run code that stored one for this key: keep that.
    PyObject* kept = PyDict_SetDefault(state.traceback_codes, key.get(), flagged.get());
    return kept ? Ref::borrow(kept).release() : nullptr;
}

int set_item(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    return value ? PyDict_SetItem(dict, key, value) : -1;
}

}  // namespace

void add_traceback(const char* name, int line, PyObject* globals) noexcept {
    // As CPython adds its own entries: the pending exception is taken out
    // while the entry is built, and if building it fails, that failure (a
    // MemoryError) is what propagates, with the exception as its context.
    Ref exc = Ref::steal(compat::exc_take());
    if (!exc) return;
    if (!globals || !state.empty_tuple) {
        compat::exc_give(exc.release());
        return;
    }
    Ref code = Ref::steal(traceback_code(name, line));
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)))
                     : Ref();
    if (!frame) {
        chain_to_handled(std::move(exc));
        return;
    }
    Ref kept = Ref::borrow(exc.get());
    compat::exc_give(exc.release());
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) chain_to_handled(std::move(kept));
}

int make_code(const FunctionDef& def, PyObject* qualname) noexcept {
    FunctionCache& cache = *def.cache;
    if (!cache.name) {
        Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
        if (!name) return -1;
        set_field(cache.name, std::move(name));
    }
    if (!cache.params) {
        Ref params = Ref::steal(PyTuple_New(def.n_named()));
        if (!params) return -1;
        for (int k = 0; k < def.n_named(); ++k) {
            PyObject* name = PyUnicode_InternFromString(def.varnames[k]);
            if (!name) return -1;
            PyTuple_SET_ITEM(params.get(), k, name);
        }
        set_field(cache.params, std::move(params));
    }
    if (cache.code) return 0;

    Ref varnames = Ref::steal(PyTuple_New(def.n_varnames));
    if (!varnames) return -1;
    for (int k = 0; k < def.n_varnames; ++k) {
        PyObject* name = PyUnicode_InternFromString(def.varnames[k]);
        if (!name) return -1;
        PyTuple_SET_ITEM(varnames.get(), k, name);
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, def.name, def.first_line)));
    if (!empty) return -1;
    Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), state.str_replace));
    if (!replace) return -1;
    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return -1;
    const int n_args = def.n_positional;
    if (set_item(kw.get(), state.str_co_argcount, Ref::steal(PyLong_FromLong(n_args)).get()) < 0 ||
        set_item(kw.get(), state.str_co_kwonlyargcount, Ref::steal(PyLong_FromLong(def.n_kwonly)).get()) < 0 ||
        set_item(kw.get(), state.str_co_flags, Ref::steal(PyLong_FromLong(def.flags)).get()) < 0 ||
        PyDict_SetItem(kw.get(), state.str_co_varnames, varnames.get()) < 0 ||
        set_item(kw.get(), state.str_co_nlocals, Ref::steal(PyLong_FromLong(def.n_varnames)).get()) < 0)
        return -1;
    if (!compat::code_keep_empty_body) {
        if (PyDict_SetItem(kw.get(), state.str_co_code, state.empty_bytes) < 0 ||
            set_item(kw.get(), state.str_co_stacksize, Ref::steal(PyLong_FromLong(0)).get()) < 0 ||
            PyDict_SetItemString(kw.get(), compat::code_line_table_keyword, state.empty_bytes) < 0)
            return -1;
    }
    if (compat::code_has_qualname) {
        if (PyDict_SetItem(kw.get(), state.str_co_qualname, qualname) < 0 ||
            PyDict_SetItem(kw.get(), state.str_co_exceptiontable, state.empty_bytes) < 0)
            return -1;
    }
    Ref code = Ref::steal(PyObject_Call(replace.get(), state.empty_tuple, kw.get()));
    if (!code) return -1;
    set_field(cache.code, std::move(code));
    return 0;
}

}  // namespace orvex::abstract
