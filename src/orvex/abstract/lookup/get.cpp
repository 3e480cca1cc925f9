// LookupDecorator.__get__: on every fetch through an object, find the package
// root and its abstraction package, collect the tokens, build the search
// paths, ask the package for the class that stands in for the owner, walk to
// a nested class, take the method, and hand back a dispatch wrapper.
// Every attribute is read at the moment its step runs (nothing is cached),
// and every object read is held across the calls that follow it.
#include "../compat.hpp"
#include "lookup_decorator.hpp"

namespace orvex::abstract {

namespace {

// obj.<name>(arg): one positional argument; new reference or nullptr.
PyObject* call_method_one(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return nullptr;
    return PyObject_CallFunctionObjArgs(method.get(), arg, nullptr);
}

// The truth of <text>.endswith("__init__.py") for `module.__file__`:
// 1, 0, or -1 with an exception set.
int file_is_package_init(PyObject* module) noexcept {
    Ref file = Ref::steal(PyObject_GetAttr(module, state.str_dunder_file));
    if (!file) return -1;
    Ref ends = Ref::steal(call_method_one(file.get(), state.str_endswith, state.str_init_py));
    if (!ends) return -1;
    return PyObject_IsTrue(ends.get());
}

// sys.modules, with `sys` looked up in the module namespace now.
PyObject* sys_modules(FunctionObject* self) noexcept {
    Ref sys = Ref::steal(lookup_global(self->globals, state.str_sys));
    if (!sys) return nullptr;
    return PyObject_GetAttr(sys.get(), state.str_modules);
}

// The owner class's package root module: its own module when that is a
// package's __init__, else the nearest enclosing package found in sys.modules.
// New reference, or nullptr after fail().
PyObject* find_root_module(FunctionObject* self, PyObject* owner) noexcept {
    Ref module;
    {
        Ref modules = Ref::steal(sys_modules(self));
        if (!modules) return fail(self, 152);
        Ref module_name = Ref::steal(PyObject_GetAttr(owner, state.str_dunder_module));
        if (!module_name) return fail(self, 152);
        module = Ref::steal(PyObject_GetItem(modules.get(), module_name.get()));
        if (!module) return fail(self, 152);
    }
    int is_root = file_is_package_init(module.get());
    if (is_root < 0) return fail(self, 154);
    if (is_root) return module.release();

    Ref names;
    {
        Ref name = Ref::steal(PyObject_GetAttr(module.get(), state.str_dunder_name));
        if (!name) return fail(self, 155);
        names = Ref::steal(call_method_one(name.get(), state.str_split, state.str_dot));
        if (!names) return fail(self, 155);
    }
    const Py_ssize_t n = PyObject_Size(names.get());
    if (n < 0) return fail(self, 157);
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        Ref head = Ref::steal(PySequence_GetSlice(names.get(), 0, i));
        if (!head) return fail(self, 158);
        Ref parent = Ref::steal(PyUnicode_Join(state.str_dot, head.get()));
        if (!parent) return fail(self, 158);

        int found = -1;
        if (Ref modules = Ref::steal(sys_modules(self))) {
            if (Ref candidate = Ref::steal(PyObject_GetItem(modules.get(), parent.get())))
                found = file_is_package_init(candidate.get());
        }
        if (found < 0) {
            // A missing entry or an unusable __file__ only means "not here".
            if (!PyErr_ExceptionMatches(state.builtin_KeyError) &&
                !PyErr_ExceptionMatches(state.builtin_AttributeError))
                return fail(self, 161);
            PyErr_Clear();
            continue;
        }
        if (!found) continue;

        Ref modules = Ref::steal(sys_modules(self));
        if (!modules) return fail(self, 169);
        PyObject* root = PyObject_GetItem(modules.get(), parent.get());
        if (!root) return fail(self, 169);
        return root;
    }

