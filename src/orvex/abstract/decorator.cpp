// Entry point of orvex.abstract.decorator: module initialisation in its fixed
// order of steps, the module namespace, and the rollback when a step fails.
// Each step names the line that its traceback entry reports.
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "compat.hpp"
#include "function/function.hpp"
#include "lookup/lookup_decorator.hpp"
#include "main_interpreter.hpp"
#include "tokens/token_getters.hpp"

#define ORVEX_STR_(x) #x
#define ORVEX_STR(x) ORVEX_STR_(x)

namespace orvex::abstract {

namespace {

// The version the module was built for; a test build may pretend otherwise.
#ifdef ORVEX_BUILT_FOR_VERSION
constexpr const char built_for_version[] = ORVEX_BUILT_FOR_VERSION;
#else
constexpr const char built_for_version[] = ORVEX_STR(PY_MAJOR_VERSION) "." ORVEX_STR(PY_MINOR_VERSION);
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "decorator",  // the importer substitutes the full dotted name
    nullptr,      // no docstring: __doc__ is None
    -1,           // process-wide state, one module per process
    nullptr,
};

// The initialised module; its presence marks initialisation as done.
PyObject* initialised_module = nullptr;

constexpr const char init_entry_name[] = "init orvex.abstract.decorator";

// Every function of the module, with its qualified name, in the order their
// code objects are made: a new function is defined in its room and listed
// here (and stored by run_body). The bases tuple is made after the first three.
struct Definition {
    const FunctionDef* def;
    PyObject* State::*qualname;
};
const Definition definitions[] = {
    {&wrapper_def, &State::str_qualname_wrapper},
    {&default_token_getter_def, &State::str_default_token_getter},
    {&from_device_token_getter_def, &State::str_from_device_token_getter},
    {&init_def, &State::str_qualname_init},
    {&call_def, &State::str_qualname_call},
    {&get_def, &State::str_qualname_get},
    {&lookup_from_device_def, &State::str_lookup_from_device},
};
constexpr std::ptrdiff_t codes_before_bases = 3;

// "3.11" of "3.11.7 (main, ...)": the text up to its second dot or first space.
std::string_view major_minor(std::string_view version) noexcept {
    const size_t dot = version.find('.');
    const size_t end = dot == std::string_view::npos ? version.find(' ') : version.find_first_of(". ", dot + 1);
    return version.substr(0, end);
}

// Whether two "X.Y" texts name the same release; false if either is unreadable.
bool same_release(std::string_view a, std::string_view b) noexcept {
    const auto parse = [](std::string_view text, long& major, long& minor) {
        const char* last = text.data() + text.size();
        auto [dot, major_error] = std::from_chars(text.data(), last, major);
        if (major_error != std::errc() || dot == last || *dot != '.') return false;
        auto [end, minor_error] = std::from_chars(dot + 1, last, minor);
        return minor_error == std::errc() && end == last;
    };
    long a_major = 0, a_minor = 0, b_major = 0, b_minor = 0;
    return parse(a, a_major, a_minor) && parse(b, b_major, b_minor) && a_major == b_major && a_minor == b_minor;
}

// Warns when the running interpreter's major.minor differs from the build's.
// Returns -1 when the warning was turned into an error.
int check_version() noexcept {
    const std::string_view running = major_minor(Py_GetVersion());
    if (same_release(built_for_version, running)) return 0;
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.*s", static_cast<int>(running.size()), running.data());
    return PyErr_WarnFormat(nullptr, 1, "compiletime version %s of module '%.100s' does not match runtime version %s",
                            built_for_version, "orvex.abstract.decorator", shown);
}

int make_empty_constants() noexcept {
    if (!state.empty_tuple && !(state.empty_tuple = PyTuple_New(0))) return -1;
    if (!state.empty_bytes && !(state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0))) return -1;
    if (!state.empty_str && !(state.empty_str = PyUnicode_New(0, 0))) return -1;
    return 0;
}