    // The walk found no package. The discarded errors are not chained.
    Ref file = Ref::steal(PyObject_GetAttr(module.get(), state.str_dunder_file));
    if (!file) return fail(self, 167);
    Ref message = Ref::steal(PyUnicode_Format(state.str_msg_no_package, file.get()));
    if (message) raise_new(state.builtin_LookupError, message.get());
    return fail(self, 166);
}

// The root module's abstraction package, made on first use and asked to
// learn on every fetch. New reference, or nullptr after fail().
PyObject* abstraction_package(FunctionObject* self, PyObject* owner) noexcept {
    Ref module = Ref::steal(find_root_module(self, owner));
    if (!module) return nullptr;
    Ref module_name = Ref::steal(PyObject_GetAttr(module.get(), state.str_dunder_name));
    if (!module_name) return fail(self, 171);
    // Any exception counts as "no package yet".
    if (!has_attr(module.get(), state.str_abstract_pkg)) {
        Ref factory = Ref::steal(lookup_global(self->globals, state.str_AbstractPackage));
        if (!factory) return fail(self, 176);
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs || PyDict_SetItem(kwargs.get(), state.str_delay, Py_True) < 0) return fail(self, 176);
        Ref args = Ref::steal(PyTuple_Pack(1, module_name.get()));
        if (!args) return fail(self, 176);
        Ref made = Ref::steal(PyObject_Call(factory.get(), args.get(), kwargs.get()));
        if (!made || PyObject_SetAttr(module.get(), state.str_abstract_pkg, made.get()) < 0) return fail(self, 176);
    }
    // Read again: another thread (or the constructor) may have stored another.
    Ref package = Ref::steal(PyObject_GetAttr(module.get(), state.str_abstract_pkg));
    if (!package) return fail(self, 179);
    Ref learn = Ref::steal(PyObject_GetAttr(package.get(), state.str_learn));
    if (!learn) return fail(self, 182);
    Ref learned = Ref::steal(compat::call_no_args(learn.get()));
    if (!learned) return fail(self, 182);
    return package.release();
}

// self._getter(instance, self._attrs)
PyObject* collect_tokens(FunctionObject* self, PyObject* decorator, PyObject* instance) noexcept {
    Ref getter = Ref::steal(PyObject_GetAttr(decorator, state.str_priv_getter));
    if (!getter) return fail(self, 185);
    Ref attrs = Ref::steal(PyObject_GetAttr(decorator, state.str_priv_attrs));
    if (!attrs) return fail(self, 185);
    PyObject* tokens = PyObject_CallFunctionObjArgs(getter.get(), instance, attrs.get(), nullptr);
    if (!tokens) return fail(self, 185);
    return tokens;
}

// self._builder(tokens, **self._builder_kwargs), the keywords always from a
// fresh dict: the builder never sees the decorator's own mapping.
PyObject* build_sequence(FunctionObject* self, PyObject* decorator, PyObject* tokens) noexcept {
    Ref builder = Ref::steal(PyObject_GetAttr(decorator, state.str_priv_builder));
    if (!builder) return fail(self, 188);
    Ref stored = Ref::steal(PyObject_GetAttr(decorator, state.str_priv_builder_kwargs));
    if (!stored) return fail(self, 188);
    Ref kwargs;
    if (stored.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return fail(self, 188);
    }
    if (PyDict_CheckExact(stored.get()))
        kwargs = Ref::steal(PyDict_Copy(stored.get()));
    else
        kwargs = Ref::steal(compat::call_one_arg(reinterpret_cast<PyObject*>(&PyDict_Type), stored.get()));
    if (!kwargs) return fail(self, 188);
    Ref args = Ref::steal(PyTuple_Pack(1, tokens));
    if (!args) return fail(self, 188);
    PyObject* sequence = PyObject_Call(builder.get(), args.get(), kwargs.get());
    if (!sequence) return fail(self, 188);
    return sequence;
}

// relpath = tuple(owner.__module__.split(".")); name, *rest = owner.__qualname__.split(".")
int target_name(FunctionObject* self, PyObject* owner, Ref& relpath, Ref& name, Ref& rest) noexcept {
    {
        Ref module_name = Ref::steal(PyObject_GetAttr(owner, state.str_dunder_module));
        if (!module_name) return fail_status(self, 191);
        Ref parts = Ref::steal(call_method_one(module_name.get(), state.str_split, state.str_dot));
        if (!parts) return fail_status(self, 191);
        relpath = Ref::steal(PySequence_Tuple(parts.get()));
        if (!relpath) return fail_status(self, 191);
    }
    Ref qualname = Ref::steal(PyObject_GetAttr(owner, state.str_dunder_qualname));
    if (!qualname) return fail_status(self, 195);
    Ref split = Ref::steal(call_method_one(qualname.get(), state.str_split, state.str_dot));
    if (!split) return fail_status(self, 195);
    Ref parts = Ref::steal(PySequence_List(split.get()));
    if (!parts) return fail_status(self, 195);
    const Py_ssize_t n = PyList_GET_SIZE(parts.get());
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected at least 1, got %zd)", n);
        return fail_status(self, 195);
    }
    name = Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
    rest = Ref::steal(PyList_GetSlice(parts.get(), 1, n));
    if (!rest) return fail_status(self, 195);
    return 0;
}

// Asks the package, search path by search path, for the class that stands in
// for the owner. A LookupError moves on to the next path; the first call that
// returns ends the search, whatever it returned.
PyObject* search(FunctionObject* self, PyObject* package, PyObject* sequence, PyObject* relpath,
                 PyObject* name) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(sequence));
    if (!iterator) return fail(self, 199);
    Ref cls = Ref::borrow(Py_None);
    // With an empty sequence no path was tried: the message shows None.
    Ref seq = Ref::borrow(Py_None);
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return fail(self, 199);
            break;
        }
        seq = std::move(item);
        Ref lookup = Ref::steal(PyObject_GetAttr(package, state.str_lookup));
        Ref found;
        if (lookup)
            found = Ref::steal(PyObject_CallFunctionObjArgs(lookup.get(), relpath, seq.get(), name, nullptr));
        if (found) {
            cls = std::move(found);
            break;
        }
        if (!PyErr_ExceptionMatches(state.builtin_LookupError)) return fail(self, 201);
        PyErr_Clear();
    }
    const int truth = PyObject_IsTrue(cls.get());
    if (truth < 0) return fail(self, 207);
    if (truth) return cls.release();
    PyObject* pieces[] = {state.str_msg_not_found, relpath, state.str_msg_search_path, seq.get(),
                          state.str_msg_target, name};
    Ref message = Ref::steal(join_str(pieces, 6));
    if (!message) return fail(self, 212);
    raise_new(state.builtin_LookupError, message.get());
    return fail(self, 208);
}

// "Class '<qualname>' in '<module>' is missing method definition '<what>'",
// raised while the AttributeError `handled` is handled. Returns nullptr.
PyObject* missing_definition(FunctionObject* self, PyObject* cls, PyObject* what, Ref handled, int read_line,
                             int raise_line) noexcept {
    Ref qualname = Ref::steal(PyObject_GetAttr(cls, state.str_dunder_qualname));
    Ref module = qualname ? Ref::steal(PyObject_GetAttr(cls, state.str_dunder_module)) : Ref();
    Ref message;
    if (module) {
        PyObject* pieces[] = {state.str_msg_class, qualname.get(), state.str_msg_in, module.get(),
                              state.str_msg_missing_method, what, state.str_msg_quote};
        message = Ref::steal(join_str(pieces, 7));
    }
    int line = read_line;
    if (message) {
        raise_new(state.builtin_LookupError, message.get());
        line = raise_line;
    }
    chain_to_handled(std::move(handled));
    return fail(self, line);
}

// Walks from the found class down the rest of the owner's qualified name.
PyObject* walk_nested(FunctionObject* self, Ref cls, PyObject* rest) noexcept {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(rest); ++k) {
        Ref attr = Ref::borrow(PyList_GET_ITEM(rest, k));
        Ref inner = Ref::steal(PyObject_GetAttr(cls.get(), attr.get()));
        if (!inner) {
            Ref handled = take_if(state.builtin_AttributeError);
            if (!handled) return fail(self, 216);
            return missing_definition(self, cls.get(), attr.get(), std::move(handled), 219, 218);
        }
        cls = std::move(inner);
    }
    return cls.release();
}