// One run of the module body and the steps around it, from the module's
// creation on. Every step returns 0, or -1 after fail(line).
class Initialisation final : public InitSteps {
public:
    Ref module;

    // Adds the "init ..." entry at `line` (once the namespace exists).
    int fail(int line) noexcept override {
        if (ns) add_traceback(init_entry_name, line, ns);
        return -1;
    }

    int run() noexcept {
        module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
        if (!module) return -1;
        ns = PyModule_GetDict(module.get());
        if (!ns) return -1;

        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) return fail(1);
        set_field(state.builtins, Ref::borrow(builtins.get()));
        if (PyDict_SetItemString(ns, "__builtins__", builtins.get()) < 0) return fail(1);
        if (state_make_strings() < 0) return fail(1);
        if (register_in_sys_modules() < 0) return fail(1);
        if (take_builtins() < 0) return -1;
        if (make_constants() < 0) return -1;
        if (closure_record_type_ready() < 0) return fail(135);
        return run_body();
    }

private:
    int register_in_sys_modules() noexcept {
        PyObject* modules = PyImport_GetModuleDict();
        int present = PyDict_Contains(modules, state.str_module_full_name);
        if (present < 0) return -1;
        if (present) return 0;
        return PyDict_SetItem(modules, state.str_module_full_name, module.get());
    }

    int take_builtin(PyObject*& field, PyObject* name, int line) noexcept {
        Ref value = Ref::steal(PyObject_GetAttr(state.builtins, name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            }
            return fail(line);
        }
        set_field(field, std::move(value));
        return 0;
    }

    int take_builtins() noexcept {
        if (take_builtin(state.builtin_object, state.str_object, 71) < 0 ||
            take_builtin(state.builtin_AttributeError, state.str_AttributeError, 33) < 0 ||
            take_builtin(state.builtin_range, state.str_range, 157) < 0 ||
            take_builtin(state.builtin_KeyError, state.str_KeyError, 163) < 0 ||
            take_builtin(state.builtin_LookupError, state.str_LookupError, 166) < 0 ||
            take_builtin(state.builtin_NotImplementedError, state.str_NotImplementedError, 233) < 0)
            return -1;
        return 0;
    }

    int make_pair(PyObject*& field, PyObject* first, int line) noexcept {
        if (field) return 0;
        Ref pair = Ref::steal(PyTuple_Pack(2, first, Py_None));
        if (!pair) return fail(line);
        set_field(field, std::move(pair));
        return 0;
    }

    int make_codes(const Definition* first, const Definition* last) noexcept {
        for (const Definition* d = first; d != last; ++d)
            if (make_code(*d->def, state.*(d->qualname)) < 0) return fail(d->def->first_line);
        return 0;
    }

    int make_constants() noexcept {
        if (make_pair(state.tuple_abstraction_none, state.str_abstraction, 65) < 0 ||
            make_pair(state.tuple_order_none, state.str_order, 67) < 0 ||
            make_codes(std::begin(definitions), std::begin(definitions) + codes_before_bases) < 0)
            return -1;
        // The bases hold the `object` just taken, so they are made anew each run.
        Ref bases = Ref::steal(PyTuple_Pack(1, state.builtin_object));
        if (!bases) return fail(71);
        set_field(state.tuple_bases, std::move(bases));
        return make_codes(std::begin(definitions) + codes_before_bases, std::end(definitions));
    }

    // import <name> (absolute, empty from-list), bound under the same name.
    int import_absolute(PyObject* name, int line) noexcept {
        Ref locals = Ref::steal(PyDict_New());
        Ref fromlist = Ref::steal(PyList_New(0));
        if (!locals || !fromlist) return fail(line);
        Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(name, ns, locals.get(), fromlist.get(), 0));
        if (!imported || PyDict_SetItem(ns, name, imported.get()) < 0) return fail(line);
        return 0;
    }

    // from .<module> import <name>
    int import_relative(PyObject* module_name, PyObject* name, int line) noexcept {
        Ref locals = Ref::steal(PyDict_New());
        Ref fromlist = Ref::steal(PyList_New(1));
        if (!locals || !fromlist) return fail(line);
        PyList_SET_ITEM(fromlist.get(), 0, Ref::borrow(name).release());
        Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(module_name, ns, locals.get(), fromlist.get(), 1));
        if (!imported) return fail(line);
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            }
            return fail(line);
        }
        if (PyDict_SetItem(ns, name, value.get()) < 0) return fail(line);
        return 0;
    }

    // Relative imports resolve against __package__; without it the importer
    // warns (an error under -W error). The importer sets the same value later.
    int set_package() noexcept {
        PyObject* name = PyDict_GetItemWithError(ns, state.str_dunder_name);
        if (!name) return PyErr_Occurred() ? fail(5) : 0;
        if (!PyUnicode_Check(name)) return 0;
        Ref held = Ref::borrow(name);
        Py_ssize_t dot = PyUnicode_FindChar(held.get(), '.', 0, PyUnicode_GET_LENGTH(held.get()), -1);
        if (dot == -2) return fail(5);
        if (dot < 0) return 0;
        Ref package = Ref::steal(PyUnicode_Substring(held.get(), 0, dot));
        if (!package || PyDict_SetItem(ns, state.str_dunder_package, package.get()) < 0) return fail(5);
        return 0;
    }

    int run_body() noexcept {
        if (import_absolute(state.str_sys, 1) < 0 || import_absolute(state.str_inspect, 2) < 0 ||
            import_absolute(state.str_functools, 3) < 0)
            return -1;
        if (PyObject* functools = PyDict_GetItemWithError(ns, state.str_functools)) remember_functools(functools);
        if (PyErr_Occurred()) return fail(3);
        if (set_package() < 0 || import_relative(state.str_magic, state.str_default_builder, 5) < 0 ||
            import_relative(state.str_package, state.str_AbstractPackage, 7) < 0)
            return -1;

        if (make_token_getters(*this) < 0 || make_lookup_decorator_class(*this) < 0 ||
            make_lookup_from_device(*this) < 0)
            return -1;

        Ref test = Ref::steal(PyDict_New());
        if (!test || PyDict_SetItem(ns, state.str_dunder_test, test.get()) < 0) return fail(1);
        return 0;
    }
};

// After a failure: drop this module's own entry from sys.modules (only if it
// is still this module) so that the next import runs initialisation again
// instead of returning a half-built module. The pending exception is kept.
void forget_module(PyObject* module) noexcept {
    Ref exc = Ref::steal(compat::exc_take());
    PyObject* modules = PyImport_GetModuleDict();
    if (modules && state.str_module_full_name) {
        PyObject* entry = PyDict_GetItemWithError(modules, state.str_module_full_name);
        if (entry == module && PyDict_DelItem(modules, state.str_module_full_name) < 0) PyErr_Clear();
        PyErr_Clear();
    }
    compat::exc_give(exc.release());
}

PyObject* initialise() noexcept {
    // Before anything else: another interpreter must not reach, or make, the
    // process's one module (see main_interpreter.hpp).
    if (refuse_sub_interpreter("orvex.abstract.decorator") < 0) return nullptr;
    if (initialised_module) return Ref::borrow(initialised_module).release();
    if (check_version() < 0) return nullptr;
    if (make_empty_constants() < 0 || function_type_ready() < 0) return nullptr;

    Initialisation init;
    if (init.run() < 0) {
        if (init.module) forget_module(init.module.get());
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init orvex.abstract.decorator");
        return nullptr;
    }
    initialised_module = Ref::borrow(init.module.get()).release();
    return init.module.release();
}

}  // namespace

}  // namespace orvex::abstract

ORVEX_MODINIT_FUNC PyInit_decorator(void) { return orvex::abstract::initialise(); }