// getattr(cls, self._method_name), as the class fetch returns it.
PyObject* take_method(FunctionObject* self, PyObject* decorator, PyObject* cls) noexcept {
    Ref method_name = Ref::steal(PyObject_GetAttr(decorator, state.str_priv_method_name));
    Ref func = method_name ? Ref::steal(PyObject_GetAttr(cls, method_name.get())) : Ref();
    if (func) return func.release();
    Ref handled = take_if(state.builtin_AttributeError);
    if (!handled) return fail(self, 222);
    // Each piece of the message has its own line; the name is read again.
    int line = 225;
    Ref qualname = Ref::steal(PyObject_GetAttr(cls, state.str_dunder_qualname));
    Ref module, name_again;
    if (qualname) {
        line = 226;
        module = Ref::steal(PyObject_GetAttr(cls, state.str_dunder_module));
    }
    if (module) {
        line = 227;
        name_again = Ref::steal(PyObject_GetAttr(decorator, state.str_priv_method_name));
    }
    if (name_again) {
        line = 224;
        PyObject* pieces[] = {state.str_msg_class, qualname.get(), state.str_msg_in, module.get(),
                              state.str_msg_missing_method, name_again.get(), state.str_msg_quote};
        Ref message = Ref::steal(join_str(pieces, 7));
        if (message) raise_new(state.builtin_LookupError, message.get());
    }
    chain_to_handled(std::move(handled));
    return fail(self, line);
}

// functools.wraps(func)(wrapper), with wraps(func) called before the wrapper exists.
PyObject* make_wrapper(FunctionObject* self, PyObject* record) noexcept {
    Ref functools = Ref::steal(lookup_global(self->globals, state.str_functools));
    if (!functools) return fail(self, 229);
    Ref wraps = Ref::steal(PyObject_GetAttr(functools.get(), state.str_wraps));
    if (!wraps) return fail(self, 229);
    Ref func = Ref::borrow(reinterpret_cast<ClosureRecord*>(record)->func);
    Ref apply = Ref::steal(compat::call_one_arg(wraps.get(), func.get()));
    if (!apply) return fail(self, 229);
    Ref wrapper = Ref::steal(function_new(wrapper_def, state.str_qualname_wrapper, nullptr, self->globals, record, nullptr));
    if (!wrapper) return fail(self, 230);
    PyObject* result = compat::call_one_arg(apply.get(), wrapper.get());
    if (!result) return fail(self, 229);
    return result;
}

PyObject* lookup_decorator_get(FunctionObject* self, Arguments& args) noexcept {
    PyObject* decorator = args[0];
    PyObject* instance = args[1];
    PyObject* owner = args[2];
    Ref record = Ref::steal(closure_record_new());
    if (!record) return fail(self, 135);
    set_field(reinterpret_cast<ClosureRecord*>(record.get())->instance, Ref::borrow(instance));

    if (instance == Py_None) {
        PyObject* method = PyObject_GetAttr(decorator, state.str_priv_method);
        if (!method) return fail(self, 150);
        return method;
    }

    Ref package = Ref::steal(abstraction_package(self, owner));
    if (!package) return nullptr;
    Ref tokens = Ref::steal(collect_tokens(self, decorator, instance));
    if (!tokens) return nullptr;
    Ref sequence = Ref::steal(build_sequence(self, decorator, tokens.get()));
    if (!sequence) return nullptr;
    Ref relpath, name, rest;
    if (target_name(self, owner, relpath, name, rest) < 0) return nullptr;
    Ref cls = Ref::steal(search(self, package.get(), sequence.get(), relpath.get(), name.get()));
    if (!cls) return nullptr;
    cls = Ref::steal(walk_nested(self, std::move(cls), rest.get()));
    if (!cls) return nullptr;
    Ref func = Ref::steal(take_method(self, decorator, cls.get()));
    if (!func) return nullptr;
    set_field(reinterpret_cast<ClosureRecord*>(record.get())->func, std::move(func));
    return make_wrapper(self, record.get());
}

const char* const varnames[] = {"self",   "instance", "owner",    "module", "names", "i",      "parent",
                                "module_name", "package", "tokens", "sequence", "relpath", "name",
                                "rest",   "cls",      "seq",      "func",   "wrapper", "wrapper"};

}  // namespace

const FunctionDef get_def = {
    fn_get, "__get__", "orvex.abstract.decorator.LookupDecorator.__get__",
    135, CO_OPTIMIZED | CO_NEWLOCALS, 3, 3, 0, varnames, 19, lookup_decorator_get,
};

}  // namespace orvex::abstract
